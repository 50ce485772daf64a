#include "platform.h"

#include "attempt.h"
#include "folder_watches.h"
#include "open_file.h"
#include "opened_files.h"
#include "waiting.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{

// Writes all of size bytes, waiting for an output left non-blocking by the
// parent instead of giving up on it. A failed write changes nothing.
void write_all(const char *bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            pollfd output{STDOUT_FILENO, POLLOUT, 0};
            (void)poll(&output, 1, -1);
        } else if (written == 0 || errno != EINTR) {
            return;
        }
    }
}

// One attempt on a plain name: an open of the name, and where it fails, the
// file that the kernel handed over, where an open of it came. The name
// first: when it opens, the queue's other files need no look.
std::FILE *try_name(waiting &state, bool &out_of_descriptors)
{
    int error = 0;
    const int descriptor = open_file(state.name.name, error);
    out_of_descriptors = error == EMFILE || error == ENFILE;
    if (descriptor >= 0) {
        return stream_of(descriptor);
    }
    if (!state.pause.opens_due || out_of_descriptors) {
        return nullptr;
    }
    (void)take_opened(state.tree, state.name, state.trying);
    if (state.trying.count == 0) {
        return nullptr;
    }
    // Each is the file at the name as it was looked at; the first will do.
    const int handed_over = state.trying.items[0].descriptor;
    state.trying.items[0].descriptor = -1;
    clear_candidates(state.trying);
    return stream_of(handed_over);
}

// Gives up what only speeds the waiting up, for the attempts' descriptors:
// the marks first, then the watches. False when nothing was left to give.
bool give_up_helpers(folder_tree &tree)
{
    if (tree.marks.instance >= 0) {
        close_marks(tree.marks);
        tree.marks.refused = true;
        return true;
    }
    return give_up_watches(tree);
}

} // namespace

void prepare_process()
{
    // Unbuffered, so that a message goes out whole in the one write that
    // write_message asks for, and Ctrl-C never discards one still buffered.
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A reader of standard output that went away must not end the hold:
    // the failed write is simply ignored.
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Signals that the parent blocked (a harness's mask survives exec) would
    // make it immune to Ctrl-C, SIGTERM and SIGHUP. An ignored SIGINT, as a
    // script's background job has it, stays ignored.
    sigset_t none;
    (void)sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    // The kernel may stretch each 1 ms pause by the timer slack (50 us by
    // default); without it the polling period stays at the pause asked for.
    // It is this process's alone, so it may as well be set at once.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

waiting &start_waiting(const char *name)
{
    static waiting state;
    state.name = split_name(name, 0, "/");
    state.pattern = is_pattern(state.name);
    state.tree.pattern = state.pattern;
    // Nothing else to take: what the pauses need here touches no other
    // program, and is taken at the first pause.
    return state;
}

const char *first_argument(char **argv)
{
    return argv[1];
}

const char *expand_argument(const char *argument)
{
    // The shell has expanded what it was asked to; the rest is a pattern.
    return argument;
}

void write_message(const char *text, const char *name, const char *rest)
{
    const char *parts[] = {text, name, rest};
    std::size_t sizes[3] = {};
    std::size_t total = 0;
    for (int i = 0; i < 3; ++i) {
        sizes[i] = std::strlen(parts[i]);
        total += sizes[i];
    }
    auto *message = static_cast<char *>(std::malloc(total));
    if (message == nullptr) {
        // Better in pieces than not at all.
        for (int i = 0; i < 3; ++i) {
            write_all(parts[i], sizes[i]);
        }
        return;
    }
    std::size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        std::memcpy(message + offset, parts[i], sizes[i]);
        offset += sizes[i];
    }
    write_all(message, total);
    std::free(message);
}

std::FILE *try_open(waiting &state, const char *&held)
{
    // The watches only speed things up: they never cost the attempt its
    // descriptor.
    for (;;) {
        bool out_of_descriptors = false;
        std::FILE *file = state.pattern ? try_pattern(state, held, out_of_descriptors)
                                        : try_name(state, out_of_descriptors);
        if (file != nullptr || !out_of_descriptors || !give_up_helpers(state.tree)) {
            return file;
        }
    }
}

void wait_for_next_attempt(waiting &state)
{
    pause_on_events(state.tree, state.name, state.pattern, state.reports, state.pause);
}

void idle_forever(waiting &state)
{
    // Holding needs no descriptor but the file's, and no marks. Closing
    // either waits for the kernel: only now, when nothing is in a hurry.
    close_marks(state.tree.marks);
    if (state.tree.instance >= 0) {
        (void)close(state.tree.instance);
    }
    for (;;) {
        pause();
    }
}
