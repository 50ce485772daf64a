"""The pattern mode: what it measures, and in which folders: a quiet one,
one of many other files, and a huge one that also holds matches that cannot
be opened."""

import contextlib
import os

import measures
import subjects
from measures import quiet
from modes import BUSY_FILES_PER_SECOND
from trial import STORM_TOUCHES_PER_SECOND, Bench

PATTERN = "is-*.tmp"
MANY_FILES, HUGE_FILES, UNOPENABLE_MATCHES = 10000, 100000, 1000


def pattern_folders(work, quick):
    """A quiet folder, one of many other files and a huge one that also holds
    matches that cannot be opened (mode 0, and waited on as another user
    than root). Returns their patterns by name, and their sizes."""
    sizes = {"many_files": 1000 if quick else MANY_FILES, "huge_files": 10000 if quick else HUGE_FILES,
             "unopenable": 100 if quick else UNOPENABLE_MATCHES,
             "unopenable_how": "mode 0 files" + (", waited on as user nobody" if os.geteuid() == 0 else "")}
    contents = {"quiet": (0, 0), "many": (sizes["many_files"], 0),
                "huge": (sizes["huge_files"], sizes["unopenable"])}
    patterns = {}
    for folder, (others, unopenable) in contents.items():
        path = os.path.join(work, folder)
        os.mkdir(path)
        for number in range(others):
            open(os.path.join(path, f"other_{number:06}.tmp"), "wb").close()
        for number in range(unopenable):
            name = os.path.join(path, f"is-locked{number:04}.tmp")
            open(name, "wb").close()
            os.chmod(name, 0)
        patterns[folder] = os.path.join(path, PATTERN)
    return patterns, sizes


def pattern(options, work, patterns, sizes):
    """The figures for a pattern, side by side with the pattern floor, the
    inotifywait pipeline and the Python loop."""
    quick = options.quick
    bench = Bench(subjects.pattern_subjects(options.fileholder, work), work,
                  subjects.build(work, "busy_folder.c"), subjects.sleep_floor(work))
    all_subjects = list(bench.commands)
    got = {"bench": bench, "subjects": all_subjects, "loads": {}, **sizes}
    bench.pattern = patterns["quiet"]
    got["trials"] = 10 if quick else 200
    got["latency"] = measures.latency(bench, got["trials"], all_subjects)
    got["rounds"] = 3 if quick else 100
    got["catch"], got["lived"] = measures.catch_rate(bench, got["rounds"], all_subjects)
    bench.pattern = patterns["many"]
    got["many_catch"], got["many_lived"] = measures.catch_rate(bench, got["rounds"], all_subjects, (0.2,))

    @contextlib.contextmanager
    def waiting(folder, per_second=0, entry=None):
        """Waiting on the folder's pattern, under a load of per_second
        events (files made, or touches of entry); the huge folder's
        matches cannot be opened by the subjects, who run as nobody there."""
        load = quiet()
        if per_second:
            events = "touches of a match" if entry else "other files"
            runs = got["loads"].setdefault(f"{events} in the {folder} folder", [])
            how = ("touch", entry) if entry else ()
            load = bench.load(runs, per_second, os.path.dirname(patterns[folder]), how)
        bench.user = "nobody" if folder == "huge" and os.geteuid() == 0 else None
        try:
            with load:
                yield patterns[folder]
        finally:
            bench.user = None

    events = ["fileholder", "pattern floor", "inotifywait loop"]
    bounded = ["fileholder", "pattern floor"]
    storm = STORM_TOUCHES_PER_SECOND
    conditions = [
        ("quiet", all_subjects, lambda: waiting("quiet")),
        ("many", all_subjects, lambda: waiting("many")),
        ("storm", events, lambda: waiting("quiet", BUSY_FILES_PER_SECOND)),
        ("huge", bounded, lambda: waiting("huge")),
        ("huge storm", bounded, lambda: waiting("huge", BUSY_FILES_PER_SECOND)),
        ("huge match storm", bounded, lambda: waiting("huge", storm, "is-locked0000.tmp")),
    ]
    got["cost"] = measures.polling_cost(bench, 1 if quick else 3, 0.5 if quick else 1.5, conditions)
    bench.pattern = None
    return got
