#include "console_line.h"

#include <cstdio>
#include <cstdlib>

const char *read_console_line()
{
    // Drops only what the stream itself buffered from earlier reads; input
    // typed before the prompt appeared is still waiting and is read below.
    (void)std::fflush(stdin);

    char *line = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;
    bool cut = false;
    bool out_of_memory = false;
    for (int character = std::getc(stdin); character != EOF && character != '\n';
         character = std::getc(stdin)) {
        // NUL and CR end the name too, wherever they stand; the rest of the
        // line is still read, so the next read would start on a new line.
        cut = cut || character == '\0' || character == '\r';
        if (cut || out_of_memory) {
            continue;
        }
        if (length + 1 >= capacity) {
            const std::size_t larger = capacity == 0 ? 256 : capacity * 2;
            char *grown = static_cast<char *>(std::realloc(line, larger));
            if (grown == nullptr) {
                out_of_memory = true;
                continue;
            }
            line = grown;
            capacity = larger;
        }
        line[length++] = static_cast<char>(character);
    }
    // A part of a name could be the name of another file: a line that did
    // not arrive whole is no name at all.
    if (line == nullptr || out_of_memory || std::ferror(stdin) != 0) {
        std::free(line);
        return "";
    }
    line[length] = '\0';
    return line;
}
