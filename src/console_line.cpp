#include "console_line.h"

#include <cstdio>
#include <cstdlib>

namespace
{

// Two NULs, as every line ends.
const console_line empty_line{"\0", 0, false};

// UTF-16LE's byte order mark, and the end of ASCII.
constexpr int bom_first = 0xFF;
constexpr int bom_second = 0xFE;
constexpr int ascii_end = 0x80;
constexpr int byte_bits = 8;
constexpr int byte_mask = 0xFF;

// The growing line; once out of memory it keeps reading but holds nothing.
struct line_buffer {
    char *text = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    bool out_of_memory = false;

    void append(int byte)
    {
        // Room for this byte and the two NULs that end the line.
        if (size + 3 > capacity && !out_of_memory) {
            const std::size_t larger = capacity == 0 ? 256 : capacity * 2;
            char *grown = static_cast<char *>(std::realloc(text, larger));
            out_of_memory = grown == nullptr;
            if (grown != nullptr) {
                text = grown;
                capacity = larger;
            }
        }
        if (!out_of_memory) {
            text[size++] = static_cast<char>(byte);
        }
    }
};

bool ends_line(int character)
{
    return character == '\0' || character == '\n' || character == '\r';
}

// The next character in width bytes (little-endian), EOF at the end of input
// or of a read; a half character there is an error.
int next_character(int width, bool &half)
{
    const int low = std::getc(stdin);
    if (width == 1 || low == EOF) {
        return low;
    }
    const int high = std::getc(stdin);
    half = high == EOF;
    return half ? EOF : low | (high << byte_bits);
}

// UTF-16LE starts with its BOM, or with an ASCII character's 0 high byte.
// Otherwise the second byte goes back to be read as a character of its own.
int character_width(int first)
{
    const int second = std::getc(stdin);
    if ((first == bom_first && second == bom_second) || (first < ascii_end && second == 0)) {
        return 2;
    }
    if (second != EOF) {
        (void)std::ungetc(second, stdin);
    }
    return 1;
}

} // namespace

console_line read_console_line(bool may_be_utf16)
{
    // Drops only what the stream itself buffered from earlier reads; input
    // typed before the prompt appeared is still waiting and is read below.
    (void)std::fflush(stdin);

    line_buffer line;
    int width = 1;
    bool half = false;
    int character = std::getc(stdin);
    if (may_be_utf16 && character != EOF && !ends_line(character)) {
        width = character_width(character);
        if (width == 2 && character == bom_first) {
            character = next_character(width, half); // after the BOM
        }
    }
    for (; character != EOF && !ends_line(character); character = next_character(width, half)) {
        line.append(character & byte_mask);
        if (width == 2) {
            line.append(character >> byte_bits);
        }
    }
    if (line.text == nullptr || line.out_of_memory || half || std::ferror(stdin) != 0) {
        std::free(line.text);
        return empty_line;
    }
    line.text[line.size] = '\0';
    line.text[line.size + 1] = '\0';
    return console_line{line.text, line.size, width == 2};
}
