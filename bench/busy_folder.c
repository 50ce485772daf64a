/* A busy folder for the benchmark: creates and deletes other files in the
 * given folder at a steady rate (files a second, 10000 by default) until it
 * gets SIGTERM or SIGINT, then prints how many it made and over what time,
 * so a machine too slow for the rate shows. Given an ENTRY of the folder, it
 * sets that entry's times instead, one at a time and evenly spread: a storm
 * of attribute changes naming it, for a watcher of the folder that awaits
 * that name.
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

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const long per_second = argc > 2 ? atol(argv[2]) : 10000;
    if (per_second < 1000 || per_second % 1000 != 0)
        return 2;
    const char *entry = argc > 3 ? argv[3] : NULL;
    /* Files go in a batch a millisecond. Touches go singly: the same event
     * queued again before its watcher reads is merged with the last, so a
     * batch of touches would wake it about once. */
    const long per_batch = entry != NULL ? 1 : per_second / 1000;
    const long period_ns = 1000000000L / per_second * per_batch;
    if (chdir(argv[1]) != 0 || (entry != NULL && access(entry, F_OK) != 0))
        return 1;
    struct sigaction action = {0};
    action.sa_handler = ask_stop; /* no SA_RESTART: the pause ends at once */
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    /* Exact pauses keep the batches even. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    setvbuf(stdout, NULL, _IONBF, 0);

    struct timespec started, deadline, now;
    clock_gettime(CLOCK_MONOTONIC, &started);
    deadline = started;
    long made = 0;
    char name[64];
    puts("- start");
    while (!stop_asked) {
        for (long i = 0; i < per_batch; ++i) {
            if (entry != NULL) {
                /* Both times set to now: one attribute change a call. */
                if (utimensat(AT_FDCWD, entry, NULL, 0) != 0)
                    return 1;
                ++made;
                continue;
            }
            /* Names unlike any the benchmark waits for. */
            snprintf(name, sizeof name, "busy_other_%ld", made % 64);
            int fd = open(name, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0)
                return 1;
            close(fd);
            if (unlink(name) != 0)
                return 1;
            ++made;
        }
        /* Absolute deadlines keep the rate; a lag of over 5 ms is not caught
         * up in a burst but shows as a lower rate. */
        deadline.tv_nsec += period_ns;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (seconds_between(deadline, now) > 0.005)
            deadline = now;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL);
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("- made %ld %s in %.6f s\n", made, entry != NULL ? "touches" : "files",
           seconds_between(started, now));
    return 0;
}
