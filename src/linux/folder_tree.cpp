#include "folder_tree.h"

#include "folder_watches.h"
#include "grow.h"
#include "pattern.h"

#include <cstdlib>
#include <cstring>

namespace
{

// The first size bytes of path, the separators, then rest, as a new string.
char *joined(const char *path, std::size_t size, const char *separators, std::size_t between,
             const char *rest)
{
    const std::size_t rest_size = std::strlen(rest);
    auto *made = static_cast<char *>(std::malloc(size + between + rest_size + 1));
    if (made == nullptr) {
        return nullptr;
    }
    std::memcpy(made, path, size);
    std::memcpy(made + size, separators, between);
    std::memcpy(made + size + between, rest, rest_size + 1);
    return made;
}

// A slot for one more folder: a free one, or a new one at the end; -1 when
// there is no memory for it.
int take_slot(folder_tree &tree)
{
    if (tree.free_slots >= 0) {
        const int slot = tree.free_slots;
        tree.free_slots = tree.folders[slot].next_sibling;
        return slot;
    }
    if (!make_room(tree.folders, tree.room, tree.count + 1)) {
        return -1;
    }
    tree.folders[tree.count] = folder{};
    return static_cast<int>(tree.count++);
}

void give_slot_back(folder_tree &tree, int slot)
{
    tree.folders[slot] = folder{};
    tree.folders[slot].next_sibling = tree.free_slots;
    tree.free_slots = slot;
}

bool queue_listing(folder_queue &queue, int index, unsigned long identity)
{
    if (queue.front == queue.count) {
        queue.front = queue.count = 0; // all taken: start again at the beginning
    }
    if (!make_room(queue.entries, queue.room, queue.count + 1)) {
        return false;
    }
    queue.entries[queue.count++] = {index, identity};
    return true;
}

// Adds a folder like made, in a free slot, below its parent; -1 when there
// is no memory for one, and its path is then freed.
int new_folder(folder_tree &tree, const folder &made)
{
    const int index = take_slot(tree);
    if (index < 0) {
        std::free(made.path);
        return -1;
    }
    if (!index_add(tree.by_path, path_key(made.path), index) ||
        !queue_listing(tree.unlisted, index, tree.made + 1)) {
        index_remove(tree.by_path, path_key(made.path), index);
        std::free(made.path);
        give_slot_back(tree, index);
        return -1;
    }
    folder &added = tree.folders[index];
    added = made;
    added.local = on_local_system(made.path);
    added.watch = -1;
    added.in_use = true;
    added.listed = false;
    added.id = ++tree.made;
    added.first_child = added.previous_sibling = -1;
    added.next_sibling = -1;
    if (added.parent >= 0) {
        folder &above = tree.folders[added.parent];
        added.next_sibling = above.first_child;
        if (above.first_child >= 0) {
            tree.folders[above.first_child].previous_sibling = index;
        }
        above.first_child = index;
    }
    set_watch(tree, index, made.watch);
    return index;
}

// Takes folder index out of its parent's children.
void unlink_folder(folder_tree &tree, int index)
{
    folder &gone = tree.folders[index];
    if (gone.previous_sibling >= 0) {
        tree.folders[gone.previous_sibling].next_sibling = gone.next_sibling;
    } else if (gone.parent >= 0) {
        tree.folders[gone.parent].first_child = gone.next_sibling;
    }
    if (gone.next_sibling >= 0) {
        tree.folders[gone.next_sibling].previous_sibling = gone.previous_sibling;
    }
    gone.parent = gone.previous_sibling = gone.next_sibling = -1;
}

// Forgets folder index, which has no children left.
void forget_folder(folder_tree &tree, int index)
{
    unlink_folder(tree, index);
    forget_watch(tree, index);
    folder &gone = tree.folders[index];
    index_remove(tree.by_path, path_key(gone.path), index);
    std::free(gone.path);
    give_slot_back(tree, index);
    if (tree.top == index) {
        tree.top = -1;
    }
}

} // namespace

const char *separators_before(const name_components &name, std::size_t level, std::size_t &size)
{
    if (level == 0) {
        size = 0;
        return "";
    }
    const name_component &before = name.parts[level - 1];
    size = before.separators;
    return name.name + before.start + before.size;
}

bool matches_component(const name_components &name, std::size_t level, const char *entry)
{
    const name_component &part = name.parts[level];
    if (!part.wildcard) {
        return std::strcmp(part.text, entry) == 0;
    }
    // A name that holds a line feed cannot be told on one line: were it
    // matched, the opened line could be made to look like the done line.
    return std::strchr(entry, '\n') == nullptr && pattern_matches(part.text, entry, true);
}

bool set_top(folder_tree &tree, const name_components &name)
{
    if (name.count == 0 || name.parts[name.count - 1].size == 0) {
        return false; // names no file in a folder
    }
    // The deepest folder of the fixed start that exists; a literal name's
    // top is always its file's folder.
    const std::size_t deepest = tree.pattern ? name.first_wildcard : name.count - 1;
    std::size_t level = deepest;
    int watch = -1;
    char *path = nullptr;
    std::size_t given = 0;
    for (;; --level) {
        given = level == 0 ? name.root : name.parts[level - 1].start + name.parts[level - 1].size;
        std::free(path);
        // The current folder is "." to the system, though the name gives nothing.
        path = given == 0 ? joined(".", 1, "", 0, "") : joined(name.name, given, "", 0, "");
        if (path == nullptr) {
            return false;
        }
        bool exists = false;
        watch = watch_folder(tree, path, exists);
        if (exists || level == 0 || !tree.pattern) {
            break;
        }
    }
    if (tree.top >= 0) {
        const folder &top = tree.folders[tree.top];
        if (top.level == level && top.watch == watch) {
            std::free(path);
            return false; // the same folder as before, as far as can be told
        }
    }
    // The new top first, so that a watch it shares with the old tree stays.
    // The old one's marks go: the new top's are made below.
    const int old = tree.top;
    if (old >= 0 && !tree.marks.off) {
        unmark_all(tree.marks);
    }
    folder top;
    top.path = path;
    top.given = given;
    top.level = level;
    top.watch = watch;
    tree.top = new_folder(tree, top);
    if (old >= 0) {
        drop_folder(tree, old);
    }
    if (tree.top >= 0) {
        mark_folder_for_opens(tree, name, tree.top);
    }
    return true;
}

int add_child(folder_tree &tree, const name_components &name, int parent, const char *entry)
{
    const folder &above = tree.folders[parent];
    std::size_t between = 0;
    const char *separators = separators_before(name, above.level, between);
    char *path = joined(above.path, above.given, separators, between, entry);
    if (path == nullptr) {
        return -1;
    }
    std::size_t cursor = 0;
    for (int known = 0; (known = index_next(tree.by_path, path_key(path), cursor)) >= 0;) {
        if (std::strcmp(tree.folders[known].path, path) == 0) {
            std::free(path);
            return known;
        }
    }
    bool exists = false;
    const int watch = watch_folder(tree, path, exists);
    if (!exists) {
        std::free(path);
        return -1;
    }
    folder child;
    child.path = path;
    child.given = std::strlen(path);
    child.level = above.level + 1;
    child.parent = parent;
    child.watch = watch;
    const int index = new_folder(tree, child);
    if (index >= 0) {
        mark_folder_for_opens(tree, name, index);
    }
    return index;
}

void drop_folder(folder_tree &tree, int index, bool watch_removed)
{
    if (watch_removed) {
        set_watch(tree, index, -1);
    }
    // Depth first, each folder forgotten once the last below it is: every
    // folder is passed a few times, however many there are.
    int current = index;
    for (;;) {
        while (tree.folders[current].first_child >= 0) {
            current = tree.folders[current].first_child;
        }
        const int above = tree.folders[current].parent;
        const bool last = current == index;
        forget_folder(tree, current);
        if (last) {
            return;
        }
        current = above;
    }
}

void mark_unlisted(folder_tree &tree, int index)
{
    folder &due = tree.folders[index];
    if (due.listed && queue_listing(tree.unlisted, index, due.id)) {
        due.listed = false;
    }
}

void mark_all_unlisted(folder_tree &tree)
{
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use) {
            mark_unlisted(tree, static_cast<int>(i));
        }
    }
}

int first_unlisted(folder_tree &tree)
{
    folder_queue &queue = tree.unlisted;
    for (; queue.front < queue.count; ++queue.front) {
        const folder_queue::entry &next = queue.entries[queue.front];
        const folder &due = tree.folders[next.folder];
        if (due.in_use && due.id == next.id && !due.listed) {
            return next.folder;
        }
    }
    return -1;
}

char *entry_path(const name_components &name, const folder &holder, const char *entry)
{
    std::size_t between = 0;
    const char *separators = separators_before(name, holder.level, between);
    return joined(holder.path, holder.given, separators, between, entry);
}
