#include "folder_index.h"

#include <cstdlib>

namespace
{

constexpr int never_used = -1;
constexpr int removed = -2;
constexpr std::size_t smallest = 64;

// NOLINTBEGIN(readability-magic-numbers): the constants are the hashes'.

// Spreads a key over the slots (a 64-bit finalizer: every bit counts).
std::size_t spread(std::uint64_t key, std::size_t size)
{
    key ^= key >> 33U;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33U;
    return static_cast<std::size_t>(key) & (size - 1);
}

// NOLINTEND(readability-magic-numbers)

// Makes the table for folders and one more, at most a quarter full, and
// drops the removed ones.
bool grow(folder_index &index, std::size_t folders)
{
    std::size_t size = smallest;
    while (size < 4 * (folders + 1)) {
        size *= 2;
    }
    auto *slots = static_cast<folder_index::slot *>(std::malloc(size * sizeof(folder_index::slot)));
    if (slots == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        slots[i] = {0, never_used};
    }
    for (std::size_t i = 0; i < index.size; ++i) {
        const folder_index::slot &old = index.slots[i];
        if (old.folder >= 0) {
            std::size_t place = spread(old.key, size);
            while (slots[place].folder != never_used) {
                place = (place + 1) & (size - 1);
            }
            slots[place] = old;
        }
    }
    std::free(index.slots);
    index.slots = slots;
    index.size = size;
    index.used = folders;
    return true;
}

} // namespace

std::uint64_t path_key(const char *path)
{
    // FNV-1a, 64 bits.
    constexpr std::uint64_t offset_basis = 14695981039346656037ULL;
    constexpr std::uint64_t prime = 1099511628211ULL;
    std::uint64_t key = offset_basis;
    for (; *path != '\0'; ++path) {
        key = (key ^ static_cast<unsigned char>(*path)) * prime;
    }
    return key;
}

bool index_add(folder_index &index, std::uint64_t key, int folder)
{
    if (2 * (index.used + 1) > index.size) {
        std::size_t live = 0;
        for (std::size_t i = 0; i < index.size; ++i) {
            live += index.slots[i].folder >= 0 ? 1 : 0;
        }
        if (!grow(index, live)) {
            return false;
        }
    }
    std::size_t place = spread(key, index.size);
    while (index.slots[place].folder >= 0) {
        place = (place + 1) & (index.size - 1);
    }
    index.used += index.slots[place].folder == never_used ? 1 : 0;
    index.slots[place] = {key, folder};
    return true;
}

void index_remove(folder_index &index, std::uint64_t key, int folder)
{
    if (index.size == 0) {
        return;
    }
    for (std::size_t place = spread(key, index.size); index.slots[place].folder != never_used;
         place = (place + 1) & (index.size - 1)) {
        if (index.slots[place].key == key && index.slots[place].folder == folder) {
            index.slots[place].folder = removed;
            return;
        }
    }
}

int index_next(const folder_index &index, std::uint64_t key, std::size_t &cursor)
{
    if (index.size == 0) {
        return -1;
    }
    // cursor counts the slots looked place from the key's own.
    const std::size_t start = spread(key, index.size);
    for (; cursor < index.size; ++cursor) {
        const folder_index::slot &slot = index.slots[(start + cursor) & (index.size - 1)];
        if (slot.folder == never_used) {
            return -1;
        }
        if (slot.folder >= 0 && slot.key == key) {
            return index.slots[(start + cursor++) & (index.size - 1)].folder;
        }
    }
    return -1;
}
