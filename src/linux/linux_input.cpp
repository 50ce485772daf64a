#include "platform.h"

#include "console_line.h"

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// A file is read in chunks of this size, and the offset then set back to
// just after the name's end.
constexpr std::size_t chunk_size = 4096;

// A terminal in line mode holds 4,096 bytes of a line (Linux's n_tty), the
// line end included, and drops what is typed beyond: a line this long may
// have been cut.
constexpr std::size_t terminal_line_room = 4095;

// Standard input, shared with whoever started the program: from a pipe or
// a terminal it is read a byte at a time, so that nothing after the name is
// taken from the others.
struct standard_input {
    bool seekable = false;
    std::size_t filled = 0;
    std::size_t taken = 0;
    unsigned char chunk[chunk_size] = {};
};

// read(), waiting for the stream when it was handed over non-blocking.
ssize_t read_waiting(void *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, size);
        if (got >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return got;
        }
        if (errno != EINTR) {
            pollfd ready{STDIN_FILENO, POLLIN, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return -1;
            }
        }
    }
}

int next_byte(void *state)
{
    auto &input = *static_cast<standard_input *>(state);
    if (input.taken == input.filled) {
        const ssize_t got = read_waiting(input.chunk, input.seekable ? sizeof input.chunk : 1);
        if (got <= 0) {
            return got == 0 ? input_end : input_error;
        }
        input.filled = static_cast<std::size_t>(got);
        input.taken = 0;
    }
    return input.chunk[input.taken++];
}

bool terminal_in_line_mode()
{
    termios settings{};
    return tcgetattr(STDIN_FILENO, &settings) == 0 && (settings.c_lflag & ICANON) != 0;
}

} // namespace

const char *read_typed_name()
{
    static standard_input input;
    struct stat status {
    };
    const off_t start = lseek(STDIN_FILENO, 0, SEEK_CUR);
    input.seekable = start >= 0 && fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode);

    const console_line line = read_console_line(byte_source{next_byte, &input});
    if (input.seekable) {
        (void)lseek(STDIN_FILENO, start + static_cast<off_t>(line.consumed), SEEK_SET);
    }
    if (line.size >= terminal_line_room && terminal_in_line_mode()) {
        std::free(const_cast<char *>(line.text));
        return ""; // perhaps cut by the terminal: no part of a name
    }
    return line.text;
}
