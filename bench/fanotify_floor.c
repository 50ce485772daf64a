/* The floor of a watcher that root may run, for all three of the
 * benchmark's modes: fanotify hands it a descriptor of each file opened in
 * the marked folders, at its maker's own open, so that a file created,
 * written, closed and deleted within microseconds is still held. The
 * descriptor whose path is the awaited name, or matches it (" (deleted)"
 * taken off once the file is gone), is kept; every other is closed at once.
 * Files that arrive without an open (renamed into place) are found as by the
 * inotify floors, through watches of the name's folders (tree_walk.h), which
 * also find a wildcard folder's new folders. The mark, by --mark:
 *   folder      (the default) FAN_OPEN | FAN_EVENT_ON_CHILD on each folder
 *               whose files match the last component, as its watch is set;
 *   mount       FAN_MARK_MOUNT on the mount that holds the base;
 *   filesystem  FAN_MARK_FILESYSTEM on the base's file system.
 * Root only: fanotify needs CAP_SYS_ADMIN. --check exits 0 when it can
 * be had. Same messages as the tool it measures: the start line, the name
 * opened for a pattern, the done line.
 *     fanotify_floor [--mark folder|mount|filesystem] NAME
 *     fanotify_floor --check */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tree_walk.h"

#define DELETED " (deleted)"

static int notices = -1;       /* the fanotify descriptor */
static unsigned int mark_kind; /* FAN_MARK_MOUNT, FAN_MARK_FILESYSTEM, or 0 per folder */
static char awaited[PATH_MAX]; /* the name as paths come: the base made canonical */

/* Holds what is open for good, having said so. */
static void hold(const struct walk *walk, const char *path)
{
    if (walk->is_pattern)
        printf("- opened %s\n", path);
    puts("- done, press CTRL-C when you want to quit");
    /* Nothing more to hear: a queue left to fill would hold files open. */
    close(notices);
    close(walk->watch);
    for (;;)
        pause();
}

/* An arrival by its name: held if it opens and is no folder. */
static void try_by_name(struct walk *walk, const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0)
        return;
    if (fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode))
        hold(walk, path);
    close(fd);
}

static void mark_folder(struct walk *walk, const char *path, int depth)
{
    if (mark_kind == 0 && depth == walk->part_count - 1)
        fanotify_mark(notices, FAN_MARK_ADD, FAN_OPEN | FAN_EVENT_ON_CHILD, AT_FDCWD, path);
}

/* Whether an open that fanotify told is of an awaited file; its path, with
 * " (deleted)" taken off once the file is gone, into PATH. */
static int is_awaited(int fd, char *path)
{
    char link[64];
    struct stat status;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, PATH_MAX - 1);
    if (length <= 0 || fstat(fd, &status) != 0 || S_ISDIR(status.st_mode))
        return 0;
    path[length] = '\0';
    const size_t suffix = sizeof DELETED - 1;
    if (status.st_nlink == 0 && (size_t)length > suffix &&
        strcmp(path + length - suffix, DELETED) == 0)
        path[length - suffix] = '\0';
    return fnmatch(awaited, path, FNM_PATHNAME | FNM_PERIOD) == 0;
}

/* Reads the queued opens, as many as fit; keeps the first awaited one,
 * closes the others. What does not fit wakes the next poll. */
static void read_notices(struct walk *walk)
{
    char events[65536] __attribute__((aligned(__alignof__(struct fanotify_event_metadata))));
    char path[PATH_MAX], held[PATH_MAX] = "";
    ssize_t length = read(notices, events, sizeof events);
    const struct fanotify_event_metadata *event = (const void *)events;
    for (; length > 0 && FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
        if (event->fd < 0)
            continue; /* an overflow of the queue */
        if (held[0] == '\0' && is_awaited(event->fd, path))
            snprintf(held, sizeof held, "%s", path);
        else
            close(event->fd);
    }
    if (held[0] != '\0')
        hold(walk, held);
}

int main(int argc, char **argv)
{
    const unsigned int flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK;
    const unsigned int event_flags = O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK;
    if (argc == 2 && strcmp(argv[1], "--check") == 0)
        return fanotify_init(flags, event_flags) >= 0 ? 0 : 1;
    int at = 1;
    if (argc == 4 && strcmp(argv[1], "--mark") == 0) {
        if (strcmp(argv[2], "mount") == 0)
            mark_kind = FAN_MARK_MOUNT;
        else if (strcmp(argv[2], "filesystem") == 0)
            mark_kind = FAN_MARK_FILESYSTEM;
        else if (strcmp(argv[2], "folder") != 0)
            return 2;
        at = 3;
    }
    if (argc != at + 1)
        return 2;
    setvbuf(stdout, NULL, _IONBF, 0);
    char name[PATH_MAX];
    snprintf(name, sizeof name, "%s", argv[at]);
    struct walk walk = {.on_folder = mark_folder, .try_file = try_by_name};
    if (!walk_split(&walk, name))
        return 2;
    /* Paths come from the kernel: canonical, so the base must be too. */
    char base[PATH_MAX];
    if (realpath(walk.base, base) == NULL)
        return 1;
    snprintf(walk.base, sizeof walk.base, "%s", base);
    snprintf(awaited, sizeof awaited, "%s", strcmp(base, "/") == 0 ? "" : base);
    for (int i = 0; i < walk.part_count; ++i) {
        size_t used = strlen(awaited);
        snprintf(awaited + used, sizeof awaited - used, "/%s", walk.parts[i]);
    }
    notices = fanotify_init(flags, event_flags);
    walk.watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (notices < 0 || walk.watch < 0)
        return 1;
    if (mark_kind != 0 &&
        fanotify_mark(notices, FAN_MARK_ADD | mark_kind, FAN_OPEN, AT_FDCWD, base) != 0)
        return 1;
    if (!walk_watch(&walk, walk.base, 0))
        return 1;
    printf("- start fopen() loop on %s\n", argv[at]);
    walk_look_into(&walk, walk.base, 0);
    struct pollfd both[2] = {{notices, POLLIN, 0}, {walk.watch, POLLIN, 0}};
    char events[65536] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        if (poll(both, 2, -1) < 0 && errno != EINTR)
            return 1;
        /* The opens first: a file gone by the time its arrival is read is
         * held only through them. One read each a wake-up: what is left
         * wakes the next poll at once. */
        if (both[0].revents & POLLIN)
            read_notices(&walk);
        ssize_t length;
        if ((both[1].revents & POLLIN) && (length = read(walk.watch, events, sizeof events)) > 0)
            walk_events(&walk, events, length);
    }
}
