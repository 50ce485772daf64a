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

TEST_P(read_console_line_cases, reads_the_whole_line_and_cuts_it)
{
    const line_case &c = GetParam();
    feed_stdin(c.input);
    const char *line = read_console_line();
    EXPECT_EQ(std::string(line), c.expected);
    if (*line != '\0') {
        std::free(const_cast<char *>(line));
    }
    EXPECT_EQ(rest_of_stdin(), c.left_unread);
}

const std::string long_line = std::string(5000, 'x') + std::string(5000, 'y');

INSTANTIATE_TEST_SUITE_P(
    lines, read_console_line_cases,
    testing::Values(line_case{"lf", "abc\n", "abc", ""}, line_case{"cr_lf", "abc\r\n", "abc", ""},
                    line_case{"cr_inside", "ab\rcd\nnext\n", "ab", "next\n"},
                    line_case{"only_lf", "\n", "", ""}, line_case{"only_cr_lf", "\r\n", "", ""},
                    line_case{"nul_inside", std::string("a\0b\nnext", 8), "a", "next"},
                    line_case{"end_of_input_after_text", "xyz", "xyz", ""},
                    line_case{"end_of_input_at_once", "", "", ""},
                    line_case{"spaces_kept", "  a b  \n", "  a b  ", ""},
                    line_case{"one_line_only", "first\nsecond\n", "first", "second\n"},
                    line_case{"long_line_whole", long_line + "\nnext", long_line, "next"},
                    line_case{"utf8_bytes_kept", "caf\xc3\xa9 \xe6\x97\xa5\n",
                              "caf\xc3\xa9 \xe6\x97\xa5", ""}),
    [](const testing::TestParamInfo<line_case> &info) { return std::string(info.param.label); });

TEST(read_console_line, read_error_gives_the_empty_name)
{
    // A folder opens for reading but every read of it fails.
    ASSERT_NE(std::freopen("/", "rb", stdin), nullptr);
    EXPECT_STREQ(read_console_line(), "");
}

} // namespace
