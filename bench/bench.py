#!/usr/bin/env python3
"""Measures fileholder side by side with what a user would reach for instead.

Subjects, run interleaved round by round so that drift of the machine hits all
alike: fileholder itself, a Python polling loop, a shell polling loop, and an
inotify watcher (the event-driven floor that polling can only approach). A
bare 1 ms sleep loop is measured in the same rounds for CPU: fileholder's CPU
is judged against it. Some figures are taken again in a busy folder, where
another process (busy_folder.c) creates and deletes 10,000 other files a
second, and under a storm on the name itself: a folder stands at the awaited
name, so it never opens, and busy_folder.c sets its times 10,000 times a
second, each an event about that very name in the watched folder. There CPU
and wake-ups a second are measured while polling.

    python3 bench/bench.py [--quick] [--fileholder PATH] [--data DIR]
                           [--windows EXE ... [--wine LOADER] [--windows-only]]
                           [--storm-only]

Prints a Markdown table and a one-line summary. Every figure is checked to be
present and sane: exit status 2 when one is missing or broken. The full run
also checks fileholder's targets and exits 1 when one is missed; --quick is a
smoke run of the whole procedure in some seconds and does not judge targets.
--storm-only measures just the storm's rows and the sleep floor, with their
targets.

--windows adds a Windows program, run as `LOADER EXE NAME` (LOADER is `wine`
unless --wine names another; set WINEPREFIX and, for wine64, WINELOADER in the
environment); given twice, two builds are compared in the same rounds. They
are measured for latency and the catch rate of 0.5 ms and 1 ms files only,
printed as their own table, and are indicative: no targets. --windows-only
leaves the Linux subjects out.
"""

import argparse
import contextlib
import ctypes
import math
import os
import random
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LIFETIMES_MS = (0.2, 0.5, 1, 2, 5)
WINDOWS_LIFETIMES_MS = (0.5, 1)
BUSY_FILES_PER_SECOND = 10000
STORM_TOUCHES_PER_SECOND = 10000
# The inotify floor, woken by any change in its folder, that wakes less often
# than this under the storm does not see it: it wakes for most touches.
STORM_WAKEUPS_LEAST = 100
TICKS = os.sysconf("SC_CLK_TCK")
LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_TIMERSLACK, PR_GET_TIMERSLACK = 29, 30

PYTHON_LOOP = """
import signal, sys, time
name = sys.argv[1]
print("- start", flush=True)
while True:
    try:
        held = open(name, "rb")
        break
    except OSError:
        time.sleep(0.001)
print("- done", flush=True)
while True:
    signal.pause()
"""

# Holds through descriptor 3 in the shell itself, which then waits on a child
# that never ends: no wake-ups.
SHELL_LOOP = """
echo "- start"
until exec 3<"$1"; do sleep 0.001; done
echo "- done"
sleep infinity &
wait
"""


class Subject:
    """One running subject: a process in its own group, its output lines."""

    def __init__(self, command, name, extra=()):
        self.started = time.perf_counter_ns()
        self.process = subprocess.Popen(command + [name, *extra], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                        start_new_session=True)
        self.fd = self.process.stdout.fileno()
        self.buffer = b""
        self.last_line = ""

    def wait_line(self, prefix, timeout):
        """The time the line starting with prefix arrived, or None. Matching
        the start alone also takes the Windows program's CR LF lines."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.buffer.split(b"\n")
            for index, line in enumerate(lines[:-1]):
                if line.startswith(prefix):
                    self.buffer = b"\n".join(lines[index + 1:])
                    self.last_line = line.decode(errors="replace")
                    return self.arrived
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 4096)
            self.arrived = time.perf_counter_ns()
            if not chunk:
                return None
            self.buffer += chunk

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
        """CPU time of the process and of the children it has reaped."""
        own = int(self.proc("schedstat").split()[0])
        stat = self.proc("stat").rsplit(")", 1)[1].split()
        children = int(stat[13]) + int(stat[14])  # cutime, cstime
        return own + children * 1_000_000_000 // TICKS

    def switches(self):
        return self.status("voluntary_ctxt_switches") + self.status("nonvoluntary_ctxt_switches")

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        self.process.stdout.close()


class BusyFolder:
    """The other process that creates and deletes files in the folder while
    the block runs, or, given an entry of it, sets that entry's times. Each
    run's (files or touches made, seconds) is added to runs."""

    def __init__(self, binary, folder, runs, per_second, entry=None):
        self.binary, self.folder, self.runs = binary, folder, runs
        self.extra = [str(per_second)] + ([entry] if entry else [])

    def __enter__(self):
        self.running = Subject([self.binary], self.folder, extra=self.extra)
        if self.running.wait_line(b"- start", 10) is None:
            self.running.stop()
            raise RuntimeError(f"busy_folder FOLDER {' '.join(self.extra)} did not start")
        return self

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
    def __init__(self, subjects, folder, busy_binary):
        self.subjects = subjects
        self.commands = dict(subjects)  # the subjects and the references
        self.folder = folder
        self.busy_binary = busy_binary
        self.busy_runs = []  # (files made, seconds) of each busy period
        self.storm_runs = []  # (touches made, seconds) of each storm
        self.start_timeout = {}  # seconds, for subjects slow to start
        self.counter = 0

    def busy_folder(self):
        return BusyFolder(self.busy_binary, self.folder, self.busy_runs, BUSY_FILES_PER_SECOND)

    @contextlib.contextmanager
    def storm(self):
        """A folder at a fresh name, its times set by another process while
        the block runs: every touch an attribute change naming it in the
        folder that its waiters watch. Yields the name, which never opens."""
        name = self.fresh_name()
        os.mkdir(name)
        made = os.stat(name).st_mtime_ns
        try:
            with BusyFolder(self.busy_binary, self.folder, self.storm_runs,
                            STORM_TOUCHES_PER_SECOND, os.path.basename(name)):
                yield name
            # Touches beside the name would leave its waiters a busy folder.
            if os.stat(name).st_mtime_ns == made:
                raise RuntimeError("the storm did not touch the awaited name")
        finally:
            os.rmdir(name)

    def fresh_name(self):
        self.counter += 1
        return os.path.join(self.folder, f"target{self.counter}")

    def appear(self, name):
        """Makes name exist, complete, in one step; returns the time just before."""
        scratch = name + ".part"
        with open(scratch, "wb") as file:
            file.write(b"data\n")
        before = time.perf_counter_ns()
        os.rename(scratch, name)
        return before

    def start(self, subject, name):
        running = Subject(self.commands[subject], name)
        if running.wait_line(b"- start", self.start_timeout.get(subject, 10)) is None:
            running.stop()
            raise RuntimeError(f"{subject} did not start")
        return running

    def rounds(self, count, subjects=None):
        """Yields (round, subject) with the subjects in turn, round by round."""
        for number in range(count):
            for subject in subjects or self.subjects:
                yield number, subject

    def latency(self, trials, subjects=None):
        subjects = subjects or list(self.subjects)
        results = {subject: [] for subject in subjects}
        for _, subject in self.rounds(trials, subjects):
            name = self.fresh_name()
            running = self.start(subject, name)
            time.sleep(random.uniform(0.003, 0.008))  # a random phase of the poll
            appeared = self.appear(name)
            held = running.wait_line(b"- done", 10)
            running.stop()
            os.unlink(name)
            if held is None:
                raise RuntimeError(f"{subject} missed a file that stayed")
            results[subject].append((held - appeared) / 1e6)
        return results

    def catch_rate(self, rounds, subjects=None, lifetimes=LIFETIMES_MS, wait=0.03):
        """Share of files caught that live each lifetime; wait is how long a
        held file may take to show its done line."""
        subjects = subjects or list(self.subjects)
        caught = {subject: {ms: 0 for ms in lifetimes} for subject in subjects}
        lived = {ms: [] for ms in lifetimes}
        for _, subject in self.rounds(rounds, subjects):
            name = self.fresh_name()
            running = self.start(subject, name)
            for lifetime in random.sample(lifetimes, len(lifetimes)):
                time.sleep(random.uniform(0.003, 0.008))
                # The creator sleeps rather than spins: a spinning creator keeps
                # a woken subject off its processor and measures the scheduler.
                appeared = self.appear(name)
                precise_sleep(lifetime / 1000)
                os.unlink(name)
                lived[lifetime].append((time.perf_counter_ns() - appeared) / 1e6)
                if running.wait_line(b"- done", wait) is not None:
                    caught[subject][lifetime] += 1
                    running.stop()
                    running = self.start(subject, name)
            running.stop()
        shares = {s: {ms: n / rounds for ms, n in by.items()} for s, by in caught.items()}
        return shares, {ms: statistics.median(v) for ms, v in lived.items()}

    def cpu_share(self, subject, seconds, name=None):
        """CPU share of one core while polling a name that never opens, and
        wake-ups a second: voluntary switches, each a sleep that ended."""
        running = self.start(subject, name or self.fresh_name())
        time.sleep(0.3)
        cpu_before, slept_before = running.cpu_ns(), running.status("voluntary_ctxt_switches")
        at_before = time.perf_counter_ns()
        time.sleep(seconds)
        spent = running.cpu_ns() - cpu_before
        slept = running.status("voluntary_ctxt_switches") - slept_before
        elapsed = time.perf_counter_ns() - at_before
        held = running.wait_line(b"- done", 0.01) is not None
        running.stop()
        if held:
            raise RuntimeError(f"{subject} held a name that never opens")
        return spent / elapsed, slept / (elapsed / 1e9)

    def polling_cost(self, rounds, seconds, quiet_subjects, busy_subjects, storm_subjects):
        """CPU shares while polling, in a quiet folder, in the busy folder and
        under the storm on the name, each round all three; wake-ups a second
        quiet and under the storm."""
        got = {key: {} for key in ("cpu", "quiet_wakeups", "busy_cpu", "storm_cpu", "storm_wakeups")}

        def measure(subjects, cpu, wakeups=None, name=None):
            for subject in subjects:
                share, rate = self.cpu_share(subject, seconds, name)
                got[cpu].setdefault(subject, []).append(share)
                if wakeups:
                    got[wakeups].setdefault(subject, []).append(rate)

        for _ in range(rounds):
            measure(quiet_subjects, "cpu", "quiet_wakeups")
            if busy_subjects:
                with self.busy_folder():
                    measure(busy_subjects, "busy_cpu")
            with self.storm() as name:
                measure(storm_subjects, "storm_cpu", "storm_wakeups", name)
        return {key: {s: statistics.mean(v) for s, v in by.items()} for key, by in got.items()}

    def holding(self, rounds, seconds):
        """Wake-ups per second while holding, and peak resident memory (KiB)."""
        wakeups = {subject: [] for subject in self.subjects}
        peak = {subject: [] for subject in self.subjects}
        for _, subject in self.rounds(rounds):
            name = self.fresh_name()
            self.appear(name)
            running = self.start(subject, name)
            if running.wait_line(b"- done", 10) is None:
                raise RuntimeError(f"{subject} did not hold an existing file")
            time.sleep(0.2)
            before = running.switches()
            time.sleep(seconds)
            wakeups[subject].append((running.switches() - before) / seconds)
            peak[subject].append(running.status("VmHWM"))
            running.stop()
            os.unlink(name)
        return {s: statistics.mean(v) for s, v in wakeups.items()}, peak

    def start_up(self, trials):
        """From launching the process to its line for a file that exists (ms)."""
        times = {subject: [] for subject in self.subjects}
        for _, subject in self.rounds(trials):
            name = self.fresh_name()
            self.appear(name)
            running = Subject(self.subjects[subject], name)
            held = running.wait_line(b"- done", 10)
            running.stop()
            os.unlink(name)
            if held is None:
                raise RuntimeError(f"{subject} did not hold an existing file")
            times[subject].append((held - running.started) / 1e6)
        return {s: statistics.median(v) for s, v in times.items()}


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def build(folder, source):
    """Compiles one of the C references kept beside this script."""
    binary = os.path.join(folder, os.path.splitext(source)[0])
    compiler = shutil.which("cc") or shutil.which("gcc")
    subprocess.run([compiler, "-O2", "-o", binary, os.path.join(HERE, source)], check=True)
    return binary


def precise_sleep(seconds):
    """Sleeps with this thread's timer slack at 1 ns, so a short lifetime is
    kept closely. The slack goes back at once: subjects started later inherit
    it, and they must run with the system's default."""
    default = LIBC.prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)
    LIBC.prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0)
    time.sleep(seconds)
    LIBC.prctl(PR_SET_TIMERSLACK, default, 0, 0, 0)



def broken_figures(figures):
    """What is missing or not a sane number among the figures: (label, value,
    lowest, highest, lowest allowed) tuples. Says nothing of targets."""
    problems = []
    for label, value, low, high, low_allowed in figures:
        if not isinstance(value, (int, float)) or not math.isfinite(value):
            problems.append(f"{label} is {value!r}")
        elif value < low or value > high or (value == low and not low_allowed):
            problems.append(f"{label} is {value:g}, outside {low:g}..{high:g}")
    return problems


def positive(label, value):
    return (label, value, 0, math.inf, False)


def at_least_zero(label, value):
    return (label, value, 0, math.inf, True)


def share(label, value):
    return (label, value, 0, 1, True)


def latency_figures(where, latency, subjects, trials):
    figures = []
    for subject in subjects:
        values = latency.get(subject, [])
        figures.append((f"{subject}: {where} trials", len(values), trials, trials, True))
        figures += [positive(f"{subject}: {where} latency", value) for value in values]
    return figures


def catch_figures(catch, lived, subjects, lifetimes):
    figures = [share(f"{s}: caught, lives {ms} ms", catch.get(s, {}).get(ms))
               for s in subjects for ms in lifetimes]
    return figures + [positive(f"lifetime {ms} ms as measured", lived.get(ms)) for ms in lifetimes]


def measure(options, work):
    """Runs every measurement; returns the figures by name."""
    quick = options.quick
    got = {}
    bench = Bench({}, work, None)
    if not options.windows_only:
        got = measure_linux(options, work)
        bench = got.pop("bench")
    if options.windows:
        # Each program under Wine is a subject of its own, named as given,
        # so that two builds can be compared in one interleaved run. The first
        # start under Wine also starts the Wine server, which takes seconds;
        # later starts take a tenth of one.
        got["windows"] = list(dict.fromkeys(options.windows))
        for exe in got["windows"]:
            bench.commands[exe] = [options.wine, os.path.abspath(exe)]
            bench.start_timeout[exe] = 60
        got["windows_trials"] = 5 if quick else 100
        got["windows_latency"] = bench.latency(got["windows_trials"], got["windows"])
        got["windows_rounds"] = 3 if quick else 100
        # Wine takes longer from the open to the line on the pipe.
        got["windows_catch"], got["windows_lived"] = bench.catch_rate(
            got["windows_rounds"], got["windows"], WINDOWS_LIFETIMES_MS, wait=0.3)
    return got


def measure_linux(options, work):
    """The Linux subjects' figures, and the Bench that measured them."""
    quick = options.quick
    subjects = {
        "fileholder": [os.path.abspath(options.fileholder)],
        "Python loop": [sys.executable, "-c", PYTHON_LOOP],
        "shell loop": ["bash", "-c", SHELL_LOOP, "shell"],
        "inotify (floor)": [build(work, "inotify_holder.c")],
    }
    bench = Bench(subjects, work, build(work, "busy_folder.c"))
    bench.commands["sleep floor"] = [build(work, "sleep_floor.c")]
    # The shell loop polls like the Python loop; in the busy folder and under
    # the storm it would only add its own cost. The sleep floor under the
    # storm shows what the storm's process costs others on this machine.
    busy_subjects = ["fileholder", "Python loop", "inotify (floor)"]
    storm_subjects = busy_subjects + ["sleep floor"]
    got = {"bench": bench, "subjects": subjects, "busy_subjects": busy_subjects,
           "storm_subjects": storm_subjects, "storm_runs": bench.storm_runs}
    cost_rounds, cost_seconds = (1, 0.5) if quick else (3, 3)
    if options.storm_only:
        got.update(bench.polling_cost(cost_rounds, cost_seconds, ["sleep floor"], [], storm_subjects))
        return got
    got["trials"] = 10 if quick else 250
    got["latency"] = bench.latency(got["trials"])
    with bench.busy_folder():
        got["busy_latency"] = bench.latency(got["trials"], busy_subjects)
    got["rounds"] = 3 if quick else 120
    got["catch"], got["lived"] = bench.catch_rate(got["rounds"])
    got.update(bench.polling_cost(cost_rounds, cost_seconds, list(bench.commands), busy_subjects,
                                  storm_subjects))
    got["wakeups"], got["peak"] = bench.holding(1 if quick else 7, 0.5 if quick else 1)
    got["start"] = bench.start_up(5 if quick else 40)
    got["busy_runs"] = bench.busy_runs
    return got


def check_figures(got):
    """Every figure present and sane; the list of what is not."""
    figures = []
    if "windows_latency" in got:
        figures += latency_figures("Wine", got["windows_latency"], got["windows"], got["windows_trials"])
        figures += catch_figures(got["windows_catch"], got["windows_lived"], got["windows"],
                                 WINDOWS_LIFETIMES_MS)
    if "subjects" in got:
        figures += linux_figures(got)
    return broken_figures(figures)


def linux_figures(got):
    figures = storm_figures(got)
    if "latency" not in got:
        return figures
    subjects = got["subjects"]
    figures += latency_figures("quiet", got["latency"], subjects, got["trials"])
    figures += latency_figures("busy folder", got["busy_latency"], got["busy_subjects"], got["trials"])
    figures += catch_figures(got["catch"], got["lived"], subjects, LIFETIMES_MS)
    figures += [at_least_zero(f"{s}: CPU polling", got["cpu"].get(s)) for s in subjects]
    figures += [at_least_zero(f"{s}: CPU polling, busy folder", got["busy_cpu"].get(s))
                for s in got["busy_subjects"]]
    figures.append(at_least_zero("fileholder: wake-ups/s polling", got["quiet_wakeups"].get("fileholder")))
    figures += [at_least_zero(f"{s}: wake-ups/s holding", got["wakeups"].get(s)) for s in subjects]
    figures += [positive(f"{s}: peak resident", v) for s in subjects for v in got["peak"].get(s) or [None]]
    figures += [positive(f"{s}: start-up", got["start"].get(s)) for s in subjects]
    return figures + load_figures("busy folder", got["busy_runs"])


def storm_figures(got):
    figures = [positive("sleep floor: CPU", got["cpu"].get("sleep floor"))]
    for s in got["storm_subjects"]:
        figures += [at_least_zero(f"{s}: CPU polling, storm on the name", got["storm_cpu"].get(s)),
                    at_least_zero(f"{s}: wake-ups/s, storm on the name", got["storm_wakeups"].get(s))]
    # Without this the storm could miss the watch and every figure still look fine.
    figures.append(("inotify (floor): wake-ups/s, storm on the name",
                    got["storm_wakeups"].get("inotify (floor)"), STORM_WAKEUPS_LEAST, math.inf, True))
    return figures + load_figures("storm on the name", got["storm_runs"])


def load_figures(load, runs):
    """The other process's periods: there are some, and each made something."""
    figures = [positive(f"{load}: periods run", len(runs))]
    for made, seconds in runs:
        figures += [positive(f"{load}: made", made), positive(f"{load}: seconds", seconds)]
    return figures


def load_rate(runs):
    """What the other process made a second over all its periods, and in its slowest."""
    return sum(m for m, _ in runs) / sum(s for _, s in runs), min(m / s for m, s in runs)


def report(got, data):
    """Prints the tables and the summary; returns the targets missed."""
    missed = report_linux(got, data) if "subjects" in got else []
    if "windows_latency" in got:
        windows = got["windows"]
        print("| Windows program under Wine | " + " | ".join(windows) + " |")
        print("|---|" + "---:|" * len(windows))
        rows = [("latency p50 (ms)", lambda v: f"{statistics.median(v):.3f}"),
                ("latency p99 (ms)", lambda v: f"{percentile(v, 0.99):.3f}")]
        for label, shown in rows:
            print(f"| {label} | " + " | ".join(shown(got["windows_latency"][w]) for w in windows) + " |")
        for ms in WINDOWS_LIFETIMES_MS:
            print(f"| caught, lives {ms} ms ({got['windows_lived'][ms]:.2f}) | "
                  + " | ".join(f"{got['windows_catch'][w][ms]:.0%}" for w in windows) + " |")
        print()
    return missed


def report_linux(got, data):
    """The Linux table, its notes and the summary; returns the targets missed.
    With --storm-only there are only the storm's rows."""
    floor = got["cpu"]["sleep floor"]

    def relative(share):
        return f"{share * 100:.2f} ({share / floor:.2f}×)"

    parts = [storm_part(got, floor, relative)]
    if "latency" in got:
        parts.insert(0, full_part(got, floor, relative, data))
    rows = [row for part in parts for row in part["rows"]]
    subjects = [s for s in got["subjects"] if any(s in values for _, values in rows)]
    print("| | " + " | ".join(subjects) + " |")
    print("|---|" + "---:|" * len(subjects))
    for label, values in rows:
        print(f"| {label} | " + " | ".join(values.get(s, "—") for s in subjects) + " |")
    print()
    print(f"sleep floor (a bare 1 ms sleep loop): {floor * 100:.2f}% of a core; "
          + "; ".join(part["note"] for part in parts))
    print()
    missed = [label for part in parts for label, ok in part["checks"].items() if not ok]
    print("summary: fileholder " + ", ".join(part["summary"] for part in parts) + "; "
          + ("all targets met" if not missed else "missed: " + ", ".join(missed)))
    return missed


def full_part(got, floor, relative, data):
    """Every row but the storm's, with their notes, targets and summary."""
    subjects, latency, busy_latency = got["subjects"], got["latency"], got["busy_latency"]
    catch, lived, cpu, busy_cpu, peak = got["catch"], got["lived"], got["cpu"], got["busy_cpu"], got["peak"]
    busy_rate, slowest = load_rate(got["busy_runs"])
    rows = [
        ("latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in latency.items()}),
        ("latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in latency.items()}),
        ("busy folder: latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in busy_latency.items()}),
        ("busy folder: latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in busy_latency.items()}),
        ("busy folder: latency max (ms)", {s: f"{max(v):.3f}" for s, v in busy_latency.items()}),
    ]
    for ms in LIFETIMES_MS:
        rows.append((f"caught, lives {ms} ms ({lived[ms]:.2f})", {s: f"{catch[s][ms]:.0%}" for s in subjects}))
    rows += [
        ("CPU while polling, % of a core (× sleep floor)", {s: relative(cpu[s]) for s in subjects}),
        ("busy folder: CPU while polling, % of a core (× sleep floor)", {s: relative(busy_cpu[s]) for s in busy_cpu}),
        ("wake-ups/s while holding", {s: f"{got['wakeups'][s]:.1f}" for s in subjects}),
        ("peak resident, median (range) (MiB)",
         {s: f"{statistics.median(peak[s]) / 1024:.2f} ({min(peak[s]) / 1024:.2f}–{max(peak[s]) / 1024:.2f})"
          for s in subjects}),
        ("start-up to held (ms)", {s: f"{got['start'][s]:.2f}" for s in subjects}),
    ]

    if data:
        os.makedirs(data, exist_ok=True)
        with open(os.path.join(data, "catch_rate.dat"), "w") as out:
            out.write("lifetime_ms " + " ".join(f'"{s}"' for s in subjects) + "\n")
            for ms in LIFETIMES_MS:
                out.write(f"{ms} " + " ".join(f"{catch[s][ms] * 100:.1f}" for s in subjects) + "\n")

    me = "fileholder"
    p50, p99 = statistics.median(latency[me]), percentile(latency[me], 0.99)
    busy_p99 = percentile(busy_latency[me], 0.99)
    # The busy folder is judged at p99, not max: a single trial can be held
    # up by the scheduler on a loaded machine whatever the design, and the
    # max is shown beside it. Caught within 1 ms: the latency also holds the
    # way from the open to this script reading the done line, which the
    # quiet folder's p50 measures (the file is then opened at once). Never
    # later than plain polling: the Python loop polls plainly, in the same
    # folder and load.
    delivery = p50
    plain_busy_p99 = percentile(busy_latency["Python loop"], 0.99)
    checks = {
        "p50 <= 0.15 ms": p50 <= 0.15,
        "p99 <= 0.5 ms": p99 <= 0.5,
        "0.2 ms caught >= 95%": catch[me][0.2] >= 0.95,
        "all >= 0.5 ms caught": all(catch[me][ms] == 1 for ms in LIFETIMES_MS if ms >= 0.5),
        "CPU <= 1.3x the sleep floor": cpu[me] <= 1.3 * floor,
        "busy folder CPU <= 2.5x the sleep floor": busy_cpu[me] <= 2.5 * floor,
        "busy folder p99 <= 1 ms + the open-to-read time": busy_p99 <= 1.0 + delivery,
        "busy folder p99 <= plain polling's": busy_p99 <= plain_busy_p99,
        "0 wake-ups": got["wakeups"][me] == 0,
        "peak <= 1.5 MiB": statistics.median(peak[me]) <= 1536,
        # Starting a process costs what the machine makes it cost; the
        # inotify floor, a minimal C program, does the same work.
        "start-up <= 1.25x the inotify floor's": got["start"][me] <= 1.25 * got["start"]["inotify (floor)"],
        # Not fileholder's: without the load the busy-folder figures mean little.
        f"busy folder made >= 90% of {BUSY_FILES_PER_SECOND:,} files/s": busy_rate >= 0.9 * BUSY_FILES_PER_SECOND,
    }
    note = (f"busy folder: {busy_rate:,.0f} files/s made and deleted (asked {BUSY_FILES_PER_SECOND:,}), "
            f"over {len(got['busy_runs'])} periods, the slowest at {slowest:,.0f}")
    summary = (f"p50 {p50:.3f} ms, p99 {p99:.3f} ms, busy folder p99 {busy_p99:.3f} ms "
               f"(max {max(busy_latency[me]):.3f}), 0.2 ms files caught {catch[me][0.2]:.0%}, "
               f"CPU {cpu[me] * 100:.2f}% of a core = {cpu[me] / floor:.2f}× the sleep floor "
               f"({floor * 100:.2f}%), busy folder {busy_cpu[me] / floor:.2f}×, "
               f"{got['quiet_wakeups'][me]:.0f} wake-ups/s polling, {got['wakeups'][me]:.1f} holding, "
               f"{statistics.median(peak[me]) / 1024:.2f} MiB peak, start-up {got['start'][me]:.2f} ms, "
               f"busy folder {busy_rate:,.0f} files/s")
    return {"rows": rows, "note": note, "checks": checks, "summary": summary}


def storm_part(got, floor, relative):
    """The rows of the storm on the name, with their note, targets and summary."""
    cpu, wakeups = got["storm_cpu"], got["storm_wakeups"]
    rate, slowest = load_rate(got["storm_runs"])
    me = "fileholder"
    rows = [
        ("storm on the name: CPU while polling, % of a core (× sleep floor)", {s: relative(cpu[s]) for s in cpu}),
        ("storm on the name: wake-ups/s while polling", {s: f"{wakeups[s]:,.0f}" for s in wakeups}),
    ]
    checks = {
        "storm on the name CPU <= 2x the sleep floor": cpu[me] <= 2 * floor,
        # Not fileholder's: without the load the storm's figures mean little.
        f"storm on the name made >= 90% of {STORM_TOUCHES_PER_SECOND:,} touches/s":
            rate >= 0.9 * STORM_TOUCHES_PER_SECOND,
    }
    note = (f"storm on the name: {rate:,.0f} touches/s (asked {STORM_TOUCHES_PER_SECOND:,}), "
            f"over {len(got['storm_runs'])} storms, the slowest at {slowest:,.0f}; "
            f"the sleep floor under it {cpu['sleep floor'] * 100:.2f}%")
    summary = (f"storm on the name {cpu[me] * 100:.2f}% of a core = {cpu[me] / floor:.2f}× the sleep floor, "
               f"{wakeups[me]:,.0f} wake-ups/s, {rate:,.0f} touches/s")
    return {"rows": rows, "note": note, "checks": checks, "summary": summary}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small run, for a smoke test")
    parser.add_argument("--fileholder", default=os.path.join(HERE, "..", "build", "release", "fileholder"))
    parser.add_argument("--data", help="write catch_rate.dat here, for the plot")
    parser.add_argument("--windows", metavar="EXE", action="append",
                        help="also measure this Windows program under Wine (may be repeated)")
    parser.add_argument("--wine", metavar="LOADER", default="wine", help="runs --windows (default: wine)")
    parser.add_argument("--windows-only", action="store_true", help="measure only the --windows programs")
    parser.add_argument("--storm-only", action="store_true",
                        help="measure only the storm on the name (and the sleep floor)")
    options = parser.parse_args()
    # Found before the Linux measurements, not after them.
    if options.windows and not (all(map(os.path.isfile, options.windows)) and shutil.which(options.wine)):
        parser.error(f"--windows needs an existing EXE and a loader to run it ({options.wine})")
    if options.windows_only and not options.windows:
        parser.error("--windows-only needs --windows")
    if options.storm_only and options.windows:
        parser.error("--storm-only measures no Windows program")

    work = tempfile.mkdtemp(prefix="fileholder-bench-")
    try:
        got = measure(options, work)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as failure:
        print(f"broken: the measurement failed: {failure}")
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
    problems = check_figures(got)
    if problems:
        print("broken: " + "; ".join(problems))
        return 2
    missed = report(got, options.data)
    return 0 if options.quick or not missed else 1


if __name__ == "__main__":
    sys.exit(main())
