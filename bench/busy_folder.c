/* A busy folder for the benchmark: creates and deletes other files in the
 * given folder at a steady rate (files a second, 10000 by default) until it
 * gets SIGTERM or SIGINT, then prints how many it made and over what time,
 * so a machine too slow for the rate shows. Given an ENTRY of the folder, it
 * sets that entry's times instead, one at a time: a storm of attribute
 * changes naming it, for a watcher of the folder that awaits that name.
 * Any rate from 1 a second up is spread evenly over time.
 *     busy_folder FOLDER [PER_SECOND [ENTRY]] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
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

/* One event of the load: a file made, closed and deleted, or a touch. */
static int make_one(const char *entry, long made)
{
    if (entry != NULL) /* both times set to now: one attribute change a call */
        return utimensat(AT_FDCWD, entry, NULL, 0);
    /* Names unlike any the benchmark waits for. */
    char name[64];
    snprintf(name, sizeof name, "busy_other_%ld", made % 64);
    int fd = open(name, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
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
    if (per_second < 1 || per_second > 1000000)
        return 2;
    const char *entry = argc > 3 ? argv[3] : NULL;
    /* Files from 1,000 a second up go in a batch a millisecond, fewer one at
     * a time. Touches always go singly: the same event queued again before
     * its watcher reads is merged with the last, so a batch of touches would
     * wake it about once. */
    const double tick = entry == NULL && per_second >= 1000 ? 0.001 : 1.0 / (double)per_second;
    if (chdir(argv[1]) != 0 || (entry != NULL && access(entry, F_OK) != 0))
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
            if (make_one(entry, made) != 0)
                return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("- made %ld %s in %.6f s\n", made, entry != NULL ? "touches" : "files",
           seconds_between(started, now));
    return 0;
}
