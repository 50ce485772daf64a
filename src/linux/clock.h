#ifndef FILEHOLDER_POSIX_H
#define FILEHOLDER_POSIX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The pieces of the POSIX platform layer, shared among its files: the
// awaited name taken apart, the attempt (posix_open.cpp: one path, or a
// pattern's matches) and the folder watch that ends pauses early
// (posix_watch.cpp), which reports to the attempt what its events showed.

// The awaited name, split once into its folder and its last component.
struct awaited_name {
    const char *name = nullptr;
    const char *leaf = nullptr;  // the last component: a name or a pattern
    char *folder = nullptr;      // what comes before it, "." when nothing; null
                                 // when the name names no file in a folder
    std::size_t folder_part = 0; // the bytes of name before leaf
    bool pattern = false;
};

// One open of path for reading; null on any failure. Sets out_of_descriptors
// when it failed for want of a descriptor.
std::FILE *open_path(const char *path, bool &out_of_descriptors);

// A pattern's matches, tried in name order until one opens: first the
// entries that the watch reported, then, when it is due, what a listing of
// the folder finds. held is set to the name of the file opened. A large
// folder's listing takes a while: between its reads, read_queued tells what
// the watch saw meanwhile, and a match it reports is tried at once.
using queued_events = bool (*)(const awaited_name &name);
std::FILE *try_matches(const awaited_name &name, const char *&held, bool &out_of_descriptors,
                       queued_events read_queued);

// What the watch tells the attempt: an entry that events showed matching,
// or that events were lost, so that the folder must be listed.
void report_match(const char *entry);
void report_lost_events();

// The 1 ms pause after a failed attempt, ended early by the folder's events
// that may let the next attempt succeed.
void pause_on_folder(const awaited_name &name);

// Sets the watch now, before a pattern's first listing, so that nothing
// that appears while it lists goes unseen.
void watch_folder(const awaited_name &name);

// Reads what the watch queued, without waiting; true when an event may let
// an attempt succeed.
bool read_queued_events(const awaited_name &name);

// Gives the watch's descriptor back for good: the attempts need it more.
// True when the watch held one.
bool give_up_watch();

// Releases the watch: the file is held.
void end_watch();

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
