#ifndef FILEHOLDER_SCHEDULE_H
#define FILEHOLDER_SCHEDULE_H

#include <cstddef>
#include <cstdint>

// When costly work may run: plain functions of times and costs, in any one
// unit throughout (nanoseconds, performance-counter ticks), so that they are
// checked without a clock.

// A budget that refills by elapsed / share, up to cap: what level becomes
// after elapsed time. Work is paid by taking its cost from the level, which
// may then fall below zero; over any long time, work paid so never takes
// more than 1 / share of it.
std::int64_t refilled(std::int64_t level, std::int64_t elapsed, std::int64_t share,
                      std::int64_t cap);

// Whether a listing may start with credit left of a budget that holds at
// most held: a new folder's first listing goes at once while the debt is
// small, so that what was made in it before its watch is found while it is
// still there; any other waits until half the budget is kept for those.
bool may_list(std::int64_t credit, bool first_listing, std::int64_t held);

// Whether an early wake-up that costs cost may be paid from a budget at
// level: while the budget holds one; and, where the last wake-up or attempt
// found a new folder of the awaited name, on credit down to owed wake-ups,
// so that a chain of new folders (mkdir -p, an archive unpacked) is followed
// to its file without waiting for the budget. Only new folders that match
// the name earn that, so other names' events cannot pose as them, and the
// credit is paid back before the budget pays again.
bool may_wake_early(std::int64_t level, std::int64_t cost, bool found_folder, std::int64_t owed);

// How long marks taken off for a storm stay off, at the least, where this
// is the storms-th storm in a row (an on-period that the storm ended soon):
// least for the first, doubled for each one more, up to eight times least.
// A storm that lasts is then looked into rarely, and one that has passed
// is noticed within that time.
std::int64_t storm_rest(std::int64_t least, unsigned storms);

// Whether a listing that costs cost is due again, since after the last:
// after least at the least, and so that such listings take 1 / share of the
// time at most.
bool relisting_due(std::int64_t since, std::int64_t cost, std::int64_t least, std::int64_t share);

// When the next of a series of attempts is due, so that they take at most
// 1 / share of the time: share times the shortest of the last costs after
// start. The shortest, as time spent preempted or waiting for a disk costs
// no processor time, and so spaces nothing.
std::int64_t next_due(std::int64_t start, const std::int64_t *costs, std::size_t count,
                      std::int64_t share);

#endif
