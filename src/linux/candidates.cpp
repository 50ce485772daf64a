#include "candidates.h"

#include "grow.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

void release(candidate &item)
{
    std::free(item.path);
    if (item.descriptor >= 0) {
        (void)close(item.descriptor);
    }
    item = candidate{};
}

// Merges neighbours that name the same file, keeping a descriptor that
// one of them holds.
void merge_neighbours(candidate_list &list)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        candidate &item = list.items[i];
        if (kept > 0 && std::strcmp(list.items[kept - 1].path, item.path) == 0) {
            candidate &first = list.items[kept - 1];
            if (first.descriptor < 0) {
                std::swap(first.descriptor, item.descriptor);
            }
            first.polled = first.polled || item.polled;
            if (first.type == 0) {
                first.type = item.type; // what a listing told of it
            }
            release(item);
            continue;
        }
        list.items[kept++] = item;
    }
    list.count = kept;
}

} // namespace

int compare_names(const char *left, const char *right)
{
    // A separator ranks 1, any other byte one above its value: below them
    // all, and no two different names rank alike.
    const auto rank = [](char byte) -> unsigned {
        return byte == '/' ? 1U : byte == '\0' ? 0U : static_cast<unsigned char>(byte) + 1U;
    };
    for (;; ++left, ++right) {
        const unsigned one = rank(*left);
        const unsigned other = rank(*right);
        if (one != other || one == 0) {
            return one < other ? -1 : one > other ? 1 : 0;
        }
    }
}

bool add_candidate(candidate_list &list, const candidate &item)
{
    if (!make_room(list.items, list.room, list.count + 1)) {
        candidate lost = item;
        release(lost);
        return false;
    }
    list.items[list.count++] = item;
    return true;
}

void sort_candidates(candidate_list &list)
{
    std::sort(list.items, list.items + list.count,
              [](const candidate &one, const candidate &other) {
                  return compare_names(one.path, other.path) < 0;
              });
    merge_neighbours(list);
}

bool holds_candidate(const candidate_list &list, const char *path)
{
    const candidate *begin = list.items;
    const candidate *end = list.items + list.count;
    const candidate *found =
        std::lower_bound(begin, end, path, [](const candidate &item, const char *key) {
            return compare_names(item.path, key) < 0;
        });
    return found != end && std::strcmp(found->path, path) == 0;
}

void merge_candidates(candidate_list &list, candidate_list &more)
{
    sort_candidates(more);
    if (more.count == 0) {
        return;
    }
    if (!make_room(list.items, list.room, list.count + more.count)) {
        clear_candidates(more); // no memory: they are found again by a listing
        return;
    }
    // From the back, so that each item moves once.
    std::size_t kept = list.count;
    std::size_t added = more.count;
    for (std::size_t to = list.count + more.count; added > 0;) {
        const bool from_list =
            kept > 0 && compare_names(list.items[kept - 1].path, more.items[added - 1].path) > 0;
        list.items[--to] = from_list ? list.items[--kept] : more.items[--added];
    }
    list.count += more.count;
    more.count = 0;
    merge_neighbours(list); // a name that stood in both
}

bool take_candidates(candidate_list &list, std::size_t count, candidate_list &other)
{
    const char *after = list.last_taken;
    const candidate *begin = list.items;
    const candidate *end = list.items + list.count;
    std::size_t next = after == nullptr
                           ? 0
                           : static_cast<std::size_t>(
                                 std::upper_bound(begin, end, after,
                                                  [](const char *key, const candidate &item) {
                                                      return compare_names(key, item.path) < 0;
                                                  }) -
                                 begin);
    for (; count > 0 && next < list.count; --count) {
        const candidate taken = list.items[next];
        std::memmove(list.items + next, list.items + next + 1,
                     (list.count - next - 1) * sizeof(candidate));
        --list.count;
        const bool round_done = next == list.count;
        if (count == 1 || round_done) {
            std::free(list.last_taken);
            // Where the next call goes on; from the first, after the last.
            list.last_taken = round_done ? nullptr : strdup(taken.path);
        }
        (void)add_candidate(other, taken);
    }
    if (next < list.count) {
        return false;
    }
    // Nothing after the name taken last, whether taken now or gone
    // meanwhile: the next round starts from the first.
    std::free(list.last_taken);
    list.last_taken = nullptr;
    return true;
}

void remove_candidates(candidate_list &list, bool (*drop)(const candidate &, const void *),
                       const void *context)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (drop(list.items[i], context)) {
            release(list.items[i]);
        } else {
            list.items[kept++] = list.items[i];
        }
    }
    list.count = kept;
}

void clear_candidates(candidate_list &list)
{
    for (std::size_t i = 0; i < list.count; ++i) {
        release(list.items[i]);
    }
    list.count = 0;
}
