#include "pause.h"

#include "folder_watches.h"
#include "opened_files.h"
#include "schedule.h"

#include <algorithm>
#include <poll.h>

namespace
{

// This often (about ten times a second) the top of the tree is checked: a
// missing folder, or inotify at its limits, is tried again, and a watched
// folder is checked to be still the one at the name: a folder above may
// have been renamed, a symlink re-pointed, or a mount laid over it.
constexpr unsigned pauses_between_checks = 100;
// Some hundreds of microseconds of removals at the most.
constexpr std::size_t stale_watches_a_pause = 256;

// Tops up the budget of early wake-ups for the time gone by; true when it
// pays for one more, or a new folder was found since the last look.
bool can_wake_early(pause_state &state, const folder_tree &tree, const timespec &now)
{
    state.budget_ns = refilled(state.budget_ns, nanoseconds_between(state.budget_time, now), 1,
                               early_wake_ups_held * early_wake_up_cost_ns);
    state.budget_time = now;
    const bool found_folder = tree.made != state.folders_known;
    state.folders_known = tree.made;
    return may_wake_early(state.budget_ns, early_wake_up_cost_ns, found_folder,
                          early_wake_ups_owed);
}

void plain_pause(std::int64_t length_ns)
{
    const timespec length{0, static_cast<long>(length_ns)};
    (void)nanosleep(&length, nullptr);
}

// The pause less the time the attempt spent reading other files' opens,
// up to half of it: the attempts stay a millisecond apart while opens are
// read, which the opens' own credit bounds.
std::int64_t pause_length(open_marks &marks)
{
    const std::int64_t read = std::min(marks.read_ns, one_millisecond_ns / 2);
    marks.read_ns = 0;
    return one_millisecond_ns - read;
}

// Plain pauses after which a pattern's events are read, when the budget is
// spent: a match made as a storm ends is then tried within some
// milliseconds, and the storm's events are read in a quarter of the reads.
constexpr unsigned pauses_between_reads = 4;

void read_after_pause(folder_tree &tree, const name_components &name, bool pattern,
                      event_reports &reports, const pause_state &state)
{
    if (pattern && state.pauses % pauses_between_reads == 0) {
        (void)read_events(tree, name, pattern, reports);
    }
}

// What each pause sees to first: the top of the tree now and then, the
// watches of dropped folders a few at a time, and the marks for opens once
// a storm of them has passed.
void look_after_tree(folder_tree &tree, const name_components &name, pause_state &state)
{
    if (state.pauses++ % pauses_between_checks == 0 && !tree.given_up) {
        tree.out_of_watches = false; // more may be free now
        (void)set_top(tree, name);
    }
    remove_stale_watches(tree, stale_watches_a_pause);
    if (marks_back(tree, name)) {
        mark_all_unlisted(tree); // opens went unseen while the marks were off
    }
}

} // namespace

void pause_on_events(folder_tree &tree, const name_components &name, bool pattern,
                     event_reports &reports, pause_state &state)
{
    look_after_tree(tree, name, state);
    // Opens are read at the attempt, at the pauses' rhythm: their files are
    // held by the events until then. Only a quiet wait tells that none came.
    const bool marked = tree.marks.marked > 0;
    state.opens_due = marked;
    // A mount's mark sees every open on it, other programs' too: waking for
    // them would spend the early wake-ups on them, and wake this process
    // beside whichever program opened, as it goes on to make the file. Its
    // queue is read at every attempt instead, one read.
    const bool poll_opens = marked && tree.marks.mount_id == 0;
    const std::int64_t length_ns = pause_length(tree.marks);
    if (tree.instance < 0 || tree.watched == 0) {
        plain_pause(length_ns);
        return;
    }
    timespec now = monotonic_now();
    if (!can_wake_early(state, tree, now)) {
        // The budget is spent: a plain pause. A pattern's events are read
        // at the end of some, which costs no wake-up; a plain name is tried
        // at every attempt anyway.
        plain_pause(length_ns);
        read_after_pause(tree, name, pattern, reports, state);
        return;
    }
    const timespec end = after(now, length_ns);
    pollfd events[2] = {{tree.instance, POLLIN, 0},
                        {poll_opens ? tree.marks.instance : -1, POLLIN, 0}};
    bool opened = false;
    for (;;) {
        const std::int64_t left = nanoseconds_between(now, end);
        if (left <= 0) {
            return;
        }
        const timespec timeout{0, static_cast<long>(left)};
        const int ready = ppoll(events, poll_opens ? 2 : 1, &timeout, nullptr);
        if (ready == 0) {
            state.opens_due = poll_opens ? opened : marked;
            return; // the millisecond is over
        }
        if (ready < 0) {
            plain_pause(length_ns); // never a spin, whatever went wrong
            return;
        }
        state.budget_ns -= early_wake_up_cost_ns;
        if (events[1].revents != 0) {
            opened = true;
            events[1].fd = -1; // read at the attempt, not waited on again
        }
        if (events[0].revents != 0 && read_events(tree, name, pattern, reports)) {
            return; // the name may open now
        }
        now = monotonic_now();
        if (!can_wake_early(state, tree, now)) {
            (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr);
            read_after_pause(tree, name, pattern, reports, state);
            return;
        }
    }
}
