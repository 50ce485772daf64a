#include "console_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{

// Makes standard input read exactly these bytes, from a fresh stream.
void feed_stdin(const std::string &bytes)
{
    char path[] = "/tmp/console_line_test.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    ASSERT_NE(std::freopen(path, "rb", stdin), nullptr);
    unlink(path);
}

std::string rest_of_stdin()
{
    std::string rest;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        rest.push_back(static_cast<char>(c));
    }
    return rest;
}

struct line_case {
    const char *label;
    std::string input;
    int size;
    std::string expected;
    std::string left_unread;
};

// Keeps test names and failure reports readable.
void PrintTo(const line_case &c, std::ostream *out)
{
    *out << c.label;
}

class read_console_line_cases : public testing::TestWithParam<line_case>
{
};

TEST_P(read_console_line_cases, cuts_the_line_and_leaves_the_rest)
{
    const line_case &c = GetParam();
    feed_stdin(c.input);
    std::string buffer(2048, '#'); // stale content must never show through
    const int length = read_console_line(buffer.data(), c.size);
    EXPECT_EQ(std::string(buffer.c_str()), c.expected);
    EXPECT_EQ(length, static_cast<int>(c.expected.size()));
    EXPECT_EQ(rest_of_stdin(), c.left_unread);
}

const std::string long_line = std::string(1000, 'x') + std::string(1000, 'y');

INSTANTIATE_TEST_SUITE_P(
    lines, read_console_line_cases,
    testing::Values(line_case{"lf", "abc\n", 1024, "abc", ""},
                    line_case{"cr_lf", "abc\r\n", 1024, "abc", ""},
                    line_case{"cr_inside", "ab\rcd\n", 1024, "ab", ""},
                    line_case{"only_lf", "\n", 1024, "", ""},
                    line_case{"only_cr_lf", "\r\n", 1024, "", ""},
                    line_case{"nul_inside", std::string("a\0b\n", 4), 1024, "a", ""},
                    line_case{"end_of_input_after_text", "xyz", 1024, "xyz", ""},
                    line_case{"end_of_input_at_once", "", 1024, "", ""},
                    line_case{"spaces_kept", "  a b  \n", 1024, "  a b  ", ""},
                    line_case{"one_line_only", "first\nsecond\n", 1024, "first", "second\n"},
                    line_case{"long_line", long_line + "\n", 1024, long_line.substr(0, 1023),
                              long_line.substr(1023) + "\n"},
                    line_case{"exactly_full", std::string(1023, 'z') + "\n", 1024,
                              std::string(1023, 'z'), "\n"},
                    line_case{"room_for_nul_only", "abc\n", 1, "", "abc\n"}),
    [](const testing::TestParamInfo<line_case> &info) { return std::string(info.param.label); });

TEST(read_console_line, leaves_a_buffer_without_room_untouched)
{
    feed_stdin("abc\n");
    char buffer[4] = {'#', '#', '#', '\0'};
    EXPECT_EQ(read_console_line(buffer, 0), 0);
    EXPECT_STREQ(buffer, "###");
    EXPECT_EQ(rest_of_stdin(), "abc\n");
}

} // namespace
