#include "platform.h"

int main(int argc, char **argv)
{
    prepare_process();

    // The name, whole, for the whole run.
    const char *name = nullptr;
    if (argc < 2) {
        write_message("- insert the name of the file to keep open\n  ");
        name = read_typed_name();
    } else {
        name = first_argument(argv);
    }

    write_message("- start fopen() loop on ", name, "\n");
    // The stream is kept open, untouched, until the process ends.
    while (try_open(name) == nullptr) {
        wait_for_next_attempt(name);
    }
    write_message("- done, press CTRL-C when you want to quit\n");
    idle_forever();
}
