#include "platform.h"

#include <cstring>

int main(int argc, char **argv)
{
    prepare_process();

    // The name, whole, for the whole run.
    const char *name = nullptr;
    if (argc < 2) {
        write_message("- insert the name of the file to keep open\n  ");
        name = read_typed_name();
    } else {
        name = expand_argument(first_argument(argv));
    }

    write_message("- start fopen() loop on ", name, "\n");
    waiting &state = start_waiting(name);
    // The stream is kept open, untouched, until the process ends.
    const char *held = nullptr;
    while (try_open(state, held) == nullptr) {
        wait_for_next_attempt(state);
    }
    // A pattern's match is named before the done line, in the same write, so
    // that a script waiting for the done line has read which file it is. A
    // file named like the pattern itself needs no such line.
    const char *const line_end_then_done = "\n- done, press CTRL-C when you want to quit\n";
    if (held != nullptr && std::strcmp(held, name) != 0) {
        write_message("- opened ", held, line_end_then_done);
    } else {
        write_message(line_end_then_done + 1);
    }
    idle_forever(state);
}
