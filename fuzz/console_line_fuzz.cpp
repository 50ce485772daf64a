// libFuzzer target for read_console_line: the fuzz bytes become standard
// input, and every result is checked against what the line reader promises
// its caller. The first byte chooses whether the line may be UTF-16.

#include "console_line.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

void fail(const char *what)
{
    (void)std::fprintf(stderr, "read_console_line broke its contract: %s\n", what);
    std::abort();
}

// What the reader must give for input: where the name starts and ends, and
// where reading must stop. Characters are width bytes wide.
struct expected_line {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t position = 0;
    bool utf16 = false;
    bool whole = true;
};

// UTF-16LE's byte order mark, and the end of ASCII.
constexpr unsigned bom_first = 0xFF;
constexpr unsigned bom_second = 0xFE;
constexpr unsigned ascii_end = 0x80;
constexpr unsigned byte_bits = 8;

bool ends_line(unsigned character)
{
    return character == '\0' || character == '\n' || character == '\r';
}

expected_line expect(const std::uint8_t *input, std::size_t size, bool may_be_utf16)
{
    expected_line line;
    line.utf16 = may_be_utf16 && size >= 2 && !ends_line(input[0]) &&
                 ((input[0] == bom_first && input[1] == bom_second) ||
                  (input[0] < ascii_end && input[1] == 0));
    const std::size_t width = line.utf16 ? 2 : 1;
    line.start = line.utf16 && input[0] == bom_first ? 2 : 0;
    std::size_t end = line.start;
    while (end + width <= size &&
           !ends_line(width == 1 ? input[end] : input[end] | input[end + 1] << byte_bits)) {
        end += width;
    }
    line.end = end;
    line.position = end + width <= size ? end + width : size;
    line.whole = end == size || end + width <= size; // no half character at the end
    return line;
}

void check_line(const console_line &line, long position, const std::uint8_t *input,
                std::size_t size, bool may_be_utf16)
{
    const expected_line expected = expect(input, size, may_be_utf16);
    const std::size_t length = expected.whole ? expected.end - expected.start : 0;
    if (line.size != length || std::memcmp(line.text, input + expected.start, length) != 0) {
        fail("the name is not the input up to its first line end or NUL");
    }
    if (line.text[line.size] != '\0' || line.text[line.size + 1] != '\0') {
        fail("the name does not end in two NULs");
    }
    if (length > 0 && line.utf16 != expected.utf16) {
        fail("the name's characters are not of the width its first bytes say");
    }
    if (position < 0 || static_cast<std::size_t>(position) != expected.position) {
        fail("reading did not stop exactly after the name's end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t data_size)
{
    if (data_size == 0) {
        return 0;
    }
    const bool may_be_utf16 = (data[0] & 1U) != 0;
    const std::uint8_t *input = data + 1;
    const std::size_t input_size = data_size - 1;
    // A memory stream over the input; glibc allows no empty one, so empty
    // input comes from /dev/null, which is at its end at once as well.
    std::FILE *stream = input_size == 0
                            ? std::fopen("/dev/null", "rb")
                            : fmemopen(const_cast<std::uint8_t *>(input), input_size, "rb");
    if (stream == nullptr) {
        fail("no stream for the input");
    }
    std::FILE *const saved_stdin = stdin;
    stdin = stream; // glibc's stdin is an ordinary variable

    const console_line line = read_console_line(may_be_utf16);
    check_line(line, std::ftell(stream), input, input_size, may_be_utf16);
    if (line.size != 0) {
        std::free(const_cast<char *>(line.text));
    }

    stdin = saved_stdin;
    (void)std::fclose(stream);
    return 0;
}
