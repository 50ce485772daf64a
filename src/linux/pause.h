#ifndef FILEHOLDER_PAUSE_H
#define FILEHOLDER_PAUSE_H

#include "clock.h"
#include "events.h"
#include "folder_tree.h"

#include <cstdint>

// The 1 ms pause after a failed attempt, ended early by the watches' events
// that may let the next attempt succeed. Polling stays the guarantee for
// what the watches cannot see; they only end a pause early.

// Early wake-ups are paid from a budget that refills with the time and
// holds at most a few: a quiet folder's event ends the pause at once, and a
// file written beside the name and renamed to it takes two. At any rate of
// events, about the name or not, the wake-ups then stay within an eighth
// above the plain pauses': once the budget is spent, the pauses are plain,
// and what came meanwhile is read at their end, without a wake-up of its
// own.
//
// A new folder of the name, found by an event or a listing, earns the next
// wake-up on credit, down to a debt of some wake-ups: each folder of a chain
// made at once (mkdir -p, an archive unpacked) is then watched as it comes,
// and the file at its end is seen in time, however the budget stood.
constexpr std::int64_t early_wake_up_cost_ns = 8 * one_millisecond_ns; // 125 a second
constexpr std::int64_t early_wake_ups_held = 4;
constexpr std::int64_t early_wake_ups_owed = 8;

struct pause_state {
    unsigned pauses = 0; // since the top of the tree was last checked
    std::int64_t budget_ns = early_wake_ups_held * early_wake_up_cost_ns;
    timespec budget_time{};          // when the budget was last topped up
    unsigned long folders_known = 0; // the tree's folders made, as the last pause saw it
    // Opens may be queued for the attempt to read: the queue was not seen
    // empty for the whole pause, or is a mount's, which no pause waits on.
    bool opens_due = false;
};

void pause_on_events(folder_tree &tree, const name_components &name, bool pattern,
                     event_reports &reports, pause_state &state);

#endif
