#include "platform.h"

#include "console_line.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr long one_millisecond_ns = 1000000;
constexpr long one_second_ns = 1000000000;

// Room for every event a busy folder queues in one pause, so one read
// drains them.
constexpr std::size_t event_buffer_size = 4096;

// The watch on the folder of the awaited name. Polling stays the guarantee
// for what it cannot see; the watch only ends a pause early.
struct folder_watch {
    int instance = -1;          // the inotify descriptor, made at the first pause
    int watch = -1;             // the folder's watch in it; -1 while there is none
    const char *leaf = nullptr; // the last component of the name
    char *folder = nullptr;     // what comes before it
    unsigned pauses = 0;        // pauses since the watch was last tried
    bool busy = false;          // other names keep changing: the pauses are plain
};
folder_watch watched;

// Creations, renames into the folder and attribute changes can make the
// name openable; the rest of the folder's changes, writes and closes of
// other files above all, only add noise. The other events say the folder
// itself went away.
constexpr std::uint32_t watched_events =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t folder_gone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// A missing folder, or inotify at its limits, is tried again this often
// (about ten times a second); meanwhile the pauses are plain.
constexpr unsigned pauses_between_tries = 100;

// Events about other names may end a pause early this many times (a file
// written beside the name and renamed to it takes one); after that the
// pause is slept out and the folder counts as busy: its pauses are plain,
// so it cannot make polling dear, until a pause ends with nothing queued.
constexpr int unrelated_wake_ups = 2;

enum class queued { nothing, other_names, the_name };

// Splits the name once into its folder and its last component.
bool split_name(const char *name)
{
    const char *slash = std::strrchr(name, '/');
    const char *leaf = slash == nullptr ? name : slash + 1;
    if (*leaf == '\0') {
        return false; // empty, or ends in a slash: names no file
    }
    const std::size_t folder_length = slash == nullptr ? 1 : slash == name ? 1 : slash - name;
    auto *folder = static_cast<char *>(std::malloc(folder_length + 1));
    if (folder == nullptr) {
        return false;
    }
    std::memcpy(folder, slash == nullptr ? "." : name, folder_length);
    folder[folder_length] = '\0';
    watched.leaf = leaf;
    watched.folder = folder;
    return true;
}

// Sets the watch on the folder when there is none; true when there is one.
bool set_watch(const char *name)
{
    if (watched.watch >= 0) {
        return true;
    }
    if (watched.pauses++ % pauses_between_tries != 0) {
        return false;
    }
    if (watched.folder == nullptr && !split_name(name)) {
        return false; // names no file in a folder: plain pauses
    }
    if (watched.instance < 0) {
        watched.instance = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (watched.instance >= 0) {
        watched.watch = inotify_add_watch(watched.instance, watched.folder, watched_events);
    }
    return watched.watch >= 0;
}

// Reads every queued event in one go, and tells whether one of them may
// let the next attempt succeed.
queued read_events()
{
    alignas(inotify_event) char events[event_buffer_size];
    const ssize_t got = read(watched.instance, events, sizeof events);
    bool relevant = false;
    if (got <= 0) {
        return queued::nothing;
    }
    for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        const auto *event = reinterpret_cast<const inotify_event *>(events + offset);
        // The folder deleted, moved or replaced: the next pause watches
        // whatever then stands at its name.
        const bool folder_changed = event->wd == watched.watch && (event->mask & folder_gone) != 0;
        if (folder_changed) {
            (void)inotify_rm_watch(watched.instance, watched.watch);
            watched.watch = -1;
            watched.pauses = 0;
        }
        // A full queue lost events: any of them may have been about the name.
        relevant = relevant || folder_changed || (event->mask & IN_Q_OVERFLOW) != 0 ||
                   (event->len > 0 && std::strcmp(event->name, watched.leaf) == 0);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return relevant ? queued::the_name : queued::other_names;
}

timespec after(const timespec &start, long nanoseconds)
{
    timespec end{start.tv_sec, start.tv_nsec + nanoseconds};
    if (end.tv_nsec >= one_second_ns) {
        end.tv_sec += 1;
        end.tv_nsec -= one_second_ns;
    }
    return end;
}

long nanoseconds_until(const timespec &end)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (end.tv_sec - now.tv_sec) * one_second_ns + (end.tv_nsec - now.tv_nsec);
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
    // The kernel may stretch each 1 ms pause by the timer slack (50 us by
    // default); without it the polling period stays at the pause asked for.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

const char *first_argument(char **argv)
{
    return argv[1];
}

const char *read_typed_name()
{
    return read_console_line();
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
        for (const char *part : parts) {
            (void)std::fputs(part, stdout);
        }
        return;
    }
    std::size_t offset = 0;
    for (int i = 0; i < 3; ++i) {
        std::memcpy(message + offset, parts[i], sizes[i]);
        offset += sizes[i];
    }
    (void)std::fwrite(message, 1, total, stdout);
    std::free(message);
}

std::FILE *try_open(const char *name)
{
    // Without O_NONBLOCK a FIFO with no writer would block the open and with
    // it the polling; this way a FIFO opens at once, like any file that can
    // be read. O_NOCTTY: holding a terminal must not make it ours.
    const int descriptor = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        return nullptr;
    }
    // Linux opens directories for reading; holding one is not what was asked.
    struct stat status {
    };
    std::FILE *file = nullptr;
    if (fstat(descriptor, &status) == 0 && !S_ISDIR(status.st_mode)) {
        file = fdopen(descriptor, "rb");
    }
    if (file == nullptr) {
        (void)close(descriptor);
    }
    return file;
}

void wait_for_next_attempt(const char *name)
{
    const timespec one_millisecond{0, one_millisecond_ns};
    if (!set_watch(name)) {
        (void)nanosleep(&one_millisecond, nullptr);
        return;
    }
    if (watched.busy) {
        // What came while the last pause was slept out: more of the same
        // keeps the pauses plain; nothing new gives the fast path back.
        const queued came = read_events();
        if (came == queued::the_name) {
            return;
        }
        if (came == queued::other_names) {
            (void)nanosleep(&one_millisecond, nullptr);
            return;
        }
        watched.busy = false;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec end = after(start, one_millisecond_ns);
    pollfd events{watched.instance, POLLIN, 0};
    timespec left = one_millisecond;
    for (int wake_ups = 0; wake_ups < unrelated_wake_ups; ++wake_ups) {
        if (ppoll(&events, 1, &left, nullptr) <= 0 || read_events() == queued::the_name) {
            return; // the period is over, or the name may now open
        }
        const long rest = nanoseconds_until(end);
        if (rest <= 0) {
            return;
        }
        left = timespec{0, rest};
    }
    watched.busy = true;
    (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr);
}

void idle_forever()
{
    // Released only now, after the done line: closing an inotify instance
    // waits for the kernel, and holding needs no descriptor but the file's.
    if (watched.instance >= 0) {
        (void)close(watched.instance);
    }
    for (;;) {
        pause();
    }
}
