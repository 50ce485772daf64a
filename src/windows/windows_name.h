#ifndef FILEHOLDER_WINDOWS_NAME_H
#define FILEHOLDER_WINDOWS_NAME_H

#include <cstddef>
#include <string>
#include <vector>

// How a name given to fileholder reads on Windows. Components end at \, at /
// and after a drive's "C:"; a \\?\ or \\.\ prefix, a drive and a UNC
// server and share are the root, never a pattern. A name is a pattern when a
// component after the root holds * or ? and the last one names a file. A
// name that starts with \\?\ is read as Windows reads it there, as it is:
// only \ ends a component, and . and .. are names like any other.

// A typed name without the double quotes around it, and the spaces after
// them, as Explorer's "Copy as path" and cmd's echo leave it: no Windows name
// holds a ". Any other name as it is.
const char *unquoted(const char *name);

// What a literal component does to the path below a matched folder.
enum class step {
    into, // adds the component
    stay, // ".": nothing
    up,   // "..": goes up a folder, never above the drive or the share
};

// A component of a pattern, from its first wildcard component on.
struct pattern_part {
    std::string given;      // the component as given
    std::string separators; // the separators after it, as given
    bool wildcard = false;
    // A wildcard component as it is matched, in upper case, UTF-8: trailing
    // spaces and dots dropped (outside a \\?\ name), a final "*.*" read
    // as "*".
    std::string upper;
    bool star_takes_no_dot = false; // it ended in "*.": that last * takes no dot
    // It ended in ".*", which also takes a name without an extension, as
    // "dir setup.*" lists setup: the component without it, matched as upper.
    bool extension_optional = false;
    std::string upper_without_extension;
    // What the folder is listed with: the component's plain ASCII start, then
    // a star. The system's own filter then leaves out most of what cannot
    // match (a quiet folder's listing is one call) and never a match: it
    // folds ASCII case as fileholder does, and a start without ? or a dot
    // reads alike to both.
    std::wstring filter;
    std::wstring literal; // a literal component as it is opened
    step literal_step = step::into;
    // What joins the path to the next component: one backslash, or in a
    // \\?\ name the separators as given, which Windows reads as they are.
    std::wstring path_separator = L"\\";
};

// A pattern read once, as its attempts need it.
struct pattern_name {
    std::string given_prefix; // the name before its first wildcard component
    // That folder as a full \\?\ path, ending in \, so that nothing below it
    // is read as a device or loses a trailing dot; empty when it has none.
    std::wstring exact_prefix;
    std::size_t exact_root = 0; // what of exact_prefix a .. never goes above
    std::vector<pattern_part> parts;
};

// True when name is a pattern; pattern is then set to it, or left without
// parts where there is no memory to read it (a pattern that matches
// nothing).
bool read_pattern(const char *name, pattern_name &pattern);

// True when an entry's name, in upper case and UTF-8, matches a wildcard
// component.
bool component_matches(const pattern_part &part, const std::string &upper_name);

// The full path that Windows makes of name when it opens it, written with
// the \\?\ prefix; empty when it makes none. Throws std::bad_alloc.
std::wstring exact_path(const std::wstring &name);

#endif
