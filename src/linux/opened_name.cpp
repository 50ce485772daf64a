#include "opened_name.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr char deleted[] = " (deleted)";
constexpr std::size_t deleted_size = sizeof deleted - 1;

// Where the rest of path below top_path starts; null where path is not
// below it.
const char *below(const char *top_path, const char *path, std::size_t size)
{
    const std::size_t top_size = std::strlen(top_path);
    if (top_size == 1 && top_path[0] == '/') {
        return size > 1 && path[0] == '/' ? path + 1 : nullptr; // the root
    }
    if (size <= top_size + 1 || std::memcmp(path, top_path, top_size) != 0 ||
        path[top_size] != '/') {
        return nullptr;
    }
    return path + top_size + 1;
}

// Goes through the entries of rest, up to end, one a component of the name
// from the top's level down: the size of the name they make, or 0 where one
// does not match its component or they are not as many as the components.
// Where shown is given, the name is written there.
std::size_t shown_from(const name_components &name, const folder &top, const char *rest,
                       const char *end, char *shown)
{
    std::size_t size = top.given;
    if (shown != nullptr) {
        std::memcpy(shown, top.path, top.given);
    }
    for (std::size_t level = top.level; level < name.count; ++level) {
        const auto *slash = static_cast<const char *>(std::memchr(rest, '/', end - rest));
        const char *stop = slash == nullptr ? end : slash;
        const auto entry_size = static_cast<std::size_t>(stop - rest);
        const bool last = level + 1 == name.count;
        if (entry_size == 0 || entry_size > longest_entry || (slash == nullptr) != last) {
            return 0;
        }
        char entry[longest_entry + 1];
        std::memcpy(entry, rest, entry_size);
        entry[entry_size] = '\0';
        if (!matches_component(name, level, entry)) {
            return 0;
        }
        std::size_t between = 0;
        const char *separators = separators_before(name, level, between);
        if (shown != nullptr) {
            std::memcpy(shown + size, separators, between);
            std::memcpy(shown + size + between, entry, entry_size);
        }
        size += between + entry_size;
        rest = stop + 1;
    }
    return size;
}

} // namespace

std::size_t name_in_link(const char *link, std::size_t size, bool gone)
{
    const bool marked =
        size > deleted_size && std::memcmp(link + size - deleted_size, deleted, deleted_size) == 0;
    return gone && marked ? size - deleted_size : size;
}

char *awaited_name(const name_components &name, const folder &top, const char *top_path,
                   const char *path, std::size_t size)
{
    const char *rest = below(top_path, path, size);
    const std::size_t shown_size =
        rest == nullptr ? 0 : shown_from(name, top, rest, path + size, nullptr);
    if (shown_size == 0) {
        return nullptr;
    }
    auto *shown = static_cast<char *>(std::malloc(shown_size + 1));
    if (shown != nullptr) {
        (void)shown_from(name, top, rest, path + size, shown);
        shown[shown_size] = '\0';
    }
    return shown;
}
