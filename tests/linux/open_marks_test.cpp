#include "open_marks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// What a session leader without a terminal sees after give_back_terminal
// on a descriptor, in a child of its own: each check a bit of the status.
enum outcome : int {
    took_it = 1,         // the terminal had become its own before
    gave_it_back = 2,    // it has no terminal after
    lived = 4,           // SIGHUP did not end it
    kept_its_sighup = 8, // SIGHUP's disposition is as it was
};

struct row {
    const char *label;
    bool terminal;       // a terminal, or a pipe
    bool no_ctty;        // opened with O_NOCTTY, so not taken
    bool sighup_ignored; // as nohup leaves it
    int expected;
};

int leader_gives_back(const row &r)
{
    const pid_t child = fork();
    if (child == 0) {
        (void)setsid();
        (void)signal(SIGHUP, r.sighup_ignored ? SIG_IGN : SIG_DFL);
        int descriptor = -1;
        if (r.terminal) {
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            (void)grantpt(master);
            (void)unlockpt(master);
            descriptor = open(ptsname(master), O_RDONLY | (r.no_ctty ? O_NOCTTY : 0));
        } else {
            int ends[2] = {-1, -1};
            descriptor = pipe(ends) == 0 ? ends[0] : -1;
        }
        int seen = tcgetsid(descriptor) == getsid(0) ? took_it : 0;
        give_back_terminal(descriptor);
        const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY);
        seen |= terminal < 0 && errno == ENXIO ? gave_it_back : 0;
        seen |= lived;
        struct sigaction now {
        };
        (void)sigaction(SIGHUP, nullptr, &now);
        seen |= (now.sa_handler == SIG_IGN) == r.sighup_ignored ? kept_its_sighup : 0;
        _exit(seen);
    }
    int status = 0;
    (void)waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(open_marks, a_terminal_taken_by_an_events_open_is_given_back)
{
    const row rows[] = {
        {"terminal_taken", true, false, false, took_it | gave_it_back | lived | kept_its_sighup},
        {"taken_under_nohup", true, false, true, took_it | gave_it_back | lived | kept_its_sighup},
        {"terminal_not_taken", true, true, false, gave_it_back | lived | kept_its_sighup},
        {"not_a_terminal", false, false, false, gave_it_back | lived | kept_its_sighup},
    };
    for (const row &r : rows) {
        EXPECT_EQ(leader_gives_back(r), r.expected) << r.label;
    }
}

} // namespace
