#ifndef FILEHOLDER_FOLDER_WATCHES_H
#define FILEHOLDER_FOLDER_WATCHES_H

#include "folder_tree.h"

#include <cstddef>

// The inotify watches of the tree's folders: one a folder, shared where two
// folders of the tree are one (a symbolic link to the other), and found by
// the watch that an event names.

// Whether the folder at path is on a local file system, whose every change a
// watch sees: not a share with other hosts (NFS, SMB, FUSE, 9p, Ceph, AFS,
// Coda, cluster file systems), whose changes made elsewhere no event tells,
// nor /proc and /sys.
bool on_local_system(const char *path);

// A watch on the folder at path: its descriptor; -1 with exists set where
// path is a folder that cannot be watched (no descriptor, no watches left,
// no permission).
int watch_folder(folder_tree &tree, const char *path, bool &exists);

// Gives folder index that watch, or none (-1), and finds it by it.
void set_watch(folder_tree &tree, int index, int watch);

// Takes folder index's watch away; the watch itself is removed later by
// remove_stale_watches, unless a folder has it again by then.
void forget_watch(folder_tree &tree, int index);

// Removes at most most of the watches that dropped folders left.
void remove_stale_watches(folder_tree &tree, std::size_t most);

// Whether folder index, told that it moved, is still the folder at its
// path; one that is not is left to the caller to drop.
bool still_there(folder_tree &tree, int index);

// Tries again to watch a folder that has no watch, unless the last watch
// asked for was refused for want of watches; true when it has one.
bool rewatch(folder_tree &tree, int index);

// The folders that watch heard, at most room of them, into found; how many.
std::size_t folders_watched_by(const folder_tree &tree, int watch, int *found, std::size_t room);

// Closes the watches' descriptor for good; true when there was one.
bool give_up_watches(folder_tree &tree);

#endif
