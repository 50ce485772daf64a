"""End-to-end tests of fileholder on Linux: the real binary, real processes."""

import glob
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

from cases import ARGUMENT_CASES, PATTERN_CASES, PROMPT_CASES, nested_name
from runner import (DONE, PATIENCE, PROMPT, QUIET, Case, binary, need_tool, opened_line,
                    start_line)

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def launcher(code):
    """A launcher that runs Python code in the process, then execs fileholder
    with what the parent left it: the state a script or harness hands over."""
    return (sys.executable, "-c", "import fcntl, os, signal, sys\n" + code +
            "\nos.execv(sys.argv[1], sys.argv[1:])")


# The first 1023 characters of a longer name that does not exist: a name
# cut there would hold this other file.
CUT_NAME = nested_name(1023)


class Holding(Case):
    def assert_holds(self, run, name, content=b"content\n"):
        """The file is open read-only, unread, and the process idles on."""
        fd = run.fd_of(self.path(name))
        self.assertIsNotNone(fd, f"{name} is not held")
        with open(f"/proc/{run.pid}/fdinfo/{fd}") as info:
            fields = dict(line.split(":", 1) for line in info if ":" in line)
        self.assertEqual(int(fields["flags"], 8) & os.O_ACCMODE, os.O_RDONLY)
        self.assertEqual(int(fields["pos"]), 0)
        self.assertTrue(run.alive())
        with open(self.path(name), "rb") as file:
            self.assertEqual(file.read(), content)
        return fd


class ArgumentPath(Holding):
    CASES = ARGUMENT_CASES + [
        ("never_cut", [CUT_NAME + "z" * 477], [CUT_NAME], CUT_NAME + "z" * 477, False),
    ]

    def test_cases(self):
        self.check_arguments(self.CASES)


class FileBecomesOpenable(Holding):
    def test_created_later_by_rename(self):
        self.check_caught("late.txt", lambda: None, lambda: self.make_file("late.txt"))

    def test_directory_replaced_by_file(self):
        self.check_folder_replaced_by_file()

    def test_dangling_symlink_whose_target_appears(self):
        self.check_caught("link", lambda: os.symlink("target", self.path("link")),
                          lambda: self.make_file("target"))

    def test_fifo_held_at_once_without_a_writer(self):
        os.mkfifo(self.path("fifo"))
        run = self.run_fileholder(["fifo"])
        self.expect_quiet_output(run, start_line("fifo") + DONE)
        self.assertIsNotNone(run.fd_of(self.path("fifo")), "the FIFO is not held")

    def test_unreadable_until_mode_changes(self):
        def lock():
            self.make_file("locked")
            os.chmod(self.path("locked"), 0)
            os.chmod(self.dir, 0o755)

        # Root reads anything, so the program runs as an ordinary user there.
        user = "nobody" if os.geteuid() == 0 else None
        self.check_caught("locked", lock, lambda: os.chmod(self.path("locked"), 0o644),
                          user=user)


    def test_under_a_descriptor_limit(self):
        # Four descriptors: standard input, output and error, and one more,
        # which the folder watch must give up to the attempt.
        limited = launcher("import resource\nresource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))")
        for label, name, made, opened in [("literal", "t1", "t1", None),
                                          ("pattern", "t*", "t1", "t1")]:
            with self.subTest(label):
                self.setUp()
                self.launcher = limited
                run = self.run_fileholder([name])
                self.expect_output(run, start_line(name))
                time.sleep(QUIET)
                self.make_file(made)
                self.expect_output(run, start_line(name) + (opened_line(opened) if opened else b"")
                                   + DONE)
                self.assert_holds(run, made)


# Runs fileholder in a user namespace of its own whose inotify watches run
# out after two: those on the pattern's fixed start and on one folder.
FEW_WATCHES = ("unshare", "--user", "--map-root-user", "sh", "-c",
               'echo 2 >/proc/sys/user/max_inotify_watches && exec "$0" "$@"')


class Patterns(Holding):
    # label, name, typed, files made first, files made later, name in the
    # start line, name in the opened line (None where it is the name shown).
    CASES = PATTERN_CASES + [
        # Matches at the start: the first in byte order; case counts.
        ("first_in_byte_order", "s*.txt", False, ["s2.txt", "s10.txt", "S1.txt", "other.txt"], [],
         "s*.txt", "s10.txt"),
        # A leading dot only by a dot, as the shell lists files.
        ("leading_dot_hidden", "*rc", False, [".bashrc"], ["zshrc"], "*rc", "zshrc"),
        ("leading_dot_by_a_dot", ".*rc", False, [], [".bashrc"], ".*rc", ".bashrc"),
        ("brackets_plain", "photo[1]*.jpg", False, ["photo1.jpg"], ["photo[1]-2.jpg"],
         "photo[1]*.jpg", "photo[1]-2.jpg"),
        ("backslash_plain", "a\\*", False, ["ab"], ["a\\b"], "a\\*", "a\\b"),
        ("named_like_the_pattern", "a*b", False, [], ["a*b"], "a*b", None),
        # The folder part exactly as given, then the entry's name.
        ("folder_part_as_given", "./sub//cc*.s", False, ["sub/"], ["sub/ccX.s"], "./sub//cc*.s",
         "./sub//ccX.s"),
        # Wildcards in folders: a random folder made later, with its file.
        ("random_folder_made_later", "tmp*/payload.json", False, ["other/"],
         ["tmpk3j2_x/payload.json"], "tmp*/payload.json", "tmpk3j2_x/payload.json"),
        ("chain_appears_later", "b/c-*/d/e?.txt", True, [], ["b/c-9/d/e1.txt"], "b/c-*/d/e?.txt",
         "b/c-9/d/e1.txt"),
        # Folder by folder: a before a-b, though "a-b/" sorts before "a/".
        ("order_folder_by_folder", "{dir}/a*/*", False, ["a-b/a", "a/z", "b/a"], [], "{dir}/a*/*",
         "{dir}/a/z"),
        ("only_a_file_matches_the_folder", "tmp*/x", False, ["tmpfile", "tmpdir/y"],
         ["tmpdir/x"], "tmp*/x", "tmpdir/x"),
        ("fixed_folder_below_a_wildcard", "w*/fixed/f.txt", False, ["w1/other/f.txt"],
         ["w2/fixed/f.txt"], "w*/fixed/f.txt", "w2/fixed/f.txt"),
        ("double_star_is_one_component", "**/f", False, ["a/b/f"], ["c/f"], "**/f", "c/f"),
        ("folder_named_like_its_component", "tmp*/f", False, [], ["tmp*/f"], "tmp*/f", None),
        # A name that holds a line feed could forge the done line: never held.
        ("line_feed_never_matches", "cc*", False,
         ["cc\n- done, press CTRL-C when you want to quit"], ["ccZ"], "cc*", "ccZ"),
    ]

    def test_cases(self):
        self.check_patterns(self.CASES)

    # label, name, folders or files made first, what others do while it
    # waits (each step then a pause), the file then held.
    CHANGES = [
        ("matching_folder_deleted_and_made_again", "tmpA*/f", ["tmpA1/"],
         [("rmtree", "tmpA1"), ("mkdir", "tmpA1"), ("make", "tmpA1/f")], "tmpA1/f"),
        ("matching_folder_renamed", "tmp*/f", ["tmp1/"],
         [("rename", "tmp1", "tmp2"), ("make", "tmp2/f")], "tmp2/f"),
        ("fixed_start_deleted_and_made_again", "base/tmp*/f", ["base/tmp1/"],
         [("rmtree", "base"), ("mkdir", "base"), ("mkdir", "base/tmp3"), ("make", "base/tmp3/f")],
         "base/tmp3/f"),
        ("symbolic_link_to_a_folder", "ln*/f", ["real/"],
         [("symlink", "real", "ln1"), ("make", "real/f")], "ln1/f"),
    ]

    def test_folders_change_while_waiting(self):
        for label, name, first, steps, held in self.CHANGES:
            with self.subTest(label):
                self.setUp()
                self.make_files(first)
                run = self.run_fileholder([name])
                self.expect_output(run, start_line(name))
                for action, *paths in steps:
                    self.assertTrue(run.stays_quiet(0.1), f"held before {action} {paths}")
                    paths = [self.path(path) for path in paths]
                    {"rmtree": shutil.rmtree, "mkdir": os.mkdir, "rename": os.rename,
                     "symlink": os.symlink, "make": lambda path: self.make_file(path)}[action](*paths)
                self.expect_quiet_output(run, start_line(name) + opened_line(held) + DONE)
                self.assert_holds(run, held)

    def test_watches_run_out(self):
        # Folders it could not watch are listed instead: it never stops waiting.
        need_tool(self, "unshare")
        for made in ("tmp3/f", "tmp9/f"):
            with self.subTest(made):
                self.setUp()
                self.make_files(["tmp1/", "tmp2/", "tmp3/"])
                self.launcher = FEW_WATCHES
                run = self.run_fileholder(["tmp*/f"])
                self.expect_output(run, start_line("tmp*/f"))
                self.assertTrue(run.stays_quiet(), "held before a file matched")
                self.make_files([made])
                self.expect_quiet_output(run, start_line("tmp*/f") + opened_line(made) + DONE)

    def test_first_in_name_order_while_a_large_folder_is_listed(self):
        # mm_b, made while the first listing reads the folder, is caught at
        # once but held only if it comes first: mm_a does.
        os.mkdir(self.path("big"))
        for number in range(30000):
            open(self.path(f"big/f{number:05}"), "wb").close()
        self.make_file("big/mm_a")
        for trial in range(3):
            with self.subTest(trial=trial):
                run = self.run_fileholder(["big/mm*"])
                self.expect_output(run, start_line("big/mm*"))
                self.make_file("big/mm_b")
                self.expect_quiet_output(run, start_line("big/mm*") + opened_line("big/mm_a") + DONE)
                run.stop()
                os.unlink(self.path("big/mm_b"))

    def test_match_made_while_a_large_folder_is_listed_opened_at_once(self):
        """A match made while the first listing reads a large folder is
        opened between its reads, before the listing is done: a file that
        lives less than the listing is caught. As an ordinary user: as root
        its maker's open would hand it over anyway."""
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path("big"))
        for number in range(30000):
            open(self.path(f"big/f{number:05}"), "wb").close()
        big, made = os.path.realpath(self.path("big")), os.path.realpath(self.path("big/mm_b"))
        for trial in range(3):
            with self.subTest(trial=trial):
                run = self.run_fileholder(["big/mm*"], user="nobody" if os.geteuid() == 0 else None)
                self.expect_output(run, start_line("big/mm*"))
                deadline = time.monotonic() + PATIENCE
                while big not in run.held_paths().values() and time.monotonic() < deadline:
                    time.sleep(0.0002)  # until the listing is under way
                with open(made, "wb") as file:
                    file.write(b"made\n")
                while time.monotonic() < deadline:
                    links = run.held_paths().values()
                    if made in links:
                        self.assertIn(big, links, "opened only once the listing was done")
                        break
                    time.sleep(0.0002)
                os.unlink(made)
                self.expect_output(run, start_line("big/mm*") + opened_line("big/mm_b") + DONE)
                run.stop()

    def test_known_link_tried_again_where_listing_fails(self):
        # matchL dangles; its folder then cannot be listed (search only).
        # Only trying the known match again finds its target once it appears.
        user = "nobody" if os.geteuid() == 0 else None
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path("d"))
        os.symlink("../target", self.path("d/matchL"))
        run = self.run_fileholder(["d/match*"], user=user)
        self.expect_output(run, start_line("d/match*"))
        self.assertTrue(run.stays_quiet(), "held a dangling link")
        os.chmod(self.path("d"), 0o711)
        self.assertTrue(run.stays_quiet(), "held a dangling link")
        self.make_file("target")
        self.expect_quiet_output(run, start_line("d/match*") + opened_line("d/matchL") + DONE)

    def test_unreadable_match_passed_over_then_held(self):
        # Root reads anything, so the program runs as an ordinary user there.
        user = "nobody" if os.geteuid() == 0 else None
        os.chmod(self.dir, 0o755)
        self.make_files(["u1.txt", "u2.txt"])
        os.chmod(self.path("u1.txt"), 0)
        os.chmod(self.path("u2.txt"), 0)
        run = self.run_fileholder(["u*.txt"], user=user)
        self.expect_output(run, start_line("u*.txt"))
        self.assertTrue(run.stays_quiet(), "held an unreadable file")
        os.chmod(self.path("u2.txt"), 0o644)
        self.expect_quiet_output(run, start_line("u*.txt") + opened_line("u2.txt") + DONE)
        self.assert_holds(run, "u2.txt")


def written_and_deleted(path, content):
    """A file that lives some microseconds: made, written, closed and deleted
    at once, as a program's scratch file may be."""
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
    os.write(fd, content)
    os.close(fd)
    os.unlink(path)


def terminal_number(pid):
    """The controlling terminal of process pid (0: none), from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[4])


# Root without the privilege to mark files' opens: the process as an
# ordinary user sees it, though it may read anything.
NO_MARKS = ("setpriv", "--bounding-set=-sys_admin", "--inh-caps=-sys_admin")


@unittest.skipUnless(os.geteuid() == 0, "the kernel hands files over to root only")
class HandedOver(Holding):
    """As root, the kernel hands over each file opened in the folders where
    the file is looked up, at its maker's own open: a file that lives some
    microseconds is held, even once deleted."""

    # label, name, what is made (n: the trial), the opened line's name.
    ROWS = [
        ("plain_name", "d/x.tmp", "d/x.tmp", None),
        ("last_component", "d/x*.tmp", "d/x{n}.tmp", "d/x{n}.tmp"),
        ("folder_pattern", "d/tmp*/x.tmp", "d/tmp.{n}/x.tmp", "d/tmp.{n}/x.tmp"),
    ]
    TRIALS = 20

    def private_mount(self, folder):
        """A file system of its own at folder: a folder pattern's mark is on
        the mount, and the other tests' opens on this one would be a storm."""
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", folder], check=False)

    def held_descriptor(self, run, made):
        """The descriptor that holds the deleted file made, as its link shows."""
        target = os.path.realpath(self.path(made)) + " (deleted)"
        return next((fd for fd, link in run.held_paths().items() if link == target), None)

    def assert_only_the_file(self, run, fd):
        """Standard input, output and error, and the file: nothing else stays
        open once it is held, the marks' group least of all. They are closed
        right after the done line."""
        deadline = time.monotonic() + PATIENCE
        while sorted(run.held_paths()) != [0, 1, 2, fd] and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(sorted(run.held_paths()), [0, 1, 2, fd], run.held_paths())

    def test_written_and_deleted_at_once(self):
        for label, name, made, opened in self.ROWS:
            for n in range(self.TRIALS):
                with self.subTest(label, trial=n):
                    self.setUp()
                    os.mkdir(self.path("d"))
                    if label == "folder_pattern":
                        self.private_mount(self.path("d"))
                    run = self.run_fileholder([name])
                    self.expect_output(run, start_line(name))
                    time.sleep(0.05)
                    file = made.format(n=n)
                    os.makedirs(os.path.dirname(self.path(file)), exist_ok=True)
                    content = f"trial {n} of {label}\n".encode()
                    written_and_deleted(self.path(file), content)
                    expected = start_line(name) + (opened_line(opened.format(n=n)) if opened else b"") + DONE
                    self.expect_output(run, expected)
                    fd = self.held_descriptor(run, file)
                    self.assertIsNotNone(fd, run.held_paths())
                    with open(f"/proc/{run.pid}/fd/{fd}", "rb") as held:
                        self.assertEqual(held.read(), content)
                    self.assert_only_the_file(run, fd)

    def test_opens_elsewhere_on_the_mount_wake_nothing(self):
        """A folder pattern's mark takes in the whole mount: other programs'
        opens there are read at the attempts, and wake nothing early; the
        early wake-ups stay for the events that may bring the file."""
        os.mkdir(self.path("d"))
        self.private_mount(self.path("d"))
        os.mkdir(self.path("d/elsewhere"))
        other = self.path("d/elsewhere/f")
        open(other, "wb").close()
        run = self.run_fileholder(["d/tmp*/x.tmp"])
        self.expect_output(run, start_line("d/tmp*/x.tmp"))
        time.sleep(0.3)

        def waits_a_second():
            before = run.status("voluntary_ctxt_switches")
            time.sleep(1)
            return run.status("voluntary_ctxt_switches") - before

        quiet = waits_a_second()
        # About 100 opens a second: within what reading them may cost.
        opener = subprocess.Popen([sys.executable, "-c", "import os, sys, time\nwhile True:\n"
                                   "    os.close(os.open(sys.argv[1], os.O_RDONLY))\n    time.sleep(0.01)\n",
                                   other])
        self.addCleanup(opener.wait)
        self.addCleanup(opener.kill)
        time.sleep(0.2)
        busy = waits_a_second()
        self.assertIn("anon_inode:[fanotify]", run.held_paths().values(), "the marks went")
        self.assertLess(busy, quiet * 1.05, f"{quiet} waits a second while quiet")
        os.mkdir(self.path("d/tmp.1"))
        with open(self.path("d/tmp.1/x.tmp"), "wb") as made:
            made.write(b"made\n")
        self.expect_output(run, start_line("d/tmp*/x.tmp") + opened_line("d/tmp.1/x.tmp") + DONE)

    def test_named_temporary_file_held_by_a_pattern(self):
        os.mkdir(self.path("d"))
        run = self.run_fileholder(["d/tmp*"])
        self.expect_output(run, start_line("d/tmp*"))
        time.sleep(0.05)
        with tempfile.NamedTemporaryFile(dir=self.path("d")) as scratch:
            scratch.write(b"scratch\n")
            made = os.path.relpath(scratch.name, self.dir)
        self.expect_output(run, start_line("d/tmp*") + opened_line(made) + DONE)
        fd = self.held_descriptor(run, made)
        self.assertIsNotNone(fd, run.held_paths())
        with open(f"/proc/{run.pid}/fd/{fd}", "rb") as held:
            self.assertEqual(held.read(), b"scratch\n")

    def test_without_the_privilege_as_before(self):
        """An ordinary user, and root without the privilege, wait without
        marks, and hold a file as always."""
        for label, options in [("nobody", dict(user="nobody")), ("no_sys_admin", {})]:
            with self.subTest(label):
                self.setUp()
                os.chmod(self.dir, 0o777)
                os.mkdir(self.path("d"))
                os.chmod(self.path("d"), 0o777)
                self.launcher = NO_MARKS if label == "no_sys_admin" else ()
                run = self.run_fileholder(["d/x.tmp"], **options)
                self.expect_output(run, start_line("d/x.tmp"))
                time.sleep(0.05)
                self.make_file("d/other")
                time.sleep(0.05)
                self.assertNotIn("anon_inode:[fanotify]", run.held_paths().values())
                self.make_file("d/x.tmp")
                self.expect_output(run, start_line("d/x.tmp") + DONE)
                self.assertIsNotNone(run.fd_of(self.path("d/x.tmp")))

    def test_descriptors_run_out_while_reading(self):
        """The parent leaves five descriptors free above the two the waiting
        takes: a burst of opens cannot all be handed over, the marks are
        given up, and the file is still held when it comes, as always."""
        filler = launcher(
            "import resource\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (120, 120))\n"
            "null = os.open('/dev/null', os.O_RDONLY)\n"
            "for fd in list(range(3, 31)) + list(range(38, 120)):\n"
            "    if fd != null:\n"
            "        os.dup2(null, fd, inheritable=True)\n"
            "os.set_inheritable(null, True)")
        os.mkdir(self.path("d"))
        self.launcher = filler
        run = self.run_fileholder(["d/x.tmp"])
        self.expect_output(run, start_line("d/x.tmp"))
        time.sleep(0.1)
        self.assertIn("anon_inode:[fanotify]", run.held_paths().values(), "no marks to give up")
        # Stopped meanwhile, so that the opens wait in the queue together.
        run.process.send_signal(signal.SIGSTOP)
        for n in range(40):
            open(self.path(f"d/other{n}"), "wb").close()
        run.process.send_signal(signal.SIGCONT)
        deadline = time.monotonic() + PATIENCE
        while "anon_inode:[fanotify]" in run.held_paths().values() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertNotIn("anon_inode:[fanotify]", run.held_paths().values(), "the marks were kept")
        self.make_file("d/x.tmp")
        self.expect_output(run, start_line("d/x.tmp") + DONE)
        self.assertIsNotNone(run.fd_of(self.path("d/x.tmp")))

    def test_a_session_leader_takes_no_terminal(self):
        """A session leader without a terminal takes the first it opens as its
        own, and the kernel opens each marked folder's files for it, a
        terminal made there too: such a terminal is given back at once. One
        with a terminal of its own takes no other. Both use the marks."""
        for label, options in [("leader_without_terminal", dict(launcher=("setsid",))),
                               ("leader_with_terminal", dict(stdin="pty"))]:
            with self.subTest(label):
                self.setUp()
                self.launcher = options.pop("launcher", ())
                self.newline = b"\r\n" if "stdin" in options else b"\n"
                run = self.run_fileholder(["/dev/pts/never"], **options)
                deadline = time.monotonic() + PATIENCE
                while os.getsid(run.pid) != run.pid and time.monotonic() < deadline:
                    time.sleep(0.01)  # setsid forks when it leads a group
                self.assertEqual(os.getsid(run.pid), run.pid)
                self.expect_output(run, start_line("/dev/pts/never"))
                had = terminal_number(run.pid)
                time.sleep(0.05)
                self.assertIn("anon_inode:[fanotify]", run.held_paths().values())
                master, slave = os.openpty()
                self.addCleanup(os.close, master)
                self.addCleanup(os.close, slave)
                # Opened by its path too: openpty may open it through the master.
                os.close(os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY))
                time.sleep(0.1)
                self.assertTrue(run.alive())
                self.assertEqual(terminal_number(run.pid), had, "its terminal changed")
                self.assertEqual(had != 0, "stdin" in options)


class PromptPath(Holding):
    CASES = PROMPT_CASES + [
        # Windows drops trailing spaces from file names; Linux keeps them.
        ("spaces_kept", b"  a b  \n", "  a b  ", True),
        # Bytes as given: the name ends at its CR or 0 byte, and nothing after
        # it is awaited (on Windows either may be part of UTF-16).
        ("cr_then_pipe_left_open", ("left_open", b"f\r"), "f", True),
        ("nul_then_pipe_left_open", ("left_open", b"g\0h"), "g", True),
        ("non_blocking", ("non_blocking_later", b"late.txt\n"), "late.txt", True),
    ]

    def test_from_pipe(self):
        self.check_prompt(self.CASES)

    # Standard input shared with the script that started fileholder: what
    # follows the name stays there for the script, in a file or a pipe.
    SHARED = [
        ("file", b"held.txt\nsecond line\n", b"second line\n"),
        ("file_crlf", b"held.txt\r\nsecond\n", b"\nsecond\n"),
        ("pipe", b"held.txt\nsecond line\n", b"second line\n"),
    ]

    def test_rest_of_shared_input_left_unread(self):
        for label, given, rest in self.SHARED:
            with self.subTest(label):
                self.setUp()
                self.make_file("held.txt")
                if label.startswith("file"):
                    self.make_file("input", given)
                    reader = os.open(self.path("input"), os.O_RDONLY)
                else:
                    reader, writer = os.pipe()
                    os.write(writer, given)
                    os.close(writer)
                self.addCleanup(os.close, reader)
                run = self.run_fileholder([], stdin=reader)
                self.expect_output(run, PROMPT + start_line("held.txt") + DONE)
                self.assertEqual(os.read(reader, 100), rest)

    # label, typed at the terminal, standard input non-blocking, name used.
    TYPED = [
        ("non_blocking", b"typed.txt\r", True, "typed.txt"),
        ("longest_line_kept", b"x" * 4094 + b"\r", False, "x" * 4094),
        # The terminal keeps 4,095 bytes of a line and drops the rest: a line
        # that fills them may have been cut, and names nothing.
        ("full_line_refused", b"x" * 5000 + b"\r", False, ""),
    ]

    def test_typed_at_the_terminal(self):
        for label, typed, nonblocking, name in self.TYPED:
            with self.subTest(label):
                self.setUp()
                run = self.run_fileholder([], stdin="pty", newline=b"\r\n",
                                          nonblocking=nonblocking)
                self.expect_output(run, PROMPT)
                run.type(typed)
                deadline = time.monotonic() + PATIENCE
                while not run.output.endswith(start_line(name)) and time.monotonic() < deadline:
                    run.stays_quiet(0.1)
                self.assertEqual(run.output[-len(start_line(name)) - 1:], b"\n" + start_line(name))

    def test_on_terminal_then_ctrl_c(self):
        self.make_file("typed.txt")
        run = self.run_fileholder([], stdin="pty", newline=b"\r\n")
        self.expect_output(run, PROMPT)
        run.type(b"typed.txt\r")
        expected = PROMPT + b"typed.txt\n" + start_line("typed.txt") + DONE
        self.expect_output(run, expected)
        self.assert_holds(run, "typed.txt")
        run.type(b"\x03")
        self.assertEqual(run.stop(None), -signal.SIGINT)
        # The terminal itself may echo ^C; the program adds nothing.
        self.assertIn(run.output[len(expected):], (b"", b"^C"))

    def run_fileholder(self, args, **options):
        newline = options.pop("newline", b"\n")
        self.newline = newline
        return super().run_fileholder(args, **options)


class BrokenOutput(Holding):
    def test_reader_gone_before_done_line(self):
        run = self.run_fileholder(["late.txt"])
        self.expect_output(run, start_line("late.txt"))
        run.close_reader()
        self.make_file("late.txt")
        self.assert_holds(run, "late.txt")
        time.sleep(QUIET)
        self.assertTrue(run.alive())

    def test_non_blocking_output_gets_the_whole_line(self):
        # More than a pipe holds: the rest waits for the reader, never lost.
        name = "n" * 100000
        self.launcher = launcher("fcntl.fcntl(1, fcntl.F_SETFL, os.O_NONBLOCK)")
        run = self.run_fileholder([name])
        time.sleep(QUIET)
        self.expect_quiet_output(run, start_line(name))

    def test_stdout_closed(self):
        # The held file may get descriptor 1: writing the messages to it must
        # fail, not change it.
        self.make_file("file.txt")
        run = self.run_fileholder(["file.txt"], stdout="closed")
        self.assert_holds(run, "file.txt")
        time.sleep(QUIET)
        self.assert_holds(run, "file.txt")


class WhileHolding(Holding):
    def held_run(self, content=b"content\n"):
        self.make_file("file.txt", content)
        run = self.run_fileholder(["file.txt"])
        self.expect_output(run, start_line("file.txt") + DONE)
        return run

    def test_no_wake_ups_and_one_thread(self):
        run = self.held_run()
        time.sleep(0.2)
        switches = lambda: run.status("voluntary_ctxt_switches") + run.status("nonvoluntary_ctxt_switches")
        before = switches()
        time.sleep(1.0)
        self.assertEqual(switches(), before)
        self.assertEqual(run.status("Threads"), 1)

    def test_needs_only_the_c_library(self):
        # The C++ runtime alone would add a megabyte to what it keeps resident.
        dynamic = subprocess.run([need_tool(self, "readelf"), "-d", binary()], capture_output=True,
                                 text=True, check=True).stdout
        needed = set(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic))
        if any(name.startswith(("libasan", "libubsan")) for name in needed):
            self.skipTest("the sanitizers' build links their runtimes")
        self.assertEqual(needed, {"libc.so.6"})

    def test_deleted_file_stays_readable(self):
        run = self.held_run(b"precious\n")
        fd = self.assert_holds(run, "file.txt", b"precious\n")
        os.unlink(self.path("file.txt"))
        with open(f"/proc/{run.pid}/fd/{fd}", "rb") as kept:
            self.assertEqual(kept.read(), b"precious\n")

    # Every signal whose default action ends a process ends it, but SIGPIPE:
    # a reader of its output going away must not end the hold.
    SIGNALS = [(signal.SIGINT, True), (signal.SIGTERM, True), (signal.SIGHUP, True),
               (signal.SIGQUIT, True), (signal.SIGKILL, True), (signal.SIGPIPE, False)]

    # A harness that blocked them before exec must not make it immune.
    BLOCKED = launcher("signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGTERM, "
                       "signal.SIGHUP])")

    def test_signals_end_it_silently(self):
        for sig, ends in self.SIGNALS:
            for phase in ("polling", "holding", "blocked_by_the_parent"):
                with self.subTest(signal=sig.name, phase=phase):
                    self.setUp()
                    self.launcher = self.BLOCKED if phase == "blocked_by_the_parent" else ()
                    if phase == "holding":
                        run = self.held_run()
                        expected = start_line("file.txt") + DONE
                    else:
                        run = self.run_fileholder(["absent"])
                        expected = start_line("absent")
                        self.expect_output(run, expected)
                        self.assertEqual(run.status("Threads"), 1)
                    if ends:
                        self.assertEqual(run.stop(sig), -sig)
                    else:
                        run.process.send_signal(sig)
                        self.assertTrue(run.stays_quiet(), "it wrote")
                        self.assertTrue(run.alive(), "it ended")
                        self.assertEqual(run.stop(), -signal.SIGTERM)
                    self.assertEqual(run.output, expected)


class SystemCalls(Case):
    """What the program asks of the kernel, read with strace."""

    CALLS = "openat,open,close,fstat,newfstatat,statx,nanosleep,clock_nanosleep,pause,ppoll," \
            "inotify_init1,inotify_add_watch,inotify_rm_watch,rt_sigaction,clone,clone3,fork," \
            "vfork,write,read,prctl,fanotify_init,fanotify_mark"

    def traced(self, name, user=None):
        """fileholder on name under strace, as user; returns the run and the
        trace's path."""
        strace = need_tool(self, "strace")
        trace = self.path("trace")
        os.chmod(self.dir, 0o777)
        self.launcher = (strace, "-f", "-qq", "-s", "128", "-o", trace, "-e", "trace=" + self.CALLS)
        run = self.run_fileholder([name], user=user)
        self.expect_output(run, start_line(name))
        return run, trace

    def end_traced(self, run, trace):
        """Ends the traced program, then strace; returns the trace's lines."""
        time.sleep(0.2)
        children = open(f"/proc/{run.pid}/task/{run.pid}/children").read().split()
        self.assertEqual(len(children), 1)
        os.kill(int(children[0]), signal.SIGTERM)
        run.process.wait(PATIENCE)
        return open(trace).read().splitlines()

    def test_poll_and_hold(self):
        """Polls sub/node: sub is made after the start, then node in it as a
        folder, which never counts, then as a file renamed into place; as
        an ordinary user, and as root, who also marks sub for the opens of
        its files, and is handed the file written before the rename."""
        for user in ["nobody", None] if os.geteuid() == 0 else [None]:
            with self.subTest(user=user or "this user"):
                self.setUp()
                run, trace = self.traced("sub/node", user)
                time.sleep(0.3)
                os.makedirs(self.path("sub/node"))
                os.chmod(self.path("sub"), 0o777)
                time.sleep(0.3)
                with open(self.path("sub/other"), "wb"):  # an open of another file there
                    pass
                time.sleep(0.1)
                os.rmdir(self.path("sub/node"))
                self.make_file("sub/node")
                self.expect_output(run, start_line("sub/node") + DONE)
                self.check_trace(self.end_traced(run, trace), marks=user is None and os.geteuid() == 0)

    def test_watch_follows_a_renamed_folder_above(self):
        """The folder above is renamed away and made anew: the watch moves to
        the new folder, and sees what happens there."""
        os.makedirs(self.path("anc/a/b"))
        run, trace = self.traced("anc/a/b/f")
        time.sleep(0.3)
        os.rename(self.path("anc/a"), self.path("anc/a.old"))
        os.makedirs(self.path("anc/a/b"))
        time.sleep(0.5)  # long enough for the watch to be checked a few times
        self.make_file("anc/a/b/other")
        time.sleep(0.2)
        self.make_file("anc/a/b/f")
        self.expect_output(run, start_line("anc/a/b/f") + DONE)
        calls = [line.split(None, 1)[1] for line in self.end_traced(run, trace)]
        watch = re.compile(r'inotify_add_watch\((\d+), "anc/a/b", .*\) = (\d+)$')
        watches = [m.groups() for m in map(watch.match, calls) if m]
        self.assertEqual(len({wd for _, wd in watches}), 2, "the watch never moved to the new folder")
        # The event about another file in the new folder was read: the watch
        # is on that folder, not on the one renamed away.
        self.assertTrue(any(re.match(rf'read\({watches[0][0]}, ".*other', c) for c in calls),
                        "no event from the new folder")

    ATTEMPT = re.compile(r'openat\(AT_FDCWD, "sub/node", O_RDONLY\|O_NOCTTY\|O_NONBLOCK\) = (-1|\d+)')
    SLEEP = re.compile(r"(clock_)?nanosleep\(.*\{tv_sec=0, tv_nsec=1000000\}")
    # Every wait on the watch starts with the whole millisecond.
    # A wait on the watch lasts to the end of the 1 ms period: the whole of
    # it, or what an early wake-up left of it.
    # The second descriptor: the marks' queue, where there are marks.
    WAIT = re.compile(r"ppoll\(\[\{fd=(\d+), events=POLLIN\}(?:, \{fd=(-1|\d+)(?:, events=POLLIN)?\})?\], "
                      r"([12]), \{tv_sec=0, tv_nsec=(\d+)\}")
    REST = re.compile(r"ppoll\(|read\(\d+, |clock_nanosleep\(CLOCK_MONOTONIC, TIMER_ABSTIME")
    # The group for the opens in sub, once sub exists, and its mark on sub.
    # A file the kernel handed over: closed, or looked at and held.
    HANDED = re.compile(r'(?:close|newfstatat)\((\d+)(?:, "")?')
    # An ordinary user is refused the group, once.
    MARKS = re.compile(r"fanotify_init\(FAN_CLASS_NOTIF\|FAN_CLOEXEC\|FAN_NONBLOCK.*, "
                       r"O_RDONLY\|O_NONBLOCK(?:\|O_LARGEFILE)?\|O_CLOEXEC\) = (\d+|-1 EPERM .*)$"
                       r"|fanotify_mark\((\d+), FAN_MARK_ADD\|FAN_MARK_ONLYDIR, FAN_OPEN\|FAN_EVENT_ON_CHILD, "
                       r'AT_FDCWD, "sub"\) = (?:0|-1 ENOENT .*)$'
                       # A new folder at the name: the old one's marks go.
                       r"|fanotify_mark\((\d+), (?:FAN_MARK_MOUNT\|)?FAN_MARK_FLUSH, 0, AT_FDCWD, NULL\) = 0$")
    # Creations, renames in and attribute changes; never writes or closes.
    WATCH = re.compile(r'inotify_add_watch\((\d+), "sub", IN_ATTRIB\|IN_MOVED_TO\|IN_CREATE\|'
                       r"IN_DELETE_SELF\|IN_MOVE_SELF\|IN_ONLYDIR\) = (-1|\d+)")

    def check_trace(self, lines, marks):
        pids = {line.split()[0] for line in lines}
        self.assertEqual(len(pids), 1, "more than one thread or process")
        calls = [line.split(None, 1)[1] for line in lines]
        for call in calls:
            self.assertNotRegex(call, r"^rt_sigaction\(SIG(INT|TERM),", "a handler was installed")
            self.assertNotRegex(call, r"^(clone|clone3|fork|vfork)\(")
        self.assertTrue(any(re.match(r"rt_sigaction\(SIGPIPE, \{sa_handler=SIG_IGN", c) for c in calls))
        self.assertTrue(any(re.match(r"prctl\(PR_SET_TIMERSLACK, 1\) += 0", c) for c in calls),
                        "the 1 ms pauses may be stretched by timer slack")
        start = next(i for i, c in enumerate(calls) if c.startswith('write(1, "- start fopen() loop'))
        polling = calls[start + 1:]
        self.assertRegex(polling[0], self.ATTEMPT, "the first attempt must not wait")
        plain = watched = whole = opened_folders = queue_reads = 0
        watch_results, instance, group, refused, i = [], None, None, False, 0
        held_fd = None
        while held_fd is None:
            match = self.ATTEMPT.match(polling[i])
            self.assertIsNotNone(match, polling[i])
            fd = match.group(1)
            if fd == "-1":
                i += 1
            elif "S_IFDIR" in polling[i + 1]:
                self.assertTrue(polling[i + 2].startswith(f"close({fd})"), polling[i + 2])
                opened_folders += 1
                i += 3
            else:
                self.assertIn("S_IFREG", polling[i + 1])
                held_fd, rest = fd, polling[i + 2:]
                break
            # As root, the opens queued are read once the name did not open:
            # each file is closed at once, or held where it is the name's.
            while group and polling[i].startswith(f"read({group}, "):
                queue_reads += 1
                i += 1
                while (handed := self.HANDED.match(polling[i])):
                    if polling[i].startswith("newfstatat("):
                        self.assertIn("S_IFREG", polling[i])
                        held_fd, rest = handed.group(1), polling[i + 1:]
                        break
                    i += 1
            if held_fd is not None:
                break
            # The pause: set the watch up if there is none, then wait on it,
            # or sleep the millisecond where there is no watch.
            if polling[i].startswith("inotify_init1("):
                self.assertIsNone(instance, "a second inotify instance")
                instance = re.search(r"= (\d+)$", polling[i]).group(1)
                i += 1
            watch = self.WATCH.match(polling[i])
            if watch:
                self.assertEqual(watch.group(1), instance)
                watch_results.append(watch.group(2))
                i += 1
                while polling[i].startswith("fanotify_"):
                    mark = self.MARKS.match(polling[i])
                    self.assertIsNotNone(mark, polling[i])
                    if mark.group(1) and mark.group(1).startswith("-1"):
                        self.assertFalse(marks or refused, "asked again after a refusal")
                        refused = True
                    else:
                        group = group or mark.group(1)
                        self.assertIn(mark.group(2), (None, group))
                        self.assertIn(mark.group(3), (None, group))
                    i += 1
            if polling[i].startswith(f"read({instance}, "):
                i += 1  # a busy folder's events, drained before a plain pause
            if self.SLEEP.match(polling[i]):
                plain += 1
            else:
                wait = self.WAIT.match(polling[i])
                self.assertIsNotNone(wait, polling[i])
                self.assertEqual(wait.group(1), instance, polling[i])
                self.assertIn(wait.group(2), (None, "-1", group), polling[i])
                self.assertLessEqual(int(wait.group(4)), 1000000)
                whole += wait.group(4) == "1000000"
                watched += 1
            i += 1
            while self.REST.match(polling[i]):
                queue_reads += group is not None and polling[i].startswith(f"read({group}, ")
                i += 1
        self.assertEqual(watch_results[0], "-1", "sub did not exist at first")
        self.assertNotEqual(watch_results[-1], "-1", "sub was never watched")
        self.assertGreater(len(watch_results), 1)
        self.assertGreater(plain, 10)
        self.assertGreater(watched, 10)
        self.assertGreater(whole, watched // 2, "most periods are quiet, and waited whole")
        self.assertGreater(opened_folders, 0)
        self.assertEqual(group is not None, marks, "marks only as root, and then on sub")
        if marks:
            self.assertGreater(queue_reads, 0, "the opens queued were never read")
        # Each message leaves whole, in one write.
        self.assertRegex(calls[start], r'^write\(1, "- start fopen\(\) loop on sub/node\\n", 33\) += 33$')
        self.assertEqual([c for c in rest if c.startswith("write(1,")],
                         [rest[0]], "the done line comes first, in one write")
        self.assertRegex(rest[0], r'^write\(1, "- done, press CTRL-C when you want to quit\\n", 43\) += 43$')
        # The marks and the watch are released after the done line, and only
        # the file is held.
        idle = [c for c in rest if not c.startswith("write(1,")]
        if marks:
            self.assertRegex(idle.pop(0), rf"^close\({group}\) += 0$")
        self.assertRegex(idle[0], rf"^close\({instance}\) += 0$")
        self.assertTrue(idle[1].startswith("pause("), idle)
        self.assertEqual(idle[-1], "+++ killed by SIGTERM +++")
        self.assertFalse(any(c.startswith(f"close({held_fd})") for c in rest))


class EventStorm(Case):
    """Events as fast as a loop can make them, about the awaited name itself
    or about a large folder's entries: following each one would show either
    as wake-ups by the thousand or, once they come faster than a wait can
    sleep, as a spin at a whole core; listing the folder for them, as CPU
    many times that of a quiet wait."""

    # Each loads the folder (argv[1]) nonstop.
    TOUCH = "import os, sys\nwhile True:\n    os.utime(sys.argv[1])\n"
    # The others make 10,000 events a second (each step then waits for its
    # time), a rate at which any machine reads them all, sanitizers or not.
    STEADY = ("import os, sys, time\nstart, n = time.monotonic(), 0\nwhile True:\n"
              "    n += 1\n    ahead = n / 10000 - (time.monotonic() - start)\n"
              "    if ahead > 0.001:\n        time.sleep(ahead)\n")
    CHURN = STEADY + ("    path = os.path.join(sys.argv[1], f'tmp{n}')\n"
                      "    os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0))\n    os.unlink(path)\n")
    FLOOD = STEADY + "    os.utime(os.path.join(sys.argv[1], ('other_1', 'other_2')[n % 2]))\n"
    LINKS = STEADY + ("    os.utime(os.path.join(sys.argv[1], ('mm_link1', 'mm_link2')[n % 2]),"
                      " follow_symlinks=False)\n")
    BIG = 20000

    # label, name awaited, the folder loaded (None: a folder at the name,
    # made once the quiet wait is measured), the load, whether it runs as
    # another user than root (matches unreadable), the match made after it.
    STORMS = [
        ("folder_at_the_name_touched", "node", None, TOUCH, False, None),
        ("matching_churn_in_a_big_folder", "big/tmp*", "big", CHURN, True, "big/tmp_new"),
        ("other_names_touched_in_a_big_folder", "big/mm*", "big", FLOOD, False, "big/mm_new"),
        ("matching_dangling_links_touched", "big/mm*", "big", LINKS, False, "big/mm_new"),
    ]

    def usage(self, run, seconds=1.0):
        """CPU nanoseconds and waits (voluntary context switches) a second."""
        def now():
            with open(f"/proc/{run.pid}/schedstat") as schedstat:
                return int(schedstat.read().split()[0]), run.status("voluntary_ctxt_switches")
        before = now()
        time.sleep(seconds)
        return [(after - first) / seconds for after, first in zip(now(), before)]

    def big_folder(self):
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path("big"))
        for number in range(self.BIG):
            open(self.path(f"big/f{number:05}"), "wb").close()
        for name in ("other_1", "other_2"):
            open(self.path(f"big/{name}"), "wb").close()
        for name in ("mm_link1", "mm_link2"):
            os.symlink("nowhere", self.path(f"big/{name}"))

    def test_nonstop_events(self):
        for label, name, folder, load, other_user, match in self.STORMS:
            with self.subTest(label):
                self.setUp()
                if folder:
                    self.big_folder()
                user = "nobody" if other_user and os.geteuid() == 0 else None
                run = self.run_fileholder([name], user=user)
                self.expect_output(run, start_line(name))
                time.sleep(0.5)
                quiet_cpu, quiet_waits = self.usage(run)
                if not folder:
                    os.mkdir(self.path(name))
                storm = subprocess.Popen([sys.executable, "-c", load, self.path(folder or name)])
                self.addCleanup(storm.wait)
                self.addCleanup(storm.kill)
                time.sleep(0.2)
                storm_cpu, storm_waits = self.usage(run)
                self.assertIsNone(storm.poll(), "the storm stopped")
                print(f"\n{label}: quiet: {quiet_cpu / 1e7:.2f}% of a core, {quiet_waits:.0f} waits/s;"
                      f" storm: {storm_cpu / 1e7:.2f}% of a core, {storm_waits:.0f} waits/s")
                self.assertLess(storm_waits, 3 * quiet_waits, "it wakes for every event")
                self.assertLess(storm_cpu, 5 * quiet_cpu, "it spins, or lists, on the events")
                self.assertTrue(run.alive())
                self.assertEqual(run.output, start_line(name))
                if match:
                    # After the storm, a new match is held as in a quiet folder.
                    storm.kill()
                    self.make_file(match)
                    self.expect_quiet_output(run, start_line(name) + opened_line(match) + DONE)


def readme_example(heading):
    """The first sh block of README.md after the heading."""
    with open(os.path.join(SOURCE_DIR, "README.md")) as readme:
        text = readme.read()
    return re.search(r"^```sh\n(.*?)^```$", text[text.index(heading):], re.M | re.S).group(1)


def page_examples():
    """The man page's example blocks, as text a shell would run."""
    with open(os.path.join(SOURCE_DIR, "doc", "fileholder.1")) as page:
        blocks = re.findall(r"^\.EX\n(.*?)^\.EE$", page.read(), re.M | re.S)
    return [block.replace("\\-", "-").replace("\\&", "") for block in blocks]


def markdown_pages():
    """README.md and the pages under doc/, as paths from the source folder."""
    pages = glob.glob(os.path.join(SOURCE_DIR, "doc", "*.md"))
    return ["README.md"] + sorted(os.path.relpath(page, SOURCE_DIR) for page in pages)


def anchors(page):
    """The anchors of a Markdown page's headings, as GitHub makes them."""
    with open(os.path.join(SOURCE_DIR, page)) as file:
        text = re.sub(r"^```.*?^```$", "", file.read(), flags=re.M | re.S)
    headings = re.findall(r"^#+ (.*)$", text, re.M)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


class Documentation(Holding):
    """The README's scripts run as written; the man page shows the same;
    the links between the pages lead somewhere."""

    def test_links_lead_to_files_and_headings(self):
        pages = markdown_pages()
        self.assertIn(os.path.join("doc", "windows.md"), pages)
        for page in pages:
            with open(os.path.join(SOURCE_DIR, page)) as file:
                links = re.findall(r"\]\(([^)\s]+)\)", file.read())
            for link in links:
                if re.match(r"[a-z]+:", link):
                    continue  # another site
                with self.subTest(page=page, link=link):
                    path, _, anchor = link.partition("#")
                    target = os.path.normpath(os.path.join(os.path.dirname(page), path or
                                                           os.path.basename(page)))
                    self.assertTrue(os.path.isfile(os.path.join(SOURCE_DIR, target)), target)
                    if anchor:
                        self.assertIn(anchor, anchors(target))

    def example(self, heading):
        script = readme_example(heading)
        self.assertIn(script, page_examples(), "the man page shows another script")
        return script

    def run_bash(self, script, folder=None, succeeds=True):
        """Runs the script in folder, whose path as given is the shell's $PWD."""
        folder = folder or self.dir
        path = os.path.dirname(binary()) + os.pathsep + os.environ["PATH"]
        # A file, not a pipe: what the script leaves running may keep a pipe open.
        with open(self.path("script.log"), "w+b") as log:
            bash = subprocess.Popen(["bash", "-c", script], cwd=folder, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT,
                                    env=dict(os.environ, PATH=path, PWD=folder),
                                    start_new_session=True)
            self.addCleanup(self.end_group, bash)
            code = bash.wait(PATIENCE)
            log.seek(0)
            output = log.read()
        self.assertEqual(code == 0, succeeds, output)
        return output

    def end_group(self, bash):
        """Ends what the script left running, which shares its process group."""
        try:
            os.killpg(bash.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        bash.wait()

    def holders(self, name):
        target = os.path.realpath(self.path(name))
        pids = set()
        for link in glob.glob("/proc/[0-9]*/fd/*"):
            try:
                if os.readlink(link) == target:
                    pids.add(int(link.split("/")[2]))
            except OSError:
                pass
        return pids

    def test_script_holds_the_file_and_its_kill_ends_that(self):
        script = self.example("### Waiting until the file is held")
        os.mkdir(self.path("build"))
        self.make_file("build/output.tmp")
        held_now = "# ... the file is held now ...\n"
        self.assertIn(held_now, script)
        check = 'find "/proc/$holder_PID/fd" -lname "$(pwd -P)/build/output.tmp" | grep -q . || exit 3\n'
        self.run_bash(script.replace(held_now, check))
        deadline = time.monotonic() + PATIENCE
        while self.holders("build/output.tmp") and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(self.holders("build/output.tmp"), set())

    def test_recovery_copies_the_deleted_file(self):
        script = self.example("### Recovering a deleted file on Linux")
        self.assertIn('"$(pwd -P)/', script)
        # The recipe as it was: $PWD is the path a symlink gave, not the one /proc shows.
        logical = script.replace('"$(pwd -P)/', '"$PWD/')
        physical = os.path.realpath(self.dir)
        os.symlink(physical, self.path("link"))
        os.mkdir(self.path("build"))
        self.make_file("other.tmp")
        self.make_file("build/output.tmp", b"precious\n")
        other = self.run_fileholder(["other.tmp"])
        self.expect_output(other, start_line("other.tmp") + DONE)
        # Standard output closed: it holds the file on descriptor 1, the other on 3.
        run = self.run_fileholder(["build/output.tmp"], stdout="closed")
        fd = run.fd_of(self.path("build/output.tmp"))
        self.assertIsNotNone(fd)
        os.unlink(self.path("build/output.tmp"))
        held = f"/proc/{run.pid}/fd/{fd}\n".encode()
        # recipe, the folder the shell starts in, whether the file is recovered
        cases = [
            ("pwd_p", script, physical, True),
            ("pwd_p_through_symlink", script, self.path("link"), True),
            ("dollar_pwd", logical, physical, True),
            ("dollar_pwd_through_symlink", logical, self.path("link"), False),
        ]
        for label, recipe, folder, recovers in cases:
            with self.subTest(label):
                if os.path.exists(self.path("recovered.tmp")):
                    os.unlink(self.path("recovered.tmp"))
                output = self.run_bash(recipe, folder, succeeds=recovers)
                self.assertEqual(os.path.exists(self.path("recovered.tmp")), recovers)
                if recovers:
                    self.assertEqual(output, held)
                    with open(self.path("recovered.tmp"), "rb") as recovered:
                        self.assertEqual(recovered.read(), b"precious\n")


if __name__ == "__main__":
    unittest.main()
