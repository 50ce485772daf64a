#include "pattern.h"
#include "posix.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

// The watch on the folder of the awaited name. Polling stays the guarantee
// for what it cannot see; the watch only ends a pause early.

namespace
{

// Room for the events a busy folder queues between two reads that the
// budget pays for, so that one read drains them.
constexpr std::size_t event_buffer_size = 16384;

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

// Early wake-ups are paid from a budget that refills at this many a second
// and holds at most a few: a quiet folder's event ends the pause at once,
// and a file written beside the name and renamed to it takes two. At any
// rate of events, about the name or not, the wake-ups then stay within an
// eighth above the plain pauses': once the budget is spent, the pauses are
// plain, and what came meanwhile is read in one go at the next wake-up the
// budget pays for.
constexpr std::int64_t early_wake_up_cost_ns = 8 * one_millisecond_ns; // 125 a second
constexpr std::int64_t early_wake_ups_held = 4;

struct folder_watch {
    int instance = -1;     // the inotify descriptor, made at the first pause
    int watch = -1;        // the folder's watch in it; -1 while there is none
    unsigned pauses = 0;   // pauses since the watch was last set or checked
    bool given_up = false; // the attempts needed its descriptor
    std::int64_t budget_ns = early_wake_ups_held * early_wake_up_cost_ns;
    timespec budget_time{}; // when the budget was last topped up
};
folder_watch watched;

// Sets the watch on the folder when there is none, and now and then checks
// the one there is; true when there is a watch.
bool keep_watch(const awaited_name &name)
{
    if (watched.pauses++ % pauses_between_checks != 0) {
        return watched.watch >= 0;
    }
    if (name.folder == nullptr || watched.given_up) {
        return false; // names no file in a folder, or no descriptor to spare
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
    const int now = inotify_add_watch(watched.instance, name.folder, watched_events);
    if (watched.watch >= 0 && now != watched.watch) {
        (void)inotify_rm_watch(watched.instance, watched.watch);
    }
    if (now < 0 && watched.watch < 0) {
        report_lost_events(); // no watch to tell what the folder holds
    }
    watched.watch = now;
    return now >= 0;
}

// Whether the event's entry may be the awaited file; a pattern's matches
// are reported, to be tried first.
bool about_the_name(const awaited_name &name, const inotify_event &event)
{
    if (event.len == 0) {
        return false;
    }
    if (!name.pattern) {
        return std::strcmp(event.name, name.leaf) == 0;
    }
    // A new folder never counts, whatever its name.
    if ((event.mask & IN_ISDIR) != 0 || !pattern_matches(name.leaf, event.name, true)) {
        return false;
    }
    report_match(event.name);
    return true;
}

// Reads every queued event in one go; true when one of them may let the
// next attempt succeed.
bool read_events(const awaited_name &name)
{
    alignas(inotify_event) char events[event_buffer_size];
    const ssize_t got = read(watched.instance, events, sizeof events);
    bool relevant = false;
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
        const bool lost = (event->mask & IN_Q_OVERFLOW) != 0;
        if (lost || folder_changed) {
            report_lost_events();
        }
        relevant = about_the_name(name, *event) || relevant || folder_changed || lost;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return relevant;
}

// Tops up the budget of early wake-ups for the time gone by; true when it
// pays for one more.
bool can_wake_early(const timespec &now)
{
    const std::int64_t most = early_wake_ups_held * early_wake_up_cost_ns;
    watched.budget_ns += nanoseconds_between(watched.budget_time, now);
    watched.budget_time = now;
    if (watched.budget_ns > most) {
        watched.budget_ns = most;
    }
    return watched.budget_ns >= early_wake_up_cost_ns;
}

void plain_pause()
{
    const timespec one_millisecond{0, one_millisecond_ns};
    (void)nanosleep(&one_millisecond, nullptr);
}

} // namespace

void watch_folder(const awaited_name &name)
{
    (void)keep_watch(name);
}

bool read_queued_events(const awaited_name &name)
{
    return watched.watch >= 0 && read_events(name);
}

bool give_up_watch()
{
    watched.given_up = true;
    watched.watch = -1;
    if (watched.instance < 0) {
        return false;
    }
    (void)close(watched.instance);
    watched.instance = -1;
    report_lost_events();
    return true;
}

void pause_on_folder(const awaited_name &name)
{
    if (!keep_watch(name)) {
        plain_pause();
        return;
    }
    timespec now = monotonic_now();
    if (!can_wake_early(now)) {
        plain_pause(); // the budget is spent
        return;
    }
    const timespec end = after(now, one_millisecond_ns);
    pollfd events{watched.instance, POLLIN, 0};
    for (;;) {
        const std::int64_t left = nanoseconds_between(now, end);
        if (left <= 0) {
            return;
        }
        const timespec timeout{0, static_cast<long>(left)};
        const int ready = ppoll(&events, 1, &timeout, nullptr);
        if (ready == 0) {
            return; // the millisecond is over
        }
        if (ready < 0) {
            plain_pause(); // never a spin, whatever went wrong
            return;
        }
        watched.budget_ns -= early_wake_up_cost_ns;
        if (read_events(name)) {
            return; // the name may open now
        }
        now = monotonic_now();
        if (!can_wake_early(now)) {
            (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr);
            return;
        }
    }
}

void end_watch()
{
    // Closing an inotify instance waits for the kernel: only once the file
    // is held, when nothing is in a hurry.
    if (watched.instance >= 0) {
        (void)close(watched.instance);
        watched.instance = -1;
    }
}
