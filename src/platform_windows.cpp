#include "platform.h"

#include "console_line.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <windows.h>

#include <mmsystem.h>

// The console start-up expands wildcard patterns in the arguments only when
// the program asks for it; mingw-w64 leaves it off unless told here.
extern "C" {
int _dowildcard = -1;

// The C runtime's own start-up in UTF-16: the command line split, and
// wildcards expanded, as for main's arguments, but in characters rather
// than in the ANSI code page, which has no room for most of them.
struct startup_info {
    // cppcheck-suppress unusedStructMember ; read by the runtime
    int new_mode;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's name
int __cdecl __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment, int expand_wildcards,
                           startup_info *info);
}

namespace
{

// The finest timer resolution Windows offers; Sleep(1) rounds up to the
// timer tick, which is about 15.6 ms unless a process asks for this.
const UINT timer_period_ms = 1;

// A missing or unwatchable folder is tried again this often (about ten
// times a second); meanwhile the pauses are plain.
const unsigned pauses_between_tries = 100;

// Changes in the folder may end this many pauses in a row early; then one
// pause is slept out, so a busy folder cannot make polling dear.
const int early_wake_ups = 3;

// NOLINTBEGIN(readability-magic-numbers): UTF-8 and UTF-16 are their numbers.

// Windows allows names with unpaired surrogates, which UTF-8 cannot carry;
// they travel as the three bytes their code would have (WTF-8), so that
// every name comes back unchanged.
bool is_high_surrogate(unsigned code)
{
    return code >= 0xD800 && code <= 0xDBFF;
}

bool is_low_surrogate(unsigned code)
{
    return code >= 0xDC00 && code <= 0xDFFF;
}

// Appends code in UTF-8 at out; returns the bytes written.
int put_utf8(unsigned code, char *out)
{
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    const int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (int i = length - 1; i > 0; --i, code >>= 6U) {
        out[i] = static_cast<char>(0x80U | (code & 0x3FU));
    }
    out[0] = static_cast<char>(lead[length] | code);
    return length;
}

// The code at text in UTF-8 (or WTF-8), moving text past it.
unsigned take_utf8(const unsigned char *&text)
{
    unsigned code = *text++;
    const int more = code >= 0xF0 ? 3 : code >= 0xE0 ? 2 : code >= 0xC0 ? 1 : 0;
    code &= 0x7FU >> more;
    for (int i = 0; i < more && (*text & 0xC0U) == 0x80U; ++i) {
        code = (code << 6U) | (*text++ & 0x3FU);
    }
    return code;
}

// UTF-16 to UTF-8, length characters of wide; never null.
const char *narrow_from_wide(const wchar_t *wide, std::size_t length)
{
    auto *narrow = static_cast<char *>(std::malloc(length * 3 + 1));
    if (narrow == nullptr) {
        return ""; // no part of a name: it would name another file
    }
    std::size_t end = 0;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned code = wide[i];
        if (is_high_surrogate(code) && i + 1 < length && is_low_surrogate(wide[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10U) + (wide[++i] - 0xDC00U);
        }
        end += put_utf8(code, narrow + end);
    }
    narrow[end] = '\0';
    return narrow;
}

// UTF-8 to UTF-16, appended to wide at end; wide has room for one character
// per byte of text and a NUL, or two where LF becomes CR LF (newline).
// Returns where the text ends in wide.
std::size_t widen(const char *text, wchar_t *wide, std::size_t end, bool newline = false)
{
    const auto *byte = reinterpret_cast<const unsigned char *>(text);
    while (*byte != 0) {
        unsigned code = take_utf8(byte);
        if (code >= 0x10000) {
            code -= 0x10000;
            wide[end++] = static_cast<wchar_t>(0xD800 + (code >> 10U));
            code = 0xDC00 + (code & 0x3FFU);
        } else if (newline && code == '\n') {
            wide[end++] = L'\r';
        }
        wide[end++] = static_cast<wchar_t>(code);
    }
    wide[end] = L'\0';
    return end;
}

// NOLINTEND(readability-magic-numbers)

// The name in UTF-16, for the open; made once.
const wchar_t *wide_name(const char *name)
{
    static const char *converted_for = nullptr;
    static wchar_t *wide = nullptr;
    if (converted_for != name) {
        std::free(wide);
        wide = static_cast<wchar_t *>(std::calloc(std::strlen(name) + 1, sizeof(wchar_t)));
        if (wide == nullptr) {
            return nullptr;
        }
        widen(name, wide, 0);
        converted_for = name;
    }
    return wide;
}

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// A line typed at the console, read in characters: the console's own code
// page cannot hold most of them, and the runtime would read it in that one.
const char *read_console_characters(HANDLE input)
{
    const DWORD chunk = 256;
    wchar_t *line = nullptr;
    std::size_t length = 0;
    for (;;) {
        auto *grown =
            static_cast<wchar_t *>(std::realloc(line, (length + chunk + 1) * sizeof(wchar_t)));
        if (grown == nullptr) {
            std::free(line);
            return "";
        }
        line = grown;
        DWORD got = 0;
        if (ReadConsoleW(input, line + length, chunk, &got, nullptr) == 0) {
            break;
        }
        if (got == 0 && GetLastError() == ERROR_OPERATION_ABORTED) {
            continue; // Ctrl-C: its handler is ending the process meanwhile
        }
        length += got;
        if (got == 0 || std::wmemchr(line + length - got, L'\n', got) != nullptr) {
            break;
        }
    }
    line[length] = L'\0';
    // NUL, LF and CR end the name, as on any other input, and so does
    // Ctrl-Z, the console's end of input.
    const char *name = narrow_from_wide(line, std::wcscspn(line, L"\r\n\x1a"));
    std::free(line);
    return name;
}

// A line from a pipe or a file is UTF-8 when it is valid UTF-8, and else in
// the ANSI code page, as Windows programs have always read it.
const char *name_from_bytes(const char *bytes)
{
    const UINT code_pages[] = {CP_UTF8, CP_ACP};
    for (const UINT code_page : code_pages) {
        const DWORD strict = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(code_page, strict, bytes, -1, nullptr, 0);
        if (length <= 0) {
            continue;
        }
        auto *wide = static_cast<wchar_t *>(std::malloc(length * sizeof(wchar_t)));
        if (wide == nullptr) {
            return "";
        }
        MultiByteToWideChar(code_page, strict, bytes, -1, wide, length);
        const char *name = narrow_from_wide(wide, length - 1);
        std::free(wide);
        return name;
    }
    return "";
}

// The results are not examined: a failed write changes nothing.
void write_console(HANDLE console, const wchar_t *text, DWORD length)
{
    DWORD written = 0;
    while (length > 0 && WriteConsoleW(console, text, length, &written, nullptr) != 0 &&
           written > 0) {
        text += written;
        length -= written;
    }
}

void write_file(HANDLE file, const char *bytes, DWORD size)
{
    DWORD written = 0;
    while (size > 0 && WriteFile(file, bytes, size, &written, nullptr) != 0 && written > 0) {
        bytes += written;
        size -= written;
    }
}

// The change notification on the folder of the awaited name.
HANDLE folder_change = INVALID_HANDLE_VALUE;
unsigned pauses_unwatched = 0;
int woken_in_a_row = 0;

// The folder that holds name: what comes before its last separator, the
// separator itself for a root (\, C:\), and the current folder of the drive
// or the process for a name without one.
wchar_t *folder_of(const wchar_t *name)
{
    const std::size_t length = std::wcslen(name);
    std::size_t cut = length;
    while (cut > 0 && name[cut - 1] != L'\\' && name[cut - 1] != L'/') {
        --cut;
    }
    const bool has_drive = length >= 2 && name[1] == L':';
    auto *folder = static_cast<wchar_t *>(std::malloc((length + 3) * sizeof(wchar_t)));
    if (folder == nullptr) {
        return nullptr;
    }
    std::wmemcpy(folder, name, length + 1);
    if (cut == 0) {
        std::wcscpy(folder + (has_drive ? 2 : 0), L".");
    } else if (cut == 1 || (has_drive && cut == 3)) {
        folder[cut] = L'\0';
    } else {
        folder[cut - 1] = L'\0';
    }
    return folder;
}

void watch_folder(const char *name)
{
    if (pauses_unwatched++ % pauses_between_tries != 0) {
        return;
    }
    const wchar_t *wide = wide_name(name);
    wchar_t *folder = wide == nullptr ? nullptr : folder_of(wide);
    if (folder != nullptr) {
        // Names coming and going, attributes and permissions changing: the
        // changes that can let an open succeed. Writes to files are left out.
        folder_change = FindFirstChangeNotificationW(folder, FALSE,
                                                     FILE_NOTIFY_CHANGE_FILE_NAME |
                                                         FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                                         FILE_NOTIFY_CHANGE_SECURITY);
        std::free(folder);
    }
}

} // namespace

void prepare_process()
{
    // Polling needs the 1 ms tick; it is given back once the file is held.
    timeBeginPeriod(timer_period_ms);
}

const char *first_argument(char ** /*argv*/)
{
    int count = 0;
    wchar_t **arguments = nullptr;
    wchar_t **environment = nullptr;
    startup_info info{0};
    if (__wgetmainargs(&count, &arguments, &environment, _dowildcard, &info) < 0 || count < 2) {
        return "";
    }
    return narrow_from_wide(arguments[1], std::wcslen(arguments[1]));
}

const char *read_typed_name()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (is_console(input)) {
        return read_console_characters(input);
    }
    const char *bytes = read_console_line();
    const char *name = name_from_bytes(bytes);
    if (*bytes != '\0') {
        std::free(const_cast<char *>(bytes));
    }
    return name;
}

void write_message(const char *text, const char *name, const char *rest)
{
    // Room for every byte as a character, each LF as CR LF, and a NUL.
    const std::size_t room = 2 * (std::strlen(text) + std::strlen(name) + std::strlen(rest)) + 1;
    auto *wide = static_cast<wchar_t *>(std::malloc(room * sizeof(wchar_t)));
    if (wide == nullptr) {
        return;
    }
    std::size_t length = widen(text, wide, 0, true);
    length = widen(name, wide, length);
    length = widen(rest, wide, length, true);

    // The console shows every character in any code page. A pipe or a file
    // gets the bytes Windows programs have always written there: the ANSI
    // code page, with CR LF line ends.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (is_console(output)) {
        write_console(output, wide, static_cast<DWORD>(length));
    } else {
        const int size = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), nullptr, 0,
                                             nullptr, nullptr);
        auto *bytes = static_cast<char *>(std::malloc(size > 0 ? size : 1));
        if (bytes != nullptr) {
            WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), bytes, size, nullptr,
                                nullptr);
            write_file(output, bytes, static_cast<DWORD>(size));
            std::free(bytes);
        }
    }
    std::free(wide);
}

std::FILE *try_open(const char *name)
{
    // The runtime's default sharing: others may read and write the file, but
    // not delete or rename it while it is held. Directories never open.
    const wchar_t *wide = wide_name(name);
    return wide == nullptr ? nullptr : _wfopen(wide, L"rb");
}

void wait_for_next_attempt(const char *name)
{
    if (folder_change == INVALID_HANDLE_VALUE) {
        watch_folder(name);
    }
    if (folder_change == INVALID_HANDLE_VALUE || woken_in_a_row == early_wake_ups) {
        woken_in_a_row = 0;
        Sleep(1);
        return;
    }
    const DWORD woken = WaitForSingleObject(folder_change, 1);
    woken_in_a_row = woken == WAIT_OBJECT_0 ? woken_in_a_row + 1 : 0;
    if (woken == WAIT_FAILED ||
        (woken == WAIT_OBJECT_0 && FindNextChangeNotification(folder_change) == 0)) {
        // The folder is gone: the next pauses watch whatever takes its place.
        FindCloseChangeNotification(folder_change);
        folder_change = INVALID_HANDLE_VALUE;
        pauses_unwatched = 0;
    }
}

void idle_forever()
{
    // Holding needs neither the folder's notification, whose handle would
    // keep the folder from being renamed, nor the fine timer.
    if (folder_change != INVALID_HANDLE_VALUE) {
        FindCloseChangeNotification(folder_change);
    }
    timeEndPeriod(timer_period_ms);
    for (;;) {
        Sleep(INFINITE);
    }
}
