// libFuzzer target for read_console_line: the fuzz bytes become standard
// input and the buffer size varies, and every result is checked against what
// the line reader promises its caller.

#include "console_line.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

// The first two bytes choose the buffer size, -2048 to 2048; sizes below 1
// must be refused without touching the buffer or the input.
constexpr std::size_t size_bytes = 2;
constexpr int size_range = 2049;

// Byte past the end of a refused buffer, and filler that must never show.
constexpr char untouched = '#';

void fail(const char *what)
{
    (void)std::fprintf(stderr, "read_console_line broke its contract: %s\n", what);
    std::abort();
}

bool ends_line(char character)
{
    return character == '\0' || character == '\n' || character == '\r';
}

// The kept text is the start of the input, cut at the first NUL, LF or CR
// among the characters that fit (size - 1, the buffer being exactly size
// bytes) and up to the first line end.
void check_line(const std::vector<char> &buffer, int result, const std::uint8_t *input,
                std::size_t input_size)
{
    const std::size_t room = buffer.size() - 1;
    const void *end = std::memchr(buffer.data(), '\0', buffer.size());
    if (end == nullptr) {
        fail("the buffer is not NUL-terminated");
    }
    const auto length = static_cast<std::size_t>(static_cast<const char *>(end) - buffer.data());
    if (result < 0 || static_cast<std::size_t>(result) != length) {
        fail("the result is not the length of the text");
    }
    if (length > room) {
        fail("more than size - 1 characters");
    }
    if (std::memcmp(buffer.data(), input, length) != 0) {
        fail("the text is not the start of the input");
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (ends_line(buffer[i])) {
            fail("a line end or NUL inside the text");
        }
    }
    // Cut short of what fits and of what there was: a line end stopped it.
    if (length < room && length < input_size && !ends_line(static_cast<char>(input[length]))) {
        fail("the text stops before a line end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t data_size)
{
    if (data_size < size_bytes) {
        return 0;
    }
    const auto raw_size = static_cast<std::int16_t>(data[0] | (data[1] << 8U));
    const int size = raw_size % size_range;
    const std::uint8_t *input = data + size_bytes;
    const std::size_t input_size = data_size - size_bytes;

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

    // No buffer at all is refused before any input is read.
    if (read_console_line(nullptr, size) != 0 || std::ftell(stream) != 0) {
        fail("a missing buffer was not refused untouched");
    }
    // Exactly size bytes, so AddressSanitizer sees any write past the end.
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1, untouched);
    const int result = read_console_line(buffer.data(), size);
    if (size < 1) {
        if (result != 0 || buffer[0] != untouched || std::ftell(stream) != 0) {
            fail("a size below 1 was not refused untouched");
        }
    } else {
        check_line(buffer, result, input, input_size);
    }

    stdin = saved_stdin;
    (void)std::fclose(stream);
    return 0;
}
