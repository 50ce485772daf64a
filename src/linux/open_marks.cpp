#include "open_marks.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Newer kernels report an event whose descriptor could not be made (none
// free) with the error in its place, instead of dropping it unseen.
constexpr unsigned report_descriptor_errors = 0x2000; // FAN_REPORT_FD_ERROR

// Each event read takes a descriptor until it is looked at: the events of
// one read, and some to spare for the attempts.
constexpr rlim_t descriptors_needed = 64;

constexpr std::uint64_t opens = FAN_OPEN | FAN_EVENT_ON_CHILD;

// Whether a terminal in a marked folder could become this process's own:
// the kernel opens each event's file for it, and a session leader without
// a controlling terminal takes the first terminal it opens without
// O_NOCTTY, which the events' files cannot be given.
bool leads_without_a_terminal()
{
    if (getsid(0) != getpid()) {
        return false;
    }
    const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        return true; // a leader with no terminal of its own
    }
    (void)close(terminal);
    return false;
}

bool enough_descriptors(int instance)
{
    rlimit limit{};
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
           limit.rlim_cur >= static_cast<rlim_t>(instance) + descriptors_needed;
}

// Makes the group, once; false where it cannot be used.
bool start(open_marks &marks)
{
    if (marks.instance >= 0 || marks.refused) {
        return !marks.refused;
    }
    marks.refused = true;
    marks.leader_without_terminal = leads_without_a_terminal();
    // The events' descriptors: read-only, never blocking (a FIFO without a
    // writer opens at once, as the attempts' own opens do), never inherited.
    const unsigned event_flags = O_RDONLY | O_LARGEFILE | O_NONBLOCK | O_CLOEXEC;
    const unsigned flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK;
    marks.instance = fanotify_init(flags | report_descriptor_errors, event_flags);
    marks.reports_errors = marks.instance >= 0;
    if (marks.instance < 0 && errno == EINVAL) {
        marks.instance = fanotify_init(flags, event_flags); // an older kernel
    }
    if (marks.instance < 0) {
        return false; // no privilege (EPERM), no fanotify, no descriptor
    }
    if (!enough_descriptors(marks.instance)) {
        close_marks(marks);
        return false;
    }
    marks.refused = false;
    return true;
}

// The mount the folder at path is reached through, 0 where the kernel does
// not tell. A bind mount is a mount of its own, as it is to a mount's mark.
std::uint64_t mount_of(const char *path)
{
    struct statx status {
    };
    if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &status) != 0 ||
        (status.stx_mask & STATX_MNT_ID) == 0) {
        return 0;
    }
    return status.stx_mnt_id;
}

bool mark(open_marks &marks, unsigned how, const char *path)
{
    if (marks.off || !start(marks) ||
        fanotify_mark(marks.instance, FAN_MARK_ADD | how, opens, AT_FDCWD, path) != 0) {
        return false;
    }
    ++marks.marked;
    return true;
}

} // namespace

bool mark_folder(open_marks &marks, const char *path)
{
    if (marks.mount_id != 0 && !marks.off && mount_of(path) == marks.mount_id) {
        return true;
    }
    return mark(marks, FAN_MARK_ONLYDIR, path);
}

bool mark_mount(open_marks &marks, const char *path)
{
    if (!mark(marks, FAN_MARK_MOUNT, path)) {
        return false;
    }
    marks.mount_id = mount_of(path);
    return true;
}

void give_back_terminal(int descriptor)
{
    const pid_t session = getsid(0);
    if (tcgetsid(descriptor) != session) {
        return; // not a terminal, or not this session's
    }
    struct sigaction ignored {
    };
    ignored.sa_handler = SIG_IGN;
    struct sigaction previous {
    };
    (void)sigaction(SIGHUP, &ignored, &previous);
    (void)ioctl(descriptor, TIOCNOTTY);
    (void)sigaction(SIGHUP, &previous, nullptr);
}

void unmark_all(open_marks &marks)
{
    if (marks.instance >= 0) {
        (void)fanotify_mark(marks.instance, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
        (void)fanotify_mark(marks.instance, FAN_MARK_FLUSH | FAN_MARK_MOUNT, 0, AT_FDCWD, nullptr);
    }
    marks.marked = 0;
    marks.mount_id = 0;
}

void close_marks(open_marks &marks)
{
    if (marks.instance >= 0) {
        (void)close(marks.instance);
        marks.instance = -1;
    }
    marks.marked = 0;
    marks.mount_id = 0;
}
