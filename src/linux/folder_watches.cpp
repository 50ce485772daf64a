#include "folder_watches.h"

#include "grow.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

} // namespace

bool on_local_system(const char *path)
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

namespace
{

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

} // namespace

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
        tree.out_of_watches = errno == ENOSPC;
    }
    exists = is_folder(path);
    return -1;
}

void set_watch(folder_tree &tree, int index, int watch)
{
    folder &changed = tree.folders[index];
    if (changed.watch >= 0) {
        index_remove(tree.by_watch, watch_key(changed.watch), index);
        --tree.watched;
    }
    changed.watch = watch;
    if (watch >= 0 && !index_add(tree.by_watch, watch_key(watch), index)) {
        changed.watch = -1; // no memory to find it by: as if unwatched
    }
    tree.watched += changed.watch >= 0 ? 1 : 0;
    changed.watch_sees_all = changed.watch >= 0 && changed.local;
}

void forget_watch(folder_tree &tree, int index)
{
    const int watch = tree.folders[index].watch;
    set_watch(tree, index, -1);
    // Removed later, a few at a time; where there is no memory to keep it
    // for that, it stays, and its events are passed over.
    if (watch >= 0 && make_room(tree.stale.watches, tree.stale.room, tree.stale.count + 1)) {
        tree.stale.watches[tree.stale.count++] = watch;
    }
}

void remove_stale_watches(folder_tree &tree, std::size_t most)
{
    for (; most > 0 && tree.stale.count > 0; --most) {
        const int watch = tree.stale.watches[--tree.stale.count];
        // Two folders of the tree may be one folder (a symbolic link to the
        // other), and a folder that came back has its old watch again: the
        // watch stays while one of them needs it.
        if (!shared_watch(tree, watch, -1) && inotify_rm_watch(tree.instance, watch) == 0) {
            tree.out_of_watches = false; // one more is free
        }
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
    if (tree.folders[index].watch < 0 && !tree.out_of_watches) {
        bool exists = false;
        set_watch(tree, index, watch_folder(tree, tree.folders[index].path, exists));
    }
    return tree.folders[index].watch >= 0;
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
    tree.stale.count = 0;
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
