#ifndef FILEHOLDER_FOLDER_INDEX_H
#define FILEHOLDER_FOLDER_INDEX_H

#include <cstddef>
#include <cstdint>

// Finds the folders of the tree by a key without going through them all: by
// their watch, as each event names one, and by their path, as a listing
// finds each again. A key may stand for several folders (two names of one
// folder share its watch); a path's key may, rarely, too, so the caller
// checks the path.

struct folder_index {
    struct slot {
        std::uint64_t key;
        int folder; // -1: never used; -2: used, then removed
    };
    slot *slots = nullptr;
    std::size_t size = 0; // a power of two, or 0
    std::size_t used = 0; // slots that are not empty, removed ones included
};

// The key of a path.
std::uint64_t path_key(const char *path);

// Adds folder under key; false when there is no memory for it.
bool index_add(folder_index &index, std::uint64_t key, int folder);

void index_remove(folder_index &index, std::uint64_t key, int folder);

// The folders under key, one a call: start with cursor at 0; -1 at the end.
int index_next(const folder_index &index, std::uint64_t key, std::size_t &cursor);

#endif
