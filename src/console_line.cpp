#include "console_line.h"

#include <cstdio>
#include <cstring>

int read_console_line(char *buffer, int size)
{
    if (buffer == nullptr || size < 1) {
        return 0;
    }
    // Drops only what the stream itself buffered from earlier reads; input
    // typed before the prompt appeared is still waiting and is read below.
    (void)std::fflush(stdin);
    // End of input or a read error before any character leaves fgets's
    // result unusable: the name is then empty, never stale bytes.
    buffer[0] = '\0';
    if (std::fgets(buffer, size, stdin) == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    // NUL, LF and CR all end the name, wherever they stand in the line.
    const std::size_t length = std::strcspn(buffer, "\r\n");
    buffer[length] = '\0';
    return static_cast<int>(length);
}
