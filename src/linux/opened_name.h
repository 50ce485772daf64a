#ifndef FILEHOLDER_OPENED_NAME_H
#define FILEHOLDER_OPENED_NAME_H

#include "folder_tree.h"
#include "name_components.h"

#include <cstddef>

// Which files that the kernel hands over are the awaited one: each is told
// by its name now, the link of its descriptor in /proc/self/fd.

// The length of the name in a descriptor's link of size bytes: all of it,
// or without the " (deleted)" that the kernel adds once the name is gone.
// A file may be named so itself: the suffix is dropped only where gone
// says that the file is no longer at the link's path.
std::size_t name_in_link(const char *link, std::size_t size, bool gone);

// The name to show for the file whose name now is path (size bytes,
// absolute, through no symbolic link), where it is the awaited name or one
// of its matches as reached from the tree's top, whose own such path is
// top_path: the name as given, each wildcard component replaced by the
// entry of path that it matched. From malloc; null where path is not one.
char *awaited_name(const name_components &name, const folder &top, const char *top_path,
                   const char *path, std::size_t size);

#endif
