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
    bool may_be_utf16 = false;
    bool utf16 = false;
};

// Keeps test names and failure reports readable.
void PrintTo(const line_case &c, std::ostream *out)
{
    *out << c.label;
}

class read_console_line_cases : public testing::TestWithParam<line_case>
{
};

TEST_P(read_console_line_cases, reads_to_the_names_end_and_no_further)
{
    const line_case &c = GetParam();
    feed_stdin(c.input);
    const console_line line = read_console_line(c.may_be_utf16);
    EXPECT_EQ(std::string(line.text, line.size), c.expected);
    EXPECT_EQ(line.text[line.size], '\0');
    EXPECT_EQ(line.text[line.size + 1], '\0');
    EXPECT_EQ(line.utf16, c.utf16);
    if (line.size != 0) {
        std::free(const_cast<char *>(line.text));
    }
    EXPECT_EQ(rest_of_stdin(), c.left_unread);
}

const std::string long_line = std::string(5000, 'x') + std::string(5000, 'y');

std::string bytes(const char *text, std::size_t size)
{
    return std::string(text, size);
}

INSTANTIATE_TEST_SUITE_P(
    lines, read_console_line_cases,
    testing::Values(
        line_case{"lf", "abc\n", "abc", ""}, line_case{"cr_lf", "abc\r\n", "abc", "\n"},
        line_case{"cr_inside", "ab\rcd\nnext\n", "ab", "cd\nnext\n"},
        line_case{"only_lf", "\n", "", ""}, line_case{"only_cr_lf", "\r\n", "", "\n"},
        line_case{"nul_inside", bytes("a\0b\nnext", 8), "a", "b\nnext"},
        line_case{"end_of_input_after_text", "xyz", "xyz", ""},
        line_case{"end_of_input_at_once", "", "", ""},
        line_case{"spaces_kept", "  a b  \n", "  a b  ", ""},
        line_case{"one_line_only", "first\nsecond\n", "first", "second\n"},
        line_case{"long_line_whole", long_line + "\nnext", long_line, "next"},
        line_case{"utf8_bytes_kept", "caf\xc3\xa9 \xe6\x97\xa5\n", "caf\xc3\xa9 \xe6\x97\xa5", ""},
        line_case{"bytes_stay_bytes", bytes("C\0:\0\n\0", 6), "C", bytes(":\0\n\0", 4)},
        // Where the line may be UTF-16LE, its first two bytes decide.
        line_case{"utf16_bom_dropped",
                  bytes("\xff\xfe"
                        "a\0\xe9\0\r\0\n\0x",
                        11),
                  bytes("a\0\xe9\0", 4), bytes("\n\0x", 3), true, true},
        line_case{"utf16_without_bom", bytes("C\0:\0\\\0\n\0next", 12), bytes("C\0:\0\\\0", 6),
                  "next", true, true},
        line_case{"utf16_ends_only_at_whole_characters", bytes("a\0\r\x01\n\x0a\0\0", 8),
                  bytes("a\0\r\x01\n\x0a", 6), "", true, true},
        line_case{"utf16_half_character_at_the_end", bytes("a\0b", 3), "", "", true},
        line_case{"utf16_only_a_bom", "\xff\xfe", "", "", true},
        line_case{"not_utf16_second_byte_read_again", "ab\ncd", "ab", "cd", true},
        line_case{"not_utf16_one_character", "a", "a", "", true},
        line_case{"not_utf16_high_first_byte", bytes("\xe9\0x", 3), "\xe9", "x", true},
        line_case{"not_utf16_line_end_first", "\r\nab", "", "\nab", true}),
    [](const testing::TestParamInfo<line_case> &info) { return std::string(info.param.label); });

TEST(read_console_line, read_error_gives_the_empty_name)
{
    // A folder opens for reading but every read of it fails.
    ASSERT_NE(std::freopen("/", "rb", stdin), nullptr);
    const console_line line = read_console_line();
    EXPECT_STREQ(line.text, "");
    EXPECT_EQ(line.size, 0U);
}

} // namespace
