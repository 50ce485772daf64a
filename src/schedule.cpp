#include "schedule.h"

#include <algorithm>

std::int64_t refilled(std::int64_t level, std::int64_t elapsed, std::int64_t share,
                      std::int64_t cap)
{
    // A clock that went back refills nothing.
    return std::min(cap, level + std::max<std::int64_t>(elapsed, 0) / share);
}

bool may_list(std::int64_t credit, bool first_listing, std::int64_t held)
{
    return first_listing ? credit > -held : credit >= held / 2;
}

bool may_wake_early(std::int64_t level, std::int64_t cost, bool found_folder, std::int64_t owed)
{
    return level >= cost || (found_folder && level - cost >= -owed * cost);
}

std::int64_t storm_rest(std::int64_t least, unsigned storms)
{
    constexpr unsigned most_doublings = 3;
    return least << std::min(storms > 0 ? storms - 1 : 0U, most_doublings);
}

bool relisting_due(std::int64_t since, std::int64_t cost, std::int64_t least, std::int64_t share)
{
    return since >= least && since >= cost * share;
}

std::int64_t next_due(std::int64_t start, const std::int64_t *costs, std::size_t count,
                      std::int64_t share)
{
    return count == 0 ? start : start + *std::min_element(costs, costs + count) * share;
}
