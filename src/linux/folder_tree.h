#ifndef FILEHOLDER_FOLDER_TREE_H
#define FILEHOLDER_FOLDER_TREE_H

#include "folder_index.h"
#include "name_components.h"
#include "open_marks.h"

#include <cstddef>
#include <cstdint>

// An entry's name is NAME_MAX bytes at most.
constexpr std::size_t longest_entry = 255;

// The folders from which the awaited file can still come, each with its
// inotify watch: at the top the deepest folder of the name's fixed start
// that exists, and below it each folder that matches the components that
// follow, down to the file's folder. A folder at level n is where component
// n of the name is looked up.

struct folder {
    char *path = nullptr;  // for the system calls: "." for the current folder
    std::size_t given = 0; // the bytes of path that the name gives (0 for ".")
    std::size_t level = 0;
    int parent = -1; // the folder above, -1 for the top
    // The folders below, linked through their siblings, so that a folder
    // and all below it are dropped in one walk; a free slot links the next.
    int first_child = -1;
    int next_sibling = -1;
    int previous_sibling = -1;
    int watch = -1; // its watch; -1 while it has none
    // On a local file system: not a share whose other hosts' changes no
    // watch here is told of, nor /proc or /sys.
    bool local = false;
    // It has a watch, and the watch sees every change: then listing it
    // again is only a backstop.
    bool watch_sees_all = false;
    bool in_use = false;
    bool listed = false;         // listed since it was found, or since events were lost
    unsigned long id = 0;        // never the same for two folders of a run
    unsigned long listed_in = 0; // the attempt that listed it last
    std::int64_t listing_cost_ns = 0;
    // Its change time as it stood before it was last listed (0: not to be
    // trusted), so that a folder no event tells of is listed again only
    // when it changed.
    std::int64_t changed_ns = 0;
};

// Folders awaiting a listing, first come first listed: each attempt takes
// what the credit allows from the front, without a look at every folder.
struct folder_queue {
    struct entry {
        int folder;
        unsigned long id; // the folder's, so that a slot used anew is told apart
    };
    entry *entries = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;
    std::size_t front = 0; // entries before it were taken
};

// Watches of folders that were dropped, removed a few at a time: a large
// subtree that leaves costs no long stall.
struct stale_watches {
    int *watches = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;
};

struct folder_tree {
    int instance = -1;     // the inotify descriptor
    bool given_up = false; // the attempts needed its descriptor
    folder *folders = nullptr;
    std::size_t count = 0; // slots used, in use or free
    std::size_t room = 0;
    int free_slots = -1; // the first free slot, linking the others
    int top = -1;
    unsigned long made = 0;      // folders made so far, for their ids
    std::size_t watched = 0;     // folders that have a watch
    bool out_of_watches = false; // the last watch asked for was refused for want of watches
    folder_index by_watch;
    folder_index by_path;
    folder_queue unlisted;
    stale_watches stale;
    // The marks for the opens of the file's folders, and the top's path
    // through no symbolic link (from malloc), by which the files that the
    // kernel hands over are told.
    open_marks marks;
    char *top_path = nullptr;
    // A pattern's tree: its top may climb to a folder further up, and its
    // watches follow entries leaving too, which a literal name's need not.
    bool pattern = false;
};

// Makes the top: the folder of a literal name's file, or for a pattern the
// deepest existing folder of the name's fixed start. Where another folder
// than before stands there now, every folder below is dropped. True when
// the top changed.
bool set_top(folder_tree &tree, const name_components &name);

// The folder for entry of folder parent, the next component down, watched
// from now on; -1 when entry is not a folder or there is no memory for it.
// One already known is returned as it is.
int add_child(folder_tree &tree, const name_components &name, int parent, const char *entry);

// Marks folder index for the opens of its files where the file is looked
// up in it, and where it is the top, the mount that holds it for a name
// whose folders come and go; the top's own path is then found anew.
void mark_folder_for_opens(folder_tree &tree, const name_components &name, int index);

// Marks every folder where the file is looked up for the opens of its
// files, and for a name with wildcard folders the mount of the top, where
// folders are made and filled faster than each can be marked.
void mark_for_opens(folder_tree &tree, const name_components &name);

// Forgets folder index and every folder below it, in one walk, and their
// watches; its own is left alone where watch_removed (the folder is gone,
// and the kernel removed it).
void drop_folder(folder_tree &tree, int index, bool watch_removed = false);

// Has folder index listed at an attempt to come: it may hold what no event
// told of.
void mark_unlisted(folder_tree &tree, int index);

// Has every folder listed: events were lost.
void mark_all_unlisted(folder_tree &tree);

// The folder that has waited longest for its listing, still there; -1 when
// none waits. It stays first until it is listed.
int first_unlisted(folder_tree &tree);

// The name of entry in folder holder: its path as the name gives it, the
// entry's name in place of the component. From malloc; null when there is
// no memory for it.
char *entry_path(const name_components &name, const folder &holder, const char *entry);

// The separators that the name gives between the component before level
// and the one at it, and their size.
const char *separators_before(const name_components &name, std::size_t level, std::size_t &size);

// Whether entry in a folder at level matches the component looked up there.
bool matches_component(const name_components &name, std::size_t level, const char *entry);

#endif
