#include "name_components.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct split_case {
    const char *name;
    std::size_t root;
    const char *separators;
    const char *parts; // each component, then its separators, in brackets
    std::size_t first_wildcard;
    bool pattern;
};

const split_case cases[] = {
    {"b/c-*/d/e?.txt", 0, "/", "[b/][c-*/][d/][e?.txt]", 1, true},
    {"/tmp/cc*.s", 0, "/", "[tmp/][cc*.s]", 1, true}, // the root is "/"
    {"./sub//cc*.s", 0, "/", "[./][sub//][cc*.s]", 2, true},
    {"sub/node", 0, "/", "[sub/][node]", 2, false},
    {"tmp*/", 0, "/", "[tmp*/][]", 0, false}, // a final separator names no file
    {"", 0, "/", "[]", 1, false},
    {"a\\*", 0, "/", "[a\\*]", 0, true}, // a backslash is no separator here
    {"C:\\is-*.tmp\\setup.tmp", 3, "\\/", "[is-*.tmp\\][setup.tmp]", 0, true},
    {"\\\\?\\C:\\d\\f.txt", 7, "\\/", "[d\\][f.txt]", 2, false}, // the ? is in the root
};

std::string shown(const name_components &split)
{
    std::string text;
    for (std::size_t i = 0; i < split.count; ++i) {
        const name_component &part = split.parts[i];
        EXPECT_EQ(std::string(part.text), std::string(split.name + part.start, part.size));
        text += "[" + std::string(split.name + part.start, part.size + part.separators) + "]";
    }
    return text;
}

TEST(name_components, splits_by_the_table)
{
    for (const split_case &test : cases) {
        const name_components split = split_name(test.name, test.root, test.separators);
        EXPECT_EQ(shown(split), test.parts) << test.name;
        EXPECT_EQ(split.first_wildcard, test.first_wildcard) << test.name;
        EXPECT_EQ(is_pattern(split), test.pattern) << test.name;
        std::free(split.parts);
    }
}

} // namespace
