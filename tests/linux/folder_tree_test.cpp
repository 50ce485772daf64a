#include "folder_tree.h"

#include "folder_watches.h"
#include "tree_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

// The folders in use that have watch.
std::size_t holders(const folder_tree &tree, int watch)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < tree.count; ++i) {
        count += tree.folders[i].in_use && tree.folders[i].watch == watch ? 1 : 0;
    }
    return count;
}

// The watches that dropped folders left: each is removed, unless a folder
// of the tree has it again; and every folder's watch is still there.
void check_stale_watches(folder_tree &tree, const std::string &about)
{
    const std::vector<int> stale(tree.stale.watches, tree.stale.watches + tree.stale.count);
    remove_stale_watches(tree, SIZE_MAX);
    EXPECT_EQ(tree.stale.count, 0U) << about;
    for (const int watch : stale) {
        if (holders(tree, watch) == 0) {
            EXPECT_TRUE(watch_gone(tree, watch)) << about << ": watch " << watch;
        }
    }
    for (std::size_t i = 0; i < tree.count; ++i) {
        const folder &known = tree.folders[i];
        if (known.in_use && known.watch >= 0) {
            EXPECT_TRUE(watch_held(tree, known)) << about << ": " << known.path;
        }
    }
}

TEST(folder_tree, set_top_is_the_deepest_existing_folder_of_the_fixed_start)
{
    struct row {
        const char *name;
        std::vector<const char *> made;
        const char *top; // null: none
        std::size_t level;
        bool watched;
    };
    const row rows[] = {
        // A plain name's top is its file's folder, there or not.
        {"d/x", {"d/"}, "d", 1, true},
        {"d/x", {}, "d", 1, false},
        {"a/b/x", {"a/"}, "a/b", 2, false},
        {"f/x", {"f"}, "f", 1, false}, // a file where the folder would be
        {"x", {}, ".", 0, true},
        {"/fileholder-unit-none/x", {}, "/fileholder-unit-none", 1, false},
        // A pattern's top is the deepest folder of its fixed start that exists.
        {"a/b/c*/x", {"a/", "a/b/"}, "a/b", 2, true},
        {"a/b/c*/x", {"a/"}, "a", 1, true},
        {"a/b/c*/x", {}, ".", 0, true},
        {"a/b/c*/x", {"a"}, ".", 0, true},
        {"a/b/c*/x", {"a/", "a/b/", "a/b/c1/"}, "a/b", 2, true},
        {"a/b/c*/x", {"a/", "a/b/", "a/b/c*/"}, "a/b", 2, true}, // a folder named so
        {"d/*.tmp", {"d/"}, "d", 1, true},
        {"*/x", {}, ".", 0, true},
        {"a//b///c*/x", {"a/", "a/b/"}, "a//b", 2, true}, // separators as given
        {"/fileholder-unit-none/a*/x", {}, "/", 0, true},
        {"//fileholder-unit-none*/x", {}, "//", 0, true},
        // No file in a folder: no top.
        {"d/", {"d/"}, nullptr, 0, false},
        {"d/*/", {"d/"}, nullptr, 0, false},
        {"", {}, nullptr, 0, false},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes(r.made);
        const name_components name = split_name(r.name, 0, "/");
        folder_tree tree = make_tree(name);
        EXPECT_EQ(set_top(tree, name), r.top != nullptr) << r.name;
        check_tree(tree, r.name);
        if (r.top == nullptr) {
            EXPECT_EQ(tree.top, -1) << r.name;
            EXPECT_EQ(tree.count, 0U) << r.name;
        } else {
            ASSERT_GE(tree.top, 0) << r.name;
            const folder top = tree.folders[tree.top];
            EXPECT_STREQ(top.path, r.top) << r.name;
            EXPECT_EQ(top.given, std::strcmp(r.top, ".") == 0 ? 0 : std::strlen(r.top)) << r.name;
            EXPECT_EQ(top.level, r.level) << r.name;
            EXPECT_EQ(top.watch >= 0, r.watched) << r.name;
            EXPECT_EQ(tree.watched, r.watched ? 1U : 0U) << r.name;
            EXPECT_FALSE(top.listed) << r.name;
            EXPECT_EQ(first_unlisted(tree), tree.top) << r.name;
            // Asked again with nothing changed: the same top.
            EXPECT_FALSE(set_top(tree, name)) << r.name;
            EXPECT_EQ(tree.folders[tree.top].id, top.id) << r.name;
            EXPECT_EQ(folder_paths(tree), std::vector<std::string>{r.top}) << r.name;
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

TEST(folder_tree, set_top_follows_the_folders_of_the_fixed_start_as_they_come_and_go)
{
    struct step {
        std::vector<const char *> changes; // made before set_top
        bool changed;
        const char *top;
        std::size_t folders; // in the tree after it
    };
    struct row {
        const char *about;
        const char *name;
        std::vector<const char *> made;
        std::vector<entry_below> known; // added below the top first
        std::vector<step> steps;
    };
    const row rows[] = {
        {"climbs down as the fixed start appears",
         "a/b/c*/x",
         {},
         {},
         {{{}, false, ".", 1},
          {{"a/"}, true, "a", 1},
          {{"a/b/", "a/b/c1/"}, true, "a/b", 1},
          {{}, false, "a/b", 1}}},
        {"two steps down at once", "a/b/c*/x", {}, {}, {{{"a/", "a/b/"}, true, "a/b", 1}}},
        {"climbs up as the fixed start goes, all below it dropped",
         "a/b/c*/x",
         {"a/", "a/b/", "a/b/c1/", "a/b/c2/"},
         {{"a/b", "c1"}, {"a/b", "c2"}},
         {{{}, false, "a/b", 3}, {{"-a/b"}, true, "a", 1}, {{"-a"}, true, ".", 1}}},
        {"another folder at a pattern's top drops everything below",
         "a/*/*/x",
         {"a/", "a/s1/", "a/s1/t1/", "a/s2/"},
         {{"a", "s1"}, {"a/s1", "t1"}, {"a", "s2"}},
         {{{"a>old", "a/"}, true, "a", 1}}},
        {"its own folder renamed away and back is the same top",
         "a/*/x",
         {"a/", "a/s1/"},
         {{"a", "s1"}},
         {{{"a>old", "old>a"}, false, "a", 2}}},
        {"another folder at a plain name's top",
         "d/x",
         {"d/"},
         {},
         {{{"d>old", "d/"}, true, "d", 1}}},
        {"a plain name's folder removed, then made again",
         "d/x",
         {"d/"},
         {},
         {{{"-d"}, true, "d", 1}, {{}, false, "d", 1}, {{"d/"}, true, "d", 1}}},
        // The old tree's folder that is the top now keeps its watch.
        {"a folder below that took the top's place",
         "a/b/c*/x",
         {"a/", "a/b/", "a/b/c1/"},
         {{"a/b", "c1"}},
         {{{"a/b/c1>a/c1", "-a/b", "a/c1>a/b"}, true, "a/b", 1}}},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes(r.made);
        const name_components name = split_name(r.name, 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_up_tree(tree, name, r.known)) << r.about;
        std::size_t number = 0;
        for (const step &s : r.steps) {
            const std::string about = std::string(r.about) + ", step " + std::to_string(++number);
            make_changes(s.changes);
            const int before = tree.top;
            const unsigned long id = tree.folders[before].id;
            EXPECT_EQ(set_top(tree, name), s.changed) << about;
            check_tree(tree, about);
            ASSERT_GE(tree.top, 0) << about;
            EXPECT_STREQ(tree.folders[tree.top].path, s.top) << about;
            EXPECT_EQ(tree.folders[tree.top].id == id, !s.changed) << about;
            EXPECT_EQ(folder_paths(tree).size(), s.folders) << about;
            check_stale_watches(tree, about);
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

TEST(folder_tree, add_child_makes_a_watched_folder_of_a_folder_entry_only)
{
    struct row {
        const char *about;
        const char *name;
        bool given_up; // the watches
        std::vector<entry_below> known;
        const char *parent, *entry;
        const char *path;  // null: not a folder of the tree
        const char *watch; // "own", "none", or the folder whose watch it shares
    };
    const row rows[] = {
        {"a folder", "a/*/*/x", false, {}, "a", "s1", "a/s1", "own"},
        {"a folder below it", "a/*/*/x", false, {{"a", "s1"}}, "a/s1", "t1", "a/s1/t1", "own"},
        {"separators as given", "a//*///*/x", false, {}, "a", "s1", "a//s1", "own"},
        {"separators as given, below",
         "a//*///*/x",
         false,
         {{"a", "s1"}},
         "a//s1",
         "t1",
         "a//s1///t1",
         "own"},
        {"in the current folder", "*/*/x", false, {}, ".", "a", "a", "own"},
        {"below the root", "/*/x", false, {}, "/", "tmp", "/tmp", "own"},
        {"a link to a folder", "a/*/*/x", false, {}, "a", "l", "a/l", "own"},
        {"a link to a known folder", "a/*/*/x", false, {{"a", "s1"}}, "a", "l", "a/l", "a/s1"},
        {"known already", "a/*/*/x", false, {{"a", "s1"}}, "a", "s1", "a/s1", "own"},
        {"a file", "a/*/*/x", false, {}, "a", "f", nullptr, nullptr},
        {"a link to a file", "a/*/*/x", false, {}, "a", "lf", nullptr, nullptr},
        {"a link to nothing", "a/*/*/x", false, {}, "a", "ln", nullptr, nullptr},
        {"missing", "a/*/*/x", false, {}, "a", "m", nullptr, nullptr},
        {"a folder, the watches given up", "a/*/*/x", true, {}, "a", "s1", "a/s1", "none"},
        {"a file, the watches given up", "a/*/*/x", true, {}, "a", "f", nullptr, nullptr},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes({"a/", "a/s1/", "a/s1/t1/", "a/f", "a/l->s1", "a/lf->f", "a/ln->none"});
        const name_components name = split_name(r.name, 0, "/");
        folder_tree tree = make_tree(name);
        if (r.given_up) {
            (void)give_up_watches(tree);
        }
        ASSERT_TRUE(set_up_tree(tree, name, r.known)) << r.about;
        list_all(tree);
        const int parent = find_folder(tree, r.parent);
        ASSERT_GE(parent, 0) << r.about;
        const int known = find_folder(tree, r.path == nullptr ? "" : r.path);
        const std::vector<std::string> before = folder_paths(tree);
        const std::size_t slots = tree.count;
        const unsigned long made = tree.made;

        const int added = add_child(tree, name, parent, r.entry);
        check_tree(tree, r.about);
        if (r.path == nullptr) {
            EXPECT_EQ(added, -1) << r.about;
            EXPECT_EQ(folder_paths(tree), before) << r.about;
            EXPECT_EQ(tree.count, slots) << r.about;
            EXPECT_EQ(first_unlisted(tree), -1) << r.about;
        } else if (known >= 0) {
            // As it was: listed still, and not queued again.
            EXPECT_EQ(added, known) << r.about;
            EXPECT_EQ(tree.made, made) << r.about;
            EXPECT_EQ(folder_paths(tree), before) << r.about;
            EXPECT_EQ(first_unlisted(tree), -1) << r.about;
        } else {
            ASSERT_GE(added, 0) << r.about;
            const folder &child = tree.folders[added];
            EXPECT_STREQ(child.path, r.path) << r.about;
            EXPECT_EQ(child.given, std::strlen(r.path)) << r.about;
            EXPECT_EQ(child.parent, parent) << r.about;
            EXPECT_EQ(child.level, tree.folders[parent].level + 1) << r.about;
            EXPECT_EQ(child.id, made + 1) << r.about;
            EXPECT_FALSE(child.listed) << r.about;
            EXPECT_EQ(first_unlisted(tree), added) << r.about;
            EXPECT_EQ(folder_paths(tree).size(), before.size() + 1) << r.about;
        }
        if (r.watch != nullptr && std::strcmp(r.watch, "own") == 0) {
            EXPECT_EQ(holders(tree, tree.folders[added].watch), 1U) << r.about;
            EXPECT_TRUE(watch_held(tree, tree.folders[added])) << r.about;
        } else if (r.watch != nullptr && std::strcmp(r.watch, "none") == 0) {
            EXPECT_EQ(tree.folders[added].watch, -1) << r.about;
        } else if (r.watch != nullptr) {
            const int other = find_folder(tree, r.watch);
            ASSERT_GE(other, 0) << r.about;
            EXPECT_GE(tree.folders[added].watch, 0) << r.about;
            EXPECT_EQ(tree.folders[added].watch, tree.folders[other].watch) << r.about;
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

TEST(folder_tree, drop_folder_forgets_a_folder_and_all_below_it)
{
    struct row {
        const char *about;
        std::vector<entry_below> more; // known besides the usual ones
        const char *dropped;
        bool watch_removed;             // by the kernel, its folder gone
        std::vector<entry_below> again; // added right after the drop
        std::vector<const char *> left; // the folders then, again ones included
    };
    // Newest first among siblings: a/s1 holds t3, t2, t1 in that order.
    const row rows[] = {
        {"a middle child",
         {},
         "a/s1/t2",
         false,
         {},
         {"a", "a/s1", "a/s1/t1", "a/s1/t3", "a/s2", "a/s2/t1"}},
        {"a first child",
         {},
         "a/s1/t3",
         false,
         {},
         {"a", "a/s1", "a/s1/t1", "a/s1/t2", "a/s2", "a/s2/t1"}},
        {"a last child",
         {},
         "a/s1/t1",
         false,
         {},
         {"a", "a/s1", "a/s1/t2", "a/s1/t3", "a/s2", "a/s2/t1"}},
        {"a folder and all below it", {}, "a/s1", false, {}, {"a", "a/s2", "a/s2/t1"}},
        {"the last of its siblings",
         {},
         "a/s2",
         false,
         {},
         {"a", "a/s1", "a/s1/t1", "a/s1/t2", "a/s1/t3"}},
        {"the top", {}, "a", false, {}, {}},
        {"its own watch removed by the kernel", {}, "a/s1", true, {}, {"a", "a/s2", "a/s2/t1"}},
        {"the top, its own watch removed", {}, "a", true, {}, {}},
        {"a link to a folder, sharing its watch",
         {{"a", "l"}},
         "a/l",
         false,
         {},
         {"a", "a/s1", "a/s1/t1", "a/s1/t2", "a/s1/t3", "a/s2", "a/s2/t1"}},
        {"the folder a link shares",
         {{"a", "l"}},
         "a/s1",
         false,
         {},
         {"a", "a/l", "a/s2", "a/s2/t1"}},
        {"a link's folder with the folders below",
         {{"a", "l"}, {"a/l", "t1"}},
         "a/s1",
         false,
         {},
         {"a", "a/l", "a/l/t1", "a/s2", "a/s2/t1"}},
        {"a folder back at once has its watch again",
         {},
         "a/s1",
         false,
         {{"a", "s1"}, {"a/s1", "t2"}},
         {"a", "a/s1", "a/s1/t2", "a/s2", "a/s2/t1"}},
        {"the top back at once", {}, "a", false, {{"", ""}}, {"a"}},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes({"a/", "a/s1/", "a/s1/t1/", "a/s1/t2/", "a/s1/t3/", "a/s2/", "a/s2/t1/",
                      "a/l->s1", "a/n1/", "a/n2/", "a/n3/", "a/n4/", "a/n5/", "a/n6/", "a/n7/"});
        const name_components name = split_name("a/*/*/x", 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_up_tree(tree, name,
                                {{"a", "s1"},
                                 {"a/s1", "t1"},
                                 {"a/s1", "t2"},
                                 {"a/s1", "t3"},
                                 {"a", "s2"},
                                 {"a/s2", "t1"}}))
            << r.about;
        add_entries(tree, name, r.more);
        check_tree(tree, r.about);
        // What goes: the folder and those whose path continues it.
        const std::string dropped = r.dropped;
        std::vector<int> gone_watches;
        std::size_t gone = 0;
        for (std::size_t i = 0; i < tree.count; ++i) {
            const std::string path = tree.folders[i].path;
            if (path == dropped || path.compare(0, dropped.size() + 1, dropped + "/") == 0) {
                ++gone;
                if (tree.folders[i].watch >= 0 && !(r.watch_removed && path == dropped)) {
                    gone_watches.push_back(tree.folders[i].watch);
                }
            }
        }
        const std::size_t slots = tree.count;

        drop_folder(tree, find_folder(tree, dropped), r.watch_removed);
        check_tree(tree, r.about);
        EXPECT_EQ(tree.top == -1, dropped == "a") << r.about;
        EXPECT_EQ(folder_paths(tree).size(), slots - gone) << r.about;
        EXPECT_EQ(tree.count, slots) << r.about;
        std::vector<int> stale(tree.stale.watches, tree.stale.watches + tree.stale.count);
        std::sort(stale.begin(), stale.end());
        std::sort(gone_watches.begin(), gone_watches.end());
        EXPECT_EQ(stale, gone_watches) << r.about;

        // Folders added now take the slots the dropped ones left.
        for (const auto &[parent, entry] : r.again) {
            if (*parent == '\0') {
                ASSERT_TRUE(set_top(tree, name)) << r.about;
            } else {
                add_entries(tree, name, {{parent, entry}});
            }
        }
        std::vector<std::string> left(r.left.begin(), r.left.end());
        EXPECT_EQ(folder_paths(tree), sorted(left)) << r.about;
        check_tree(tree, r.about);
        if (tree.top >= 0) {
            const char *fresh[] = {"n1", "n2", "n3", "n4", "n5", "n6", "n7"};
            const std::size_t in_use = folder_paths(tree).size();
            for (std::size_t i = 0; in_use + i < slots; ++i) {
                add_entries(tree, name, {{"a", fresh[i]}});
            }
            EXPECT_EQ(tree.count, slots) << r.about;
            check_tree(tree, r.about);
        }

        // Each folder waits for its listing in the order made: a slot used
        // anew comes when its new folder does.
        std::vector<unsigned long> ids;
        for (int next = 0; (next = first_unlisted(tree)) >= 0;) {
            ids.push_back(tree.folders[next].id);
            tree.folders[next].listed = true;
            ASSERT_LE(ids.size(), tree.count) << r.about;
        }
        std::vector<unsigned long> made;
        for (std::size_t i = 0; i < tree.count; ++i) {
            if (tree.folders[i].in_use) {
                made.push_back(tree.folders[i].id);
            }
        }
        std::sort(made.begin(), made.end());
        EXPECT_EQ(ids, made) << r.about;
        check_stale_watches(tree, r.about);
        free_tree(tree);
        std::free(name.parts);
    }
}

TEST(folder_tree, remove_stale_watches_removes_as_many_as_asked)
{
    struct row {
        std::size_t most, left;
    };
    const row rows[] = {{0, 4}, {1, 3}, {3, 1}, {4, 0}, {100, 0}};
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes({"a/", "a/s1/", "a/s1/t1/", "a/s1/t2/", "a/s1/t3/"});
        const name_components name = split_name("a/*/*/x", 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_top(tree, name));
        add_entries(tree, name, {{"a", "s1"}, {"a/s1", "t1"}, {"a/s1", "t2"}, {"a/s1", "t3"}});
        drop_folder(tree, find_folder(tree, "a/s1"));
        const std::vector<int> stale(tree.stale.watches, tree.stale.watches + 4);
        ASSERT_EQ(tree.stale.count, 4U);
        remove_stale_watches(tree, r.most);
        EXPECT_EQ(tree.stale.count, r.left) << r.most;
        // The ones left wait at the front; the others are gone.
        for (std::size_t i = r.left; i < stale.size(); ++i) {
            EXPECT_TRUE(watch_gone(tree, stale[i])) << r.most << " " << i;
        }
        for (std::size_t i = 0; i < r.left; ++i) {
            EXPECT_EQ(tree.stale.watches[i], stale[i]) << r.most << " " << i;
            EXPECT_FALSE(watch_gone(tree, stale[i])) << r.most << " " << i;
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

// The shapes that a drop must walk: each folder's parent by its place among
// those made, -1 for the top.
long side_by_side(std::size_t)
{
    return -1;
}

long chain(std::size_t place)
{
    return static_cast<long>(place) - 1;
}

long binary(std::size_t place)
{
    return place == 0 ? -1 : static_cast<long>((place - 1) / 2);
}

// Links the folders made anew, each below the one parent_of gives, as
// add_child would have linked them: paths nest no deeper than PATH_MAX
// allows, so deep shapes are made of folders made side by side. Taken in a
// scattered order, as folders made at different times lie in the slots.
void relink(folder_tree &tree, const std::vector<int> &made, long (*parent_of)(std::size_t))
{
    constexpr std::size_t stride = 7919; // a prime: every folder once
    const auto at = [&made](std::size_t place) { return made[place * stride % made.size()]; };
    tree.folders[tree.top].first_child = -1;
    for (std::size_t place = 0; place < made.size(); ++place) {
        const long parent_place = parent_of(place);
        const int parent = parent_place < 0 ? tree.top : at(static_cast<std::size_t>(parent_place));
        const int index = at(place);
        folder &child = tree.folders[index];
        folder &above = tree.folders[parent];
        child.parent = parent;
        child.level = above.level + 1;
        child.first_child = child.previous_sibling = -1;
        child.next_sibling = above.first_child;
        if (above.first_child >= 0) {
            tree.folders[above.first_child].previous_sibling = index;
        }
        above.first_child = index;
    }
}

TEST(folder_tree, drop_folder_passes_each_folder_a_few_times_however_many_there_are)
{
    struct row {
        const char *shape;
        long (*parent_of)(std::size_t);
        std::size_t count;
        bool watched;
    };
    // A drop that looked at every folder for each one dropped, or walked
    // down from the folder dropped again for each, would take minutes on the
    // rows of 200,000 folders: far beyond the minute that ctest gives this
    // test, where the drop itself takes milliseconds. A recursive one would
    // run out of stack on their chain.
    const row rows[] = {
        {"side by side", side_by_side, 10000, true},
        {"a chain", chain, 10000, true},
        {"a binary tree", binary, 10000, true},
        // The watches given up: none is needed, and the kernel's work is
        // not the tree's.
        {"side by side", side_by_side, 200000, false},
        {"a chain", chain, 200000, false},
        {"a binary tree", binary, 200000, false},
    };
    scratch_folder scratch;
    for (std::size_t i = 0; i < 200000; ++i) {
        ASSERT_EQ(mkdir(std::to_string(i).c_str(), 0700), 0) << i;
    }
    for (const row &r : rows) {
        const std::string about = std::string(r.shape) + ", " + std::to_string(r.count);
        const name_components name = split_name("*/x", 0, "/");
        folder_tree tree = make_tree(name);
        if (!r.watched) {
            (void)give_up_watches(tree);
        }
        ASSERT_TRUE(set_top(tree, name)) << about;
        std::vector<int> made;
        for (std::size_t i = 0; i < r.count; ++i) {
            made.push_back(add_child(tree, name, tree.top, std::to_string(i).c_str()));
            ASSERT_GE(made.back(), 0) << about << ": " << i;
        }
        relink(tree, made, r.parent_of);
        check_tree(tree, about);
        EXPECT_EQ(tree.watched, r.watched ? r.count + 1 : 0) << about;
        const std::size_t slots = tree.count;

        drop_folder(tree, tree.top);
        EXPECT_EQ(tree.top, -1) << about;
        EXPECT_TRUE(folder_paths(tree).empty()) << about;
        EXPECT_EQ(tree.watched, 0U) << about;
        EXPECT_EQ(tree.stale.count, r.watched ? r.count + 1 : 0) << about;
        check_tree(tree, about);
        // Every slot is free, and taken again before any new one (where the
        // watches are given up, only by the top).
        ASSERT_TRUE(set_top(tree, name)) << about;
        for (std::size_t i = 0; r.watched && i < r.count; ++i) {
            ASSERT_GE(add_child(tree, name, tree.top, std::to_string(i).c_str()), 0) << about;
        }
        EXPECT_EQ(tree.count, slots) << about;
        check_tree(tree, about);
        free_tree(tree);
        std::free(name.parts);
    }
}

TEST(folder_tree, entry_path_puts_the_separators_as_given_between_folder_and_entry)
{
    struct row {
        const char *name;
        std::size_t level;
        const char *separators;
        const char *holder; // the folder's path
        const char *entry, *path;
    };
    const row rows[] = {
        {"a//b*///c", 0, "", ".", "a", "a"}, // the current folder's "." is no part of it
        {"a//b*///c", 1, "//", "a", "b1", "a//b1"},
        {"a//b*///c", 2, "///", "a//b1", "c", "a//b1///c"},
        {"a//b*///c", 2, "///", "a//b1", "", "a//b1///"},
        {"x", 0, "", ".", "x", "x"},
        {"/tmp*/x", 0, "", "/", "tmp5", "/tmp5"},
        {"/tmp*//x", 1, "//", "/tmp5", "x", "/tmp5//x"},
        {"//a*/x", 0, "", "//", "a1", "//a1"},
        {"a/b/", 2, "/", "a/b", "", "a/b/"},
        {"a/\n*/x", 2, "/", "a/\nb", "x", "a/\nb/x"},
    };
    for (const row &r : rows) {
        const name_components name = split_name(r.name, 0, "/");
        std::size_t size = 99;
        const char *separators = separators_before(name, r.level, size);
        EXPECT_EQ(std::string(separators, size), r.separators) << r.name << " " << r.level;
        std::string path = r.holder;
        folder holder;
        holder.path = path.data();
        holder.given = path == "." ? 0 : path.size();
        holder.level = r.level;
        char *made = entry_path(name, holder, r.entry);
        ASSERT_NE(made, nullptr);
        EXPECT_STREQ(made, r.path) << r.name << " " << r.level;
        std::free(made);
        std::free(name.parts);
    }
}

TEST(folder_tree, matches_component_compares_literals_and_never_matches_a_line_feed_by_wildcard)
{
    struct row {
        const char *name;
        std::size_t level;
        const char *entry;
        bool matches;
    };
    const row rows[] = {
        {"d/x.tmp", 1, "x.tmp", true},   {"d/x.tmp", 1, "x.tmpz", false},
        {"d/x.tmp", 1, "x.tm", false},   {"d/x.tmp", 1, "X.tmp", false},
        {"d/x.tmp", 0, "d", true},       {"d/x.tmp", 0, "dd", false},
        {"d/a\nb", 1, "a\nb", true}, // a literal name's own line feed
        {"d/*.tmp", 1, "a.tmp", true},   {"d/*.tmp", 1, "a.tmp2", false},
        {"d/*.tmp", 1, ".a.tmp", false}, // a leading dot only by a dot
        {"d/.*.tmp", 1, ".a.tmp", true}, {"d/*.tmp", 1, "a\n.tmp", false},
        {"d/*", 1, "\n", false},         {"d/*", 1, "a\n", false},
        {"d/?", 1, "\n", false},         {"d/?", 1, "\xc3\xa9", true}, // one character of two bytes
        {"d/?", 1, "ab", false},         {"s*/x", 0, "s1", true},
        {"s*/x", 0, "t1", false},        {"s*/x", 0, "s\n", false},
        {"s*/x", 1, "x", true},          {"s*/x", 1, "y", false},
        {"a//b?///c", 1, "b1", true},    {"a//b?///c", 2, "c", true},
    };
    for (const row &r : rows) {
        const name_components name = split_name(r.name, 0, "/");
        EXPECT_EQ(matches_component(name, r.level, r.entry), r.matches)
            << r.name << " " << r.level << " " << r.entry;
        std::free(name.parts);
    }
}

TEST(folder_tree, unlisted_folders_are_listed_first_come_first_served)
{
    // Steps on the tree of a/*/x: "+e" adds a/e, "-e" drops it, "list" lists
    // the first folder waiting, "u e" marks a/e unlisted ("u" alone: a),
    // "all" marks every folder unlisted.
    struct step {
        const char *what;
        const char *first;  // the first folder waiting then, null for none
        std::size_t queued; // entries in the queue since it last started over
    };
    struct row {
        const char *about;
        std::vector<step> steps;
    };
    const row rows[] = {
        {"in the order made, each until it is listed",
         {{"+s1", "a", 2},
          {"+s2", "a", 3},
          {"list", "a/s1", 3},
          {"+s3", "a/s1", 4},
          {"list", "a/s2", 4},
          {"list", "a/s3", 4},
          {"list", nullptr, 4}}},
        {"a folder listed again joins the back",
         {{"+s1", "a", 2},
          {"+s2", "a", 3},
          {"list", "a/s1", 3},
          {"u", "a/s1", 4},
          {"list", "a/s2", 4},
          {"list", "a", 4},
          {"list", nullptr, 4}}},
        {"queued once while it waits",
         {{"+s1", "a", 2}, {"u s1", "a", 2}, {"u", "a", 2}, {"all", "a", 2}}},
        {"all marked: each listed one, in slot order",
         {{"+s1", "a", 2},
          {"+s2", "a", 3},
          {"list", "a/s1", 3},
          {"list", "a/s2", 3},
          {"all", "a/s2", 5},
          {"list", "a", 5},
          {"list", "a/s1", 5},
          {"list", nullptr, 5}}},
        {"a dropped folder is skipped",
         {{"+s1", "a", 2}, {"+s2", "a", 3}, {"-s1", "a", 3}, {"list", "a/s2", 3}}},
        {"a dropped folder first in the queue",
         {{"+s1", "a", 2}, {"+s2", "a", 3}, {"list", "a/s1", 3}, {"-s1", "a/s2", 3}}},
        {"a slot used anew is told apart by its id",
         {{"+s1", "a", 2},
          {"+s2", "a", 3},
          {"+s3", "a", 4},
          {"-s1", "a", 4},
          {"+s4", "a", 5},
          {"list", "a/s2", 5},
          {"list", "a/s3", 5},
          {"list", "a/s4", 5},
          {"list", nullptr, 5}}},
        {"the queue starts over once all are taken",
         {{"+s1", "a", 2},
          {"list", "a/s1", 2},
          {"list", nullptr, 2},
          {"u s1", "a/s1", 1},
          {"u", "a/s1", 2},
          {"list", "a", 2}}},
        {"none waits once the top is listed", {{"list", nullptr, 1}, {"list", nullptr, 1}}},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes({"a/", "a/s1/", "a/s2/", "a/s3/", "a/s4/"});
        const name_components name = split_name("a/*/x", 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_top(tree, name));
        std::size_t number = 0;
        for (const step &s : r.steps) {
            const std::string about = std::string(r.about) + ", step " + std::to_string(++number);
            const std::string what = s.what;
            if (what[0] == '+') {
                add_entries(tree, name, {{"a", what.c_str() + 1}});
            } else if (what[0] == '-') {
                drop_folder(tree, find_folder(tree, "a/" + what.substr(1)));
            } else if (what == "list") {
                const int next = first_unlisted(tree);
                if (next >= 0) {
                    tree.folders[next].listed = true;
                }
            } else if (what == "all") {
                mark_all_unlisted(tree);
            } else {
                const std::string path = what == "u" ? "a" : "a/" + what.substr(2);
                mark_unlisted(tree, find_folder(tree, path));
            }
            const int first = first_unlisted(tree);
            if (s.first == nullptr) {
                EXPECT_EQ(first, -1) << about;
            } else {
                ASSERT_GE(first, 0) << about;
                EXPECT_STREQ(tree.folders[first].path, s.first) << about;
                EXPECT_EQ(first_unlisted(tree), first) << about; // until it is listed
            }
            EXPECT_EQ(tree.unlisted.count, s.queued) << about;
            check_tree(tree, about);
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

} // namespace
