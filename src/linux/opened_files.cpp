#include "opened_files.h"

#include "opened_name.h"
#include "schedule.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <limits>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Events a read: each holds a descriptor until it is looked at.
constexpr std::size_t events_a_read = 32;
// A storm cannot hold the reader: the credit takes the marks off.
constexpr int most_reads = 64;

std::int64_t now_ns()
{
    const timespec now = monotonic_now();
    return static_cast<std::int64_t>(now.tv_sec) * one_second_ns + now.tv_nsec;
}

// The name of the file open as descriptor, in link (PATH_MAX bytes and
// more): its size, without the kernel's " (deleted)" once the file has no
// name left; 0 where it cannot be read.
std::size_t name_of(int descriptor, char *link, std::size_t room)
{
    char where[sizeof "/proc/self/fd/" + std::numeric_limits<int>::digits10 + 1];
    (void)std::snprintf(where, sizeof where, "/proc/self/fd/%d", descriptor);
    const ssize_t size = readlink(where, link, room - 1);
    if (size <= 0 || static_cast<std::size_t>(size) >= room - 1) {
        return 0;
    }
    link[size] = '\0';
    const auto whole = static_cast<std::size_t>(size);
    const std::size_t unmarked = name_in_link(link, whole, true);
    if (unmarked == whole) {
        return whole;
    }
    // Gone, or named so itself: gone where it has no link left, or where
    // its path is not this file.
    struct stat held {
    };
    struct stat there {
    };
    const bool gone = fstat(descriptor, &held) == 0 &&
                      (held.st_nlink == 0 || lstat(link, &there) != 0 ||
                       there.st_dev != held.st_dev || there.st_ino != held.st_ino);
    const std::size_t size_now = name_in_link(link, whole, gone);
    link[size_now] = '\0';
    return size_now;
}

// Looks at one event's file: joins found where it is awaited, else closed.
void look_at(const folder_tree &tree, const name_components &name, int descriptor,
             candidate_list &found)
{
    if (tree.marks.leader_without_terminal) {
        give_back_terminal(descriptor);
    }
    // A path and the kernel's mark after it.
    char link[PATH_MAX + sizeof " (deleted)"];
    const std::size_t size = name_of(descriptor, link, sizeof link);
    char *shown = size == 0 || tree.top < 0 || tree.top_path == nullptr
                      ? nullptr
                      : awaited_name(name, tree.folders[tree.top], tree.top_path, link, size);
    struct stat status {
    };
    // Folders never count (the marks ask for none, but a file may be
    // replaced by one in the meantime only by name).
    if (shown == nullptr || fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
        std::free(shown);
        (void)close(descriptor);
        return;
    }
    candidate item;
    item.path = shown;
    item.descriptor = descriptor;
    item.type = S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
    (void)add_candidate(found, item); // no memory: closed, and listed later
}

// Gives the marks up where the kernel could not make a descriptor for an
// event: the attempts need them more.
void out_of_descriptors(folder_tree &tree)
{
    close_marks(tree.marks);
    tree.marks.refused = true;
}

// Reads the queue once; false when it is empty or cannot be read. Sets lost
// where an event went unseen.
bool read_once(folder_tree &tree, const name_components &name, candidate_list &found, bool &lost)
{
    alignas(fanotify_event_metadata) char events[events_a_read * sizeof(fanotify_event_metadata)];
    const ssize_t got = read(tree.marks.instance, events, sizeof events);
    if (got < 0) {
        // An older kernel says so when the first event's descriptor could
        // not be made, and drops that event; another one's is read next.
        const int error = errno;
        if (error == EMFILE || error == ENFILE) {
            out_of_descriptors(tree);
            lost = true;
        }
        return error != EAGAIN && error != EWOULDBLOCK && tree.marks.instance >= 0;
    }
    auto left = static_cast<int>(got);
    for (const auto *event = reinterpret_cast<const fanotify_event_metadata *>(events);
         FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        if ((event->mask & FAN_Q_OVERFLOW) != 0) {
            lost = true;
        } else if (event->fd >= 0) {
            look_at(tree, name, event->fd, found);
        } else if (event->fd == -EMFILE || event->fd == -ENFILE) {
            out_of_descriptors(tree);
            lost = true;
        }
    }
    return tree.marks.instance >= 0 && static_cast<std::size_t>(got) == sizeof events;
}

// Tops the credit up for the time gone by.
void refill(open_marks &marks, std::int64_t now)
{
    marks.credit_ns =
        refilled(marks.credit_ns, now - marks.credit_time, opens_share, opens_credit_held_ns);
    marks.credit_time = now;
}

} // namespace

bool marks_back(folder_tree &tree, const name_components &name)
{
    open_marks &marks = tree.marks;
    if (!marks.off || marks.instance < 0) {
        return false;
    }
    const std::int64_t now = now_ns();
    refill(marks, now);
    if (marks.credit_ns < opens_credit_held_ns ||
        now - marks.since < storm_rest(storm_rest_ns, marks.storms)) {
        return false;
    }
    marks.off = false;
    marks.since = now;
    mark_for_opens(tree, name);
    return true;
}

bool take_opened(folder_tree &tree, const name_components &name, candidate_list &found)
{
    open_marks &marks = tree.marks;
    if (marks.instance < 0 || marks.marked == 0) {
        return false;
    }
    const std::int64_t start = now_ns();
    refill(marks, start);
    bool lost = false;
    for (int reads = 0; reads < most_reads && read_once(tree, name, found, lost); ++reads) {
    }
    if (marks.credit_ns - (now_ns() - start) < 0 && marks.instance >= 0) {
        // Other files' opens come faster than the credit pays for: the
        // marks go until it is whole again, and what came before them is
        // still read.
        unmark_all(marks);
        marks.off = true;
        const std::int64_t now = now_ns();
        marks.storms = now - marks.since < storm_passed_ns ? marks.storms + 1 : 1;
        marks.since = now;
        for (int reads = 0; reads < most_reads && read_once(tree, name, found, lost); ++reads) {
        }
    }
    const std::int64_t end = now_ns();
    marks.credit_ns -= end - start;
    marks.credit_time = end;
    marks.read_ns += end - start;
    return lost;
}
