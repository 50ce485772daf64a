"""Running a trial: the other process that loads the folder, and the Bench
that starts subjects (and the sleep floor beside them) and makes files
appear and go."""

import contextlib
import ctypes
import os
import random
import signal
import string
import subprocess
import time

from running import Running

LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_TIMERSLACK, PR_GET_TIMERSLACK = 29, 30
STORM_TOUCHES_PER_SECOND = 10000


class Load:
    """The other process that creates and deletes files in the folder while
    the block runs, or what how asks of busy_folder: ("locked", PREFIX) for
    matches that cannot be opened, ("touch", ENTRY...) to set entries' times
    in turn; per_second 0 asks for as many as it can. Each run's (files or
    touches made, seconds) is added to runs."""

    def __init__(self, binary, folder, runs, per_second, how=()):
        self.binary, self.folder, self.runs = binary, folder, runs
        self.extra = [str(per_second), *how]

    def __enter__(self):
        self.running = Running([self.binary], self.folder, extra=self.extra)
        if self.running.wait_line(b"- start", 10) is None:
            self.running.stop()
            raise RuntimeError(f"busy_folder FOLDER {' '.join(self.extra)} did not start")
        return None  # the subjects wait on names of their own

    def __exit__(self, failure, *_):
        os.kill(self.running.process.pid, signal.SIGTERM)
        reported = self.running.wait_line(b"- made", 10) is not None
        words = self.running.last_line.split()  # "- made N files in S s", or touches
        self.running.stop()
        if failure is None:
            if not reported or len(words) != 7:
                raise RuntimeError("busy_folder stopped without saying what it made")
            self.runs.append((int(words[2]), float(words[5])))
        return False


class Bench:
    """Starts subjects on awaited names and makes files appear at them. An
    awaited name is a fresh literal name, or with pattern set, that pattern
    (FOLDER/PREFIX*SUFFIX, or BASE/PREFIX*SUFFIX/NAME for a folder of a
    random name), at which each file appears with a random name."""

    def __init__(self, subjects, folder, busy_binary, floor):
        """subjects: a subjects.Subjects, or a dict of commands."""
        self.commands = dict(getattr(subjects, "commands", subjects))  # the subjects and the references
        # Those that always run as another user: their Popen credentials.
        self.credentials = dict(getattr(subjects, "credentials", {}))
        self.left_out = dict(getattr(subjects, "left_out", {}))  # subject: why
        self.folder = folder
        self.busy_binary = busy_binary
        self.floor = floor  # the sleep floor's command, run beside a subject
        self.pattern = None
        self.user = None  # whom the others run as, when not this process's user
        self.arguments = {}  # subject: how it is given the awaited name
        self.start_timeout = {}  # seconds, for subjects slow to start
        self.counter = 0
        self.contents = 0

    def load(self, runs, per_second, folder=None, how=()):
        return Load(self.busy_binary, folder or self.folder, runs, per_second, how)

    @contextlib.contextmanager
    def storm(self, runs, per_second=STORM_TOUCHES_PER_SECOND):
        """A folder at a fresh name, its times set by another process while
        the block runs: every touch an attribute change naming it in the
        folder that its waiters watch. Yields the name, which never opens."""
        name = self.fresh_name()
        os.mkdir(name)
        made = os.stat(name).st_mtime_ns
        try:
            with self.load(runs, per_second, os.path.dirname(name), ("touch", os.path.basename(name))):
                yield name
            # Touches beside the name would leave its waiters a busy folder.
            if os.stat(name).st_mtime_ns == made:
                raise RuntimeError("the storm did not touch the awaited name")
        finally:
            os.rmdir(name)

    def fresh_name(self):
        self.counter += 1
        return os.path.join(self.folder, f"target{self.counter}")

    def awaited(self):
        return self.pattern or self.fresh_name()

    def appear(self, awaited):
        """Makes a file that the awaited name stands for exist, complete, in
        one step; returns the time just before, and the file's path. For a
        pattern, each wildcard component (PREFIX*SUFFIX) gets a random name;
        a wildcard folder is made just before the file appears in it, as
        `mktemp -d` and a write would. A pattern's file is written elsewhere
        first, so that the folder sees only its arrival."""
        name, scratch = awaited, awaited + ".part"
        if self.pattern:
            name = "/".join(random_name(part) if "*" in part else part for part in awaited.split("/"))
            scratch = os.path.join(self.folder, "scratch")
        with open(scratch, "wb") as file:
            file.write(b"data\n")
        if os.path.dirname(name) != os.path.dirname(awaited):
            os.mkdir(os.path.dirname(name))
        before = time.perf_counter_ns()
        os.rename(scratch, name)
        return before, name

    def remove(self, path):
        """Deletes a file that appeared, then the folder made for it; returns
        the time the file went."""
        os.unlink(path)
        gone = time.perf_counter_ns()
        if self.pattern and os.path.dirname(path) != os.path.dirname(self.pattern):
            os.rmdir(os.path.dirname(path))
        return gone

    def short_lived(self, awaited):
        """Where a short-lived file that the awaited name stands for is made,
        and how many new folders the maker makes for it: each wildcard
        component gets a random name, and a folder from the first wildcard
        one down is made just before the file."""
        if not self.pattern:
            return awaited, 0
        parts = awaited.split("/")
        first = min(index for index, part in enumerate(parts) if "*" in part)
        path = "/".join(random_name(part) if "*" in part else part for part in parts)
        return path, len(parts) - 1 - first

    def unique_content(self):
        """A few bytes no other file of the run holds: a catch of an earlier
        trial's file cannot pass for this one's."""
        self.contents += 1
        return f"{self.contents:x}.{random.getrandbits(24):06x}"

    def launch(self, subject, name):
        """The subject's process, as its user, on the awaited name."""
        argument = self.arguments.get(subject, lambda name: name)(name)
        credentials = self.credentials.get(subject) or ({"user": self.user} if self.user else {})
        return Running(self.commands[subject], argument, **credentials)

    def start(self, subject, name, timeout=None):
        running = self.launch(subject, name)
        if running.wait_line(b"- start", timeout or self.start_timeout.get(subject, 10)) is None:
            running.stop()
            raise RuntimeError(f"{subject} did not start")
        if subject in self.credentials:
            check_dropped(running, subject, self.credentials[subject])
        return running

    def start_floor(self):
        """The sleep floor, started to run beside a subject."""
        running = Running(self.floor, "")
        if running.wait_line(b"- start", 10) is None:
            running.stop()
            raise RuntimeError("the sleep floor did not start")
        return running

    def rounds(self, count, subjects):
        """Yields (round, subject) with the subjects in turn, round by round."""
        for number in range(count):
            for subject in subjects:
                yield number, subject


def check_dropped(running, subject, credentials):
    """A subject run as another user has that user's ids, no other group and
    no capability: what any user's process has."""
    uids, gids = running.status("Uid", words=True), running.status("Gid", words=True)
    groups, capabilities = running.status("Groups", words=True), running.status("CapEff", words=True)
    if (set(map(int, uids)) != {credentials["user"]} or set(map(int, gids)) != {credentials["group"]}
            or groups not in ([], [str(credentials["group"])]) or int(capabilities[0], 16) != 0):
        running.stop()
        raise RuntimeError(f"{subject} did not run as an unprivileged user")


# How long a short-lived file lived: from the create's return to the
# delete's call, to its return, and from before the create.
TIMES = ("lived", "gone", "span")


class ShortLived:
    """The maker of the shortest-lived files (short_lived.c), one process for
    a measurement, asked for each file in turn: a Python maker cannot keep a
    lifetime of microseconds."""

    def __init__(self, binary):
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        started = self.process.stdout.readline()
        if started not in ("- start\n", "- start real-time\n"):
            self.close()
            raise RuntimeError("short_lived did not start")
        # No waiter takes its processor while a file exists: as root.
        self.realtime = started == "- start real-time\n"

    def make(self, path, content, lifetime_ms, new_folders=0):
        """Makes the file with the content, the folders before it, and
        deletes both; returns how long the file lived (ms) by TIMES: from the
        create's return to the delete's call, to the delete's return, and
        from before the create to after the delete."""
        self.process.stdin.write(f"{round(lifetime_ms * 1e6)} {new_folders} {path} {content}\n")
        answer = self.process.stdout.readline().split()
        if len(answer) != len(TIMES) or not all(word.isdigit() for word in answer):
            raise RuntimeError(f"short_lived did not make {path}: {' '.join(answer)}")
        return {key: int(word) / 1e6 for key, word in zip(TIMES, answer)}

    def close(self):
        self.process.stdin.close()
        self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
        return False


def random_name(pattern):
    """A name for a component PREFIX*SUFFIX: eight random letters and digits
    for the star."""
    prefix, suffix = pattern.split("*")
    return prefix + "".join(random.choices(string.ascii_letters + string.digits, k=8)) + suffix


def precise_sleep(seconds):
    """Sleeps with this thread's timer slack at 1 ns, so a short lifetime is
    kept closely. The slack goes back at once: subjects started later inherit
    it, and they must run with the system's default."""
    default = LIBC.prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)
    LIBC.prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0)
    time.sleep(seconds)
    LIBC.prctl(PR_SET_TIMERSLACK, default, 0, 0, 0)
