#include "console_line.h"

#include <cstdint>
#include <cstdlib>

namespace
{

// UTF-16's byte order mark, FEFF, as its two bytes come in either order.
constexpr int bom_high = 0xFE;
constexpr int bom_low = 0xFF;
constexpr int byte_bits = 8;
constexpr int byte_mask = 0xFF;
// Bytes below a space are control characters, which no file name holds.
constexpr int first_printable = 0x20;
constexpr unsigned high_surrogate_first = 0xD800;
constexpr unsigned low_surrogate_first = 0xDC00;
constexpr unsigned low_surrogate_last = 0xDFFF;
constexpr std::size_t none = SIZE_MAX;

// The growing line; once out of memory it keeps reading but holds nothing.
struct line_buffer {
    char *text = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    bool out_of_memory = false;

    void append(int byte)
    {
        // Room for this byte and the two NULs that end the line.
        if (size + 3 > capacity && !out_of_memory) {
            const std::size_t larger = capacity == 0 ? 256 : capacity * 2;
            char *grown = static_cast<char *>(std::realloc(text, larger));
            out_of_memory = grown == nullptr;
            if (grown != nullptr) {
                text = grown;
                capacity = larger;
            }
        }
        if (!out_of_memory) {
            text[size++] = static_cast<char>(byte);
        }
    }
};

// The input as read so far.
struct line_reader {
    byte_source source;
    line_buffer line;
    std::size_t pulled = 0; // bytes read
    bool failed = false;    // a read failed

    int next()
    {
        const int byte = source.next(source.state);
        failed = failed || byte == input_error;
        pulled += byte >= 0 ? 1 : 0;
        return byte;
    }

    // The first size bytes of the line, or the empty line after a failure.
    console_line give(std::size_t size, bool utf16, std::size_t consumed)
    {
        if (failed || line.out_of_memory || size == 0) {
            std::free(line.text);
            return console_line{"\0", 0, false, failed ? pulled : consumed};
        }
        line.text[size] = '\0';
        line.text[size + 1] = '\0';
        return console_line{line.text, size, utf16, consumed};
    }

    console_line fail()
    {
        failed = true;
        return give(0, false, pulled);
    }
};

bool ends_line(unsigned character)
{
    return character == '\0' || character == '\n' || character == '\r';
}

// A line in bytes, to its first NUL, LF or CR, and not a byte further.
console_line read_bytes(line_reader &reader)
{
    for (;;) {
        const int byte = reader.next();
        if (byte < 0 || ends_line(byte)) {
            return reader.give(reader.line.size, false, reader.pulled);
        }
        reader.line.append(byte);
    }
}

// A line in UTF-16 after its byte order mark, to its first U+0000, U+000A or
// U+000D; kept as UTF-16LE.
console_line read_after_bom(line_reader &reader, bool big_endian)
{
    for (;;) {
        const int first = reader.next();
        if (first < 0) {
            return reader.give(reader.line.size, true, reader.pulled);
        }
        const int second = reader.next();
        if (second < 0) {
            return reader.fail(); // half a character
        }
        const auto unit = static_cast<unsigned>(big_endian ? first << byte_bits | second
                                                           : second << byte_bits | first);
        if (ends_line(unit)) {
            return reader.give(reader.line.size, true, reader.pulled);
        }
        reader.line.append(static_cast<int>(unit) & byte_mask);
        reader.line.append(static_cast<int>(unit >> byte_bits));
    }
}

// UTF-16LE without a byte order mark, as the code units read so far say.
struct utf16_reading {
    bool possible = true;
    bool awaiting_low_surrogate = false;

    // Takes the next code unit; true when it ends the line.
    bool take(unsigned unit)
    {
        const bool high = unit >= high_surrogate_first && unit < low_surrogate_first;
        const bool low = unit >= low_surrogate_first && unit <= low_surrogate_last;
        if (awaiting_low_surrogate || low) {
            possible = awaiting_low_surrogate && low;
            awaiting_low_surrogate = false;
            return false;
        }
        awaiting_low_surrogate = high;
        possible = unit != 0;
        return unit == '\n' || unit == '\r';
    }
};

// The same input read as bytes.
struct byte_reading {
    std::size_t end = none; // the first NUL, LF or CR byte
    bool ended_by_cr = false;
    bool control_before_end = false;

    // Takes the byte at offset; true when it is an LF that decides the line
    // as bytes: it ends the line, or follows the CR that did, as every
    // Windows program ends a line, and no control character came before,
    // as none comes in a file name.
    bool take(int byte, std::size_t offset)
    {
        if (end == none) {
            end = ends_line(byte) ? offset : none;
            ended_by_cr = byte == '\r';
            control_before_end = control_before_end || (byte < first_printable && end == none);
        }
        return byte == '\n' && !control_before_end &&
               (offset == end || (offset == end + 1 && ended_by_cr));
    }
};

// A line that may be in bytes or in UTF-16LE, read both ways at once until
// one of them is decided.
console_line read_bytes_or_utf16(line_reader &reader)
{
    byte_reading bytes;
    utf16_reading utf16;
    int previous = 0;
    for (;;) {
        const int byte = reader.next();
        if (byte == input_error) {
            return reader.fail();
        }
        if (byte == input_end) {
            // No UTF-16 line end: bytes.
            return bytes.end == none ? reader.give(reader.pulled, false, reader.pulled)
                                     : reader.give(bytes.end, false, bytes.end + 1);
        }
        const std::size_t offset = reader.pulled - 1;
        if (offset == 1 && (previous == bom_low || previous == bom_high) &&
            byte == (previous ^ 1)) {
            reader.line.size = 0;
            return read_after_bom(reader, previous == bom_high);
        }
        reader.line.append(byte);
        const bool decided_as_bytes = bytes.take(byte, offset);
        if (utf16.possible && offset % 2 == 1 &&
            utf16.take(static_cast<unsigned>(byte << byte_bits | previous))) {
            return reader.give(offset - 1, true, offset + 1);
        }
        previous = byte;
        if (bytes.end != none && (decided_as_bytes || !utf16.possible)) {
            return reader.give(bytes.end, false, bytes.end + 1);
        }
    }
}

} // namespace

console_line read_console_line(byte_source source, bool may_be_utf16)
{
    line_reader reader{source, {}, 0, false};
    return may_be_utf16 ? read_bytes_or_utf16(reader) : read_bytes(reader);
}
