#include "name_components.h"

#include "pattern.h"

#include <cstdlib>
#include <cstring>

name_components split_name(const char *name, std::size_t root, const char *separators)
{
    name_components split;
    split.name = name;
    // Separators right after the root belong to it: "//x" has one component.
    split.root = root + std::strspn(name + root, separators);
    const char *rest = name + split.root;
    // At most one component per separator, and one more.
    std::size_t most = 1;
    for (const char *at = rest; *at != '\0'; ++at) {
        most += std::strchr(separators, *at) != nullptr ? 1 : 0;
    }
    split.parts = static_cast<name_component *>(std::calloc(most, sizeof(name_component)));
    if (split.parts == nullptr) {
        split.count = split.first_wildcard = 0;
        return split; // no parts: awaited as one literal name
    }
    const char *next = rest;
    do {
        name_component &part = split.parts[split.count++];
        part.start = static_cast<std::size_t>(next - name);
        part.size = std::strcspn(next, separators);
        next += part.size;
        part.separators = std::strspn(next, separators);
        next += part.separators;
    } while (*next != '\0');
    // The last component may end in separators: then an empty one follows.
    if (split.parts[split.count - 1].separators > 0 && split.count < most) {
        split.parts[split.count].start = static_cast<std::size_t>(next - name);
        ++split.count;
    }
    split.first_wildcard = split.count;
    for (std::size_t i = split.count; i-- > 0;) {
        name_component &part = split.parts[i];
        const char *text = name + part.start;
        part.wildcard = std::strcspn(text, "*?") < part.size;
        if (part.wildcard) {
            split.first_wildcard = i;
        }
    }
    return split;
}

bool is_pattern(const name_components &name)
{
    return name.first_wildcard < name.count && name.parts[name.count - 1].size > 0;
}

std::size_t offset_of(const name_components &name, std::size_t index)
{
    return index < name.count ? name.parts[index].start : std::strlen(name.name);
}
