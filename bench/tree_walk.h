/* The walk of an awaited name's folders, shared by the benchmark's C floors
 * that follow folders (tree_floor.c, fanotify_floor.c). The name is split
 * into a base, its longest start without a wildcard (at least its folder),
 * and the components below it. The base and each folder below it whose name
 * matches the next component (fnmatch) get an inotify watch of creations and
 * arrivals the moment their event is read, and are then looked into once,
 * for what was made in them before the watch: listed, or for a literal next
 * component, that one entry tried. Every entry of the last component is
 * handed to the floor's try_file, and every folder watched to its
 * on_folder, before it is looked into. No #include guard: one file each. */
#include <dirent.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

#define WALK_EVENTS (IN_CREATE | IN_MOVED_TO)
#define WALK_PARTS 64

struct walk_folder {
    char *path;
    int depth; /* the index of the component its entries are matched against */
};

struct walk {
    char base[PATH_MAX];
    char *parts[WALK_PARTS]; /* the components below the base */
    int part_count;
    int is_pattern;              /* a component holds a wildcard */
    int watch;                   /* the inotify descriptor */
    struct walk_folder *folders; /* by watch descriptor */
    int slots;
    void (*on_folder)(struct walk *walk, const char *path, int depth);
    void (*try_file)(struct walk *walk, const char *path);
};

static int walk_is_literal(const char *part)
{
    return strpbrk(part, "*?[") == NULL;
}

/* Splits NAME (kept by the caller) into the walk's base and components;
 * 0 when it has no folder or too many components. */
static int walk_split(struct walk *walk, char *name)
{
    char *parts[WALK_PARTS + 1];
    int count = 0, first_pattern = -1;
    const int absolute = name[0] == '/';
    for (char *at = strtok(name, "/"); at != NULL; at = strtok(NULL, "/")) {
        if (count == WALK_PARTS + 1)
            return 0;
        if (first_pattern < 0 && !walk_is_literal(at))
            first_pattern = count;
        parts[count++] = at;
    }
    if (count < 2 && !absolute)
        return 0;
    const int base_parts = first_pattern >= 0 ? first_pattern : count - 1;
    snprintf(walk->base, sizeof walk->base, "%s", absolute ? "/" : "");
    for (int i = 0; i < base_parts; ++i) {
        size_t used = strlen(walk->base);
        snprintf(walk->base + used, sizeof walk->base - used, "%s%s",
                 used > 0 && walk->base[used - 1] != '/' ? "/" : "", parts[i]);
    }
    if (walk->base[0] == '\0')
        snprintf(walk->base, sizeof walk->base, ".");
    walk->part_count = count - base_parts;
    walk->is_pattern = first_pattern >= 0;
    for (int i = 0; i < walk->part_count; ++i)
        walk->parts[i] = parts[base_parts + i];
    return 1;
}

static void walk_follow(struct walk *walk, const char *path, int depth);

/* An entry NAME of the folder at PATH whose entries match component DEPTH. */
static void walk_entry(struct walk *walk, const char *path, int depth, const char *name)
{
    if (fnmatch(walk->parts[depth], name, FNM_PERIOD) != 0)
        return;
    char child[PATH_MAX];
    if (snprintf(child, sizeof child, "%s/%s", path, name) >= (int)sizeof child)
        return;
    if (depth == walk->part_count - 1)
        walk->try_file(walk, child);
    else
        walk_follow(walk, child, depth + 1);
}

/* What was in the folder before its watch: its one literal entry, or a listing. */
static void walk_look_into(struct walk *walk, const char *path, int depth)
{
    if (walk_is_literal(walk->parts[depth])) {
        walk_entry(walk, path, depth, walk->parts[depth]);
        return;
    }
    DIR *listing = opendir(path);
    if (listing == NULL)
        return;
    for (const struct dirent *entry; (entry = readdir(listing)) != NULL;)
        walk_entry(walk, path, depth, entry->d_name);
    closedir(listing);
}

/* Watches the folder at PATH, whose entries match component DEPTH; 0 when
 * it is gone already, or no folder. */
static int walk_watch(struct walk *walk, const char *path, int depth)
{
    const int folder = inotify_add_watch(walk->watch, path, WALK_EVENTS | IN_ONLYDIR);
    if (folder < 0)
        return 0;
    if (folder >= walk->slots) {
        const int slots = folder * 2 + 16;
        struct walk_folder *grown = realloc(walk->folders, (size_t)slots * sizeof *grown);
        if (grown == NULL)
            exit(1);
        memset(grown + walk->slots, 0, (size_t)(slots - walk->slots) * sizeof *grown);
        walk->folders = grown;
        walk->slots = slots;
    }
    free(walk->folders[folder].path);
    walk->folders[folder].path = strdup(path);
    walk->folders[folder].depth = depth;
    if (walk->on_folder != NULL)
        walk->on_folder(walk, path, depth);
    return 1;
}

static void walk_follow(struct walk *walk, const char *path, int depth)
{
    if (walk_watch(walk, path, depth))
        walk_look_into(walk, path, depth);
}

/* The events of one read of the inotify descriptor. */
static void walk_events(struct walk *walk, const char *events, ssize_t length)
{
    for (const char *at = events; at < events + length;) {
        const struct inotify_event *event = (const struct inotify_event *)at;
        at += sizeof *event + event->len;
        if (event->wd < 0 || event->wd >= walk->slots || walk->folders[event->wd].path == NULL)
            continue;
        struct walk_folder *folder = &walk->folders[event->wd];
        if (event->mask & IN_IGNORED) { /* the folder went away */
            free(folder->path);
            folder->path = NULL;
        } else if (event->len > 0)
            walk_entry(walk, folder->path, folder->depth, event->name);
    }
}
