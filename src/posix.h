#ifndef FILEHOLDER_POSIX_H
#define FILEHOLDER_POSIX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The pieces of the POSIX platform layer, shared among its files: the
// awaited name taken apart, the open of one path, the folder watch that ends
// pauses early, and the search for a pattern's matches.

// The awaited name, split once into its folder and its last component.
struct awaited_name {
    const char *name = nullptr;
    const char *leaf = nullptr;  // the last component: a name or a pattern
    char *folder = nullptr;      // what comes before it, "." when nothing; null
                                 // when the name names no file in a folder
    std::size_t folder_part = 0; // the bytes of name before leaf
    bool pattern = false;
};
const awaited_name &awaited(const char *name);

// One open of path for reading; null on any failure. Sets out_of_descriptors
// when it failed for want of a descriptor.
std::FILE *open_path(const char *path, bool &out_of_descriptors);

// Gives the watch's descriptor back for good: the attempts need it more.
// True when the watch held one.
bool give_up_watch();

// The 1 ms pause after a failed attempt, ended early by the folder's events
// that may let the next attempt succeed.
void pause_on_folder(const awaited_name &name);

// Releases the watch: the file is held.
void end_watch();

// A pattern's matches. The watch reports the names of entries that events
// showed matching, or that events were lost; the next attempt tries those
// names first, and lists the folder when it is due.
void report_match(const char *entry);
void report_lost_events();
std::FILE *try_matches(const awaited_name &name, const char *&held);

// Time on the monotonic clock.
timespec monotonic_now();
std::int64_t nanoseconds_between(const timespec &start, const timespec &end);
timespec after(const timespec &start, std::int64_t nanoseconds);

#endif
