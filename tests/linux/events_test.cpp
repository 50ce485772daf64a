#include "events.h"

#include "tree_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/inotify.h>
#include <vector>

namespace
{

// One event as the kernel would queue it: about the folder of the tree at
// folder (null: no folder, "?": a watch that no folder has), and an entry
// of it where name is not empty.
struct made_event {
    const char *folder;
    std::uint32_t mask;
    std::string name;
};

int watch_named(const folder_tree &tree, const char *folder)
{
    if (folder == nullptr) {
        return -1;
    }
    int highest = 0;
    for (std::size_t i = 0; i < tree.count; ++i) {
        highest = std::max(highest, tree.folders[i].in_use ? tree.folders[i].watch : 0);
    }
    if (std::strcmp(folder, "?") == 0) {
        return highest + 100;
    }
    const int index = find_folder(tree, folder);
    EXPECT_GE(index, 0) << folder;
    EXPECT_GE(index < 0 ? -1 : tree.folders[index].watch, 0) << folder;
    return index < 0 ? -1 : tree.folders[index].watch;
}

// The events as one read gives them, each name padded with NULs to whole
// records as the kernel pads it, each naming the watch that its folder has.
std::vector<char> event_buffer(const folder_tree &tree, const std::vector<made_event> &events)
{
    std::vector<char> bytes;
    for (const made_event &e : events) {
        inotify_event head{};
        head.wd = watch_named(tree, e.folder);
        head.mask = e.mask;
        const std::size_t record = sizeof(inotify_event);
        head.len = e.name.empty()
                       ? 0
                       : static_cast<std::uint32_t>((e.name.size() + record) / record * record);
        const std::size_t at = bytes.size();
        bytes.resize(at + sizeof head + head.len, '\0');
        std::memcpy(bytes.data() + at, &head, sizeof head);
        std::memcpy(bytes.data() + at + sizeof head, e.name.data(), e.name.size());
    }
    return bytes;
}

// The files reported, as the paths they are tried by; "gone:" and the name
// for one whose folder is no longer in the tree.
std::vector<std::string> reported(const folder_tree &tree, const name_components &name,
                                  const event_reports &reports)
{
    std::vector<std::string> files;
    for (std::size_t i = 0; i < reports.count; ++i) {
        const reported_file &file = reports.entries[i];
        const folder &holder = tree.folders[file.folder];
        if (!holder.in_use || holder.id != file.folder_id) {
            files.push_back(std::string("gone:") + file.name);
            continue;
        }
        char *path = entry_path(name, holder, file.name);
        files.emplace_back(path);
        std::free(path);
    }
    return sorted(files);
}

// count creations in folder of the files f0.tmp, f1.tmp...
std::vector<made_event> made_files(const char *folder, std::size_t count)
{
    std::vector<made_event> events;
    for (std::size_t i = 0; i < count; ++i) {
        events.push_back({folder, IN_CREATE, "f" + std::to_string(i) + ".tmp"});
    }
    return events;
}

std::vector<std::string> made_paths(const char *folder, std::size_t count)
{
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
        paths.push_back(std::string(folder) + "/f" + std::to_string(i) + ".tmp");
    }
    return paths;
}

std::vector<made_event> with(std::vector<made_event> events, const made_event &more)
{
    events.push_back(more);
    return events;
}

struct event_row {
    const char *about;
    const char *name;
    std::vector<const char *> made;  // before the tree is made
    std::vector<entry_below> known;  // added below the top
    std::vector<const char *> later; // changes made once the tree is, before the events
    std::vector<made_event> events;
    bool relevant;
    std::vector<std::string> reports;
    std::vector<std::string> folders;     // the tree's after the events
    std::vector<std::string> unlisted;    // of them, those to be listed, all listed before
    std::vector<made_event> earlier = {}; // read before, their reports held still
};

TEST(events, one_reads_events_become_reports_and_changes_of_the_tree)
{
    const std::string longest(longest_entry - 4, 'a');
    const std::string too_long(longest_entry - 3, 'a');

    const event_row event_rows[] = {
        // Matching files made: reported, each once.
        {"a match made",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}},
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"a match moved in",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_MOVED_TO, "a.tmp"}},
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"a match's attributes changed",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_ATTRIB, "a.tmp"}},
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"a match touched three times, reported once",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_ATTRIB, "a.tmp"}, {"d", IN_MOVED_TO, "a.tmp"}},
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"two matches",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_CREATE, "b.tmp"}},
         true,
         {"d/a.tmp", "d/b.tmp"},
         {"d"},
         {}},
        // Other names: nothing.
        {"another name",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.txt"}},
         false,
         {},
         {"d"},
         {}},
        {"a hidden name",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, ".a.tmp"}},
         false,
         {},
         {"d"},
         {}},
        {"a line feed in the name",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a\n.tmp"}, {"d", IN_MOVED_TO, "\n.tmp"}},
         false,
         {},
         {"d"},
         {}},
        {"an empty buffer", "d/*.tmp", {"d/"}, {}, {}, {}, false, {}, {"d"}, {}},
        {"a watch that no folder has",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"?", IN_CREATE, "a.tmp"}},
         false,
         {},
         {"d"},
         {}},
        // Departures take a report back.
        {"a match made and deleted",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_DELETE, "a.tmp"}},
         true,
         {},
         {"d"},
         {}},
        {"a match made and moved out",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_MOVED_FROM, "a.tmp"}},
         true,
         {},
         {"d"},
         {}},
        {"a match made, deleted and made again",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_DELETE, "a.tmp"}, {"d", IN_CREATE, "a.tmp"}},
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"a deletion takes back its own report only",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_CREATE, "b.tmp"}, {"d", IN_DELETE, "a.tmp"}},
         true,
         {"d/b.tmp"},
         {"d"},
         {}},
        {"a deletion with no report held",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_DELETE, "a.tmp"}},
         false,
         {},
         {"d"},
         {}},
        {"a match deleted after the read that told of it",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_DELETE, "a.tmp"}},
         false,
         {"d/b.tmp"},
         {"d"},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_CREATE, "b.tmp"}}},
        {"a match moved out after the read that told of it",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_MOVED_FROM, "b.tmp"}},
         false,
         {"d/a.tmp"},
         {"d"},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {"d", IN_CREATE, "b.tmp"}}},
        {"a deletion in another folder takes back nothing",
         "d/*/*.tmp",
         {"d/", "d/s1/", "d/s2/"},
         {{"d", "s1"}, {"d", "s2"}},
         {},
         {{"d/s1", IN_CREATE, "a.tmp"}, {"d/s2", IN_DELETE, "a.tmp"}},
         true,
         {"d/s1/a.tmp"},
         {"d", "d/s1", "d/s2"},
         {}},
        {"a folder with a matching name is never held",
         "d/*.tmp",
         {"d/"},
         {},
         {"d/s.tmp/"},
         {{"d", IN_CREATE | IN_ISDIR, "s.tmp"}},
         false,
         {},
         {"d"},
         {}},
        // More than can be held, or too long to hold: the folder is listed.
        {"more matches than are held",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         made_files("d", reports_held + 1),
         true,
         made_paths("d", reports_held),
         {"d"},
         {"d"}},
        {"as many matches as are held, one touched again",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         with(made_files("d", reports_held), {"d", IN_ATTRIB, "f0.tmp"}),
         true,
         made_paths("d", reports_held),
         {"d"},
         {}},
        {"a name longer than NAME_MAX",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, too_long + ".tmp"}},
         true,
         {},
         {"d"},
         {"d"}},
        {"a name of NAME_MAX bytes",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, longest + ".tmp"}},
         true,
         {"d/" + longest + ".tmp"},
         {"d"},
         {}},
        {"lost events: every folder listed again",
         "d/*/*.tmp",
         {"d/", "d/s1/", "d/s2/"},
         {{"d", "s1"}, {"d", "s2"}},
         {},
         {{nullptr, IN_Q_OVERFLOW, ""}},
         true,
         {},
         {"d", "d/s1", "d/s2"},
         {"d", "d/s1", "d/s2"}},
        {"lost events among others",
         "d/*.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "a.tmp"}, {nullptr, IN_Q_OVERFLOW, ""}, {"d", IN_CREATE, "b.tmp"}},
         true,
         {"d/a.tmp", "d/b.tmp"},
         {"d"},
         {"d"}},
        // A plain name: its file tells, without a report.
        {"a plain name's file made",
         "d/x.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "x.tmp"}},
         true,
         {},
         {"d"},
         {}},
        {"a plain name's folder, another file",
         "d/x.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_CREATE, "x.tmpz"}, {"d", IN_MOVED_TO, "y.tmp"}},
         false,
         {},
         {"d"},
         {}},
        {"a plain name's file deleted",
         "d/x.tmp",
         {"d/"},
         {},
         {},
         {{"d", IN_DELETE, "x.tmp"}},
         false,
         {},
         {"d"},
         {}},
        // Wildcard folders.
        {"a match in a wildcard folder",
         "d/s*/x.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {},
         {{"d/s1", IN_CREATE, "x.tmp"}},
         true,
         {"d/s1/x.tmp"},
         {"d", "d/s1"},
         {}},
        {"the file's name a level too high",
         "d/s*/x.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {},
         {{"d", IN_CREATE, "x.tmp"}},
         false,
         {},
         {"d", "d/s1"},
         {}},
        {"two folders sharing a watch each report",
         "d/*/*.tmp",
         {"d/", "d/s1/", "d/l->s1"},
         {{"d", "s1"}, {"d", "l"}},
         {},
         {{"d/s1", IN_CREATE, "a.tmp"}},
         true,
         {"d/l/a.tmp", "d/s1/a.tmp"},
         {"d", "d/l", "d/s1"},
         {}},
        {"a new matching folder joins the tree, to be listed",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/s1/"},
         {{"d", IN_CREATE | IN_ISDIR, "s1"}},
         true,
         {},
         {"d", "d/s1"},
         {"d/s1"}},
        {"a matching folder moved in",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/s1/"},
         {{"d", IN_MOVED_TO | IN_ISDIR, "s1"}},
         true,
         {},
         {"d", "d/s1"},
         {"d/s1"}},
        {"a new folder of another name",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/t1/"},
         {{"d", IN_CREATE | IN_ISDIR, "t1"}},
         false,
         {},
         {"d"},
         {}},
        {"a matching name that is no folder",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/s1"},
         {{"d", IN_CREATE, "s1"}},
         false,
         {},
         {"d"},
         {}},
        {"a folder known and listed, told of again",
         "d/s*/x.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {},
         {{"d", IN_CREATE | IN_ISDIR, "s1"}},
         false,
         {},
         {"d", "d/s1"},
         {}},
        {"a folder leaving the folder above the file's",
         "d/*/x.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {},
         {{"d/s1", IN_CREATE, "x.tmp"}, {"d", IN_DELETE | IN_ISDIR, "s1"}},
         true,
         {"d/s1/x.tmp"},
         {"d", "d/s1"},
         {}},
        {"a folder's departure adds nothing, even where another of its name stands",
         "d/s*/x.tmp",
         {"d/", "d/s2/"},
         {{"d", "s2"}},
         {"d/s1/"},
         {{"d/s2", IN_CREATE, "x.tmp"}, {"d", IN_MOVED_FROM | IN_ISDIR, "s1"}},
         true,
         {"d/s2/x.tmp"},
         {"d", "d/s2"},
         {}},
        {"a folder and a link to it a level higher: each hears its own",
         "d/*/*/*.tmp",
         {"d/", "d/s1/", "d/s1/t/", "d/l->s1/t"},
         {{"d", "s1"}, {"d/s1", "t"}, {"d", "l"}},
         {},
         {{"d/l", IN_CREATE, "a.tmp"}},
         true,
         {"d/s1/t/a.tmp"},
         {"d", "d/l", "d/s1", "d/s1/t"},
         {}},
        {"the fixed start reaches further: the top moves down",
         "a/b/c*/x",
         {"a/"},
         {},
         {"a/b/"},
         {{"a", IN_CREATE | IN_ISDIR, "b"}},
         true,
         {},
         {"a/b"},
         {"a/b"}},
        {"a folder beside the fixed start",
         "a/b/c*/x",
         {"a/"},
         {},
         {"a/c/"},
         {{"a", IN_CREATE | IN_ISDIR, "c"}},
         false,
         {},
         {"a"},
         {}},
        // A folder's own events: gone, it is dropped with all below it.
        {"a folder deleted",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/", "d/s2/"},
         {{"d", "s1"}, {"d/s1", "t1"}, {"d", "s2"}},
         {"-d/s1"},
         {{"d/s1/t1", IN_DELETE_SELF, ""},
          {"d/s1/t1", IN_IGNORED, ""},
          {"d/s1", IN_DELETE_SELF, ""},
          {"d/s1", IN_IGNORED, ""}},
         true,
         {},
         {"d", "d/s2"},
         {}},
        {"a folder deleted, the one below told of nothing",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/", "d/s2/"},
         {{"d", "s1"}, {"d/s1", "t1"}, {"d", "s2"}},
         {},
         {{"d/s1", IN_DELETE_SELF, ""}},
         true,
         {},
         {"d", "d/s2"},
         {}},
        {"a folder's watch removed",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/", "d/s2/"},
         {{"d", "s1"}, {"d/s1", "t1"}, {"d", "s2"}},
         {},
         {{"d/s1", IN_IGNORED, ""}},
         true,
         {},
         {"d", "d/s2"},
         {}},
        {"a folder's events after its own deletion",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/"},
         {{"d", "s1"}},
         {},
         {{"d/s1", IN_IGNORED, ""}, {"d/s1", IN_CREATE | IN_ISDIR, "t1"}},
         true,
         {},
         {"d"},
         {}},
        {"a folder below itself, by a link",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/self->."},
         {{"d", "s1"}, {"d/s1", "self"}},
         {},
         {{"d/s1", IN_IGNORED, ""}},
         true,
         {},
         {"d"},
         {}},
        {"a match's folder deleted",
         "d/*/*.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {},
         {{"d/s1", IN_CREATE, "a.tmp"}, {"d/s1", IN_DELETE_SELF, ""}},
         true,
         {"gone:a.tmp"},
         {"d"},
         {}},
        {"the top deleted: the top is found anew",
         "d/*.tmp",
         {"d/"},
         {},
         {"-d"},
         {{"d", IN_DELETE_SELF, ""}, {"d", IN_IGNORED, ""}},
         true,
         {},
         {"."},
         {"."}},
        {"a folder moved away",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/"},
         {{"d", "s1"}, {"d/s1", "t1"}},
         {"d/s1>d/u1"},
         {{"d/s1", IN_MOVE_SELF, ""}},
         true,
         {},
         {"d"},
         {}},
        {"a folder moved and back",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/"},
         {{"d", "s1"}, {"d/s1", "t1"}},
         {"d/s1>d/u1", "d/u1>d/s1"},
         {{"d/s1", IN_MOVE_SELF, ""}},
         false,
         {},
         {"d", "d/s1", "d/s1/t1"},
         {}},
        {"another folder where a folder moved from",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/"},
         {{"d", "s1"}, {"d/s1", "t1"}},
         {"d/s1>d/u1", "d/s1/"},
         {{"d/s1", IN_MOVE_SELF, ""}},
         true,
         {},
         {"d"},
         {}},
    };
    for (const event_row &r : event_rows) {
        scratch_folder scratch;
        make_changes(r.made);
        const name_components name = split_name(r.name, 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_up_tree(tree, name, r.known)) << r.about;
        list_all(tree);
        make_changes(r.later);
        event_reports reports;
        const std::vector<char> before = event_buffer(tree, r.earlier);
        (void)apply_events(tree, name, is_pattern(name), before.data(), before.size(), reports);
        const std::vector<char> buffer = event_buffer(tree, r.events);
        // The watches that the kernel tells it removed, of one folder each
        // (a link below a folder to it shares the folder's watch, and leaves
        // it to be removed again, in vain).
        std::vector<int> told_gone;
        for (const made_event &e : r.events) {
            const int watch = watch_named(tree, e.folder);
            std::size_t holders = 0;
            for (std::size_t i = 0; i < tree.count; ++i) {
                holders += tree.folders[i].in_use && tree.folders[i].watch == watch ? 1 : 0;
            }
            if ((e.mask & (IN_DELETE_SELF | IN_IGNORED)) != 0 && holders == 1) {
                told_gone.push_back(watch);
            }
        }
        EXPECT_EQ(apply_events(tree, name, is_pattern(name), buffer.data(), buffer.size(), reports),
                  r.relevant)
            << r.about;
        EXPECT_EQ(reported(tree, name, reports), sorted(r.reports)) << r.about;
        EXPECT_EQ(folder_paths(tree), sorted(r.folders)) << r.about;
        EXPECT_EQ(folder_paths(tree, true), sorted(r.unlisted)) << r.about;
        check_tree(tree, r.about);
        // The kernel removed the watch of a folder that it told is gone: it
        // is not for the tree to remove.
        const std::vector<int> stale(tree.stale.watches, tree.stale.watches + tree.stale.count);
        for (const int watch : told_gone) {
            EXPECT_EQ(std::count(stale.begin(), stale.end(), watch), 0) << r.about;
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

// Files n0.txt, n1.txt... made in folder, then last.
std::vector<std::string> files_then(const char *folder, std::size_t count, const char *last)
{
    std::vector<std::string> changes;
    for (std::size_t i = 0; i < count; ++i) {
        changes.push_back(std::string(folder) + "/n" + std::to_string(i) + ".txt");
    }
    changes.emplace_back(last);
    return changes;
}

TEST(events, read_events_reads_the_kernels_events_until_none_is_left)
{
    struct row {
        const char *about;
        const char *name;
        std::vector<const char *> made;
        std::vector<entry_below> known;
        std::vector<std::string> changes;
        bool relevant;
        std::vector<std::string> reports, folders, unlisted;
    };
    const row rows[] = {
        {"a match made", "d/*.tmp", {"d/"}, {}, {"d/a.tmp"}, true, {"d/a.tmp"}, {"d"}, {}},
        {"a match made and deleted",
         "d/*.tmp",
         {"d/"},
         {},
         {"d/a.tmp", "-d/a.tmp"},
         true,
         {},
         {"d"},
         {}},
        {"another name", "d/*.tmp", {"d/"}, {}, {"d/a.txt"}, false, {}, {"d"}, {}},
        // Some 1,000 events: more than one read holds.
        {"a match after many other names",
         "d/*.tmp",
         {"d/"},
         {},
         files_then("d", 1000, "d/a.tmp"),
         true,
         {"d/a.tmp"},
         {"d"},
         {}},
        {"a matching folder made",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/s1/"},
         true,
         {},
         {"d", "d/s1"},
         {"d/s1"}},
        // Its file came before its watch: the listing finds it.
        {"a matching folder made with its file",
         "d/s*/x.tmp",
         {"d/"},
         {},
         {"d/s1/", "d/s1/x.tmp"},
         true,
         {},
         {"d", "d/s1"},
         {"d/s1"}},
        {"a folder removed",
         "d/*/*/x",
         {"d/", "d/s1/", "d/s1/t1/"},
         {{"d", "s1"}, {"d/s1", "t1"}},
         {"-d/s1"},
         true,
         {},
         {"d"},
         {}},
        {"a folder renamed out of the name",
         "d/s*/x.tmp",
         {"d/", "d/s1/"},
         {{"d", "s1"}},
         {"d/s1>d/t1"},
         true,
         {},
         {"d"},
         {}},
        {"the top removed", "d/*.tmp", {"d/"}, {}, {"-d"}, true, {}, {"."}, {"."}},
    };
    for (const row &r : rows) {
        scratch_folder scratch;
        make_changes(r.made);
        const name_components name = split_name(r.name, 0, "/");
        folder_tree tree = make_tree(name);
        ASSERT_TRUE(set_up_tree(tree, name, r.known)) << r.about;
        list_all(tree);
        for (const std::string &change : r.changes) {
            make_change(change);
        }
        event_reports reports;
        EXPECT_EQ(read_events(tree, name, is_pattern(name), reports), r.relevant) << r.about;
        EXPECT_EQ(reported(tree, name, reports), sorted(r.reports)) << r.about;
        EXPECT_EQ(folder_paths(tree), sorted(r.folders)) << r.about;
        EXPECT_EQ(folder_paths(tree, true), sorted(r.unlisted)) << r.about;
        check_tree(tree, r.about);
        // Nothing is left to read.
        EXPECT_FALSE(read_events(tree, name, is_pattern(name), reports)) << r.about;
        EXPECT_EQ(reported(tree, name, reports), sorted(r.reports)) << r.about;
        // A watch left to remove is one the kernel still has: the kernel's
        // own removals are not made again.
        for (std::size_t i = 0; i < tree.stale.count; ++i) {
            EXPECT_EQ(inotify_rm_watch(tree.instance, tree.stale.watches[i]), 0) << r.about;
        }
        free_tree(tree);
        std::free(name.parts);
    }
}

} // namespace
