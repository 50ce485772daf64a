#include "pattern.h"

#include <cstring>

namespace
{

// NOLINTBEGIN(readability-magic-numbers): UTF-8 is its numbers.

// The bytes of the character at text: one valid UTF-8 sequence, or else
// one byte, so that no name is ever stepped over past its end. Valid: no
// overlong form, no surrogate, nothing beyond U+10FFFF.
int character_size(const char *text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    const auto second = static_cast<unsigned char>(text[1]);
    int more = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        const bool overlong = lead == 0xE0 && second < 0xA0;
        const bool surrogate = lead == 0xED && second >= 0xA0;
        more = overlong || surrogate ? 0 : 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        const bool overlong = lead == 0xF0 && second < 0x90;
        const bool too_large = lead == 0xF4 && second >= 0x90;
        more = overlong || too_large ? 0 : 3;
    }
    for (int i = 1; i <= more; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U) {
            return 1;
        }
    }
    return more + 1;
}

// NOLINTEND(readability-magic-numbers)

} // namespace

bool is_pattern(const char *component)
{
    return std::strpbrk(component, "*?") != nullptr;
}

bool pattern_matches(const char *pattern, const char *name, bool hidden_dots)
{
    if (hidden_dots && *name == '.' && *pattern != '.') {
        return false;
    }
    // Greedy, going back only to the last star: each star needs to take one
    // more character at most once per position of name, so the cost stays
    // the product of the two lengths at worst.
    const char *star = nullptr;      // just after the last star seen
    const char *star_name = nullptr; // where in name that star's run ends
    while (*name != '\0') {
        if (*pattern == '*') {
            star = ++pattern;
            star_name = name;
        } else if (*pattern == '?') {
            ++pattern;
            name += character_size(name);
        } else if (*pattern != '\0' && *pattern == *name) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star;
            star_name += character_size(star_name);
            name = star_name;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}
