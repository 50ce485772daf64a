"""Running a trial: a subject's process and its lines, the other process that
loads the folder, and the Bench that starts subjects and makes files appear."""

import contextlib
import ctypes
import os
import random
import select
import signal
import string
import subprocess
import time

TICKS = os.sysconf("SC_CLK_TCK")
LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_TIMERSLACK, PR_GET_TIMERSLACK = 29, 30
STORM_TOUCHES_PER_SECOND = 10000


class Running:
    """One running subject: a process in its own session, its output lines."""

    def __init__(self, command, name, extra=(), user=None):
        self.started = time.perf_counter_ns()
        self.process = subprocess.Popen(command + [name, *extra], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                        start_new_session=True, user=user)
        self.fd = self.process.stdout.fileno()
        self.buffer = b""
        self.last_line = ""
        self.lines = []  # every line read, in order

    def wait_line(self, prefix, timeout):
        """The time the line starting with prefix arrived, or None. Matching
        the start alone also takes the Windows program's CR LF lines."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.buffer.split(b"\n")
            for index, line in enumerate(lines[:-1]):
                self.lines.append(line.decode(errors="replace").rstrip("\r"))
                if line.startswith(prefix):
                    self.buffer = b"\n".join(lines[index + 1:])
                    self.last_line = self.lines[-1]
                    return self.arrived
            self.buffer = lines[-1]
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 4096)
            self.arrived = time.perf_counter_ns()
            if not chunk:
                return None
            self.buffer += chunk

    def opened(self):
        """The name of its "- opened NAME" line, if it printed one."""
        found = [line[len("- opened "):] for line in self.lines if line.startswith("- opened ")]
        return found[-1] if found else None

    def processes(self):
        """Its session: the process and whatever it started (a pipeline's parts)."""
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if self.stat(entry)[3] == str(self.process.pid):  # the session id
                        pids.append(entry)
                except OSError:
                    pass
        return pids

    def stat(self, pid):
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()

    def proc(self, name):
        with open(f"/proc/{self.process.pid}/{name}") as file:
            return file.read()

    def status(self, field):
        for line in self.proc("status").splitlines():
            key, _, value = line.partition(":")
            if key == field:
                return int(value.split()[0])
        raise KeyError(field)

    def cpu_ns(self):
        """CPU time of its session's processes and of the children they reaped."""
        total = 0
        for pid in self.processes():
            try:
                with open(f"/proc/{pid}/schedstat") as file:
                    own = int(file.read().split()[0])
                stat = self.stat(pid)
            except OSError:
                continue  # ended in between
            children = int(stat[13]) + int(stat[14])  # cutime, cstime
            total += own + children * 1_000_000_000 // TICKS
        return total

    def switches(self):
        return self.status("voluntary_ctxt_switches") + self.status("nonvoluntary_ctxt_switches")

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        self.process.stdout.close()


class Load:
    """The other process that creates and deletes files in the folder while
    the block runs, or, given an entry of it, sets that entry's times. Each
    run's (files or touches made, seconds) is added to runs."""

    def __init__(self, binary, folder, runs, per_second, entry=None):
        self.binary, self.folder, self.runs = binary, folder, runs
        self.extra = [str(per_second)] + ([entry] if entry else [])

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
    (FOLDER/PREFIX*SUFFIX), at which each file appears with a random name."""

    def __init__(self, commands, folder, busy_binary):
        self.commands = dict(commands)  # the subjects and the references
        self.folder = folder
        self.busy_binary = busy_binary
        self.pattern = None
        self.user = None  # whom subjects run as, when not this process's user
        self.arguments = {}  # subject: how it is given the awaited name
        self.start_timeout = {}  # seconds, for subjects slow to start
        self.counter = 0

    def load(self, runs, per_second, entry=None, folder=None):
        return Load(self.busy_binary, folder or self.folder, runs, per_second, entry)

    @contextlib.contextmanager
    def storm(self, runs, per_second=STORM_TOUCHES_PER_SECOND):
        """A folder at a fresh name, its times set by another process while
        the block runs: every touch an attribute change naming it in the
        folder that its waiters watch. Yields the name, which never opens."""
        name = self.fresh_name()
        os.mkdir(name)
        made = os.stat(name).st_mtime_ns
        try:
            with self.load(runs, per_second, os.path.basename(name), os.path.dirname(name)):
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
        one step; returns the time just before, and the file's path. A
        pattern's file is written elsewhere first, so that the folder sees
        only its arrival."""
        if self.pattern:
            folder, pattern = os.path.split(awaited)
            prefix, suffix = pattern.split("*")
            letters = "".join(random.choices(string.ascii_letters + string.digits, k=8))
            name = os.path.join(folder, prefix + letters + suffix)
            scratch = os.path.join(self.folder, "scratch")
        else:
            name = awaited
            scratch = name + ".part"
        with open(scratch, "wb") as file:
            file.write(b"data\n")
        before = time.perf_counter_ns()
        os.rename(scratch, name)
        return before, name

    def start(self, subject, name, timeout=None):
        argument = self.arguments.get(subject, lambda name: name)(name)
        running = Running(self.commands[subject], argument, user=self.user)
        if running.wait_line(b"- start", timeout or self.start_timeout.get(subject, 10)) is None:
            running.stop()
            raise RuntimeError(f"{subject} did not start")
        return running

    def rounds(self, count, subjects):
        """Yields (round, subject) with the subjects in turn, round by round."""
        for number in range(count):
            for subject in subjects:
                yield number, subject


def precise_sleep(seconds):
    """Sleeps with this thread's timer slack at 1 ns, so a short lifetime is
    kept closely. The slack goes back at once: subjects started later inherit
    it, and they must run with the system's default."""
    default = LIBC.prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)
    LIBC.prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0)
    time.sleep(seconds)
    LIBC.prctl(PR_SET_TIMERSLACK, default, 0, 0, 0)
