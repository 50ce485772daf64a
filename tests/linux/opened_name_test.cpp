#include "opened_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

TEST(opened_name, the_kernels_deleted_mark_is_dropped_only_from_a_file_that_is_gone)
{
    struct row {
        const char *link;
        bool gone;
        const char *name;
    };
    const row rows[] = {
        {"/w/d/x.tmp (deleted)", true, "/w/d/x.tmp"},
        {"/w/d/x.tmp (deleted)", false, "/w/d/x.tmp (deleted)"}, // named so itself
        {"/w/d/x.tmp (deleted) (deleted)", true, "/w/d/x.tmp (deleted)"},
        {"/w/d/x.tmp", true, "/w/d/x.tmp"}, // no mark to drop
        {" (deleted)", true, " (deleted)"}, // nothing before it
        {"/w/d/x.tmp (deleted", true, "/w/d/x.tmp (deleted"},
    };
    for (const row &r : rows) {
        const std::size_t size = name_in_link(r.link, std::strlen(r.link), r.gone);
        EXPECT_EQ(std::string(r.link, size), r.name) << r.link;
    }
}

struct awaited_case {
    const char *name;
    std::size_t top_level; // where the top of the tree is
    const char *top;       // its path as the name gives it ("." for none)
    const char *top_path;  // its path through no link
    const char *opened;    // the file's name now
    const char *shown;     // null where it is not awaited
};

const awaited_case cases[] = {
    // A plain name: only the file itself, in its own folder.
    {"d/x.tmp", 1, "d", "/w/d", "/w/d/x.tmp", "d/x.tmp"},
    {"d/x.tmp", 1, "d", "/w/d", "/w/d/y.tmp", nullptr},
    {"d/x.tmp", 1, "d", "/w/d", "/w/d/sub/x.tmp", nullptr},
    {"d/x.tmp", 1, "d", "/w/d", "/w/dd/x.tmp", nullptr}, // a folder named alike
    {"d/x.tmp", 1, "d", "/w/d", "/w/d/x.tmpz", nullptr},
    {"d//x.tmp", 1, "d", "/w/d", "/w/d/x.tmp", "d//x.tmp"},           // separators as given
    {"./l/x.tmp", 2, "./l", "/w/real", "/w/real/x.tmp", "./l/x.tmp"}, // l: a link
    // A pattern in the last component.
    {"d/x*.tmp", 1, "d", "/w/d", "/w/d/x1.tmp", "d/x1.tmp"},
    {"d/*.tmp", 1, "d", "/w/d", "/w/d/.x1.tmp", nullptr}, // a leading dot by a dot only
    {"d/*.tmp", 1, "d", "/w/d", "/w/d/x\n.tmp", nullptr}, // never a line feed
    {"x?.tmp", 0, ".", "/w", "/w/x1.tmp", "x1.tmp"},      // in the current folder
    {"x?.tmp", 0, ".", "/w", "/w/x12.tmp", nullptr},
    // Wildcard folders, reached from the top.
    {"b/tmp*/p.json", 1, "b", "/w/b", "/w/b/tmp.1/p.json", "b/tmp.1/p.json"},
    {"b/tmp*/p.json", 1, "b", "/w/b", "/w/b/tmp.1/s/p.json", nullptr}, // too deep
    {"b/tmp*/p.json", 1, "b", "/w/b", "/w/b/p.json", nullptr},         // too shallow
    {"b/tmp*/p.json", 1, "b", "/w/b", "/w/b/other/p.json", nullptr},
    {"b/tmp*/p.json", 1, "b", "/w/b", "/w/b/tmp.1/", nullptr},
    {"b//tmp*///p.json", 1, "b", "/w/b", "/w/b/tmp.1/p.json", "b//tmp.1///p.json"},
    {"a/b/c*/x", 1, "a", "/w/a", "/w/a/b/c1/x", "a/b/c1/x"}, // b is not there yet
    {"a/b/c*/x", 1, "a", "/w/a", "/w/a/bb/c1/x", nullptr},
    {"a/../c*/x", 0, ".", "/w", "/w/c1/x", nullptr}, // the kernel names no steps up
    {"/tmp*/x", 0, "/", "/", "/tmp5/x", "/tmp5/x"},  // the root
    {"/tmp*/x", 0, "/", "/", "/tmp5/y", nullptr},
};

TEST(opened_name, a_file_is_awaited_when_its_name_now_is_the_name_or_a_match)
{
    for (const awaited_case &c : cases) {
        const name_components name = split_name(c.name, 0, "/");
        folder top;
        std::string path = c.top;
        top.path = path.data();
        top.given = path == "." ? 0 : path.size();
        top.level = c.top_level;
        char *shown = awaited_name(name, top, c.top_path, c.opened, std::strlen(c.opened));
        if (c.shown == nullptr) {
            EXPECT_EQ(shown, nullptr) << c.name << " " << c.opened << " showed " << shown;
        } else {
            ASSERT_NE(shown, nullptr) << c.name << " " << c.opened;
            EXPECT_STREQ(shown, c.shown) << c.name;
        }
        std::free(shown);
        std::free(name.parts);
    }
}

} // namespace
