#include "open_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_file(const char *path, int &error)
{
    // Without O_NONBLOCK a FIFO with no writer would block the open and with
    // it the polling; this way a FIFO opens at once, like any file that can
    // be read. O_NOCTTY: holding a terminal must not make it ours.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        error = errno;
        return -1;
    }
    // Linux opens directories for reading; holding one is not what was asked.
    struct stat status {
    };
    if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
        error = EISDIR;
        (void)close(descriptor);
        return -1;
    }
    return descriptor;
}

std::FILE *stream_of(int descriptor)
{
    std::FILE *file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        (void)close(descriptor);
    }
    return file;
}
