#ifndef FILEHOLDER_NAME_COMPONENTS_H
#define FILEHOLDER_NAME_COMPONENTS_H

#include <cstddef>

// A name taken apart once into its components, the folders and the last
// one, each with the separators that follow it as given: any path along the
// way, with wildcard components replaced by the entries they matched, is
// made again byte for byte from the name itself.

struct name_component {
    const char *text = "";      // the component alone, NUL-terminated
    std::size_t start = 0;      // where it starts in the name
    std::size_t size = 0;       // its bytes; 0 only for what follows a final separator
    std::size_t separators = 0; // the separator bytes after it, as given
    bool wildcard = false;      // holds * or ?
};

struct name_components {
    const char *name = nullptr;      // the whole name, as given
    std::size_t root = 0;            // bytes before the first component: "/", "C:\"
    name_component *parts = nullptr; // count of them, from malloc
    std::size_t count = 0;
    std::size_t first_wildcard = 0; // the first wildcard component; count when none
};

// Splits name after its first root bytes and any separators that follow
// them (so that on Linux "/" is the root of "/tmp"), at runs of the characters in
// separators. A name that ends in a separator ends in an empty component,
// which names no file. Where there is no memory for the parts, the name is
// one literal component.
name_components split_name(const char *name, std::size_t root, const char *separators);

// True when the name stands for the files that match it: a component holds
// a wildcard, and the last one names a file.
bool is_pattern(const name_components &name);

#endif
