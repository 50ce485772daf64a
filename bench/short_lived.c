/* Makes the benchmark's short-lived files, on request, so that a file lives
 * the time asked and no longer, which a Python maker cannot keep below
 * some hundred microseconds. For each line read,
 *     LIFETIME_NS NEW_FOLDERS PATH CONTENT
 * it makes the last NEW_FOLDERS folders of PATH's folder one after the other
 * (as mkdir -p does), creates PATH, writes CONTENT into it, closes it and
 * deletes it LIFETIME_NS after the create returned, then removes the
 * folders, and answers with the time the file lived, from the create's
 * return to the delete's call, the same to the delete's return, and the
 * time from just before the create to just after the delete, in ns: on a
 * slow disk the create and the delete alone take some tens of
 * microseconds, and the file exists during part of each. Up to 200 µs it spins: a sleep that short
 * ends late by the scheduler's wake-up. Beyond, it sleeps, as a writer that does other work would,
 * leaving the processor to the waiters. short_lived   (prints "- start", then "LIVED_NS GONE_NS
 * SPAN_NS" a request, or
 *                    "- failed REQUEST: WHY") */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define SPIN_NS 200000LL

static long long now_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* The lengths of PATH's first parts that are the new folders, shallowest
 * first: up to each of its last COUNT slashes. */
static int new_folders(const char *path, int count, size_t *ends)
{
    int found = 0;
    for (size_t at = strlen(path); at > 0 && found < count; --at)
        if (path[at - 1] == '/')
            ends[count - ++found] = at - 1;
    return found == count && ends[0] > 0;
}

static int make_one(long long lifetime, int count, const char *path, const char *content,
                    long long times[3])
{
    size_t ends[64];
    char folder[PATH_MAX];
    if (count < 0 || count > 63 || strlen(path) >= sizeof folder ||
        (count > 0 && !new_folders(path, count, ends)))
        return -1;
    for (int i = 0; i < count; ++i) {
        snprintf(folder, sizeof folder, "%.*s", (int)ends[i], path);
        if (mkdir(folder, 0755) != 0)
            return -1;
    }
    const long long asked = now_ns();
    const int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    const long long born = now_ns();
    if (fd < 0)
        return -1;
    const size_t length = strlen(content);
    const int written = write(fd, content, length) == (ssize_t)length;
    close(fd);
    const long long end = born + lifetime;
    if (lifetime <= SPIN_NS)
        while (now_ns() < end)
            ;
    else {
        const struct timespec at = {(time_t)(end / 1000000000LL), (long)(end % 1000000000LL)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR)
            ;
    }
    times[0] = now_ns() - born;
    const int deleted = unlink(path) == 0;
    const long long gone = now_ns();
    times[1] = gone - born;
    times[2] = gone - asked;
    for (int i = count - 1; i >= 0; --i) {
        snprintf(folder, sizeof folder, "%.*s", (int)ends[i], path);
        if (rmdir(folder) != 0)
            return -1;
    }
    return written && deleted ? 0 : -1;
}

int main(void)
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    setvbuf(stdout, NULL, _IOLBF, 0);
    umask(022); /* what another user waiting on them needs */
    const struct sched_param priority = {.sched_priority = 1};
    puts(sched_setscheduler(0, SCHED_FIFO, &priority) == 0 ? "- start real-time" : "- start");
    char line[2 * PATH_MAX], path[PATH_MAX], content[256];
    long long lifetime, times[3];
    int count;
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (sscanf(line, "%lld %d %4095s %255s", &lifetime, &count, path, content) != 4)
            printf("- failed %s: not LIFETIME_NS NEW_FOLDERS PATH CONTENT\n", line);
        else if (make_one(lifetime, count, path, content, times) != 0)
            printf("- failed %s: %s\n", line, strerror(errno));
        else
            printf("%lld %lld %lld\n", times[0], times[1], times[2]);
    }
    return 0;
}
