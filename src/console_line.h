#ifndef FILEHOLDER_CONSOLE_LINE_H
#define FILEHOLDER_CONSOLE_LINE_H

#include <cstddef>

// What a byte source yields besides a byte (0 to 255).
constexpr int input_end = -1;
constexpr int input_error = -2;

// Where the line reader gets its input, one byte at a time: next(state)
// gives the next byte, input_end at the end of input, or input_error when a
// read fails. The platform supplies it; the reader asks for no byte that it
// does not need.
struct byte_source {
    int (*next)(void *state);
    void *state;
};

// One line of input, as far as the name in it goes.
struct console_line {
    // What came before the line's end, followed by two NUL bytes; one that is
    // not empty comes from malloc.
    const char *text;
    // Its length in bytes.
    std::size_t size;
    // Characters of two bytes, UTF-16LE; otherwise of one byte each.
    bool utf16;
    // The bytes of input that the line took, its end included: where the
    // input after it starts.
    std::size_t consumed;
};

// Reads one line, whole: up to its first NUL, LF or CR byte, or the end of
// input. In bytes it asks for nothing past that end, so input that never ends
// a line gives its name at once.
//
// Where the input may be UTF-16 (Windows), its characters are two bytes
// each when it starts with a byte order mark, FF FE (UTF-16LE) or FE FF
// (UTF-16BE), both dropped; or when, read as UTF-16LE, it reaches a line end
// (U+000A or U+000D, at an even offset) through valid UTF-16 free of U+0000,
// which no line in bytes does. A line in bytes that ends with LF or CR LF and
// holds no control character before its end (no file name does) is decided
// at once; any other reads on until UTF-16LE is ruled out or reached.
//
// A read error, no memory for the line, or half a character at the end of
// input gives the empty line, never a part of it: a part of a name could be
// the name of another file.
console_line read_console_line(byte_source source, bool may_be_utf16 = false);

#endif
