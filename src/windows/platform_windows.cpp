#include "platform.h"

#include "console_line.h"
#include "windows_folder.h"
#include "windows_input.h"
#include "windows_name.h"
#include "windows_text.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <mmsystem.h>

// The runtime's start-up expands no wildcards: its expansion takes folders
// and 8.3 short names, and leaves a quoted argument alone. fileholder
// expands the argument with its own matcher.
extern "C" {
int _dowildcard = 0;

// The C runtime's own start-up in UTF-16: the command line split as for
// main's arguments, but in characters rather than in the ANSI code page,
// which has no room for most of them.
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

// The name in UTF-16, for the open; null when there is no memory for it.
const wchar_t *wide_name(const char *name)
{
    auto *wide = static_cast<wchar_t *>(std::calloc(std::strlen(name) + 1, sizeof(wchar_t)));
    if (wide != nullptr) {
        widen(name, wide, 0);
    }
    return wide;
}

// 64-bit Windows shows a 32-bit program SysWOW64 where System32 is named:
// off while this lives, so that the file listed and opened is the one named;
// on again at once, as the same switch decides which DLLs load. Where there
// is no such redirection the call fails and changes nothing.
class redirection_off
{
  public:
    redirection_off() : off(Wow64DisableWow64FsRedirection(&previous) != 0) {}
    redirection_off(const redirection_off &) = delete;
    redirection_off &operator=(const redirection_off &) = delete;
    ~redirection_off()
    {
        if (off) {
            Wow64RevertWow64FsRedirection(previous);
        }
    }

  private:
    PVOID previous = nullptr;
    bool off;
};

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

} // namespace

namespace
{

// The file that the argument's expansion opened, and the name of it that
// the opened line shows (null where the start line names it): the first
// attempt holds it.
std::FILE *opened_at_start = nullptr;
const char *held_at_start = nullptr;

} // namespace

// The awaited name, as the attempts need it.
struct waiting {
    const wchar_t *wide = nullptr; // a literal name in UTF-16, for the open
    bool is_pattern = false;
    pattern_name pattern;
    attempt_costs costs;
};

void prepare_process()
{
    // No system dialog ("There is no disk in the drive", for an empty card
    // reader) may stop the polling until someone clicks it: a failed attempt
    // only fails.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

waiting &start_waiting(const char *name)
{
    static waiting state;
    state.is_pattern = read_pattern(name, state.pattern);
    state.wide = state.is_pattern ? nullptr : wide_name(name);
    // Polling needs the 1 ms tick, which older Windows raises for the whole
    // system: only once the name is known, never while a prompt waits. It
    // is given back once the file is held.
    timeBeginPeriod(timer_period_ms);
    return state;
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

const char *expand_argument(const char *argument)
{
    // A pattern that matches a file that opens now is that file, the first
    // such match, held from here on by this very open: a match that does not
    // open (locked, or open for deletion on close) is passed over as the
    // attempts pass it over, and the file held is never opened again by its
    // plain name, which could be too long for Windows to open, or lead to
    // another file by the time it is tried. A pattern with no such match
    // stays a pattern and waits for one.
    pattern_name pattern;
    if (!read_pattern(argument, pattern)) {
        return argument;
    }
    const redirection_off redirection;
    const char *held = nullptr;
    bool named_alike = false;
    opened_at_start = open_first_file(pattern, held, &named_alike);
    if (opened_at_start == nullptr) {
        return argument;
    }
    // Where its name, read as a literal name, would open another file (a
    // trailing dot that Windows drops, a device name), the argument stays
    // the pattern, and the opened line names the file.
    if (named_alike) {
        return held;
    }
    held_at_start = held;
    return argument;
}

// Typed or piped, a name wrapped in double quotes, as "Copy as path" gives
// it, is the name inside them (see unquoted).
const char *read_typed_name()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (is_console(input)) {
        return unquoted(read_console_characters(input));
    }
    // A pipe or a file, read from the handle itself: the runtime would end
    // the input at a Ctrl-Z (0x1A), part of a name in UTF-16, and would read
    // on past the line.
    return unquoted(read_piped_name(input));
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
        int size = 0;
        char *bytes = ansi_from_wide(wide, static_cast<int>(length), size);
        if (bytes != nullptr) {
            write_file(output, bytes, static_cast<DWORD>(size > 0 ? size : 0));
            std::free(bytes);
        }
    }
    std::free(wide);
}

std::FILE *try_open(waiting &state, const char *&held)
{
    if (opened_at_start != nullptr) {
        std::FILE *file = opened_at_start;
        opened_at_start = nullptr;
        held = held_at_start;
        return file;
    }
    const redirection_off redirection;
    if (state.is_pattern) {
        return open_first_match(state.pattern, state.costs, held);
    }
    if (state.wide == nullptr) {
        return nullptr;
    }
    // The runtime's default sharing: others may read and write the file, but
    // not delete or rename it while it is held. Directories never open.
    return _wfopen(state.wide, L"rb");
}

void wait_for_next_attempt(waiting & /*state*/)
{
    // Plain pauses: a wait on the folder's changes would need a handle on
    // the folder, and while it is open the folder cannot be deleted and made
    // again, nor a folder above it renamed. Waiting must leave it as it is.
    Sleep(1);
}

void idle_forever(waiting & /*state*/)
{
    // Holding needs no fine timer.
    timeEndPeriod(timer_period_ms);
    for (;;) {
        Sleep(INFINITE);
    }
}
