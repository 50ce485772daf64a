#ifndef FILEHOLDER_CLOCK_H
#define FILEHOLDER_CLOCK_H

#include <cstdint>
#include <ctime>

// Time on the monotonic clock, in 64 bits so that no difference of times
// overflows where long has 32.
constexpr std::int64_t one_second_ns = 1000000000;
constexpr std::int64_t one_millisecond_ns = 1000000;

inline timespec monotonic_now()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

inline std::int64_t nanoseconds_between(const timespec &start, const timespec &end)
{
    return (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * one_second_ns +
           (end.tv_nsec - start.tv_nsec);
}

inline timespec after(const timespec &start, std::int64_t nanoseconds)
{
    const std::int64_t total = start.tv_nsec + nanoseconds;
    return timespec{static_cast<time_t>(start.tv_sec + total / one_second_ns),
                    static_cast<long>(total % one_second_ns)};
}

#endif
