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
    for (const char *next = rest; *next != '\0'; ++next) {
        most += std::strchr(separators, *next) != nullptr ? 1 : 0;
    }
    // The parts, then the components' texts, each with its NUL.
    const std::size_t text_size = std::strlen(rest) + most;
    void *block = std::malloc(most * sizeof(name_component) + text_size);
    split.parts = static_cast<name_component *>(block);
    if (split.parts == nullptr) {
        split.count = split.first_wildcard = 0;
        return split; // no parts: awaited as one literal name
    }
    char *texts = reinterpret_cast<char *>(split.parts + most);
    const char *next = rest;
    do {
        name_component &part = split.parts[split.count++];
        part = name_component{};
        part.start = static_cast<std::size_t>(next - name);
        part.size = std::strcspn(next, separators);
        std::memcpy(texts, next, part.size);
        texts[part.size] = '\0';
        part.text = texts;
        texts += part.size + 1;
        next += part.size;
        part.separators = std::strspn(next, separators);
        next += part.separators;
    } while (*next != '\0');
    // The last component may end in separators: then an empty one follows.
    if (split.parts[split.count - 1].separators > 0 && split.count < most) {
        name_component &empty = split.parts[split.count++];
        empty = name_component{};
        empty.start = static_cast<std::size_t>(next - name);
    }
    split.first_wildcard = split.count;
    for (std::size_t i = split.count; i-- > 0;) {
        name_component &part = split.parts[i];
        part.wildcard = is_pattern(part.text);
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
