#include "platform.h"

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
// 64 bits, so that no difference of times overflows where long has 32.
constexpr std::int64_t one_second_ns = 1000000000;

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
    unsigned pauses = 0;        // pauses since the watch was last set or checked
    bool busy = false;          // the folder keeps changing: the pauses are plain
    timespec period_end{};      // the end of the current 1 ms period
    int wake_ups = 0;           // the pauses it has ended early
};
folder_watch watched;

// Creations, renames into the folder and attribute changes can make the
// name openable; the rest of the folder's changes, writes and closes of
// other files above all, only add noise. The other events say the folder
// itself went away.
constexpr std::uint32_t watched_events =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t folder_gone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// This often (about ten times a second) a missing folder, or inotify at its
// limits, is tried again, and a watched folder is checked to be still the
// one at the name: a folder above may have been renamed, a symlink
// re-pointed, or a mount laid over it.
constexpr unsigned pauses_between_checks = 100;

// Events may end pauses early this many times in one 1 ms period, whatever
// they are about (a file written beside the name and renamed to it takes
// two); after that the period is slept out and the folder counts as busy:
// its pauses are plain, so that no storm of events can make polling dear,
// until a pause ends with nothing queued.
constexpr int early_wake_ups = 2;

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

// Sets the watch on the folder when there is none, and now and then checks
// the one there is; true when there is a watch.
bool keep_watch(const char *name)
{
    if (watched.pauses++ % pauses_between_checks != 0) {
        return watched.watch >= 0;
    }
    if (watched.folder == nullptr && !split_name(name)) {
        return false; // names no file in a folder: plain pauses
    }
    if (watched.instance < 0) {
        watched.instance = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watched.instance < 0) {
            return false;
        }
    }
    // inotify gives a folder it already watches the same descriptor: another
    // one means that another folder stands at the name now, and only that
    // one matters.
    const int now = inotify_add_watch(watched.instance, watched.folder, watched_events);
    if (watched.watch >= 0 && now != watched.watch) {
        (void)inotify_rm_watch(watched.instance, watched.watch);
    }
    watched.watch = now;
    return now >= 0;
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

timespec monotonic_now()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

std::int64_t nanoseconds_between(const timespec &start, const timespec &end)
{
    return (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * one_second_ns +
           (end.tv_nsec - start.tv_nsec);
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

void plain_pause()
{
    const timespec one_millisecond{0, one_millisecond_ns};
    (void)nanosleep(&one_millisecond, nullptr);
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
}

void start_polling()
{
    // The kernel may stretch each 1 ms pause by the timer slack (50 us by
    // default); without it the polling period stays at the pause asked for.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

const char *first_argument(char **argv)
{
    return argv[1];
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

std::FILE *try_open(const char *name, const char *& /*held*/)
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
    if (!keep_watch(name)) {
        plain_pause();
        return;
    }
    if (watched.busy) {
        // Whatever came while the last pause was slept out, about the name
        // or not, keeps the pauses plain; nothing new gives the watch back.
        if (read_events() != queued::nothing) {
            plain_pause();
            return;
        }
        watched.busy = false;
    }
    timespec now = monotonic_now();
    if (nanoseconds_between(now, watched.period_end) <= 0) {
        watched.period_end = after(now, one_millisecond_ns);
        watched.wake_ups = 0;
    }
    pollfd events{watched.instance, POLLIN, 0};
    for (; watched.wake_ups < early_wake_ups; ++watched.wake_ups) {
        const std::int64_t left = nanoseconds_between(now, watched.period_end);
        if (left <= 0) {
            return;
        }
        const timespec timeout{0, static_cast<long>(left)};
        const int ready = ppoll(&events, 1, &timeout, nullptr);
        if (ready == 0) {
            return; // the period is over
        }
        if (ready < 0) {
            plain_pause(); // never a spin, whatever went wrong
            return;
        }
        if (read_events() == queued::the_name) {
            ++watched.wake_ups;
            return; // the name may open now
        }
        now = monotonic_now();
    }
    watched.busy = true;
    (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &watched.period_end, nullptr);
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
