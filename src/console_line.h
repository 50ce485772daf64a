#ifndef FILEHOLDER_CONSOLE_LINE_H
#define FILEHOLDER_CONSOLE_LINE_H

#include <cstddef>

// One line of standard input, as far as the name in it goes.
struct console_line {
    // What came before the line's end, followed by two NUL bytes; one that is
    // not empty comes from malloc.
    const char *text;
    // Its length in bytes.
    std::size_t size;
    // Characters of two bytes, UTF-16LE; otherwise of one byte each.
    bool utf16;
};

// Reads one line from standard input, whole, and no further than its end:
// the first NUL, LF or CR character, or the end of input. So input that
// never ends a line gives its name at once, and nothing after it is read.
//
// Only where it may be UTF-16 do the first two bytes decide that: the BOM
// FF FE (dropped) or an ASCII character followed by a 0 byte, as Windows
// programs write UTF-16LE, make the line's characters two bytes each.
//
// A read error, no memory for the line, or half a character at the end of
// input gives the empty line, never a part of it: a part of a name could be
// the name of another file.
console_line read_console_line(bool may_be_utf16 = false);

#endif
