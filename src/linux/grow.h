#ifndef FILEHOLDER_GROW_H
#define FILEHOLDER_GROW_H

#include <algorithm>
#include <cstddef>
#include <cstdlib>

// Makes room for needed items in block, growing it by doubling; false when
// there is no memory for them. Plain realloc: the binary needs no C++
// runtime, so the waiting's lists are grown by hand.
template <typename item> bool make_room(item *&block, std::size_t &room, std::size_t needed)
{
    if (needed <= room) {
        return true;
    }
    const std::size_t larger = std::max(needed, 2 * room);
    // NOLINTNEXTLINE(bugprone-suspicious-realloc-usage): block is kept on failure
    auto *grown = static_cast<item *>(std::realloc(block, larger * sizeof(item)));
    if (grown == nullptr) {
        return false;
    }
    block = grown;
    room = larger;
    return true;
}

#endif
