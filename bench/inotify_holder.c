/* The event-driven floor for the benchmark: instead of polling, it watches
 * the file's folder with inotify and tries the open only when an entry there
 * is created, moved in or changed. Same messages as the tool it measures. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

/* Linux opens a folder for reading; like the tool, this one does not hold it. */
static int is_folder(FILE *file)
{
    struct stat status;
    return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    setvbuf(stdout, NULL, _IONBF, 0);
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s", argv[1]);
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dirname(folder),
                                       IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE) < 0)
        return 1;
    printf("- start fopen() loop on %s\n", argv[1]);
    /* The first try comes after the watch is set, so no appearance is missed. */
    char events[4096];
    FILE *held;
    while ((held = fopen(argv[1], "rb")) == NULL || is_folder(held)) {
        if (held != NULL)
            fclose(held);
        if (read(watch, events, sizeof events) < 0)
            return 1;
    }
    puts("- done, press CTRL-C when you want to quit");
    for (;;)
        pause();
}
