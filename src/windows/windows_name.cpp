#include "windows_name.h"

#include "name_components.h"
#include "pattern.h"
#include "windows_text.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <windows.h>

namespace
{

// What ends a component: \ and /, or in a \\?\ name only \, as Windows
// reads such a name as it is.
const char *separators_of(bool verbatim)
{
    return verbatim ? "\\" : "\\/";
}

bool is_separator(char character, bool verbatim)
{
    return character == '\\' || (character == '/' && !verbatim);
}

// True when Windows reads name as it is, with no normalization: it starts
// with \\?\ exactly, backslashes only (//?/ is normalized).
bool is_verbatim(const char *name)
{
    return std::strncmp(name, "\\\\?\\", 4) == 0;
}

bool starts_with(const std::wstring &text, const wchar_t *start)
{
    return text.compare(0, std::wcslen(start), start) == 0;
}

// Where the component that starts at start ends.
std::size_t component_end(const char *name, std::size_t start, bool verbatim)
{
    std::size_t end = start;
    while (name[end] != '\0' && !is_separator(name[end], verbatim)) {
        ++end;
    }
    return end;
}

// The bytes of the root: a \\?\ or \\.\ prefix with what follows it (a
// drive, or UNC with its server and share), a UNC server and share, or a
// drive's "C:". The separators after it join it in split_name.
std::size_t root_size(const char *name, bool verbatim)
{
    if (!is_separator(name[0], false) || !is_separator(name[1], false)) {
        const char letter = static_cast<char>(name[0] | 0x20);
        return letter >= 'a' && letter <= 'z' && name[1] == ':' ? 2 : 0;
    }
    std::size_t end = 2;
    int components = 2; // \\server\share
    if ((name[2] == '?' || name[2] == '.') && is_separator(name[3], false)) {
        end = 4;
        const bool unc =
            _strnicmp(name + end, "UNC", 3) == 0 && is_separator(name[end + 3], verbatim);
        components = unc ? 3 : 1;
    }
    for (; components > 0; --components) {
        end = component_end(name, end, verbatim);
        end += components > 1 ? std::strspn(name + end, separators_of(verbatim)) : 0;
    }
    return end;
}

// The part of exact, a \\?\ path, that a .. never goes above: the drive, or
// UNC with its server and share, and the separator after it.
std::size_t exact_root_size(const std::wstring &exact)
{
    const std::size_t prefix = 4; // the \\?\ in front
    if (exact.size() < prefix) {
        return exact.size();
    }
    std::size_t end = prefix;
    int components = exact.compare(prefix, 4, L"UNC\\") == 0 ? 3 : 1;
    for (; components > 0; --components) {
        end = exact.find(L'\\', end);
        if (end == std::wstring::npos) {
            return exact.size();
        }
        ++end;
    }
    return end;
}

// Windows drops trailing spaces and dots from a name: the size without them,
// or the whole size where nothing else is left.
std::size_t without_trailing_dots(const std::string &text)
{
    const std::size_t last = text.find_last_not_of(" .");
    return last != std::string::npos ? last + 1 : text.size();
}

// text in upper case, as the file system compares names.
std::string upper_case(const std::string &text)
{
    const std::wstring wide = widened(text.c_str());
    std::wstring upper;
    upper_case_into(wide.data(), wide.size(), upper);
    return narrowed(upper.data(), upper.size());
}

// A wildcard component read as Windows' own search reads one.
void read_wildcard(pattern_part &part, bool verbatim)
{
    std::string text = part.given;
    // Outside a \\?\ name Windows drops trailing spaces and dots from the
    // last component, and so from a search; in one they are characters of
    // the name, but a final "*." still means what it means to the search.
    const std::size_t kept = verbatim ? text.size() : without_trailing_dots(text);
    const bool star_dot = text.size() >= 2 && text.compare(text.size() - 2, 2, "*.") == 0;
    const bool dot_dropped = verbatim ? star_dot : text.find('.', kept) != std::string::npos;
    text.resize(verbatim && star_dot ? text.size() - 1 : kept);
    // "*.*" takes every name, with an extension or without, as in "dir *.*".
    const std::string any_extension = "*.*";
    if (text.size() >= any_extension.size() &&
        text.compare(text.size() - any_extension.size(), any_extension.size(), any_extension) ==
            0) {
        text.resize(text.size() - 2);
    }
    // A dot after a star meant "no extension", as in "dir *.".
    part.star_takes_no_dot = dot_dropped && !text.empty() && text.back() == '*';
    const std::size_t plain = text.find_first_not_of(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_~!#$%&'()+,;=@[]^`{}");
    part.filter = widened(text.substr(0, plain).c_str()) + L'*';
    part.upper = upper_case(text);
    // A final ".*" may also match nothing, as in "dir setup.*", which
    // lists setup: the search reads that dot as "a dot, or the name's end".
    const std::string dot_star = ".*";
    part.extension_optional =
        text.size() >= dot_star.size() &&
        text.compare(text.size() - dot_star.size(), dot_star.size(), dot_star) == 0;
    if (part.extension_optional) {
        part.upper_without_extension = upper_case(text.substr(0, text.size() - dot_star.size()));
    }
}

// A literal component as it is opened below a matched folder, where the
// \\?\ path has Windows change nothing, read as Windows reads the name:
// "." and ".." are steps, the last component loses its trailing spaces and
// dots, one before it a single trailing dot, and keeps its trailing spaces
// ("sp \" is the folder "sp "). In a \\?\ name nothing is read into it.
void read_literal(pattern_part &part, bool verbatim, bool last)
{
    const std::string &given = part.given;
    if (!verbatim && (given == "." || given == "..")) {
        part.literal_step = given == "." ? step::stay : step::up;
        return;
    }
    std::size_t size = given.size();
    if (!verbatim && last) {
        size = without_trailing_dots(given);
    } else if (!verbatim && size > 0 && given.back() == '.') {
        --size;
    }
    part.literal = widened(given.substr(0, size).c_str());
}

void read_parts(const name_components &split, bool verbatim, pattern_name &pattern)
{
    const char *name = split.name;
    // A pattern: its first wildcard component is one of its parts.
    pattern.given_prefix.assign(name, split.parts[split.first_wildcard].start);
    pattern.exact_prefix = exact_path(widened(pattern.given_prefix.c_str()));
    if (!pattern.exact_prefix.empty() && pattern.exact_prefix.back() != L'\\') {
        pattern.exact_prefix += L'\\';
    }
    pattern.exact_root = exact_root_size(pattern.exact_prefix);
    for (std::size_t i = split.first_wildcard; i < split.count; ++i) {
        const name_component &component = split.parts[i];
        pattern_part part;
        part.given.assign(name + component.start, component.size);
        part.separators.assign(name + component.start + component.size, component.separators);
        if (verbatim) {
            part.path_separator = widened(part.separators.c_str());
        }
        part.wildcard = component.wildcard;
        if (part.wildcard) {
            read_wildcard(part, verbatim);
        } else {
            read_literal(part, verbatim, i + 1 == split.count);
        }
        pattern.parts.push_back(std::move(part));
    }
}

} // namespace

const char *unquoted(const char *name)
{
    std::size_t end = std::strlen(name);
    while (end > 0 && name[end - 1] == ' ') {
        --end;
    }
    if (end < 2 || name[0] != '"' || name[end - 1] != '"') {
        return name;
    }
    auto *inner = static_cast<char *>(std::malloc(end - 1));
    if (inner == nullptr) {
        return ""; // never a part of the name: it would name another file
    }
    std::memcpy(inner, name + 1, end - 2);
    inner[end - 2] = '\0';
    return inner;
}

bool read_pattern(const char *name, pattern_name &pattern)
{
    const bool verbatim = is_verbatim(name);
    const name_components split =
        split_name(name, root_size(name, verbatim), separators_of(verbatim));
    const bool pattern_given = is_pattern(split);
    if (pattern_given) {
        try {
            read_parts(split, verbatim, pattern);
        } catch (const std::bad_alloc &) {
            pattern = pattern_name{};
        }
    }
    std::free(split.parts);
    return pattern_given;
}

bool component_matches(const pattern_part &part, const std::string &upper_name)
{
    if (part.extension_optional &&
        pattern_matches(part.upper_without_extension.c_str(), upper_name.c_str(), false)) {
        return true;
    }
    if (!part.star_takes_no_dot) {
        return pattern_matches(part.upper.c_str(), upper_name.c_str(), false);
    }
    // The pattern before its last star matches a start of the name, and the
    // star takes the rest, which holds no dot.
    const std::string before_star = part.upper.substr(0, part.upper.size() - 1);
    const std::size_t dot = upper_name.rfind('.');
    for (std::size_t end = dot == std::string::npos ? 0 : dot + 1; end <= upper_name.size();
         ++end) {
        const bool inside_character =
            end < upper_name.size() &&
            (static_cast<unsigned char>(upper_name.c_str()[end]) & 0xC0U) == 0x80U;
        if (!inside_character &&
            pattern_matches(before_star.c_str(), upper_name.substr(0, end).c_str(), false)) {
            return true;
        }
    }
    return false;
}

std::wstring exact_path(const std::wstring &name)
{
    const wchar_t *const exact = L"\\\\?\\";
    if (starts_with(name, exact)) {
        return name; // Windows takes it as it is
    }
    const wchar_t *path = name.empty() ? L"." : name.c_str();
    std::wstring full(MAX_PATH, L'\0');
    DWORD made = GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (made >= full.size()) {
        full.resize(made);
        made = GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (made == 0 || made >= full.size()) {
        return std::wstring();
    }
    full.resize(made);
    if (starts_with(full, L"\\\\.\\")) {
        return exact + full.substr(4); // a device's path
    }
    if (starts_with(full, L"\\\\")) {
        return exact + std::wstring(L"UNC\\") + full.substr(2);
    }
    return exact + full;
}
