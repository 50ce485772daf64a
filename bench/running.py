"""A subject's process while it runs: its lines, the processes of its
session and the CPU time they spend."""

import os
import select
import signal
import subprocess
import time

TICKS = os.sysconf("SC_CLK_TCK")


class Running:
    """One running subject: a process in its own session, its output lines."""

    def __init__(self, command, name, extra=(), **credentials):
        """credentials: Popen's user, group and extra_groups, to run as another user."""
        self.started = time.perf_counter_ns()
        self.process = subprocess.Popen(command + [name, *extra], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                        start_new_session=True, **credentials)
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

    def status(self, field, words=False):
        """A number of /proc/PID/status, or with words, the field's words."""
        for line in self.proc("status").splitlines():
            key, _, value = line.partition(":")
            if key == field:
                return value.split() if words else int(value.split()[0])
        raise KeyError(field)

    def holds(self, path, content):
        """Whether a process of its session holds that very file, deleted:
        a descriptor whose link is the path with " (deleted)", whose content,
        read back through /proc/PID/fd/N, is the content it was made with."""
        for pid in self.processes():
            folder = f"/proc/{pid}/fd"
            try:
                descriptors = os.listdir(folder)
            except OSError:
                continue  # ended in between
            for fd in descriptors:
                try:
                    if os.readlink(f"{folder}/{fd}") != path + " (deleted)":
                        continue
                    with open(f"{folder}/{fd}", "rb") as file:
                        if file.read(len(content) + 1) == content:
                            return True
                except OSError:
                    continue
        return False

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
