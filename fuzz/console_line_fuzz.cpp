// libFuzzer target for read_console_line: the fuzz bytes become its input,
// and every result is checked against what the line reader promises its
// caller, as worked out here from the whole input at once. The first byte
// chooses whether the line may be UTF-16.

#include "console_line.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

void fail(const char *what)
{
    (void)std::fprintf(stderr, "read_console_line broke its contract: %s\n", what);
    std::abort();
}

struct memory_input {
    const std::uint8_t *bytes;
    std::size_t size;
    std::size_t pulled;

    static int next(void *state)
    {
        auto &input = *static_cast<memory_input *>(state);
        return input.pulled == input.size ? input_end : input.bytes[input.pulled++];
    }
};

// What the reader must give for input: the name's bytes (UTF-16LE where
// utf16), where the input after the line starts, and how far reading goes.
struct expected_line {
    std::vector<std::uint8_t> text;
    std::size_t consumed = 0;
    std::size_t pulled = 0;
    bool utf16 = false;
};

constexpr std::size_t none = SIZE_MAX;
constexpr unsigned byte_bits = 8;
constexpr unsigned byte_mask = 0xFF;
// UTF-16's byte order mark, FEFF, as its two bytes come in either order.
constexpr unsigned bom_high = 0xFE;
constexpr unsigned bom_low = 0xFF;
constexpr unsigned first_printable = 0x20;
constexpr unsigned high_surrogates = 0xD800;
constexpr unsigned low_surrogates = 0xDC00;
constexpr unsigned surrogates_end = 0xE000;

bool ends_line(unsigned character)
{
    return character == '\0' || character == '\n' || character == '\r';
}

expected_line in_bytes(const std::uint8_t *input, std::size_t end, std::size_t size)
{
    expected_line line;
    line.text.assign(input, input + end);
    line.consumed = end < size ? end + 1 : size;
    line.pulled = line.consumed;
    return line;
}

// After a byte order mark: characters to the first U+0000, U+000A or U+000D.
expected_line after_bom(const std::uint8_t *input, std::size_t size, bool big_endian)
{
    expected_line line;
    line.utf16 = true;
    std::size_t offset = 2;
    for (; offset + 1 < size; offset += 2) {
        const unsigned unit = big_endian ? input[offset] << byte_bits | input[offset + 1]
                                         : input[offset + 1] << byte_bits | input[offset];
        if (ends_line(unit)) {
            line.consumed = line.pulled = offset + 2;
            return line;
        }
        line.text.push_back(unit & byte_mask);
        line.text.push_back(unit >> byte_bits);
    }
    line.consumed = line.pulled = size;
    if (offset < size) {
        line.text.clear(); // half a character
    }
    return line;
}

// The byte index at which UTF-16LE reaches its line end (its second byte),
// else where it is ruled out (size when only the end of input does that).
std::size_t utf16_outcome(const std::uint8_t *input, std::size_t size, bool &reached)
{
    reached = false;
    for (std::size_t offset = 0; offset + 1 < size; offset += 2) {
        const unsigned unit = input[offset + 1] << byte_bits | input[offset];
        const bool high = unit >= high_surrogates && unit < low_surrogates;
        const bool low = unit >= low_surrogates && unit < surrogates_end;
        if (unit == 0 || low) {
            return offset + 1;
        }
        if (high) {
            if (offset + 3 >= size) {
                return size;
            }
            const unsigned next = input[offset + 3] << byte_bits | input[offset + 2];
            if (next < low_surrogates || next >= surrogates_end) {
                return offset + 3;
            }
            offset += 2;
        } else if (unit == '\n' || unit == '\r') {
            reached = true;
            return offset + 1;
        }
    }
    return size;
}

expected_line expect(const std::uint8_t *input, std::size_t size, bool may_be_utf16)
{
    std::size_t end = 0;
    bool control = false;
    while (end < size && !ends_line(input[end])) {
        control = control || input[end] < first_printable;
        ++end;
    }
    if (!may_be_utf16) {
        return in_bytes(input, end, size);
    }
    if (size >= 2 && (input[0] == bom_low || input[0] == bom_high) && input[1] == (input[0] ^ 1U)) {
        return after_bom(input, size, input[0] == bom_high);
    }
    // Bytes are decided at an LF that ends the line, or follows the CR that
    // does, where no control character comes before; or once UTF-16 is out.
    std::size_t line_feed = none;
    if (!control && end < size && input[end] == '\n') {
        line_feed = end;
    } else if (!control && end + 1 < size && input[end] == '\r' && input[end + 1] == '\n') {
        line_feed = end + 1;
    }
    bool reached = false;
    const std::size_t outcome = utf16_outcome(input, size, reached);
    if (reached && outcome < line_feed) {
        expected_line line;
        line.utf16 = true;
        line.text.assign(input, input + outcome - 1);
        line.consumed = line.pulled = outcome + 1;
        return line;
    }
    expected_line line = in_bytes(input, end, size);
    const std::size_t ruled_out = outcome > end ? outcome : end;
    const std::size_t decided = line_feed < ruled_out ? line_feed : ruled_out;
    line.pulled = decided < size ? decided + 1 : size;
    return line;
}

console_line read_line(memory_input &input, bool may_be_utf16)
{
    return read_console_line(byte_source{memory_input::next, &input}, may_be_utf16);
}

void check_line(const console_line &line, std::size_t pulled, const expected_line &expected)
{
    const std::size_t length = expected.text.size();
    if (line.size != length ||
        (length > 0 && std::memcmp(line.text, expected.text.data(), length) != 0)) {
        fail("the name is not the line as its encoding gives it");
    }
    if (line.text[line.size] != '\0' || line.text[line.size + 1] != '\0') {
        fail("the name does not end in two NULs");
    }
    if (length > 0 && line.utf16 != expected.utf16) {
        fail("the name is not in the encoding that the input decides");
    }
    if (line.consumed != expected.consumed) {
        fail("the line's end is not where the input says");
    }
    if (pulled != expected.pulled) {
        fail("reading did not stop where the encoding and the line were decided");
    }
}

void release(const console_line &line)
{
    if (line.size != 0) {
        std::free(const_cast<char *>(line.text));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t data_size)
{
    if (data_size == 0) {
        return 0;
    }
    const bool may_be_utf16 = (data[0] & 1U) != 0;
    memory_input input{data + 1, data_size - 1, 0};
    const console_line line = read_line(input, may_be_utf16);
    check_line(line, input.pulled, expect(input.bytes, input.size, may_be_utf16));

    // What the reader did not read cannot change what it decided.
    if (input.pulled < input.size) {
        std::vector<std::uint8_t> changed(input.bytes, input.bytes + input.size);
        for (std::size_t offset = input.pulled; offset < changed.size(); ++offset) {
            changed[offset] = static_cast<std::uint8_t>(~changed[offset]);
        }
        memory_input other{changed.data(), changed.size(), 0};
        const console_line again = read_line(other, may_be_utf16);
        if (again.size != line.size || again.consumed != line.consumed ||
            other.pulled != input.pulled || std::memcmp(again.text, line.text, line.size) != 0) {
            fail("the bytes after where reading stopped changed the line");
        }
        release(again);
    }
    release(line);
    return 0;
}
