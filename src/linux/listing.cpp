#include "listing.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

bool open_listing(listing &list, const char *path, int &error)
{
    list.descriptor = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    list.filled = list.taken = 0;
    error = errno;
    return list.descriptor >= 0;
}

const char *next_entry(listing &list, unsigned char &type)
{
    list.refilled = false;
    if (list.taken >= list.filled) {
        list.filled = syscall(SYS_getdents64, list.descriptor, list.entries, sizeof list.entries);
        list.taken = 0;
        list.refilled = true;
        if (list.filled <= 0) {
            return nullptr;
        }
    }
    const auto *entry = reinterpret_cast<const dirent64 *>(list.entries + list.taken);
    list.taken += entry->d_reclen;
    type = entry->d_type;
    return entry->d_name;
}

void close_listing(listing &list)
{
    if (list.descriptor >= 0) {
        (void)close(list.descriptor);
        list.descriptor = -1;
    }
}
