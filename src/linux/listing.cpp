#include "listing.h"

#include "clock.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// Well beyond the coarsest clock a file system stamps changes with.
constexpr std::int64_t stamp_settled_ns = 100 * one_millisecond_ns;

} // namespace

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

std::int64_t change_stamp(const char *path)
{
    struct stat status {
    };
    if (stat(path, &status) != 0) {
        return -1;
    }
    const auto nanoseconds = [](const timespec &time) {
        return static_cast<std::int64_t>(time.tv_sec) * one_second_ns + time.tv_nsec;
    };
    const std::int64_t changed = std::max(nanoseconds(status.st_mtim), nanoseconds(status.st_ctim));
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    // A file system stamps changes with a coarse clock (some milliseconds):
    // a change right after the stamp was read may leave it as it was.
    return nanoseconds(now) - changed < stamp_settled_ns ? 0 : changed;
}

void close_listing(listing &list)
{
    if (list.descriptor >= 0) {
        (void)close(list.descriptor);
        list.descriptor = -1;
    }
}
