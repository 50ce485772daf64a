"""What the modes of a known name measure (with the storm on it and the
sweep of event rates), and the Windows program's."""

import contextlib
import os

import measures
import subjects
from measures import quiet
from subjects import INOTIFY_NOBODY
from trial import STORM_TOUCHES_PER_SECOND, Bench, ShortLived

WINDOWS_LIFETIMES_MS = (0.5, 1)
# Files of 10 µs a subject, in each mode: 40 leave a target of 100% some meaning.
SHORTEST_TRIALS = 40
BUSY_FILES_PER_SECOND = 10000
# Folder events a second in the sweep; 10,000 are the busy folder and the storm.
SWEEP_RATES = (100, 300, 1000, 3000)


def literal(options, work):
    """The figures for a known name, and the Bench that measured them."""
    quick = options.quick
    bench = Bench(subjects.literal_subjects(options.fileholder, work), work,
                  subjects.build(work, "busy_folder.c"), subjects.sleep_floor(work))
    # The reference of fileholder (nobody)'s start-up alone.
    all_subjects = [s for s in bench.commands if s != INOTIFY_NOBODY]
    # The shell loop polls like the Python loop; in the busy folder and under
    # the storm it would only add its own cost.
    busy_subjects = storm_subjects = [s for s in all_subjects if s != "shell loop"]
    got = {"bench": bench, "subjects": all_subjects, "busy_subjects": busy_subjects,
           "storm_subjects": storm_subjects, "loads": {}, "left_out": bench.left_out,
           "root": os.geteuid() == 0}

    def load(key, per_second, about_name):
        runs = got["loads"].setdefault(key, [])
        if about_name:
            return lambda: bench.storm(runs, per_second)
        return lambda: bench.load(runs, per_second)

    conditions = [("storm", storm_subjects, load("storm", STORM_TOUCHES_PER_SECOND, True))]
    # The sweep: fileholder under events about its name and about others.
    for rate in SWEEP_RATES:
        conditions += [(f"name {rate}", ["fileholder"], load(f"name {rate}", rate, True)),
                       (f"other {rate}", ["fileholder"], load(f"other {rate}", rate, False))]
    cost_rounds, cost_seconds = measures.cost_plan(quick)
    if options.storm_only:
        got["cost"] = measures.polling_cost(bench, cost_rounds, cost_seconds, conditions)
        return got
    got["trials"] = 5 if quick else 250
    got["latency"] = measures.latency(bench, got["trials"], all_subjects)
    with bench.load(got["loads"].setdefault("busy", []), BUSY_FILES_PER_SECOND):
        got["busy_latency"] = measures.latency(bench, got["trials"], busy_subjects)
    got["rounds"] = 2 if quick else 120
    got["catch"], got["lived"] = measures.catch_rate(bench, got["rounds"], all_subjects)
    got["shortest_trials"] = shortest_trials(quick)
    got["shortest"] = shortest(bench, work, got["shortest_trials"], all_subjects)
    conditions[:0] = [("quiet", all_subjects, quiet),
                      ("busy", busy_subjects, load("busy", BUSY_FILES_PER_SECOND, False))]
    got["cost"] = measures.polling_cost(bench, cost_rounds, cost_seconds, conditions)
    got["wakeups"], got["peak"] = measures.holding(bench, 1 if quick else 5, 0.3 if quick else 1,
                                                   all_subjects)
    got["start"] = measures.start_up(bench, 5 if quick else 40,
                                     all_subjects + [s for s in (INOTIFY_NOBODY,) if s in bench.commands])
    return got


def shortest_trials(quick):
    return 2 if quick else SHORTEST_TRIALS


def shortest(bench, work, trials, names):
    """The catch rate of files that live 10 µs by the subjects named, and
    their lifetimes: what measures.held_catch gives for that lifetime alone."""
    with ShortLived(subjects.build(work, "short_lived.c")) as maker:
        catch, times = measures.held_catch(bench, maker, trials, names)
    return {"catch": {s: by[measures.SHORTEST_MS] for s, by in catch.items()}, "realtime": maker.realtime,
            **{key: by[measures.SHORTEST_MS] for key, by in times.items()}}


def windows(options, work, bench, patterns, sizes, trees):
    """The Windows programs under Wine: latency and catch rate for a known
    name; for a pattern, catch rate and CPU in a quiet folder and in one of
    many files; CPU for a folder pattern among many matching folders (trees,
    the tree mode's patterns and count of folders), and for a known name.
    Each program is a subject of its own, named as given, so that two builds
    can be compared in one interleaved run. Its CPU is judged against a
    Sleep(1) loop run by the same Wine loader beside it: under Wine a pause
    costs several times what it costs a Linux program. The first start under
    Wine also starts the Wine server, which takes seconds; later starts take
    a tenth of one."""
    quick = options.quick
    programs = list(dict.fromkeys(options.windows))
    got = {"windows": programs, "many_files": sizes["many_files"], "tree_folders": trees[1]}
    for exe in programs:
        bench.commands[exe] = [options.wine, os.path.abspath(exe)]
        bench.start_timeout[exe] = 60
        # The pattern as a Windows name: the Unix root is drive Z:.
        bench.arguments[exe] = lambda name: "Z:" + name.replace("/", "\\") if "*" in name else name
    bench.floor = bench.floor or subjects.sleep_floor(work)
    got["windows_trials"] = 5 if quick else 100
    got["windows_latency"] = measures.latency(bench, got["windows_trials"], programs)
    got["windows_rounds"] = 3 if quick else 100
    # Wine takes longer from the open to the line on the pipe.
    got["windows_catch"], got["windows_lived"] = measures.catch_rate(
        bench, got["windows_rounds"], programs, WINDOWS_LIFETIMES_MS, wait=0.3)
    for folder in ("quiet", "many"):
        bench.pattern = patterns[folder]
        got[f"windows_{folder}_catch"], got[f"windows_{folder}_lived"] = measures.catch_rate(
            bench, got["windows_rounds"], programs, WINDOWS_LIFETIMES_MS, wait=0.3)
    bench.pattern = None
    conditions = [("literal", programs, quiet),
                  ("quiet", programs, lambda: contextlib.nullcontext(patterns["quiet"])),
                  ("many", programs, lambda: contextlib.nullcontext(patterns["many"])),
                  ("tree", programs, lambda: contextlib.nullcontext(trees[0]["many"]))]
    linux_floor, bench.floor = bench.floor, subjects.windows_sleep_floor(work, programs[0], options.wine)
    try:
        got["windows_cost"] = measures.polling_cost(bench, 1 if quick else 3, 0.5 if quick else 1.5,
                                                    conditions)
    finally:
        bench.floor = linux_floor
    return got
