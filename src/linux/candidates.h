#ifndef FILEHOLDER_CANDIDATES_H
#define FILEHOLDER_CANDIDATES_H

#include <cstddef>

// Files that match a pattern, to be tried in name order: folder by folder,
// every match under the first matching folder before any under the second.

struct candidate {
    char *path = nullptr; // the name to open and to show, from malloc
    int descriptor = -1;  // opened already, while a listing was under way
    // Whether it may become openable without an event about it in a watched
    // folder: a symbolic link, whose target may appear anywhere, or any
    // entry of a folder that has no watch. Only such are tried again.
    bool polled = false;
    unsigned char type = 0; // as the listing told it (DT_REG...); 0 (DT_UNKNOWN) else
};

struct candidate_list {
    candidate *items = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;
    char *last_taken = nullptr; // the name take_candidates took last, from malloc
};

// Orders two names: byte by byte, but a separator before any other byte, so
// that whole components are compared (a before a-b, as a/ comes first).
int compare_names(const char *left, const char *right);

// Adds a candidate, taking its path; false when there is no memory for it,
// and the path is then freed.
bool add_candidate(candidate_list &list, const candidate &item);

// Sorts the list into name order and merges names that stand twice,
// keeping a descriptor that one of them holds.
void sort_candidates(candidate_list &list);

// Whether the sorted list holds path.
bool holds_candidate(const candidate_list &list, const char *path);

// Moves the candidates of more into the sorted list, in name order, and
// empties more; a name already there is not added twice.
void merge_candidates(candidate_list &list, candidate_list &more);

// Moves up to count candidates of the sorted list into other, in name
// order from the one after the name taken last, so that each comes in turn
// whatever comes and goes meanwhile. True when the last of the list was
// taken: the next call starts again from the first.
bool take_candidates(candidate_list &list, std::size_t count, candidate_list &other);

// Removes the candidates for which drop(item, context) is true, freeing them.
void remove_candidates(candidate_list &list, bool (*drop)(const candidate &, const void *),
                       const void *context);

// Empties the list, freeing the paths and closing the descriptors.
void clear_candidates(candidate_list &list);

#endif
