#include "folder_tree.h"

#include "open_marks.h"

#include <cstdlib>

// The marks for the opens of files in the tree's folders (see open_marks.h).

namespace
{

// Whether files are looked up in folders below the top that come and go:
// a wildcard folder.
bool folder_pattern(const folder_tree &tree, const name_components &name)
{
    return tree.pattern && name.first_wildcard + 1 < name.count;
}

} // namespace

void mark_folder_for_opens(folder_tree &tree, const name_components &name, int index)
{
    const folder &marked = tree.folders[index];
    if (marked.level + 1 == name.count) {
        (void)mark_folder(tree.marks, marked.path);
    }
    if (index != tree.top) {
        return;
    }
    if (folder_pattern(tree, name)) {
        (void)mark_mount(tree.marks, marked.path);
    }
    std::free(tree.top_path);
    tree.top_path = tree.marks.instance >= 0 ? realpath(marked.path, nullptr) : nullptr;
}

void mark_for_opens(folder_tree &tree, const name_components &name)
{
    // The top first: its mount's mark spares the marks of the folders on it.
    if (tree.top >= 0) {
        mark_folder_for_opens(tree, name, tree.top);
    }
    for (std::size_t i = 0; i < tree.count; ++i) {
        if (tree.folders[i].in_use && static_cast<int>(i) != tree.top) {
            mark_folder_for_opens(tree, name, static_cast<int>(i));
        }
    }
}
