#include "platform.h"

#include "pattern.h"
#include "posix.h"

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

awaited_name split_once(const char *name)
{
    awaited_name split;
    split.name = name;
    const char *slash = std::strrchr(name, '/');
    split.leaf = slash == nullptr ? name : slash + 1;
    split.folder_part = static_cast<std::size_t>(split.leaf - name);
    split.pattern = is_pattern(split.leaf);
    if (*split.leaf == '\0') {
        return split; // empty, or ends in a slash: names no file in a folder
    }
    // The folder without its last slash, but "/" for the root.
    const std::size_t length = slash == nullptr || slash == name ? 1 : slash - name;
    split.folder = static_cast<char *>(std::malloc(length + 1));
    if (split.folder != nullptr) {
        std::memcpy(split.folder, slash == nullptr ? "." : name, length);
        split.folder[length] = '\0';
    }
    return split;
}

} // namespace

struct waiting {
    awaited_name split;
    bool first = true;
};

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
    state.split = split_once(name);
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
    const awaited_name &split = state.split;
    const char *name = split.name;
    if (state.first && split.pattern) {
        watch_folder(split);
    }
    state.first = false;
    bool out_of_descriptors = false;
    std::FILE *file = split.pattern
                          ? try_matches(split, held, out_of_descriptors, read_queued_events)
                          : open_path(name, out_of_descriptors);
    // The watch only speeds things up: it never costs the attempt its
    // descriptor.
    if (file == nullptr && out_of_descriptors && give_up_watch()) {
        file = split.pattern ? try_matches(split, held, out_of_descriptors, read_queued_events)
                             : open_path(name, out_of_descriptors);
    }
    return file;
}

void wait_for_next_attempt(waiting &state)
{
    pause_on_folder(state.split);
}

void idle_forever(waiting & /*state*/)
{
    // Holding needs no descriptor but the file's.
    end_watch();
    for (;;) {
        pause();
    }
}
