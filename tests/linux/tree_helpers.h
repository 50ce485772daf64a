#ifndef FILEHOLDER_TREE_HELPERS_H
#define FILEHOLDER_TREE_HELPERS_H

#include "folder_tree.h"
#include "folder_watches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

// What the rows about the tree of folders share: a scratch folder of real
// folders to stand in, the changes that rows make in it, and the checks of
// what must hold of the tree after any call.

inline void remove_all(const std::string &path)
{
    (void)nftw(
        path.c_str(),
        [](const char *entry, const struct stat *, int, FTW *) { return remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// A folder of its own for a row, the current folder while the row runs, so
// that its names are short and relative, and removed with all it holds
// afterwards. On tmpfs where there is one: some rows make many folders.
class scratch_folder
{
  public:
    scratch_folder()
    {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(base) + "/fileholder-unit-XXXXXX";
        if (mkdtemp(path_.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
            return;
        }
        before_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_EQ(chdir(path_.c_str()), 0) << path_;
    }
    ~scratch_folder()
    {
        if (before_ >= 0) {
            EXPECT_EQ(fchdir(before_), 0) << std::strerror(errno);
            (void)close(before_);
        }
        remove_all(path_);
    }
    scratch_folder(const scratch_folder &) = delete;
    scratch_folder &operator=(const scratch_folder &) = delete;

  private:
    std::string path_;
    int before_ = -1;
};

// Makes one change in the current folder: "d/" makes a folder, "f" a file,
// "l->t" a symbolic link to t, "-p" removes p and all below it, "p>q"
// renames p to q.
inline void make_change(const std::string &change)
{
    const std::size_t link = change.find("->");
    const std::size_t rename_to = change.find('>');
    int result = 0;
    if (change[0] == '-') {
        remove_all(change.substr(1));
        result = access(change.c_str() + 1, F_OK) == 0 ? -1 : 0;
    } else if (link != std::string::npos) {
        result = symlink(change.substr(link + 2).c_str(), change.substr(0, link).c_str());
    } else if (rename_to != std::string::npos) {
        result = rename(change.substr(0, rename_to).c_str(), change.substr(rename_to + 1).c_str());
    } else if (change.back() == '/') {
        result = mkdir(change.c_str(), 0700);
    } else {
        const int made = open(change.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        result = made >= 0 ? close(made) : -1;
    }
    EXPECT_EQ(result, 0) << change << ": " << std::strerror(errno);
}

inline void make_changes(const std::vector<const char *> &changes)
{
    for (const char *change : changes) {
        make_change(change);
    }
}

// A tree as the waiting makes one for name. The opens' marks are refused:
// these rows are about the folders and their watches.
inline folder_tree make_tree(const name_components &name)
{
    folder_tree tree;
    tree.pattern = is_pattern(name);
    tree.marks.refused = true;
    return tree;
}

inline void free_tree(folder_tree &tree)
{
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use) {
            std::free(tree.folders[i].path);
        }
    }
    std::free(tree.folders);
    std::free(tree.by_watch.slots);
    std::free(tree.by_path.slots);
    std::free(tree.unlisted.entries);
    std::free(tree.stale.watches);
    std::free(tree.top_path);
    close_marks(tree.marks);
    if (tree.instance >= 0) {
        (void)close(tree.instance);
    }
    tree = folder_tree{};
}

// The folder in use at path, or -1.
inline int find_folder(const folder_tree &tree, const std::string &path)
{
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use && path == tree.folders[i].path) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The paths of the folders in use, sorted; with unlisted, only those that
// wait for a listing.
inline std::vector<std::string> folder_paths(const folder_tree &tree, bool unlisted = false)
{
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < tree.count; ++i) {
        const folder &known = tree.folders[i];
        if (known.in_use && (!unlisted || !known.listed)) {
            paths.emplace_back(known.path);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

inline std::vector<std::string> sorted(std::vector<std::string> paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

// An entry to add below a folder of the tree, by their paths.
using entry_below = std::pair<const char *, const char *>;

inline void add_entries(folder_tree &tree, const name_components &name,
                        const std::vector<entry_below> &entries)
{
    for (const auto &[parent, entry] : entries) {
        const int above = find_folder(tree, parent);
        ASSERT_GE(above, 0) << parent;
        ASSERT_GE(add_child(tree, name, above, entry), 0) << parent << " " << entry;
    }
}

// The top of name set, and the entries known below it added; false where
// no top could be set.
inline bool set_up_tree(folder_tree &tree, const name_components &name,
                        const std::vector<entry_below> &known)
{
    if (!set_top(tree, name)) {
        return false;
    }
    add_entries(tree, name, known);
    return true;
}

// As the first attempt leaves them: every folder listed.
inline void list_all(folder_tree &tree)
{
    for (std::size_t i = 0; i < tree.count; ++i) {
        tree.folders[i].listed = tree.folders[i].in_use;
    }
}

inline bool indexed(const folder_index &index, std::uint64_t key, int folder)
{
    std::size_t cursor = 0;
    for (int found = 0; (found = index_next(index, key, cursor)) >= 0;) {
        if (found == folder) {
            return true;
        }
    }
    return false;
}

// Whether the kernel still has watch as folder's watch: asked to add to a
// watch that is there, it gives the same one back and changes nothing.
inline bool watch_held(const folder_tree &tree, const folder &holder)
{
    return holder.watch >= 0 &&
           inotify_add_watch(tree.instance, holder.path, IN_MASK_ADD | IN_ATTRIB) == holder.watch;
}

// Whether the kernel has no watch watch left: removing it again fails.
inline bool watch_gone(const folder_tree &tree, int watch)
{
    return inotify_rm_watch(tree.instance, watch) != 0 && errno == EINVAL;
}

// What must hold after any call: the child links of the folders in use
// agree with their parents, and reach each of them from the top once; the
// free slots are the others, each linked once; the indexes find each folder
// by its path and its watch, and hold no other.
inline void check_tree(const folder_tree &tree, const std::string &about)
{
    const auto in_range = [&tree](int index) {
        return index >= 0 && static_cast<std::size_t>(index) < tree.count;
    };
    std::size_t in_use = 0;
    std::size_t watched = 0;
    for (std::size_t i = 0; i < tree.count; ++i) {
        const folder &known = tree.folders[i];
        if (!known.in_use) {
            continue;
        }
        const int index = static_cast<int>(i);
        ++in_use;
        watched += known.watch >= 0 ? 1 : 0;
        EXPECT_TRUE(indexed(tree.by_path, path_key(known.path), index)) << about << known.path;
        if (known.watch >= 0) {
            EXPECT_TRUE(indexed(tree.by_watch, static_cast<std::uint64_t>(known.watch), index))
                << about << ": " << known.path;
        }
        if (index == tree.top) {
            EXPECT_EQ(known.parent, -1) << about;
            EXPECT_EQ(known.previous_sibling, -1) << about;
            EXPECT_EQ(known.next_sibling, -1) << about;
            continue;
        }
        ASSERT_TRUE(in_range(known.parent) && tree.folders[known.parent].in_use)
            << about << ": " << known.path;
        EXPECT_EQ(known.level, tree.folders[known.parent].level + 1) << about;
        if (known.previous_sibling >= 0) {
            ASSERT_TRUE(in_range(known.previous_sibling)) << about;
            EXPECT_EQ(tree.folders[known.previous_sibling].next_sibling, index) << about;
        } else {
            EXPECT_EQ(tree.folders[known.parent].first_child, index) << about;
        }
        if (known.next_sibling >= 0) {
            ASSERT_TRUE(in_range(known.next_sibling)) << about;
            EXPECT_EQ(tree.folders[known.next_sibling].previous_sibling, index) << about;
        }
    }
    // Down from the top through the child links: each folder once.
    std::size_t reached = 0;
    if (tree.top >= 0) {
        ASSERT_TRUE(in_range(tree.top) && tree.folders[tree.top].in_use) << about;
        std::vector<int> due{tree.top};
        while (!due.empty() && reached <= in_use) {
            const int next = due.back();
            due.pop_back();
            ++reached;
            for (int child = tree.folders[next].first_child; child >= 0 && reached <= in_use;
                 child = tree.folders[child].next_sibling) {
                ASSERT_TRUE(in_range(child) && tree.folders[child].in_use) << about;
                EXPECT_EQ(tree.folders[child].parent, next) << about;
                due.push_back(child);
            }
        }
    }
    EXPECT_EQ(reached, in_use) << about;
    std::size_t free_slots = 0;
    for (int slot = tree.free_slots; slot >= 0 && free_slots <= tree.count;
         slot = tree.folders[slot].next_sibling) {
        ASSERT_TRUE(in_range(slot)) << about;
        EXPECT_FALSE(tree.folders[slot].in_use) << about;
        ++free_slots;
    }
    EXPECT_EQ(free_slots, tree.count - in_use) << about;
    EXPECT_EQ(tree.watched, watched) << about;
    for (std::size_t i = 0; i < tree.by_path.size; ++i) {
        const folder_index::slot &slot = tree.by_path.slots[i];
        if (slot.folder >= 0) {
            ASSERT_TRUE(in_range(slot.folder) && tree.folders[slot.folder].in_use) << about;
            EXPECT_EQ(slot.key, path_key(tree.folders[slot.folder].path)) << about;
        }
    }
    for (std::size_t i = 0; i < tree.by_watch.size; ++i) {
        const folder_index::slot &slot = tree.by_watch.slots[i];
        if (slot.folder >= 0) {
            ASSERT_TRUE(in_range(slot.folder) && tree.folders[slot.folder].in_use) << about;
            EXPECT_EQ(slot.key, static_cast<std::uint64_t>(tree.folders[slot.folder].watch))
                << about;
        }
    }
}

#endif
