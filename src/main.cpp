#include <cstdio>
#include <cstring>

#include "console_line.h"
#include "platform.h"

int main(int argc, char **argv)
{
    prepare_process();

    // A name of up to 1023 characters and its terminating NUL.
    constexpr int name_size = 1024;
    char name[name_size] = {};
    if (argc < 2) {
        std::printf("- insert the name of the file to keep open\n  ");
        read_console_line(name, name_size);
    } else {
        std::strncpy(name, argv[1], sizeof name - 1);
    }

    std::printf("- start fopen() loop on %s\n", name);
    // The stream is kept open, untouched, until the process ends.
    while (try_open(name) == nullptr) {
        pause_after_failed_attempt();
    }
    std::puts("- done, press CTRL-C when you want to quit");
    idle_forever();
}
