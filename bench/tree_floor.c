/* The event-driven floor of the benchmark's tree mode, for a name whose last
 * two components are patterns (fnmatch), a folder and a file: it watches
 * BASE and each matching folder in it with inotify, and opens the first
 * matching file that an event or a listing names. A matching folder gets
 * its watch the moment its event is read, and is then listed once, for
 * what was made in it before the watch. Same messages as the tool it
 * measures: the start line, the name opened, the done line.
 *     tree_floor BASE/FOLDER_PATTERN/FILE_PATTERN */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#define EVENTS (IN_CREATE | IN_MOVED_TO)

struct tree {
    char base[PATH_MAX];
    const char *folder_pattern, *file_pattern;
    int watch;      /* the inotify descriptor */
    char **folders; /* a matching folder's name by its watch descriptor */
    int slots;
};

/* Holds BASE/FOLDER/NAME for good if it opens and is not a folder. */
static void hold_if_opens(const struct tree *tree, const char *folder, const char *name)
{
    if (fnmatch(tree->file_pattern, name, FNM_PERIOD) != 0)
        return;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s/%s", tree->base, folder, name) >= (int)sizeof path)
        return;
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

/* Watches BASE/NAME if it is a matching folder, then lists it once. */
static void follow(struct tree *tree, const char *name)
{
    if (fnmatch(tree->folder_pattern, name, FNM_PERIOD) != 0)
        return;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", tree->base, name) >= (int)sizeof path)
        return;
    int folder = inotify_add_watch(tree->watch, path, EVENTS | IN_ONLYDIR);
    if (folder < 0)
        return; /* gone already, or no folder */
    if (folder >= tree->slots) {
        int slots = folder * 2 + 16;
        char **grown = realloc(tree->folders, (size_t)slots * sizeof *grown);
        if (grown == NULL)
            exit(1);
        memset(grown + tree->slots, 0, (size_t)(slots - tree->slots) * sizeof *grown);
        tree->folders = grown;
        tree->slots = slots;
    }
    free(tree->folders[folder]);
    tree->folders[folder] = strdup(name);
    DIR *listing = opendir(path);
    if (listing == NULL)
        return;
    for (const struct dirent *entry; (entry = readdir(listing)) != NULL;)
        hold_if_opens(tree, name, entry->d_name);
    closedir(listing);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    setvbuf(stdout, NULL, _IONBF, 0);
    struct tree tree = {.folders = NULL, .slots = 0};
    snprintf(tree.base, sizeof tree.base, "%s", argv[1]);
    char *slash = strrchr(tree.base, '/');
    if (slash == NULL)
        return 2;
    *slash = '\0';
    tree.file_pattern = slash + 1;
    if ((slash = strrchr(tree.base, '/')) == NULL)
        return 2;
    *slash = '\0';
    tree.folder_pattern = slash + 1;
    tree.watch = inotify_init1(IN_CLOEXEC);
    const int base = tree.watch < 0 ? -1 : inotify_add_watch(tree.watch, tree.base, EVENTS);
    DIR *listing = base < 0 ? NULL : opendir(tree.base);
    if (listing == NULL)
        return 1;
    printf("- start fopen() loop on %s\n", argv[1]);
    /* The folders made before the watch of BASE. */
    for (const struct dirent *entry; (entry = readdir(listing)) != NULL;)
        follow(&tree, entry->d_name);
    closedir(listing);
    char events[65536] __attribute__((aligned(__alignof__(struct inotify_event))));
    for (;;) {
        ssize_t length = read(tree.watch, events, sizeof events);
        if (length <= 0)
            return 1;
        for (char *at = events; at < events + length;) {
            const struct inotify_event *event = (const struct inotify_event *)at;
            at += sizeof *event + event->len;
            if (event->wd == base && event->len > 0)
                follow(&tree, event->name);
            else if (event->wd >= 0 && event->wd < tree.slots && tree.folders[event->wd] != NULL) {
                if (event->mask & IN_IGNORED) { /* the folder went away */
                    free(tree.folders[event->wd]);
                    tree.folders[event->wd] = NULL;
                } else if (event->len > 0)
                    hold_if_opens(&tree, tree.folders[event->wd], event->name);
            }
        }
    }
}
