"""Runs fileholder as a real process and watches what it does.

One helper for every end-to-end test: it starts the binary (directly or
through a launcher such as Wine), feeds standard input from bytes, a pipe or
a pseudo-terminal, collects standard output and waits for text in it.
"""

import fcntl
import os
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import threading
import time
import unittest

PROMPT = b"- insert the name of the file to keep open\n  "
DONE = b"- done, press CTRL-C when you want to quit\n"
# Generous: only a broken program waits this long. Where starting the
# program is slow, as for a 32-bit one under emulation, FILEHOLDER_PATIENCE
# (seconds) gives it longer.
PATIENCE = float(os.environ.get("FILEHOLDER_PATIENCE") or 15.0)
# How long a program must stay silent before "no further output" is believed.
QUIET = 0.3


def start_line(name):
    if isinstance(name, str):
        name = name.encode()
    return b"- start fopen() loop on " + name + b"\n"


def opened_line(name):
    if isinstance(name, str):
        name = name.encode()
    return b"- opened " + name + b"\n"


def binary():
    path = os.environ.get("FILEHOLDER_BINARY")
    if not path:
        raise unittest.SkipTest("FILEHOLDER_BINARY is not set")
    return os.path.abspath(path)


def need_tool(test, name):
    """The path of a tool; a missing one skips the test, or fails it on CI."""
    found = shutil.which(name)
    if found:
        return found
    message = f"{name} is not installed"
    if os.environ.get("CI") == "true":
        test.fail(message + " (CI must run every test)")
    test.skipTest(message)
    return None


class Run:
    """fileholder started with args in cwd.

    stdin: None for an empty pipe left open, bytes to write and then close,
    "closed" for no standard input at all, a file descriptor to read from, or
    "pty" for a pseudo-terminal that is also the controlling terminal.
    stdout: "pipe" or "closed". nonblocking: standard input is handed over
    with O_NONBLOCK set.
    """

    def __init__(self, args, cwd, stdin=None, stdout="pipe", launcher=(),
                 user=None, newline=b"\n", env=None, nonblocking=False):
        self.newline = newline
        self.output = b""
        self.master = None
        self.stdin_pipe = None
        command = [*launcher, binary(), *args]
        options = dict(cwd=cwd, stderr=subprocess.DEVNULL, env=env)
        if user is not None:
            options.update(user=user, group="nogroup", extra_groups=[])
        closing = [0] if stdin == "closed" else []
        closing += [1] if stdout == "closed" else []

        def prepare_child():
            # The program is judged from the platform's defaults, whatever
            # the test runner itself inherited.
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
                signal.signal(sig, signal.SIG_DFL)
            if stdin == "pty":
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            if nonblocking:
                os.set_blocking(0, False)
            for fd in closing:
                os.close(fd)

        options["preexec_fn"] = prepare_child
        if stdin == "pty":
            self.master, slave = os.openpty()
            self.process = subprocess.Popen(command, stdin=slave, stdout=slave,
                                            start_new_session=True, **options)
            os.close(slave)
            self.reader = self.master
            return
        stdin_option = stdin if isinstance(stdin, int) else subprocess.PIPE
        stdout_option = subprocess.DEVNULL if stdout == "closed" else subprocess.PIPE
        self.process = subprocess.Popen(command, stdin=stdin_option,
                                        stdout=stdout_option, **options)
        self.stdin_pipe = self.process.stdin
        if isinstance(stdin, bytes):
            self.stdin_pipe.write(stdin)
            self.stdin_pipe.close()
        self.reader = self.process.stdout.fileno() if self.process.stdout else None

    @property
    def pid(self):
        return self.process.pid

    def _read_some(self, timeout):
        """Reads what is there within timeout; False at end of output."""
        ready, _, _ = select.select([self.reader], [], [], timeout)
        if not ready:
            return True
        try:
            chunk = os.read(self.reader, 65536)
        except OSError:  # a pseudo-terminal whose other side is gone
            chunk = b""
        if not chunk:
            return False
        self.output += chunk.replace(self.newline, b"\n") if self.newline != b"\n" else chunk
        return True

    def wait_for_output(self, expected, timeout=PATIENCE):
        """Waits until the whole output equals expected; returns the output."""
        deadline = time.monotonic() + timeout
        while self.output != expected and expected.startswith(self.output):
            left = deadline - time.monotonic()
            if left <= 0 or not self._read_some(left):
                break
        return self.output

    def stays_quiet(self, seconds=QUIET):
        """Collects output for a while; True when nothing arrived."""
        before = len(self.output)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self._read_some(deadline - time.monotonic()):
                break
        return len(self.output) == before

    def type(self, data):
        if self.master is not None:
            os.write(self.master, data)
        else:
            self.stdin_pipe.write(data)
            self.stdin_pipe.flush()

    def close_reader(self):
        if self.process.stdout:
            self.process.stdout.close()
        self.reader = None

    def alive(self):
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM):
        """Sends sig (None: sends nothing, the end comes from elsewhere), drains
        the output to its end and returns the exit status."""
        if sig is not None and self.alive():
            self.process.send_signal(sig)
        code = self.process.wait(PATIENCE)
        if self.reader is not None:
            while self._read_some(QUIET):
                pass
        return code

    def close(self):
        if self.alive():
            self.process.kill()
            self.process.wait(PATIENCE)
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                try:
                    stream.close()
                except OSError:
                    pass
        if self.master is not None:
            os.close(self.master)

    # Linux only: what the kernel says about the process.
    def held_paths(self):
        """Maps each open file descriptor to what it points at."""
        fd_dir = f"/proc/{self.pid}/fd"
        links = {}
        for fd in os.listdir(fd_dir):
            try:
                links[int(fd)] = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                pass
        return links

    def fd_of(self, path, timeout=PATIENCE):
        """The descriptor that holds path, waiting for it to appear; or None."""
        target = os.path.realpath(path)
        deadline = time.monotonic() + timeout
        while True:
            for fd, link in self.held_paths().items():
                if link == target:
                    return fd
            if time.monotonic() > deadline:
                return None
            time.sleep(0.01)

    def status(self, field):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                if key == field:
                    return int(value.split()[0])
        raise KeyError(field)


class Case(unittest.TestCase):
    """A test with its own scratch folder and runs that are always ended."""

    launcher = ()
    newline = b"\n"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="fileholder-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def make_file(self, name, content=b"content\n"):
        """Creates name at once, complete, by renaming a finished file into place."""
        scratch = self.path(".scratch")
        with open(scratch, "wb") as file:
            file.write(content)
        os.rename(scratch, self.path(name))

    def run_fileholder(self, args, **options):
        options.setdefault("cwd", self.dir)
        run = Run(args, launcher=self.launcher, newline=self.newline, **options)
        self.addCleanup(run.close)
        return run

    def make_files(self, names):
        """Makes each file, with its folders; a name that ends in / is a folder."""
        for name in names:
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            if not name.endswith("/"):
                self.make_file(name)

    def expect_output(self, run, expected):
        self.assertEqual(run.wait_for_output(expected), expected)

    def assert_holds(self, run, name):
        """What the platform can tell of a held file; here, that it idles on."""
        self.assertTrue(run.alive(), f"ended while holding {name}")

    def check_arguments(self, cases):
        """Runs a table of (label, arguments, files made first, name in the
        start line, held) and expects exactly that output, then silence."""
        for label, args, files, shown, held in cases:
            with self.subTest(label):
                self.setUp()
                self.make_files(files)
                run = self.run_fileholder(args)
                self.expect_quiet_output(run, start_line(shown) + (DONE if held else b""))
                if held:
                    self.assert_holds(run, shown)
                self.assertTrue(run.alive())

    def check_patterns(self, cases):
        """Runs a table of (label, name, typed, files made first, files made
        later, name in the start line, name in the opened line or None): with
        the first files only it waits, once the later ones are made it holds
        a file. {dir} in a name stands for the scratch folder (in_dir)."""
        for label, name, typed, first, later, shown, opened in cases:
            with self.subTest(label):
                self.setUp()
                self.make_files(first)
                name, shown = self.in_dir(name), self.in_dir(shown)
                run = self.run_fileholder([] if typed else [name],
                                          stdin=name.encode() + b"\n" if typed else None)
                expected = (PROMPT if typed else b"") + start_line(shown)
                if later:
                    self.expect_output(run, expected)
                    self.assertTrue(run.stays_quiet(), "held before a file matched")
                    self.make_files(later)
                if opened is not None:
                    expected += opened_line(self.in_dir(opened))
                self.expect_quiet_output(run, expected + DONE)
                self.assert_holds(run, self.in_dir(opened or shown))

    def in_dir(self, name):
        return name.replace("{dir}", self.dir)

    def check_prompt(self, cases):
        """Runs a table of (label, standard input, name it yields, file of that
        name exists[, decoys]): decoys are files named with a part of the
        name, which must never be held. For the special inputs, see
        standard_input."""
        for label, stdin, name, exists, *decoys in cases:
            with self.subTest(label):
                self.setUp()
                # A name may be (file made, name as the start line shows it).
                made, name = name if isinstance(name, tuple) else (name, name)
                self.make_files(([made] if exists else []) + (decoys[0] if decoys else []))
                stdin = self.standard_input(stdin)
                run = self.run_fileholder([], stdin=stdin)
                self.expect_quiet_output(run, PROMPT + start_line(name) + (DONE if exists else b""))
                if exists:
                    self.assert_holds(run, name)

    def standard_input(self, stdin):
        """The descriptor for the special inputs of check_prompt, or stdin itself."""
        if isinstance(stdin, tuple) and stdin[0] == "file":
            self.make_file(".input", stdin[1])
            reader = os.open(self.path(".input"), os.O_RDONLY)
        elif isinstance(stdin, tuple):
            reader, writer = os.pipe()
            self.addCleanup(os.close, writer)
            if stdin[0] == "non_blocking_later":
                # Nothing to read at first, and reads that do not wait for it.
                os.set_blocking(reader, False)
                later = threading.Timer(QUIET, os.write, (writer, stdin[1]))
                later.start()
                self.addCleanup(later.join)
            else:
                os.write(writer, stdin[1])
        elif stdin == "folder" or (isinstance(stdin, str) and stdin.startswith("/dev/")):
            reader = os.open(self.dir if stdin == "folder" else stdin, os.O_RDONLY)
        else:
            return stdin
        self.addCleanup(os.close, reader)
        return reader

    def check_caught(self, name, before, change, quiet=QUIET, **options):
        """After before(), name does not open; after change(), it is held."""
        before()
        run = self.run_fileholder([name], **options)
        self.expect_output(run, start_line(name))
        self.assertTrue(run.stays_quiet(quiet), "held before it could be opened")
        change()
        self.expect_output(run, start_line(name) + DONE)
        self.assert_holds(run, name)

    def check_folder_replaced_by_file(self):
        def replace():
            os.rmdir(self.path("node"))
            self.make_file("node")

        self.check_caught("node", lambda: os.mkdir(self.path("node")), replace)

    def expect_quiet_output(self, run, expected):
        self.expect_output(run, expected)
        self.assertTrue(run.stays_quiet())
        self.assertEqual(run.output, expected)
