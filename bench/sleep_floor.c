/* The floor of any 1 ms poller: the same pause as fileholder (timer slack 1 ns,
 * 1 ms nanosleep) with no attempt at all. Its CPU share is what the pauses
 * alone cost on this machine. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>

int main(void)
{
    const struct timespec one_millisecond = {0, 1000000};
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    setvbuf(stdout, NULL, _IONBF, 0);
    puts("- start");
    for (;;)
        nanosleep(&one_millisecond, NULL);
}
