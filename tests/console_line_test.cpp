#include "console_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace
{

// Input from memory, with the count of bytes the reader asked for; a read
// error at fail_at, where that is within the input.
struct memory_input {
    std::string bytes;
    std::size_t pulled = 0;
    std::size_t fail_at = std::string::npos;

    static int next(void *state)
    {
        auto &input = *static_cast<memory_input *>(state);
        if (input.pulled == input.fail_at) {
            return input_error;
        }
        if (input.pulled == input.bytes.size()) {
            return input_end;
        }
        return static_cast<unsigned char>(input.bytes[input.pulled++]);
    }
};

struct line_case {
    const char *label;
    std::string input;
    std::string expected;
    std::string left_unread;
    bool may_be_utf16 = false;
    bool utf16 = false;
    // Bytes read past the line's end before the encoding was decided.
    std::size_t read_ahead = 0;
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
    memory_input input{c.input};
    const console_line line = read_console_line({memory_input::next, &input}, c.may_be_utf16);
    EXPECT_EQ(std::string(line.text, line.size), c.expected);
    EXPECT_EQ(line.text[line.size], '\0');
    EXPECT_EQ(line.text[line.size + 1], '\0');
    EXPECT_EQ(line.utf16, c.utf16);
    if (line.size != 0) {
        std::free(const_cast<char *>(line.text));
    }
    EXPECT_EQ(c.input.substr(line.consumed), c.left_unread);
    EXPECT_EQ(input.pulled, line.consumed + c.read_ahead);
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
        // Where the line may be UTF-16: a byte order mark, or a UTF-16LE line
        // end reached through valid UTF-16 free of U+0000; else bytes.
        line_case{"utf16_bom_dropped",
                  bytes("\xff\xfe"
                        "a\0\xe9\0\r\0\n\0x",
                        11),
                  bytes("a\0\xe9\0", 4), bytes("\n\0x", 3), true, true},
        line_case{"utf16be_bom", bytes("\xfe\xff\0a\0b\0\r\0\n", 10), bytes("a\0b\0", 4),
                  bytes("\0\n", 2), true, true},
        line_case{"utf16_without_bom", bytes("C\0:\0\\\0\n\0next", 12), bytes("C\0:\0\\\0", 6),
                  "next", true, true},
        line_case{"utf16_first_beyond_ascii", bytes("\xdc\0b\0\r\0\n\0", 8), bytes("\xdc\0b\0", 4),
                  bytes("\n\0", 2), true, true},
        line_case{"utf16_no_byte_below_0x100", bytes("\x2d\x4e\x87\x65\r\0\n\0", 8),
                  "\x2d\x4e\x87\x65", bytes("\n\0", 2), true, true},
        line_case{"utf16_ends_only_at_whole_characters", bytes("a\0\r\x01\n\x0a\r\0", 8),
                  bytes("a\0\r\x01\n\x0a", 6), "", true, true},
        line_case{"utf16_lf_byte_after_a_control", bytes("\x17\x0a\r\0\n\0", 6), "\x17\x0a",
                  bytes("\n\0", 2), true, true},
        line_case{"utf16_surrogate_pair", bytes("\x3d\xd8\0\xde\r\0", 6),
                  bytes("\x3d\xd8\0\xde", 4), "", true, true},
        line_case{"bytes_at_a_lone_surrogate", bytes("a\0\0\xdc\r\0", 6), "a",
                  bytes("\0\xdc\r\0", 4), true, false, 2},
        line_case{"bytes_at_u0000", bytes("a\0\0\0b\0\r\0", 8), "a", bytes("\0\0b\0\r\0", 6), true,
                  false, 2},
        line_case{"bytes_nul_separated", bytes("a\0b\0", 4), "a", bytes("b\0", 2), true, false, 2},
        line_case{"bytes_half_character_at_the_end", bytes("a\0b", 3), "a", "b", true, false, 1},
        line_case{"utf16_only_a_bom", "\xff\xfe", "", "", true},
        line_case{"utf16_bom_then_half_character",
                  "\xff\xfe"
                  "a",
                  "", "", true},
        // A line in bytes is decided at its LF or CR LF, at either offset.
        line_case{"bytes_decided_at_lf", "ab\ncd", "ab", "cd", true},
        line_case{"bytes_decided_at_cr_lf", "name\r\nnext", "name", "\nnext", true, false, 1},
        line_case{"bytes_decided_at_odd_cr_lf", "nam\r\nx", "nam", "\nx", true, false, 1},
        line_case{"bytes_one_character", "a", "a", "", true},
        line_case{"bytes_high_first_byte", bytes("\xe9\0x", 3), "\xe9", "x", true, false, 1},
        line_case{"bytes_line_end_first", "\r\nab", "", "\nab", true, false, 1}),
    [](const testing::TestParamInfo<line_case> &info) { return std::string(info.param.label); });

TEST(read_console_line, read_error_gives_the_empty_name)
{
    for (const bool may_be_utf16 : {false, true}) {
        memory_input input{"name.txt\n", 0, 4};
        const console_line line = read_console_line({memory_input::next, &input}, may_be_utf16);
        EXPECT_STREQ(line.text, "");
        EXPECT_EQ(line.size, 0U);
    }
}

} // namespace
