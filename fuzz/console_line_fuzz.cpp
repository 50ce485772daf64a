// libFuzzer target for read_console_line: the fuzz bytes become standard
// input, and every result is checked against what the line reader promises
// its caller.

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

// The name is the whole start of the input up to its first NUL, LF or CR;
// the stream is left just past the first LF, or at the end of the input.
void check_line(const char *name, long position, const std::uint8_t *input, std::size_t input_size)
{
    std::size_t cut = 0;
    while (cut < input_size && input[cut] != '\0' && input[cut] != '\n' && input[cut] != '\r') {
        ++cut;
    }
    const std::size_t length = std::strlen(name);
    if (length != cut || std::memcmp(name, input, length) != 0) {
        fail("the name is not the input up to its first line end or NUL");
    }
    const void *line_feed = std::memchr(input, '\n', input_size);
    const std::size_t expected =
        line_feed == nullptr
            ? input_size
            : static_cast<std::size_t>(static_cast<const std::uint8_t *>(line_feed) - input) + 1;
    if (position < 0 || static_cast<std::size_t>(position) != expected) {
        fail("the line was not read exactly to its end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t data_size)
{
    // A memory stream over the input; glibc allows no empty one, so empty
    // input comes from /dev/null, which is at its end at once as well.
    std::FILE *stream = data_size == 0
                            ? std::fopen("/dev/null", "rb")
                            : fmemopen(const_cast<std::uint8_t *>(data), data_size, "rb");
    if (stream == nullptr) {
        fail("no stream for the input");
    }
    std::FILE *const saved_stdin = stdin;
    stdin = stream; // glibc's stdin is an ordinary variable

    const char *name = read_console_line();
    check_line(name, std::ftell(stream), data, data_size);
    if (*name != '\0') {
        std::free(const_cast<char *>(name));
    }

    stdin = saved_stdin;
    (void)std::fclose(stream);
    return 0;
}
