#include "schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace
{

constexpr std::int64_t ms = 1000000; // in nanoseconds
constexpr std::int64_t us = 1000;

TEST(schedule, refills_by_the_share_up_to_the_cap)
{
    struct row {
        std::int64_t level, elapsed, share, cap, expected;
    };
    const row rows[] = {
        {0, 100 * ms, 100, 2 * ms, 1 * ms},           // a hundredth of the time
        {-30 * ms, 1000 * ms, 100, 2 * ms, -20 * ms}, // a debt is paid back first
        {1 * ms, 1000 * ms, 100, 2 * ms, 2 * ms},     // never above the cap
        {5 * ms, -3 * ms, 1, 32 * ms, 5 * ms},        // a clock gone back adds nothing
        {0, 4 * ms, 1, 32 * ms, 4 * ms},
    };
    for (const row &r : rows) {
        EXPECT_EQ(refilled(r.level, r.elapsed, r.share, r.cap), r.expected);
    }
}

// Attempts every millisecond for a simulated minute, each listing one folder
// of the given cost whenever may_list allows; returns the listings made.
int listings_in_a_minute(std::int64_t cost, bool first_listings)
{
    const std::int64_t held = 2 * ms;
    std::int64_t credit = held;
    int listings = 0;
    for (std::int64_t now = 0; now < 60000 * ms; now += ms) {
        credit = refilled(credit, ms, 100, held);
        if (may_list(credit, first_listings, held)) {
            credit -= cost;
            ++listings;
        }
    }
    return listings;
}

TEST(schedule, listings_take_a_hundredth_of_the_time_whatever_they_cost)
{
    struct row {
        std::int64_t cost;
        bool first_listings; // every folder new, as in a storm of new folders
        int fewest, most;
    };
    const row rows[] = {
        {5 * us, false, 60000, 60000}, // a small folder: at every attempt
        {3 * ms, false, 195, 201},     // 10,000 files: every 300 ms
        {30 * ms, false, 19, 21},      // 100,000 files: every 3 s
        {10 * us, true, 60000, 60000},
        {1 * ms, true, 595, 605}, // new folders on credit: still a hundredth
    };
    for (const row &r : rows) {
        const int made = listings_in_a_minute(r.cost, r.first_listings);
        EXPECT_GE(made, r.fewest) << r.cost;
        EXPECT_LE(made, r.most) << r.cost;
    }
}

TEST(schedule, a_watched_folder_is_listed_again_as_a_backstop_only)
{
    struct row {
        std::int64_t since, cost;
        bool due;
    };
    const row rows[] = {
        {50 * ms, 5 * us, false},         // never sooner than 100 ms
        {100 * ms, 5 * us, true},         // a small folder: ten times a second
        {1000 * ms, 3 * ms, false},       // 10,000 files: a thousandth of the time,
        {3000 * ms, 3 * ms, true},        // every 3 s
        {29 * 1000 * ms, 30 * ms, false}, // 100,000 files: every 30 s
    };
    for (const row &r : rows) {
        EXPECT_EQ(relisting_due(r.since, r.cost, 100 * ms, 1000), r.due) << r.since;
    }
}

TEST(schedule, early_wake_ups_stay_within_their_budget)
{
    // An event every 0.1 ms for a simulated second, each ending a pause
    // early while the budget (125 a second, 4 held) pays for it.
    const std::int64_t cost = 8 * ms;
    std::int64_t budget = 4 * cost;
    int early = 0;
    for (std::int64_t now = 0; now < 1000 * ms; now += 100 * us) {
        budget = refilled(budget, 100 * us, 1, 4 * cost);
        if (budget >= cost) {
            budget -= cost;
            ++early;
        }
    }
    EXPECT_GE(early, 125);
    EXPECT_LE(early, 129);
}

// Pauses of 1 ms for a simulated minute while events come every period,
// each a new folder of the name where folders is set; an early wake-up ends
// a pause at the event while may_wake_early allows it. Returns the early
// wake-ups.
int wake_ups_in_a_minute(std::int64_t period, bool folders)
{
    const std::int64_t cost = 8 * ms;
    std::int64_t budget = 4 * cost;
    std::int64_t now = 0;
    std::int64_t next_event = period;
    bool found = false;
    int early = 0;
    while (now < 60000 * ms) {
        const std::int64_t start = now;
        const bool wake = may_wake_early(budget, cost, found, 8);
        now = wake && next_event < start + ms ? next_event : start + ms;
        found = false;
        if (wake && now == next_event) {
            budget -= cost;
            ++early;
        }
        for (; next_event <= now; next_event += period) {
            found = found || folders;
        }
        budget = refilled(budget, now - start, 1, 4 * cost);
    }
    return early;
}

TEST(schedule, early_wake_ups_stay_bounded_whatever_the_events)
{
    struct row {
        std::int64_t period;
        bool folders;
        int most;
    };
    const row rows[] = {
        {100 * us, false, 60 * 125 + 4}, // other names: the budget alone
        {10 * us, false, 60 * 125 + 4},
        {100 * us, true, 60 * 125 + 4 + 8}, // new folders: a debt of 8 at most
        {20 * ms, true, 60 * 50},           // as many as the folders, when few
    };
    for (const row &r : rows) {
        const int early = wake_ups_in_a_minute(r.period, r.folders);
        EXPECT_LE(early, r.most) << r.period;
        EXPECT_GE(early, r.most * 9 / 10) << r.period;
    }
}

// A chain of new folders 200 us apart (mkdir -p, an archive unpacked), then
// the file, in a quiet folder: each event is seen as it comes, though the
// chain is longer than the budget holds. Once the budget is spent, events
// are read at the end of every fourth plain pause only: without the credit
// that each folder found earns, the file is seen milliseconds late.
TEST(schedule, a_chain_of_new_folders_is_followed_as_it_comes)
{
    const std::int64_t cost = 8 * ms;
    for (int depth : {2, 4, 6, 8}) {
        std::int64_t budget = 4 * cost;
        bool found = false;
        std::int64_t now = 0;
        unsigned pauses = 1;
        for (int step = 0; step <= depth; ++step) {
            const std::int64_t event = 300 * us + step * 200 * us; // the file last
            for (;;) {
                const std::int64_t start = now;
                const bool wake = may_wake_early(budget, cost, found, 8);
                found = false;
                const bool early = wake && event < start + ms;
                now = early ? event : start + ms;
                budget = refilled(budget, now - start, 1, 4 * cost);
                if (now >= event && (early || pauses++ % 4 == 0)) {
                    budget -= early ? cost : 0;
                    break;
                }
            }
            EXPECT_EQ(now, event) << "depth " << depth << ", step " << step;
            found = step < depth; // a folder, found; the file ends the chain
        }
    }
}

TEST(schedule, marks_rest_longer_while_storms_follow_one_another)
{
    struct row {
        unsigned storms;
        std::int64_t rest;
    };
    const row rows[] = {
        {0, 800 * ms},  {1, 800 * ms},  {2, 1600 * ms},
        {3, 3200 * ms}, {4, 6400 * ms}, {9, 6400 * ms},
    };
    for (const row &r : rows) {
        EXPECT_EQ(storm_rest(800 * ms, r.storms), r.rest) << r.storms;
    }
}

TEST(schedule, next_attempt_waits_the_share_of_the_shortest_cost)
{
    const std::int64_t costs[] = {9, 4, 30, 7};
    EXPECT_EQ(next_due(1000, costs, 4, 20), 1000 + 4 * 20);
    EXPECT_EQ(next_due(1000, costs, 0, 20), 1000);
}

} // namespace
