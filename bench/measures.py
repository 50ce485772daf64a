"""The measures, each over subjects in turn, round by round, so that drift of
the machine hits all alike: latency, catch rate, CPU while waiting under
each load, wake-ups and memory while holding, start-up."""

import contextlib
import math
import os
import random
import statistics
import time

from trial import TIMES, precise_sleep

LIFETIMES_MS = (0.2, 0.5, 1, 2, 5)
# Files created, written, closed and deleted at once: from the create's
# return to the delete's call.
SHORTEST_MS = 0.01
# From a subject's start line to its CPU being counted: its start settles.
SETTLE_SECONDS = 0.3


def cost_plan(quick):
    """Rounds and seconds of each CPU measurement: a smoke run's are short
    (and so is its settling, at most as long)."""
    return (1, 0.1) if quick else (3, 1.5)


def check_opened(bench, running, subject, path):
    """A pattern's subject must say it opened the file that appeared: the
    same name from the first wildcard component on."""
    opened = running.opened()
    if not bench.pattern:
        return
    parts = bench.pattern.split("/")
    depth = len(parts) - min(index for index, part in enumerate(parts) if "*" in part)
    tail = "/" + "/".join(path.split("/")[-depth:])
    if opened is None or not opened.replace("\\", "/").endswith(tail):
        raise RuntimeError(f"{subject} said it opened {opened!r}, not {path}")


def latency(bench, trials, subjects, missed_after=None):
    """From the moment the file appears to the done line (ms), for each.
    Given missed_after (s), a file not held by then counts as missed, None
    among the results; else a missed file fails the run."""
    results = {subject: [] for subject in subjects}
    for _, subject in bench.rounds(trials, subjects):
        name = bench.awaited()
        running = bench.start(subject, name)
        time.sleep(random.uniform(0.003, 0.008))  # a random phase of the poll
        appeared, path = bench.appear(name)
        held = running.wait_line(b"- done", missed_after or 10)
        running.stop()
        bench.remove(path)
        if held is None and missed_after:
            results[subject].append(None)
            continue
        if held is None:
            raise RuntimeError(f"{subject} missed a file that stayed")
        check_opened(bench, running, subject, path)
        results[subject].append((held - appeared) / 1e6)
    return results


def catch_rate(bench, rounds, subjects, lifetimes=LIFETIMES_MS, wait=0.03):
    """Share of files caught that live each lifetime, and the median lifetime
    as measured (ms); wait is how long a held file may take to show its
    done line."""
    caught = {subject: {ms: 0 for ms in lifetimes} for subject in subjects}
    lived = {ms: [] for ms in lifetimes}
    for _, subject in bench.rounds(rounds, subjects):
        name = bench.awaited()
        running = bench.start(subject, name)
        for lifetime in random.sample(lifetimes, len(lifetimes)):
            time.sleep(random.uniform(0.003, 0.008))
            # The creator sleeps rather than spins: a spinning creator keeps
            # a woken subject off its processor and measures the scheduler.
            appeared, path = bench.appear(name)
            precise_sleep(lifetime / 1000)
            gone = bench.remove(path)
            lived[lifetime].append((gone - appeared) / 1e6)
            if running.wait_line(b"- done", wait) is not None:
                check_opened(bench, running, subject, path)
                caught[subject][lifetime] += 1
                running.stop()
                running = bench.start(subject, name)
        running.stop()
    shares = {s: {ms: n / rounds for ms, n in by.items()} for s, by in caught.items()}
    return shares, {ms: statistics.median(v) for ms, v in lived.items()}


def held_catch(bench, maker, rounds, subjects, lifetimes=(SHORTEST_MS,), wait=0.03):
    """Share of the files caught that live each lifetime, made by the C maker
    in one go (the folders from the first wildcard one down, then the file,
    created with content of its own, written and closed, deleted after the
    lifetime); and the median lifetimes as measured (ms), by trial.TIMES.
    A file is caught only when the subject, its done line come within wait
    of the delete, holds that very file (Running.holds)."""
    caught = {subject: {ms: 0 for ms in lifetimes} for subject in subjects}
    times = {key: {ms: [] for ms in lifetimes} for key in TIMES}
    for _, subject in bench.rounds(rounds, subjects):
        name = bench.awaited()
        running = bench.start(subject, name)
        try:
            for lifetime in random.sample(lifetimes, len(lifetimes)):
                time.sleep(random.uniform(0.003, 0.008))  # a random phase of the poll
                path, new_folders = bench.short_lived(name)
                content = bench.unique_content()
                for key, value in maker.make(path, content, lifetime, new_folders).items():
                    times[key][lifetime].append(value)
                if running.wait_line(b"- done", wait) is None:
                    continue
                # Done, but maybe late, with an earlier file: a miss all the same.
                if running.holds(path, content.encode()):
                    check_opened(bench, running, subject, path)
                    caught[subject][lifetime] += 1
                running.stop()
                running = bench.start(subject, name)
        finally:
            running.stop()
    shares = {s: {ms: n / rounds for ms, n in by.items()} for s, by in caught.items()}
    return shares, {key: {ms: statistics.median(v) for ms, v in by.items()} for key, by in times.items()}


def cpu_share(bench, subject, seconds, name=None):
    """CPU shares of one core while waiting on a name that never opens: the
    subject's and that of the sleep floor run beside it, over the same
    interval; and the subject's wake-ups a second (voluntary switches, each
    a sleep that ended)."""
    running = bench.start(subject, name or bench.awaited())
    floor = bench.start_floor()
    try:
        time.sleep(min(SETTLE_SECONDS, seconds))
        cpu_before, floor_before = running.cpu_ns(), floor.cpu_ns()
        slept_before, at_before = running.status("voluntary_ctxt_switches"), time.perf_counter_ns()
        time.sleep(seconds)
        spent, floor_spent = running.cpu_ns() - cpu_before, floor.cpu_ns() - floor_before
        slept = running.status("voluntary_ctxt_switches") - slept_before
        elapsed = time.perf_counter_ns() - at_before
        held = running.wait_line(b"- done", 0.01) is not None
    finally:
        floor.stop()
        running.stop()
    if held:
        raise RuntimeError(f"{subject} held a name that never opens")
    return spent / elapsed, floor_spent / elapsed, slept / (elapsed / 1e9)


def polling_cost(bench, rounds, seconds, conditions):
    """CPU shares and wake-ups a second while waiting, under each condition
    in turn, round by round, each subject with the sleep floor beside it. A
    condition is (key, subjects, load): load() gives a context that runs it
    and yields the name to wait on, or None for a fresh one. Returns {key:
    {"cpu": {subject: mean}, "floor": {subject: the mean of the floor beside
    it}, "ratio": {subject: cpu / floor}, "wakeups": ...}}."""
    got = {key: {"cpu": {}, "floor": {}, "wakeups": {}} for key, _, _ in conditions}
    for _ in range(rounds):
        for key, subjects, load in conditions:
            with load() as name:
                for subject in subjects:
                    for kind, value in zip(("cpu", "floor", "wakeups"), cpu_share(bench, subject, seconds, name)):
                        got[key][kind].setdefault(subject, []).append(value)
    means = {key: {kind: {s: statistics.mean(v) for s, v in by.items()} for kind, by in figures.items()}
             for key, figures in got.items()}
    for figures in means.values():
        figures["ratio"] = {s: cpu / figures["floor"][s] if figures["floor"][s] > 0 else math.inf
                            for s, cpu in figures["cpu"].items()}
    return means


@contextlib.contextmanager
def quiet():
    yield None


def holding(bench, rounds, seconds, subjects):
    """Wake-ups per second while holding, and peak resident memory (KiB)."""
    wakeups = {subject: [] for subject in subjects}
    peak = {subject: [] for subject in subjects}
    for _, subject in bench.rounds(rounds, subjects):
        name = bench.fresh_name()
        bench.appear(name)
        running = bench.start(subject, name)
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


def start_up(bench, trials, subjects):
    """From launching the process to its line for a file that exists (ms)."""
    times = {subject: [] for subject in subjects}
    for _, subject in bench.rounds(trials, subjects):
        name = bench.fresh_name()
        bench.appear(name)
        running = bench.launch(subject, name)
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
