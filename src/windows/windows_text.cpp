#include "windows_text.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace
{

// NOLINTBEGIN(readability-magic-numbers): UTF-8 and UTF-16 are their numbers.

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

} // namespace

std::size_t narrow_into(const wchar_t *wide, std::size_t length, char *narrow)
{
    std::size_t end = 0;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned code = wide[i];
        if (is_high_surrogate(code) && i + 1 < length && is_low_surrogate(wide[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10U) + (wide[++i] - 0xDC00U);
        }
        end += put_utf8(code, narrow + end);
    }
    narrow[end] = '\0';
    return end;
}

const char *narrow_from_wide(const wchar_t *wide, std::size_t length)
{
    auto *narrow = static_cast<char *>(std::malloc(length * 3 + 1));
    if (narrow == nullptr) {
        return ""; // no part of a name: it would name another file
    }
    narrow_into(wide, length, narrow);
    return narrow;
}

std::wstring widened(const char *text)
{
    std::wstring wide(std::strlen(text) + 1, L'\0');
    wide.resize(widen(text, wide.data(), 0));
    return wide;
}

std::string narrowed(const wchar_t *wide, std::size_t length)
{
    std::string narrow(length * 3 + 1, '\0');
    narrow.resize(narrow_into(wide, length, narrow.data()));
    return narrow;
}

void upper_case_into(const wchar_t *text, std::size_t size, std::wstring &upper)
{
    // Most names are ASCII, where upper case needs no call into Windows.
    upper.assign(text, size);
    bool ascii = true;
    for (wchar_t &unit : upper) {
        ascii = ascii && unit < 0x80;
        unit = unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - L'a' + L'A') : unit;
    }
    const int length = static_cast<int>(size);
    if (ascii || length <= 0) {
        return;
    }
    const int made =
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text, length, upper.data(), length);
    if (made <= 0) {
        upper.assign(text, size);
    } else {
        upper.resize(made);
    }
}

std::size_t widen(const char *text, wchar_t *wide, std::size_t end, bool newline)
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

// What some editors put before UTF-8 text.
const unsigned char utf8_bom[] = {0xEF, 0xBB, 0xBF};

// NOLINTEND(readability-magic-numbers)

const char *name_from_line(const console_line &line)
{
    if (line.utf16) {
        const std::size_t length = line.size / 2;
        auto *wide = static_cast<wchar_t *>(std::malloc((length + 1) * sizeof(wchar_t)));
        if (wide == nullptr) {
            return "";
        }
        const auto *bytes = reinterpret_cast<const unsigned char *>(line.text);
        for (std::size_t i = 0; i < length; ++i) {
            wide[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << CHAR_BIT);
        }
        const char *name = narrow_from_wide(wide, length);
        std::free(wide);
        return name;
    }
    const char *bytes = line.text;
    if (line.size >= sizeof utf8_bom && std::memcmp(bytes, utf8_bom, sizeof utf8_bom) == 0) {
        bytes += sizeof utf8_bom;
    }
    // UTF-8 when it is valid UTF-8, and else the ANSI code page, as Windows
    // programs have always read it; either wholly, or not at all.
    const UINT code_pages[] = {CP_UTF8, CP_ACP};
    for (const UINT code_page : code_pages) {
        const int length =
            MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes, -1, nullptr, 0);
        if (length <= 0) {
            continue;
        }
        auto *wide = static_cast<wchar_t *>(std::malloc(length * sizeof(wchar_t)));
        if (wide == nullptr) {
            return "";
        }
        MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes, -1, wide, length);
        const char *name = narrow_from_wide(wide, length - 1);
        std::free(wide);
        return name;
    }
    return "";
}

char *ansi_from_wide(const wchar_t *wide, int length, int &size)
{
    // A character the code page lacks becomes '?': a "best fit" look-alike
    // (\ for U+FF3C, O for Omega) would tell a reader another name, which may
    // exist. UTF-8 has every character, and takes no such flag.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    // No other ANSI code page has a character beyond the BMP: its two
    // UTF-16 units become one '?', as any other missing character does.
    wchar_t *single = nullptr;
    if (!utf8) {
        single = static_cast<wchar_t *>(std::malloc((length > 0 ? length : 1) * sizeof(wchar_t)));
        if (single == nullptr) {
            return nullptr;
        }
        int end = 0;
        for (int i = 0; i < length; ++i) {
            const bool pair =
                i + 1 < length && is_high_surrogate(wide[i]) && is_low_surrogate(wide[i + 1]);
            single[end++] = pair ? L'?' : wide[i];
            i += pair ? 1 : 0;
        }
        wide = single;
        length = end;
    }
    size = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, nullptr);
    auto *bytes = static_cast<char *>(std::malloc(size > 0 ? size : 1));
    if (bytes != nullptr) {
        size = WideCharToMultiByte(CP_ACP, flags, wide, length, bytes, size, nullptr, nullptr);
    }
    std::free(single);
    return bytes;
}
