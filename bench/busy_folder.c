/* A steady-rate load on a folder for the benchmark, until it gets SIGTERM or
 * SIGINT; then it prints how many events it made and over what time, so a
 * machine too slow for the rate shows. Events a second: 10000 by default,
 * any rate from 1 a second up spread evenly over time, 0 for as fast as it
 * can. The event is, by HOW:
 *   (none)              a file of another name made, closed and deleted;
 *   locked PREFIX       a file PREFIX<N> of mode 0 made, closed and deleted,
 *                       a new N each time: a match that cannot be opened;
 *   touch ENTRY...      the times of the ENTRYs set in turn, not following a
 *                       symbolic link: attribute changes naming them, for a
 *                       watcher of the folder.
 *     busy_folder FOLDER [PER_SECOND [HOW ARGUMENT...]] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop_asked;

static void ask_stop(int signal_number)
{
    (void)signal_number;
    stop_asked = 1;
}

static double seconds_between(struct timespec from, struct timespec to)
{
    return (double)(to.tv_sec - from.tv_sec) + (double)(to.tv_nsec - from.tv_nsec) / 1e9;
}

static struct timespec later_by(struct timespec from, double seconds)
{
    long long ns = (long long)from.tv_nsec + (long long)(seconds * 1e9);
    from.tv_sec += (time_t)(ns / 1000000000);
    from.tv_nsec = (long)(ns % 1000000000);
    return from;
}

struct load {
    const char *prefix; /* files of mode 0 named so, or NULL */
    char **entries;     /* entries to touch in turn, or NULL */
    int entry_count;
};

/* One event of the load: a file made, closed and deleted, or a touch. */
static int make_one(const struct load *load, long made)
{
    if (load->entries != NULL) /* both times set to now: one attribute change a call */
        return utimensat(AT_FDCWD, load->entries[made % load->entry_count], NULL,
                         AT_SYMLINK_NOFOLLOW);
    char name[PATH_MAX];
    if (load->prefix != NULL)
        snprintf(name, sizeof name, "%s%ld", load->prefix, made);
    else /* names unlike any the benchmark waits for */
        snprintf(name, sizeof name, "busy_other_%ld", made % 64);
    int fd = open(name, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, load->prefix != NULL ? 0 : 0600);
    if (fd < 0)
        return -1;
    close(fd);
    return unlink(name);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const long per_second = argc > 2 ? atol(argv[2]) : 10000;
    if (per_second < 0 || per_second > 1000000)
        return 2;
    struct load load = {NULL, NULL, 0};
    if (argc > 4 && strcmp(argv[3], "locked") == 0)
        load.prefix = argv[4];
    else if (argc > 4 && strcmp(argv[3], "touch") == 0) {
        load.entries = argv + 4;
        load.entry_count = argc - 4;
    } else if (argc > 3)
        return 2;
    /* Files from 1,000 a second up go in a batch a millisecond, fewer one at
     * a time. Touches always go singly: the same event queued again before
     * its watcher reads is merged with the last, so a batch of touches would
     * wake it about once. */
    const double tick = per_second == 0                              ? 0
                        : load.entries == NULL && per_second >= 1000 ? 0.001
                                                                     : 1.0 / (double)per_second;
    if (chdir(argv[1]) != 0)
        return 1;
    for (int i = 0; i < load.entry_count; ++i)
        if (faccessat(AT_FDCWD, load.entries[i], F_OK, AT_SYMLINK_NOFOLLOW) != 0)
            return 1;
    struct sigaction action = {0};
    action.sa_handler = ask_stop; /* no SA_RESTART: the pause ends at once */
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    /* Exact pauses keep the events even. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    setvbuf(stdout, NULL, _IONBF, 0);

    struct timespec started, base, deadline, now;
    clock_gettime(CLOCK_MONOTONIC, &started);
    base = started;
    long made = 0, made_at_base = 0, ticks = 0;
    puts("- start");
    while (!stop_asked && per_second == 0) /* as fast as it can */
        if (make_one(&load, made++) != 0)
            return 1;
    while (!stop_asked) {
        /* Deadlines and counts from a fixed base keep any rate exact: by the
         * end of tick k, k * tick * per_second events are made. */
        deadline = later_by(base, (double)++ticks * tick);
        /* A lag of over 5 ms is not caught up in a burst but shows as a
         * lower rate. */
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (seconds_between(deadline, now) > 0.005) {
            base = deadline = now;
            made_at_base = made;
            ticks = 0;
        }
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) != 0)
            break;
        const long due = made_at_base + (long)((double)ticks * tick * (double)per_second + 1e-6);
        for (; made < due; ++made)
            if (make_one(&load, made) != 0)
                return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("- made %ld %s in %.6f s\n", made, load.entries != NULL ? "touches" : "files",
           seconds_between(started, now));
    return 0;
}
