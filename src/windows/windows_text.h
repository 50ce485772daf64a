#ifndef FILEHOLDER_WINDOWS_TEXT_H
#define FILEHOLDER_WINDOWS_TEXT_H

#include "console_line.h"

#include <cstddef>
#include <string>

// Names travel through the program as UTF-8; Windows has them in UTF-16.
// Unpaired surrogates, which Windows allows in names and UTF-8 cannot carry,
// travel as the three bytes their code would have (WTF-8), so that every
// name comes back unchanged.

// UTF-16 to UTF-8, length characters of wide, as a new string; the empty
// string when there is no memory for it, never a part of a name.
const char *narrow_from_wide(const wchar_t *wide, std::size_t length);

// The same into narrow, which has room for three bytes per character of
// wide and a NUL; returns the bytes written before the NUL.
std::size_t narrow_into(const wchar_t *wide, std::size_t length, char *narrow);

// UTF-8 to UTF-16, appended to wide at end; wide has room for one character
// per byte of text and a NUL, or two where LF becomes CR LF (newline).
// Returns where the text ends in wide.
std::size_t widen(const char *text, wchar_t *wide, std::size_t end, bool newline = false);

// The name in a line read from a pipe or a file, decoded whole: UTF-16LE
// when it was read so, else UTF-8 when it is valid UTF-8 (after a BOM, which
// is dropped), else the ANSI code page. The empty string when it cannot be
// decoded whole.
const char *name_from_line(const console_line &line);

// The same as strings; they throw std::bad_alloc when there is no memory.
std::wstring widened(const char *text);
std::string narrowed(const wchar_t *wide, std::size_t length);

// size characters of text in upper case, as the file system compares names:
// the same in every locale (LCMapStringW with LOCALE_INVARIANT). Into upper,
// so that a listing reuses one buffer for all its names.
void upper_case_into(const wchar_t *text, std::size_t size, std::wstring &upper);

// length characters of wide in the ANSI code page, as a new buffer of
// size bytes; null when there is no memory for it.
char *ansi_from_wide(const wchar_t *wide, int length, int &size);

#endif
