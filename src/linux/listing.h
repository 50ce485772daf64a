#ifndef FILEHOLDER_LISTING_H
#define FILEHOLDER_LISTING_H

#include <cstddef>
#include <cstdint>
#include <dirent.h>

// A folder's entries read straight from the kernel, a block at a time, into
// a buffer kept for the run: small folders are listed at every attempt.

// Room for about two hundred entries a read: a read of a large folder then
// takes well under a tenth of a millisecond, and the events are read
// between them (see due_listings.cpp).
constexpr std::size_t listing_buffer_size = 8192;

struct listing {
    int descriptor = -1;
    long filled = 0; // bytes of entries in the buffer
    long taken = 0;
    bool refilled = false; // the last entry came from a new read
    alignas(dirent64) char entries[listing_buffer_size] = {};
};

// Opens the folder at path for listing; false with error set when it
// cannot be.
bool open_listing(listing &list, const char *path, int &error);

// The next entry's name, and its type (DT_DIR, DT_LNK, DT_UNKNOWN...); null
// at the end. A large folder's reads take a while: refilled tells when a new
// one was made.
const char *next_entry(listing &list, unsigned char &type);

void close_listing(listing &list);

// When the folder at path last changed (an entry made, removed or renamed),
// in nanoseconds: equal stamps before and after a while mean that a listing
// would find nothing new. 0 where it changed too lately to be told from a
// change within the same tick of the file system's clock, -1 where it
// cannot be read.
std::int64_t change_stamp(const char *path);

#endif
