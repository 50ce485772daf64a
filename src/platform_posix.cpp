#include "platform.h"

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

void prepare_process()
{
    // Unbuffered, so a script reading a pipe sees each message as it is made
    // and Ctrl-C never discards a message still sitting in a buffer.
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A reader of standard output that went away must not end the hold:
    // the failed write is simply ignored.
    (void)std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // The kernel may stretch each 1 ms pause by the timer slack (50 us by
    // default); without it the polling period stays at the pause asked for.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

std::FILE *try_open(const char *name)
{
    std::FILE *file = std::fopen(name, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    // glibc opens directories for reading; holding one is not what was asked.
    struct stat status {
    };
    if (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        (void)std::fclose(file);
        return nullptr;
    }
    return file;
}

void pause_after_failed_attempt()
{
    const timespec one_millisecond{0, 1000000};
    nanosleep(&one_millisecond, nullptr);
}

void idle_forever()
{
    for (;;) {
        pause();
    }
}
