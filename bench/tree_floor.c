/* The event-driven floor of the benchmark's tree mode, for a name with a
 * wildcard folder (BASE, a folder tmp* in it, then payload.json there or
 * a/b/c/payload.json below it): it
 * watches BASE and each folder below it that matches the name's next
 * component, literal or a pattern (fnmatch), with inotify, and opens the
 * first matching file that an event or a look into a folder names. A folder
 * gets its watch the moment its event is read, and is then looked into once,
 * for what was made in it before the watch (tree_walk.h). Same messages as
 * the tool it measures: the start line, the name opened, the done line.
 *     tree_floor BASE/FOLDER_PATTERN/.../FILE_PATTERN */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tree_walk.h"

/* Holds the file for good if it opens and is not a folder. */
static void hold_if_opens(struct walk *walk, const char *path)
{
    (void)walk;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0)
        return;
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        return;
    }
    printf("- opened %s\n- done, press CTRL-C when you want to quit\n", path);
    for (;;)
        pause();
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    setvbuf(stdout, NULL, _IONBF, 0);
    char name[PATH_MAX];
    snprintf(name, sizeof name, "%s", argv[1]);
    struct walk walk = {.try_file = hold_if_opens};
    if (!walk_split(&walk, name) || walk.part_count < 2)
        return 2;
    walk.watch = inotify_init1(IN_CLOEXEC);
    if (walk.watch < 0 || !walk_watch(&walk, walk.base, 0))
        return 1;
    printf("- start fopen() loop on %s\n", argv[1]);
    /* The folders made before the watch of BASE. */
    walk_look_into(&walk, walk.base, 0);
    char events[65536] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        ssize_t length = read(walk.watch, events, sizeof events);
        if (length <= 0)
            return 1;
        walk_events(&walk, events, length);
    }
}
