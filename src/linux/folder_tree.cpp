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

// The separators between the component before level and the one at it.
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

// Adds a folder like made, in a free slot; -1 when there is no memory for
// one, and its path is then freed.
int new_folder(folder_tree &tree, const folder &made)
{
    std::size_t slot = 0;
    while (slot < tree.count && tree.folders[slot].in_use) {
        ++slot;
    }
    const int index = static_cast<int>(slot);
    if ((slot == tree.count && !make_room(tree.folders, tree.room, tree.count + 1)) ||
        !index_add(tree.by_path, path_key(made.path), index)) {
        std::free(made.path);
        return -1;
    }
    tree.count += slot == tree.count ? 1 : 0;
    folder &added = tree.folders[slot];
    added = made;
    added.watch = -1;
    added.in_use = true;
    added.id = ++tree.made;
    set_watch(tree, index, made.watch);
    return index;
}

} // namespace

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
    const int old = tree.top;
    folder top;
    top.path = path;
    top.given = given;
    top.level = level;
    top.watch = watch;
    tree.top = new_folder(tree, top);
    if (old >= 0) {
        drop_folder(tree, old);
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
    return new_folder(tree, child);
}

void drop_folder(folder_tree &tree, int index, bool watch_removed)
{
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use && tree.folders[i].parent == index) {
            drop_folder(tree, static_cast<int>(i));
        }
    }
    if (watch_removed) {
        set_watch(tree, index, -1);
    }
    forget_watch(tree, index);
    folder &gone = tree.folders[index];
    index_remove(tree.by_path, path_key(gone.path), index);
    std::free(gone.path);
    gone = folder{};
    if (tree.top == index) {
        tree.top = -1;
    }
}

char *entry_path(const name_components &name, const folder &holder, const char *entry)
{
    std::size_t between = 0;
    const char *separators = separators_before(name, holder.level, between);
    return joined(holder.path, holder.given, separators, between, entry);
}
