#include "pattern.h"

#include <gtest/gtest.h>

namespace
{

struct match_case {
    const char *pattern;
    const char *name;
    bool hidden_dots;
    bool matches;
};

const match_case cases[] = {
    {"cc*.s", "ccQ7x2Lm.s", true, true},
    {"cc*.s", "cc.s", true, true},          // a star takes nothing too
    {"cc*.s", "ccQ7x2Lm.so", true, false},  // the whole name, not a prefix
    {"is-*.tmp", "xis-1.tmp", true, false}, // nor a suffix
    {"f?.dat", "f1.dat", true, true},
    {"f?.dat", "f10.dat", true, false}, // one character, exactly
    {"f?.dat", "f.dat", true, false},
    {"?", "\xc3\xa9", true, true}, // é: one character, two bytes
    {"??", "\xc3\xa9", true, false},
    {"?", "\xf0\x9f\x98\x80", true, true}, // beyond the BMP: still one
    {"?", "\xff", true, true},             // no UTF-8: one byte a character
    {"a?c",
     "a\xc3"
     "c",
     true, true}, // a lead byte without its tail
    // Only valid UTF-8 is one character: an overlong form, a surrogate, a
    // code beyond U+10FFFF and lead bytes from F5 are a byte each.
    {"?", "\xc0\xaf", true, false},
    {"??", "\xc0\xaf", true, true},
    {"??", "\xe0\x80\xaf", true, false},
    {"???", "\xe0\x80\xaf", true, true},
    {"???", "\xed\xa0\x80", true, true},
    {"????", "\xf0\x80\x80\xaf", true, true},
    {"????", "\xf4\x90\x80\x80", true, true},
    {"?", "\xf4\x8f\xbf\xbf", true, true}, // U+10FFFF, the last one
    {"?", "\xf8\x88\x80\x80\x80", true, false},
    {"?????", "\xf8\x88\x80\x80\x80", true, true},
    {"*b*b*b*b", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", true, true},
    {"*a*a*a*a*c", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", true, false},
    {"a*b*c", "axxbyyc", true, true},
    {"a*b*c", "axxbyyb", true, false},
    {"*", "", true, true},
    {"*", ".hidden", true, false}, // a leading dot only by a dot
    {"*", ".hidden", false, true}, // unless dots are not hidden
    {".*", ".hidden", true, true},
    {"?hidden", ".hidden", true, false},
    {"x*", "x.hidden", true, true},                  // only a leading dot is special
    {"photo[1]*.jpg", "photo[1]-2.jpg", true, true}, // brackets are plain
    {"photo[1]*.jpg", "photo1-2.jpg", true, false},
    {"a\\*", "a\\bc", true, true}, // so is a backslash
    {"a*b", "a*b", true, true},    // a file named like the pattern
    {"A*", "a1", true, false},     // case is compared exactly
};

TEST(pattern, matches_by_the_table)
{
    for (const match_case &test : cases) {
        EXPECT_EQ(pattern_matches(test.pattern, test.name, test.hidden_dots), test.matches)
            << test.pattern << " against " << test.name;
    }
}

TEST(pattern, only_stars_and_question_marks_make_one)
{
    EXPECT_TRUE(is_pattern("cc*.s"));
    EXPECT_TRUE(is_pattern("f?"));
    EXPECT_FALSE(is_pattern("photo[1].jpg"));
    EXPECT_FALSE(is_pattern(""));
}

} // namespace
