#include "open_marks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
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

// The marks the group holds, by kind, as the kernel lists them.
int marks_listed(const open_marks &marks, const char *kind)
{
    const std::string info = "/proc/self/fdinfo/" + std::to_string(marks.instance);
    std::FILE *listing = std::fopen(info.c_str(), "r");
    int count = 0;
    char line[512];
    while (listing != nullptr && std::fgets(line, sizeof line, listing) != nullptr) {
        count += std::strncmp(line, kind, std::strlen(kind)) == 0 ? 1 : 0;
    }
    if (listing != nullptr) {
        (void)std::fclose(listing);
    }
    return count;
}

// A folder reached through the marked mount is seen through the mount's
// mark; one on another mount, a bind mount of the same files included,
// needs a mark of its own, or its opens would go unseen.
TEST(open_marks, a_folder_takes_a_mark_only_off_the_marked_mount)
{
    char top[] = "/tmp/fileholder-marks-XXXXXX";
    ASSERT_NE(mkdtemp(top), nullptr);
    const std::string base = top;
    if (mount("fileholder-test", top, "tmpfs", 0, nullptr) != 0) {
        (void)rmdir(top);
        GTEST_SKIP() << "mounting needs root: " << std::strerror(errno);
    }
    for (const char *folder : {"/same", "/other", "/bound"}) {
        ASSERT_EQ(mkdir((base + folder).c_str(), 0755), 0) << folder;
    }
    ASSERT_EQ(mount("fileholder-test", (base + "/other").c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(mount((base + "/same").c_str(), (base + "/bound").c_str(), nullptr, MS_BIND, nullptr),
              0);
    open_marks marks;
    if (mark_mount(marks, top)) {
        EXPECT_TRUE(mark_folder(marks, (base + "/same").c_str()));
        EXPECT_EQ(marks_listed(marks, "fanotify ino:"), 0) << "a folder of the marked mount";
        EXPECT_TRUE(mark_folder(marks, (base + "/other").c_str()));
        EXPECT_TRUE(mark_folder(marks, (base + "/bound").c_str()));
        EXPECT_EQ(marks_listed(marks, "fanotify ino:"), 2) << "folders of other mounts";
        EXPECT_EQ(marks_listed(marks, "fanotify mnt_id:"), 1);
        unmark_all(marks);
        EXPECT_TRUE(mark_folder(marks, (base + "/same").c_str()));
        EXPECT_EQ(marks_listed(marks, "fanotify ino:"), 1) << "once the mount's mark is gone";
        close_marks(marks);
    }
    (void)umount((base + "/bound").c_str());
    (void)umount((base + "/other").c_str());
    (void)umount(top);
    (void)rmdir(top);
    if (marks.refused) {
        GTEST_SKIP() << "no fanotify here (it needs CAP_SYS_ADMIN)";
    }
}

} // namespace
