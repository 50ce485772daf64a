"""End-to-end tests of fileholder.exe under Wine: real Windows processes.

CTest runs them with FILEHOLDER_BINARY (the .exe, 32- or 64-bit),
FILEHOLDER_WINDOWS_BITS (which of the two), FILEHOLDER_WINE (the Wine loader
that runs it), FILEHOLDER_LOCKER (the helper that locks a file,
tests/windows/hold_exclusive.cpp) and FILEHOLDER_WINE_PREFIX_FILE (where
tests/windows/wine_prefix.py wrote the path of the prefix it set up for this
run). The 32-bit tier runs some rows of the tables below only: those that
FILEHOLDER_WINDOWS_ROWS names (see selected).
"""

import os
import re
import shlex
import struct
import subprocess
import sys
import termios
import time
import unittest
from xml.etree import ElementTree

from cases import ARGUMENT_CASES, PATTERN_CASES, PROMPT_CASES
from runner import DONE, PATIENCE, PROMPT, Case, binary, need_tool, opened_line, start_line

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
from wine_prefix import tools_loader, wine_loader  # noqa: E402

CRLF = b"\r\n"


def skip_or_fail(test, message):
    if os.environ.get("CI") == "true":
        test.fail(message + " (CI must run every test)")
    test.skipTest(message)


def selected(table):
    """The rows of a table of cases that this run takes: all of them, or those
    whose labels FILEHOLDER_WINDOWS_ROWS names (comma-separated), as the
    32-bit tier does, where each start of the program takes seconds."""
    wanted = [label for label in os.environ.get("FILEHOLDER_WINDOWS_ROWS", "").split(",") if label]
    if not wanted:
        return table
    unknown = set(wanted) - {row[0] for row in table}
    if unknown:
        raise AssertionError(f"FILEHOLDER_WINDOWS_ROWS names no row of this table: {unknown}")
    return [row for row in table if row[0] in wanted]


class WineCase(Case):
    """fileholder.exe and other Windows programs started through Wine."""

    newline = CRLF

    def setUp(self):
        super().setUp()
        loader, settings = wine_loader()
        self.launcher = (need_tool(self, loader),)
        # Wine's own programs: the 32-bit tier runs them with the 64-bit loader.
        self.tools = (need_tool(self, tools_loader()),)
        state_file = os.environ.get("FILEHOLDER_WINE_PREFIX_FILE", "")
        if not os.path.isfile(state_file):
            skip_or_fail(self, "no Wine prefix: run these tests through CTest")
        with open(state_file) as state:
            prefix = state.read().strip()
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", **settings)

    def run_fileholder(self, args, **options):
        options.setdefault("env", self.env)
        return super().run_fileholder(args, **options)

    def in_dir(self, name):
        return name.replace("{dir}", "Z:" + self.dir.replace("/", "\\"))

    def windows_program(self, *command):
        """Runs another Windows program in the scratch folder to its end."""
        return subprocess.run([*self.tools, *command], cwd=self.dir, env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=PATIENCE * 2)


class ArgumentPath(WineCase):
    CASES = ARGUMENT_CASES + [
        # One component longer than any Windows allows: shown whole, never opened.
        ("too_long_for_the_system", ["n" * 1500], [], "n" * 1500, False),
        # Any name opens; on a pipe the start line is in the ANSI code page,
        # byte for byte what it always was.
        ("cyrillic_and_cjk", ["файл-日本.txt"], ["файл-日本.txt"], b"????-??.txt", True),
        ("ansi_name", ["café.txt"], ["café.txt"], b"caf\xe9.txt", True),
        # No "best fit" look-alike stands in for a character the code page
        # lacks: a\b.txt would be another path.
        ("no_look_alike_backslash", ["a\uff3cb.txt"], ["a\uff3cb.txt"], b"a?b.txt", True),
        ("no_look_alike_letters", ["\uff46\uff49\uff4c\uff45.txt"],
         ["\uff46\uff49\uff4c\uff45.txt"], b"????.txt", True),
        ("no_look_alike_omega", ["\u03a9.txt"], ["\u03a9.txt"], b"?.txt", True),
        # One ? for a character beyond the BMP, two UTF-16 units.
        ("beyond_the_bmp", ["\U0001f600.txt"], ["\U0001f600.txt"], b"?.txt", True),
    ]

    # As PATTERN_CASES. fileholder expands the argument itself: a pattern that
    # matches a file at the start is its first match, in ordinal order
    # ignoring case, and is then a literal name. Only long names match.
    WILDCARDS = PATTERN_CASES + [
        ("one_match", "*.log", False, ["only.log", "other.txt"], [], "only.log", None),
        ("name_order_ignoring_case", "*.txt", False, ["B1.txt", "a2.txt"], [], "a2.txt", None),
        ("question_mark", "f?.dat", False, ["f10.dat", "f1.dat"], [], "f1.dat", None),
        ("case_insensitive", "S*.TXT", False, ["s1.txt"], [], "s1.txt", None),
        ("in_folder", "sub\\*.txt", False, ["sub/x.txt"], [], "sub\\x.txt", None),
        ("quoted_for_a_space", "my logs\\*.log", False, ["my logs/b.log", "my logs/a.log"], [],
         "my logs\\a.log", None),
        # 1.abcdef's 8.3 name, which Wine makes too, is 1~~~~G30.ABC.
        ("never_the_short_name", "*.abc", False, ["1.abcdef"], ["2.abc"], "*.abc", "2.abc"),
        ("typed_case_insensitive", "X*", True, [], ["xy"], "X*", "xy"),
        # The ? of a long-path prefix is no wildcard.
        ("long_path_prefix", "\\\\?\\{dir}\\f.txt", False, ["f.txt"], [], "\\\\?\\{dir}\\f.txt",
         None),
        ("long_path_prefix_pattern", "\\\\?\\{dir}\\*.txt", True, [], ["f.txt"],
         "\\\\?\\{dir}\\*.txt", "\\\\?\\{dir}\\f.txt"),
        # Wildcards in folders match folders only (is-0.tmp is a file), in
        # name order, folder by folder; literal components stay as given.
        ("random_folder_made_later", "is-*.tmp\\setup.tmp", False, ["is-0.tmp"],
         ["is-4FQ2P.tmp/setup.tmp"], "is-*.tmp\\setup.tmp", "is-4FQ2P.tmp\\setup.tmp"),
        ("order_across_folders", "d*\\*.txt", True, ["d2/a.txt", "d10/a.txt", "d1/z.txt"], [],
         "d*\\*.txt", "d1\\z.txt"),
        ("chain_appears_later", "b\\c-*\\d\\e?.txt", False, [], ["b/c-9/d/e1.txt"],
         "b\\c-*\\d\\e?.txt", "b\\c-9\\d\\e1.txt"),
        ("fixed_folder_below_wildcard", "W*\\FIXED\\f.TXT", True, ["w1/other/f.txt", "w2/fixed/"],
         ["w2/fixed/f.txt"], "W*\\FIXED\\f.TXT", "w2\\FIXED\\f.TXT"),
        # ** is two stars, never recursive; . and .. never match.
        ("double_star_one_level", "**\\x.txt", True, ["x.txt", "a/b/x.txt"], ["c/x.txt"],
         "**\\x.txt", "c\\x.txt"),
        ("expanded_through_a_folder", "e*\\f*.txt", False, ["e1/g.txt", "e2/f1.txt", "e3.txt"], [],
         "e2\\f1.txt", None),
        # Windows' own habits: *.* is *, *. has no extension, trailing spaces
        # and dots are dropped, quotes around a typed name too.
        ("star_dot_star_any_name", "*.*", False, ["README"], [], "README", None),
        ("star_dot_no_extension", "*.", True, ["a.txt"], ["Makefile"], "*.", "Makefile"),
        # A final .* also takes a name without an extension, as dir setup.* does.
        ("final_dot_star_takes_no_extension", "setup.*", True, ["setupx"], ["setup"], "setup.*",
         "setup"),
        ("dot_star_expanded_to_a_name_without_extension", "setup.*", False,
         ["setup.txt", "setup"], [], "setup", None),
        ("trailing_space_and_dot", "x*.txt .", True, ["x.dat"], ["xa.txt"], "x*.txt .", "xa.txt"),
        ("typed_in_quotes", '"q*.txt" ', True, [], ["q1.txt"], "q*.txt", "q1.txt"),
        # A folder component that is not the last keeps its trailing spaces
        # and loses one trailing dot, as Windows reads a path: "sp " is not
        # "sp", "d.." is "d.".
        ("trailing_space_kept_in_a_folder", "w*\\sp \\x.txt", True, ["w1/sp/x.txt"],
         ["w1/sp /x.txt"], "w*\\sp \\x.txt", "w1\\sp \\x.txt"),
        ("one_trailing_dot_dropped_from_a_folder", "w*\\d..\\x.txt", True, ["w1/d/x.txt"],
         ["w1/d./x.txt"], "w*\\d..\\x.txt", "w1\\d..\\x.txt"),
        # Windows reads nothing into a \\?\ name: a trailing dot stays.
        ("long_path_prefix_trailing_dot_kept", "\\\\?\\{dir}\\w*\\tr.", True, ["w1/tr"],
         ["w1/tr."], "\\\\?\\{dir}\\w*\\tr.", "\\\\?\\{dir}\\w1\\tr."),
        # ? is one character beyond the BMP (shown on a pipe as ?).
        ("beyond_the_bmp_one_character", "emoji?.txt", True, ["emojiab.txt"],
         ["emoji\U0001f600.txt"], "emoji?.txt", "emoji?.txt"),
        # tr. would open tr: such a first match is not the argument's name;
        # the pattern waits and opens tr. itself (see WhileHolding).
        ("never_expanded_to_a_name_read_otherwise", "tr?", False, ["tr", "tr."], [], "tr?", "tr."),
    ]

    # label, name, typed, files made, name in the start line. Read as Windows
    # reads it, the name stands for none of the files, and it waits: in a
    # \\?\ name / is no separator and .. no step up, so Windows opens no
    # such name (error 123), whatever the folders hold.
    NEVER_HELD = [
        ("long_path_prefix_slash_is_no_separator", "\\\\?\\{dir}\\a*/x.txt", True,
         ["aQ/x.txt"], "\\\\?\\{dir}\\a*/x.txt"),
        ("long_path_prefix_slash_argument", "\\\\?\\{dir}\\a*/x.txt", False, ["aQ/x.txt"],
         "\\\\?\\{dir}\\a*/x.txt"),
        ("long_path_prefix_dot_dot_is_no_step", "\\\\?\\{dir}\\a*\\..\\nul\\nul", True,
         ["aQ/", "nul/nul"], "\\\\?\\{dir}\\a*\\..\\nul\\nul"),
    ]

    def test_cases(self):
        self.check_arguments(selected(self.CASES))

    def test_never_held(self):
        for label, name, typed, files, shown in selected(self.NEVER_HELD):
            with self.subTest(label):
                self.setUp()
                self.make_files(files)
                name, shown = self.in_dir(name), self.in_dir(shown)
                run = self.run_fileholder([] if typed else [name],
                                          stdin=name.encode() + b"\n" if typed else None)
                self.expect_output(run, (PROMPT if typed else b"") + start_line(shown))
                # Long enough for a hundred attempts, spaced as in a quiet folder.
                self.assertTrue(run.stays_quiet(1.0), "held a file the name does not name")
                self.assertTrue(run.alive())

    def test_wildcards(self):
        self.check_patterns(selected(self.WILDCARDS))


class FileBecomesOpenable(WineCase):
    # label, how the helper holds the first match in name order (its
    # options: none locks it, as share mode 0), the argument, that first
    # match, the files after it, the name in the start line. The argument
    # stands for the first match that opens at the start, never for one that
    # does not open: a file opened for deletion on close never opens for
    # fileholder at all.
    HELD_FIRST = [
        ("locked_first_match_passed_over", [], "*\\x.txt", "a2/x.txt", ["b1/x.txt"],
         "b1\\x.txt"),
        ("delete_on_close_first_match_passed_over", ["--delete-on-close"], "*\\x.txt",
         "a2/x.txt", ["b1/x.txt"], "b1\\x.txt"),
    ]

    def test_created_later(self):
        self.check_caught("late.txt", lambda: None, lambda: self.make_file("late.txt"))

    def test_directory_never_opens(self):
        self.check_folder_replaced_by_file()

    def hold_elsewhere(self, name, *options):
        """Has the helper hold name as another program would, until the
        function returned is called."""
        locker_exe = os.environ.get("FILEHOLDER_LOCKER")
        if not locker_exe:
            skip_or_fail(self, "FILEHOLDER_LOCKER is not set")

        def end(process):
            process.kill()
            process.wait(PATIENCE)
            process.stdin.close()
            process.stdout.close()

        locker = subprocess.Popen([*self.launcher, locker_exe, *options, name.replace("/", "\\")],
                                  cwd=self.dir, env=self.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.addCleanup(end, locker)
        self.assertEqual(locker.stdout.readline(), b"locked" + CRLF)

        def release():
            locker.stdin.close()
            self.assertEqual(locker.stdout.readline(), b"released" + CRLF)
            self.assertEqual(locker.wait(PATIENCE), 0)
        return release

    def test_locked_by_another_program(self):
        releases = []

        def lock():
            self.make_file("locked.txt")
            releases.append(self.hold_elsewhere("locked.txt"))

        # Long enough for hundreds of failed attempts on the locked file.
        self.check_caught("locked.txt", lock, lambda: releases[-1](), quiet=1.0)
        # A locked match is passed over for the next one, and tried again
        # until it opens; a typed pattern is not expanded at the start.
        for made, opened in ((["lockz"], b"lockz"), ([], b"locked.txt")):
            with self.subTest(opened=opened):
                self.setUp()
                lock()
                run = self.run_fileholder([], stdin=b"lock*\r\n")
                expected = PROMPT + start_line("lock*")
                self.expect_output(run, expected)
                self.assertTrue(run.stays_quiet(1.0), "held while locked")
                self.make_files(made) if made else releases[-1]()
                self.expect_quiet_output(run, expected + b"- opened " + opened + b"\n" + DONE)

    def test_first_match_held_elsewhere_at_the_start(self):
        for label, options, argument, first, others, shown in selected(self.HELD_FIRST):
            with self.subTest(label):
                self.setUp()
                self.make_files([first, *others])
                self.hold_elsewhere(first, *options)
                run = self.run_fileholder([argument])
                self.expect_quiet_output(run, start_line(shown) + DONE)
                self.assertTrue(run.alive())


class FolderLeftAlone(WineCase):
    """While it only waits, fileholder holds nothing, so it stops nobody."""

    # label, folder made first, name awaited, what cmd does meanwhile, the
    # folder that then stands where it said.
    CASES = [
        ("deleted_and_made_again", "sub", "sub\\f.txt", "rmdir /s /q sub & mkdir sub", "sub"),
        ("folder_above_renamed", "top/sub", "top\\sub\\f.txt", "move top top.old", "top.old/sub"),
    ]

    def test_cmd_changes_the_folders_while_it_waits(self):
        for label, folder, name, command, moved in self.CASES:
            with self.subTest(label):
                self.setUp()
                os.makedirs(self.path(folder))
                run = self.run_fileholder([name])
                self.expect_output(run, start_line(name))
                done = self.windows_program("cmd", "/c", command)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertTrue(os.path.isdir(self.path(moved)))
                # The file then made at the name is held, in the new folder.
                self.make_files([name.replace("\\", "/")])
                self.expect_output(run, start_line(name) + DONE)
                self.assert_holds(run, name)


class PromptPath(WineCase):
    CASES = PROMPT_CASES + [
        ("leading_and_inner_spaces_kept", b"  a b\r\n", "  a b", True),
        # Piped names are UTF-8 when they are valid UTF-8, else ANSI.
        ("ansi_bytes", b"caf\xe9.txt\r\n", ("café.txt", b"caf\xe9.txt"), True),
        ("utf8_bytes", "café.txt\r\n".encode(), ("café.txt", b"caf\xe9.txt"), True),
        ("utf8_cyrillic", "файл.txt\r\n".encode(), ("файл.txt", b"????.txt"), True),
        # UTF-16LE, as cmd /u and Windows PowerShell write it, with or without
        # a BOM, is read as characters: never the part before its first 0 byte.
        ("utf16_bom", b"\xff\xfe" + "name.txt\r\n".encode("utf-16-le"), "name.txt", True, ["n"]),
        ("utf16_without_bom", "name.txt\r\n".encode("utf-16-le"), "name.txt", True, ["n"]),
        ("utf16_cyrillic", b"\xff\xfe" + "файл.txt\r\n".encode("utf-16-le"),
         ("файл.txt", b"????.txt"), True),
        # Without a BOM its UTF-16 line end tells it, whatever the first character.
        ("utf16_first_beyond_ascii", "Über.txt\r\n".encode("utf-16-le"),
         ("Über.txt", b"\xdcber.txt"), True, ["Ü"]),
        ("utf16_cyrillic_without_bom", "Журнал.txt\r\n".encode("utf-16-le"),
         ("Журнал.txt", b"??????.txt"), True),
        ("utf16_cjk_without_bom", "中文.txt\r\n".encode("utf-16-le"), ("中文.txt", b"??.txt"), True),
        ("cmd_u_echo", ("cmd /u /c echo", "Über.txt"), ("Über.txt", b"\xdcber.txt"), True, ["Ü"]),
        ("utf16_from_file", ("file", "Über.txt\r\nnext\r\n".encode("utf-16-le")),
         ("Über.txt", b"\xdcber.txt"), True, ["Ü"]),
        ("utf16be_bom", b"\xfe\xff" + "name.txt\r\n".encode("utf-16-be"), "name.txt", True),
        # No UTF-16 line end: bytes, and a NUL ends the line, as in the lists
        # of find -print0. UTF-16 cut in half is read so too.
        ("nul_separated", b"a\0b\0", "a", True, ["ab"]),
        ("nul_separated_unended", b"a\0b", "a", True, ["ab"]),
        ("utf16_half_character", "name.txt".encode("utf-16-le") + b"\n", "n", True, ["name.txt"]),
        ("utf8_bom_dropped", b"\xef\xbb\xbfname.txt\r\n", "name.txt", True),
        ("utf8_bom_cyrillic", b"\xef\xbb\xbf" + "файл.txt\r\n".encode(), ("файл.txt", b"????.txt"),
         True),
        # Ctrl-Z is no end of input in a pipe: no name is cut there.
        ("ctrl_z_inside", b"na\x1ame.txt\r\n", "na\x1ame.txt", False, ["na"]),
        # "Copy as path" quotes, and the space that echo leaves: no name holds ".
        ("quotes_removed", b'"my file.txt" \r\n', "my file.txt", True),
    ]

    # label, arguments, line typed at the console, name it shows and holds.
    CONSOLE = [
        ("ascii_typed", [], "typed.txt", "typed.txt"),
        ("accent_typed", [], "café.txt", "café.txt"),
        ("cyrillic_typed", [], "файл.txt", "файл.txt"),
        ("cyrillic_and_cjk_argument", ["файл-日本.txt"], None, "файл-日本.txt"),
    ]
    # Wine's console draws on the terminal: it hides and shows the cursor,
    # clears to the line end, and may move the cursor instead of writing spaces.
    DRAWING = re.compile(rb"\x1b\[\?25[lh]|\x1b\[K|\x1b\[(\d*)C")

    def shown(self, run, expected):
        """What the terminal shows, as text, once it equals expected or time is up."""
        def screen():
            text = self.DRAWING.sub(lambda m: b" " * int(m.group(1) or 1) if m.group(1) else b"",
                                    run.output)
            return text.replace(b"\r\r\n", b"\n").replace(b"\r\n", b"\n")
        deadline = time.monotonic() + PATIENCE
        while screen() != expected and time.monotonic() < deadline:
            run.stays_quiet(0.1)
        return screen()

    def wait_for_raw_terminal(self, run):
        """Wine's console takes the terminal out of line mode only once the
        program reads; typed before that, Enter would arrive as a line feed."""
        deadline = time.monotonic() + PATIENCE
        while termios.tcgetattr(run.master)[3] & termios.ICANON:
            self.assertLess(time.monotonic(), deadline, "the console never reads")
            time.sleep(0.05)

    def test_from_pipe(self):
        self.check_prompt(selected(self.CASES))

    def standard_input(self, stdin):
        """Also ("cmd /u /c echo", text): what Wine's cmd writes to a pipe."""
        if isinstance(stdin, tuple) and stdin[0] == "cmd /u /c echo":
            cmd = subprocess.Popen([*self.tools, "cmd", "/u", "/c", "echo", stdin[1]], cwd=self.dir,
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            self.addCleanup(cmd.wait, PATIENCE)
            self.addCleanup(cmd.stdout.close)
            return cmd.stdout.fileno()
        return super().standard_input(stdin)

    def test_at_the_console(self):
        for label, args, typed, name in selected(self.CONSOLE):
            with self.subTest(label):
                self.setUp()
                self.make_file(name)
                run = self.run_fileholder(args, stdin="pty")
                expected = b""
                if typed is not None:
                    expected = PROMPT + typed.encode() + b"\n"
                    self.assertEqual(self.shown(run, PROMPT), PROMPT)
                    self.wait_for_raw_terminal(run)
                    run.type(typed.encode() + b"\r")
                expected += start_line(name) + DONE
                self.assertEqual(self.shown(run, expected), expected)
                self.assertTrue(run.alive())


class WhileHolding(WineCase):
    def exists(self, name):
        return os.path.exists(self.path(name))

    def test_delete_and_rename_blocked_reads_and_writes_not(self):
        # By its name, and as the match of a typed pattern.
        for typed, shown in ((None, b""), (b"f*.txt\r\n", b"- opened file.txt\n")):
            with self.subTest(typed=typed):
                self.setUp()
                self.check_blocked(typed, shown)

    def check_blocked(self, typed, shown):
        self.make_file("file.txt", b"held\r\n")
        run = self.run_fileholder([] if typed else ["file.txt"], stdin=typed)
        self.expect_output(run, (PROMPT + start_line("f*.txt") if typed else start_line("file.txt"))
                           + shown + DONE)

        self.windows_program("cmd", "/c", "move", "file.txt", "moved.txt")
        self.assertTrue(self.exists("file.txt") and not self.exists("moved.txt"), "renamed")
        self.windows_program("cmd", "/c", "del", "file.txt")
        self.assertTrue(self.exists("file.txt"), "deleted")

        typed = self.windows_program("cmd", "/c", "type", "file.txt")
        self.assertEqual(typed.stdout, b"held\r\n")
        self.windows_program("cmd", "/c", "echo more>>file.txt")
        with open(self.path("file.txt"), "rb") as file:
            self.assertEqual(file.read(), b"held\r\nmore\r\n")

        self.assertTrue(run.alive())
        run.stop()
        # The system closes the file as the process ends, a moment later.
        deadline = time.monotonic() + PATIENCE
        while not self.exists("moved.txt") and time.monotonic() < deadline:
            self.windows_program("cmd", "/c", "move", "file.txt", "moved.txt")
        self.assertTrue(self.exists("moved.txt") and not self.exists("file.txt"), "not renamed")
        self.windows_program("cmd", "/c", "del", "moved.txt")
        self.assertFalse(self.exists("moved.txt"), "not deleted")


    # label, files, pattern typed, the file it holds, a file it leaves free.
    EXACT = [
        ("trailing_dot_kept", ["tr", "tr."], "tr?", "tr.", "tr"),
        ("device_name_is_the_file", ["com1"], "com?", "com1", None),
    ]

    def test_the_listed_file_is_held(self):
        locker = os.environ.get("FILEHOLDER_LOCKER")
        if not locker:
            skip_or_fail(self, "FILEHOLDER_LOCKER is not set")

        def lock(name):
            """A lock on the file, by its exact path: refused (error 32, a
            sharing violation) while the file is held."""
            return subprocess.run([*self.launcher, locker, self.in_dir("\\\\?\\{dir}\\" + name)],
                                  env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=PATIENCE * 2)

        for label, files, typed, held, free in self.EXACT:
            with self.subTest(label):
                self.setUp()
                self.make_files(files)
                run = self.run_fileholder([], stdin=typed.encode() + CRLF)
                self.expect_quiet_output(run, PROMPT + start_line(typed) + opened_line(held) + DONE)
                self.assertEqual(lock(held).stdout, b"error 32" + CRLF)
                if free:
                    self.assertEqual(lock(free).stdout, b"locked" + CRLF + b"released" + CRLF)

    def test_installer_delete_refused(self):
        """As an installer: a folder with a random name, a file in it, then
        the file deleted; held, it stays."""
        self.make_file("maker.bat", b"@echo off\r\nset f=is-%RANDOM%.tmp\r\nmkdir %f%\r\n"
                       b"echo setup>%f%\\setup.tmp\r\necho %f%\r\nset /p go=\r\n"
                       b"del %f%\\setup.tmp\r\necho ended\r\n")
        name = "is-*.tmp\\setup.tmp"
        run = self.run_fileholder([name])
        self.expect_output(run, start_line(name))
        maker = subprocess.Popen([*self.tools, "cmd", "/c", "maker.bat"], cwd=self.dir,
                                 env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(maker.kill)
        folder = maker.stdout.readline().strip().decode()
        self.expect_output(run, start_line(name) + opened_line(folder + "\\setup.tmp") + DONE)
        self.assertIn(b"ended", maker.communicate(b"go" + CRLF, timeout=PATIENCE)[0])
        self.assertTrue(self.exists(folder + "/setup.tmp"), "deleted while held")


class Wow64Redirection(WineCase):
    """On 64-bit Windows, as in Wine's 64-bit prefix, a 32-bit program's
    C:\\Windows\\System32 is redirected to C:\\Windows\\SysWOW64 unless it turns
    that off: the name given must still open the file it names."""

    def test_system32_name_holds_the_file_in_system32(self):
        windows = os.path.join(self.env["WINEPREFIX"], "drive_c", "windows")
        self.assertTrue(os.path.isdir(os.path.join(windows, "syswow64")), "not a 64-bit prefix")
        name = f"fileholder-test-{os.getpid()}.txt"
        # Only System32 has it: should the redirection apply, the open would
        # look in SysWOW64, find nothing and poll on.
        in_system32 = os.path.join(windows, "system32", name)
        self.assertFalse(os.path.exists(os.path.join(windows, "syswow64", name)))
        with open(in_system32, "wb") as file:
            file.write(b"system32\r\n")
        self.addCleanup(os.remove, in_system32)
        argument = "C:\\Windows\\System32\\" + name
        run = self.run_fileholder([argument])
        self.expect_quiet_output(run, start_line(argument) + DONE)
        self.assertTrue(run.alive())


class WindowsCalls(WineCase):
    """What the program asks of Windows, read from Wine's trace of its calls."""

    TRACED = ["kernel32.SetErrorMode", "winmm.timeBeginPeriod", "winmm.timeEndPeriod",
              "msvcrt._wfopen", "kernel32.Sleep", "kernel32.WriteFile",
              "kernel32.Wow64DisableWow64FsRedirection", "kernel32.Wow64RevertWow64FsRedirection",
              "kernel32.FindFirstChangeNotificationW", "kernel32.ReadDirectoryChangesW",
              "kernel32.CreateFileW", "kernel32.ReadFile"]
    # Arguments and results are hex without 0x, at least 8 digits, for 32- and
    # 64-bit programs alike; only pointers are wider in a 64-bit one.
    CALL = re.compile(r"^(\d+\.\d+):(\w+):(Call|Ret) +(\w+)\.(\w+)\((.*?)\)"
                      r"(?: retval=(\w+))? ret=(\w+)")
    # Not a measurement: only a program that waits far longer than 1 ms
    # between attempts, such as one on the default 15.6 ms tick, falls short.
    MIN_ATTEMPTS_PER_SECOND = 200

    def setUp(self):
        super().setUp()
        done = self.windows_program("reg", "add", r"HKCU\Software\Wine\Debug", "/v",
                                    "RelayInclude", "/d", ";".join(self.TRACED), "/f")
        self.assertEqual(done.returncode, 0, done.stdout)

    def traced(self, args, act, **options):
        """The calls of a run under Wine's trace, ended once act(run) returns."""
        trace = self.path("trace")
        # Wine writes its trace to standard error; exec keeps the process id.
        self.launcher = ("sh", "-c", f'exec "$0" "$@" 2>{shlex.quote(trace)}', *self.launcher)
        self.env = dict(self.env, WINEDEBUG="+timestamp,+relay")
        run = self.run_fileholder(args, **options)
        act(run)
        time.sleep(0.2)
        run.stop()
        with open(trace, errors="replace") as lines:
            return [match.groups() for match in map(self.CALL.match, lines) if match]

    def test_poll_and_hold(self):
        def replace_folder_by_file(run):
            self.expect_output(run, start_line("node"))
            time.sleep(1.0)
            os.rmdir(self.path("node"))
            self.make_file("node")
            self.expect_output(run, start_line("node") + DONE)

        os.mkdir(self.path("node"))
        self.check_calls(self.traced(["node"], replace_folder_by_file))

    def test_tick_raised_after_the_prompt_read(self):
        def type_late(run):
            self.expect_output(run, PROMPT)
            time.sleep(0.5)
            run.type(b"typed.txt\r\n")
            self.expect_output(run, PROMPT + start_line("typed.txt") + DONE)

        self.make_file("typed.txt")
        calls = self.traced([], type_late)
        thread = next(call[1] for call in calls if call[4] == "timeBeginPeriod")
        order = [(kind, function) for _, on, kind, _, function, _, _, _ in calls
                 if on == thread and function in ("ReadFile", "timeBeginPeriod")]
        self.assertEqual(order[-3:], [("Ret", "ReadFile"), ("Call", "timeBeginPeriod"),
                                      ("Ret", "timeBeginPeriod")])
        self.assertNotIn(("Call", "timeBeginPeriod"), order[:-2], "raised before the read")

    def check_calls(self, calls):
        # (time, thread, Call or Ret, module, function, arguments, result, caller).
        # Only the program's own calls count: Wine calls some of these itself,
        # on other threads and from its own code, which lies far from the .exe.
        first = next(call for call in calls if call[4] == "timeBeginPeriod")
        calls = [call for call in calls if call[1] == first[1]
                 and abs(int(call[7], 16) - int(first[7], 16)) < 0x100000]
        made = [(float(stamp), function, args) for stamp, _, kind, _, function, args, _, _ in calls
                if kind == "Call"]
        returned = [(function, result) for _, _, kind, _, function, _, result, _ in calls
                    if kind == "Ret"]
        # Each message leaves whole, in one write: 30 and 44 bytes with CR LF.
        writes = [args.split(",")[2] for _, function, args in made if function == "WriteFile"]
        self.assertEqual(writes, ["0000001e", "0000002c"])
        made = [call for call in made if call[1] != "WriteFile"]
        names = [function for _, function, _ in made]
        # No system dialog may stop the polling: the error mode is set first
        # (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX).
        self.assertEqual([(name, args) for _, name, args in made[:2]],
                         [("SetErrorMode", "00008001"), ("timeBeginPeriod", "00000001")],
                         "the error mode, then the 1 ms tick, before the first attempt")
        # Nothing is opened or watched but the name: the folder stays free.
        self.assertFalse({"FindFirstChangeNotificationW", "ReadDirectoryChangesW",
                          "CreateFileW"} & set(names), "a handle on the folder")
        opened = [result for function, result in returned if function == "_wfopen"]
        self.assertTrue(all(result == "00000000" for result in opened[:-1]))
        self.assertNotEqual(opened[-1], "00000000")
        turned_off = [result != "00000000" for function, result in returned
                      if function == "Wow64DisableWow64FsRedirection"]
        last_open = len(names) - 1 - names[::-1].index("_wfopen")
        after_open = last_open + (2 if turned_off[-1] else 1)
        polling, holding = made[2:after_open], made[after_open:]
        # Each attempt: the redirection off, the open, the redirection back on
        # where it was turned off; then a plain 1 ms pause.
        attempt = ["Wow64DisableWow64FsRedirection", "_wfopen"]
        pauses, i = [], 0
        for off in turned_off:
            expected = attempt + (["Wow64RevertWow64FsRedirection"] if off else [])
            self.assertEqual([function for _, function, _ in polling[i:i + len(expected)]],
                             expected, polling[i:i + 4])
            self.assertRegex(polling[i + 1][2], r'L"node",\w+ L"rb"$')
            i += len(expected)
            if i < len(polling):
                self.assertEqual(polling[i][1:], ("Sleep", "00000001"))
                pauses.append(polling[i][0])
                i += 1
        self.assertEqual(i, len(polling))
        self.assertEqual([(function, args) for _, function, args in holding],
                         [("timeEndPeriod", "00000001"), ("Sleep", "ffffffff")],
                         "the tick is given back before the idle wait, once")
        self.assertGreater(len(pauses), 10)
        rate = (len(pauses) - 1) / (pauses[-1] - pauses[0])
        print(f"\nattempts per second under Wine, traced: {rate:.0f}")
        self.assertGreater(rate, self.MIN_ATTEMPTS_PER_SECOND)


class Executable(unittest.TestCase):
    """The .exe itself: its headers as objdump reads them, and its resources."""

    ALLOWED_DLLS = {"kernel32.dll", "msvcrt.dll", "winmm.dll"}
    # By the build's bits: objdump, file format, architecture, optional header magic.
    FORMATS = {
        "32": ("i686-w64-mingw32-objdump", "pei-i386", "i386", r"010b\s+\(PE32\)"),
        "64": ("x86_64-w64-mingw32-objdump", "pei-x86-64", "i386:x86-64", r"020b\s+\(PE32\+\)"),
    }
    # Vista, 7, 8, 8.1, and 10 and 11.
    SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}

    def setUp(self):
        objdump, *self.format = self.FORMATS[os.environ.get("FILEHOLDER_WINDOWS_BITS", "32")]
        self.headers = subprocess.run([need_tool(self, objdump), "-f", "-p", binary()],
                                      capture_output=True, text=True, check=True).stdout
        with open(binary(), "rb") as program:
            self.image = program.read()

    def test_console_program_needing_only_system_dlls(self):
        file_format, architecture, magic = self.format
        self.assertIn(f"file format {file_format}\n", self.headers)
        self.assertIn(f"architecture: {architecture}, ", self.headers)
        self.assertRegex(self.headers, r"Magic\s+" + magic)
        self.assertRegex(self.headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertLessEqual(dlls, self.ALLOWED_DLLS)
        self.assertIn("msvcrt.dll", dlls)

    def test_manifest_and_version_resources(self):
        # Resource types 0x18 (manifest) and 0x10 (version), each as ID 1.
        for kind in ("18", "10"):
            entry = rf"Entry: ID: 0x0000{kind}, .*\n.*\n\w+ +Entry: ID: 0x000001,"
            self.assertTrue(re.search(entry, self.headers), f"no resource of type 0x{kind}, ID 1")
        manifest = re.search(rb"<assembly .*</assembly>", self.image, re.DOTALL)
        self.assertIsNotNone(manifest, "no manifest")
        self.assertNotIn(b"activeCodePage", manifest.group(), "pipe output must stay ANSI")
        root = ElementTree.fromstring(manifest.group())
        settings = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
        self.assertEqual(root.findtext(f".//{settings}longPathAware"), "true")
        supported = root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")
        self.assertEqual({entry.get("Id") for entry in supported}, self.SUPPORTED_OS)
        level = root.find(".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        self.assertEqual(level.get("level"), "asInvoker")

        version = os.environ["FILEHOLDER_VERSION"]
        major, minor, patch, tweak = ([int(part) for part in version.split(".")] + [0] * 3)[:4]
        numbers = struct.pack("<2I", major << 16 | minor, patch << 16 | tweak)
        # VS_FIXEDFILEINFO: signature, layout version, then file and product versions.
        fixed = struct.pack("<2I", 0xFEEF04BD, 0x10000) + numbers * 2
        self.assertTrue(fixed in self.image, f"no fixed version information for {version}")
        for key in ("FileVersion", "ProductVersion"):
            entry = (re.escape(f"{key}\0".encode("utf-16-le")) + b"(\0\0)?"
                     + re.escape(f"{version}\0".encode("utf-16-le")))
            self.assertTrue(re.search(entry, self.image), f"no {key} string {version}")


if __name__ == "__main__":
    unittest.main()
