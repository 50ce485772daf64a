/* The event-driven floor of the benchmark's pattern mode: it watches the
 * pattern's folder with inotify and opens the first file whose event names
 * a match (fnmatch), never listing the folder. Same messages as the tool it
 * measures: the start line, the name opened, the done line.
 *     pattern_floor FOLDER/PATTERN */
#define _GNU_SOURCE
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

/* Opens a regular file (or anything but a folder) without waiting; -1 else. */
static int open_match(int folder, const char *name)
{
    int fd = openat(folder, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd >= 0 && (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    setvbuf(stdout, NULL, _IONBF, 0);
    char folder_name[PATH_MAX];
    snprintf(folder_name, sizeof folder_name, "%s", argv[1]);
    char *slash = strrchr(folder_name, '/');
    if (slash == NULL)
        return 2;
    *slash = '\0';
    const char *pattern = slash + 1;
    int folder = open(folder_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int watch = inotify_init1(IN_CLOEXEC);
    if (folder < 0 || watch < 0 ||
        inotify_add_watch(watch, folder_name, IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0)
        return 1;
    printf("- start fopen() loop on %s\n", argv[1]);
    char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        ssize_t length = read(watch, events, sizeof events);
        if (length <= 0)
            return 1;
        for (char *at = events; at < events + length;) {
            const struct inotify_event *event = (const struct inotify_event *)at;
            at += sizeof *event + event->len;
            if (event->len == 0 || fnmatch(pattern, event->name, FNM_PERIOD) != 0 ||
                open_match(folder, event->name) < 0)
                continue;
            printf("- opened %s/%s\n- done, press CTRL-C when you want to quit\n", folder_name,
                   event->name);
            for (;;)
                pause();
        }
    }
}
