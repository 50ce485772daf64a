#include "pattern.h"
#include "posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The attempt: one open of a path, or a pattern's. For a pattern, the
// entries that the folder's events showed matching are tried at once; the
// folder itself is listed as often as its size allows, for what events
// cannot show (a full queue, no watch, a change the watch is not told of,
// such as one on another host's share).

namespace
{

// A listing, with the opens of the matches it found, may take this share of
// the time at most (1 / 100): a small folder is listed at every attempt, a
// large one less often, whatever it holds.
constexpr std::int64_t listing_share = 100;
// A little under the 1 ms pause, so that the next attempt finds it due.
constexpr std::int64_t shortest_listing_interval_ns = 900000;

// The names that events reported since the last attempt; when more come,
// the folder is listed instead.
constexpr std::size_t reports_held = 8;
constexpr std::size_t entry_room = 256; // NAME_MAX and its NUL

// Room for some hundreds of entries a read.
constexpr std::size_t listing_buffer_size = 32768;

// The matches a listing found, one after another with their NULs, and then
// pointers to each: grown as needed, kept for the run.
struct found_names {
    char *bytes = nullptr;
    std::size_t size = 0;
    std::size_t room = 0;
    const char **names = nullptr;
    std::size_t count = 0;
    std::size_t names_room = 0;
};

// Makes room for needed items of size bytes in block; false when there is
// no memory for them.
template <typename item> bool make_room(item *&block, std::size_t &room, std::size_t needed)
{
    if (needed <= room) {
        return true;
    }
    const std::size_t larger = std::max(needed, 2 * room);
    auto *grown = static_cast<item *>(std::realloc(block, larger * sizeof(item)));
    if (grown == nullptr) {
        return false;
    }
    block = grown;
    room = larger;
    return true;
}

struct match_search {
    const char *reported[reports_held] = {};
    char reported_names[reports_held][entry_room] = {};
    std::size_t reports = 0;
    bool listing_due = true;
    timespec next_listing{};
    char *path = nullptr; // the folder part of the name, then an entry
    std::size_t path_room = 0;
    found_names found;
};
match_search search;

bool by_name(const char *left, const char *right)
{
    return std::strcmp(left, right) < 0;
}

// Opens the folder part of name followed by entry; null on any failure.
std::FILE *open_entry(const awaited_name &name, const char *entry, bool &out_of_descriptors)
{
    const std::size_t length = std::strlen(entry);
    if (name.folder_part + length + 1 > search.path_room) {
        auto *grown = static_cast<char *>(std::realloc(search.path, name.folder_part + length + 1));
        if (grown == nullptr) {
            return nullptr;
        }
        search.path = grown;
        search.path_room = name.folder_part + length + 1;
        std::memcpy(search.path, name.name, name.folder_part);
    }
    std::memcpy(search.path + name.folder_part, entry, length + 1);
    return open_path(search.path, out_of_descriptors);
}

// Tries entries in name order until one opens.
std::FILE *try_entries(const awaited_name &name, const char **entries, std::size_t count,
                       const char *&held, bool &out_of_descriptors)
{
    std::sort(entries, entries + count, by_name);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && std::strcmp(entries[i - 1], entries[i]) == 0) {
            continue;
        }
        std::FILE *file = open_entry(name, entries[i], out_of_descriptors);
        if (out_of_descriptors) {
            return nullptr; // to be tried again once a descriptor is free
        }
        if (file != nullptr) {
            held = search.path;
            return file;
        }
    }
    return nullptr;
}

// Lists the folder and tries its matches; directories never count. The
// entries are read straight from the kernel into a buffer kept for the
// run: this runs at every attempt where the folder is small.
// Adds the names of the matches among got bytes of entries to found;
// directories never count. False when there is no memory for them.
bool keep_matches(const awaited_name &name, const char *entries, long got, found_names &found)
{
    for (long offset = 0; offset < got;) {
        const auto *entry = reinterpret_cast<const dirent64 *>(entries + offset);
        if (entry->d_type != DT_DIR && pattern_matches(name.leaf, entry->d_name, true)) {
            const std::size_t length = std::strlen(entry->d_name) + 1;
            if (!make_room(found.bytes, found.room, found.size + length)) {
                return false;
            }
            std::memcpy(found.bytes + found.size, entry->d_name, length);
            found.size += length;
        }
        offset += entry->d_reclen;
    }
    return true;
}

// Tries the entries that the watch reported since the last try.
std::FILE *try_reported(const awaited_name &name, const char *&held, bool &out_of_descriptors)
{
    for (std::size_t i = 0; i < search.reports; ++i) {
        search.reported[i] = search.reported_names[i];
    }
    const std::size_t reports = search.reports;
    search.reports = 0;
    std::FILE *file = try_entries(name, search.reported, reports, held, out_of_descriptors);
    if (out_of_descriptors) {
        search.listing_due = true; // what was reported is found again
    }
    return file;
}

std::FILE *try_listing(const awaited_name &name, const char *&held, bool &out_of_descriptors,
                       queued_events read_queued)
{
    if (name.folder == nullptr) {
        return nullptr; // no memory for the folder's name
    }
    const int folder = open(name.folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        out_of_descriptors = errno == EMFILE || errno == ENFILE;
        return nullptr;
    }
    found_names &found = search.found;
    found.size = 0;
    bool whole = true;
    alignas(dirent64) static char entries[listing_buffer_size];
    for (;;) {
        const long got = syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (got <= 0) {
            break;
        }
        whole = whole && keep_matches(name, entries, got, found);
        // Only a large folder's listing lasts long enough to be worth a look
        // at the events: a small one's is over after its first read.
        const bool large = static_cast<std::size_t>(got) > listing_buffer_size / 2;
        if (large && read_queued(name) && search.reports > 0) {
            std::FILE *file = try_reported(name, held, out_of_descriptors);
            if (file != nullptr || out_of_descriptors) {
                (void)close(folder);
                return file;
            }
        }
    }
    (void)close(folder);
    found.count = 0;
    for (std::size_t at = 0; at < found.size; at += std::strlen(found.bytes + at) + 1) {
        whole = whole && make_room(found.names, found.names_room, found.count + 1);
        if (whole) {
            found.names[found.count++] = found.bytes + at;
        }
    }
    if (!whole) {
        return nullptr; // no memory to hold them all: the next listing tries
    }
    return try_entries(name, found.names, found.count, held, out_of_descriptors);
}

} // namespace

void report_match(const char *entry)
{
    const std::size_t length = std::strlen(entry);
    if (search.reports == reports_held || length >= entry_room) {
        search.listing_due = true;
        return;
    }
    std::memcpy(search.reported_names[search.reports++], entry, length + 1);
}

void report_lost_events()
{
    search.listing_due = true;
}

std::FILE *open_path(const char *path, bool &out_of_descriptors)
{
    // Without O_NONBLOCK a FIFO with no writer would block the open and with
    // it the polling; this way a FIFO opens at once, like any file that can
    // be read. O_NOCTTY: holding a terminal must not make it ours.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        out_of_descriptors = errno == EMFILE || errno == ENFILE;
        return nullptr;
    }
    // Linux opens directories for reading; holding one is not what was asked.
    struct stat status {
    };
    std::FILE *file = nullptr;
    if (fstat(descriptor, &status) == 0 && !S_ISDIR(status.st_mode)) {
        file = fdopen(descriptor, "rb");
    }
    if (file == nullptr) {
        (void)close(descriptor);
    }
    return file;
}

std::FILE *try_matches(const awaited_name &name, const char *&held, bool &out_of_descriptors,
                       queued_events read_queued)
{
    std::FILE *file = try_reported(name, held, out_of_descriptors);
    if (out_of_descriptors) {
        return nullptr;
    }
    const timespec start = monotonic_now();
    if (file != nullptr ||
        !(search.listing_due || nanoseconds_between(search.next_listing, start) >= 0)) {
        return file;
    }
    file = try_listing(name, held, out_of_descriptors, read_queued);
    // The next listing waits until this one's cost is a small share of the
    // time; a cheap one comes at the next attempt.
    const std::int64_t cost = nanoseconds_between(start, monotonic_now());
    search.next_listing =
        after(start, std::max(shortest_listing_interval_ns, cost * listing_share));
    search.listing_due = out_of_descriptors;
    return file;
}
