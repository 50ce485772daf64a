#include "folder_tree.h"

#include "grow.h"
#include "pattern.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace
{

// Creations, renames into the folder and attribute changes can make an
// entry openable, or bring a matching folder; the rest of a folder's
// changes, writes and closes of other files above all, only add noise. The
// other events say that the folder itself went away.
constexpr std::uint32_t watched_events =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A pattern's folders also tell of entries that left, so that a match made
// and deleted between two reads of the events is never tried.
constexpr std::uint32_t departures = IN_DELETE | IN_MOVED_FROM;

bool is_folder(const char *path)
{
    struct stat status {
    };
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// A watch on path: its descriptor; -1 with exists set when path is a folder
// that cannot be watched (no descriptor, no watches left, no permission).
int watch_folder(folder_tree &tree, const char *path, bool &exists)
{
    if (tree.instance < 0 && !tree.given_up) {
        tree.instance = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (tree.instance >= 0) {
        const int watch = inotify_add_watch(tree.instance, path,
                                            watched_events | (tree.pattern ? departures : 0U));
        if (watch >= 0 || errno == ENOENT || errno == ENOTDIR) {
            exists = watch >= 0;
            return watch;
        }
    }
    exists = is_folder(path);
    return -1;
}

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

// Whether a watch on the folder at path sees every change in it: not so on
// a file system shared with other hosts (NFS, SMB, FUSE, 9p, Ceph, AFS,
// Coda, cluster file systems), whose changes made elsewhere no event tells,
// nor on /proc and /sys.
bool watch_sees_all(const char *path)
{
    // NOLINTBEGIN(readability-magic-numbers): the file systems' own numbers.
    const unsigned long told_only_of_this_host[] = {
        0x6969,     0x517B,     0xFF534D42, 0xFE534D42, 0x65735546,
        0x01021997, 0x00C36400, 0x5346414F, 0x6B414653, 0x73757245,
        0x564C,     0x01161970, 0x7461636F, 0x9FA0,     0x62656572,
    };
    // NOLINTEND(readability-magic-numbers)
    struct statfs system {
    };
    if (statfs(path, &system) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(system.f_type);
    return std::none_of(std::begin(told_only_of_this_host), std::end(told_only_of_this_host),
                        [type](unsigned long other) { return other == type; });
}

std::uint64_t watch_key(int watch)
{
    return static_cast<std::uint64_t>(watch);
}

// Whether a folder but except has that watch.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a watch, then a folder
bool shared_watch(const folder_tree &tree, int watch, int except)
{
    std::size_t cursor = 0;
    for (int other = 0; (other = index_next(tree.by_watch, watch_key(watch), cursor)) >= 0;) {
        if (other != except) {
            return true;
        }
    }
    return false;
}

void set_watch(folder_tree &tree, int index, int watch)
{
    folder &changed = tree.folders[index];
    if (changed.watch >= 0) {
        index_remove(tree.by_watch, watch_key(changed.watch), index);
    }
    changed.watch = watch;
    if (watch >= 0 && !index_add(tree.by_watch, watch_key(watch), index)) {
        changed.watch = -1; // no memory to find it by: as if unwatched
    }
    changed.watch_sees_all = changed.watch >= 0 && watch_sees_all(changed.path);
}

void forget_watch(folder_tree &tree, int index)
{
    const int watch = tree.folders[index].watch;
    // Two folders of the tree may be one folder (a symbolic link to the
    // other): the watch stays while one of them needs it.
    if (watch >= 0 && !shared_watch(tree, watch, index)) {
        (void)inotify_rm_watch(tree.instance, watch);
    }
    set_watch(tree, index, -1);
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

bool still_there(folder_tree &tree, int index)
{
    const folder &moved = tree.folders[index];
    bool exists = false;
    // inotify gives a folder it watches already the same descriptor: another
    // one means that another folder stands at the path now.
    const int now = watch_folder(tree, moved.path, exists);
    if (now == moved.watch) {
        return true;
    }
    if (now >= 0 && !shared_watch(tree, now, -1)) {
        (void)inotify_rm_watch(tree.instance, now);
    }
    return false;
}

bool rewatch(folder_tree &tree, int index)
{
    if (tree.folders[index].watch < 0) {
        bool exists = false;
        set_watch(tree, index, watch_folder(tree, tree.folders[index].path, exists));
    }
    return tree.folders[index].watch >= 0;
}

char *entry_path(const name_components &name, const folder &holder, const char *entry)
{
    std::size_t between = 0;
    const char *separators = separators_before(name, holder.level, between);
    return joined(holder.path, holder.given, separators, between, entry);
}

std::size_t folders_watched_by(const folder_tree &tree, int watch, int *found, std::size_t room)
{
    std::size_t count = 0;
    std::size_t cursor = 0;
    for (int index = 0;
         count < room && (index = index_next(tree.by_watch, watch_key(watch), cursor)) >= 0;) {
        found[count++] = index;
    }
    return count;
}

bool give_up_watches(folder_tree &tree)
{
    tree.given_up = true;
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use) {
            set_watch(tree, static_cast<int>(i), -1);
        }
    }
    if (tree.instance < 0) {
        return false;
    }
    (void)close(tree.instance);
    tree.instance = -1;
    return true;
}
