"""The pattern mode: what it measures, and in which folders: a quiet one,
one of many other files, and a huge one that also holds matches that cannot
be opened, where the costs of matching churn, floods and dangling links are
taken too."""

import contextlib
import os

import delays
import measures
import subjects
from modes import BUSY_FILES_PER_SECOND, shortest, shortest_trials
from trial import STORM_TOUCHES_PER_SECOND, Bench

PATTERN = "is-*.tmp"
MANY_FILES, HUGE_FILES, UNOPENABLE_MATCHES = 10000, 100000, 1000
# Matches of mode 0 made and deleted a second in the huge folder, and
# touches a second of two dangling symbolic links that match there.
CHURN_RATES, LINK_TOUCH_RATES = (1000, 3000), (1000, 10000)


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
        at = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        names = [(f"other_{n:06}.tmp", 0o644) for n in range(others)]
        for name, mode in names + [(f"is-locked{n:04}.tmp", 0) for n in range(unopenable)]:
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, mode, dir_fd=at))
            os.chmod(name, mode, dir_fd=at)  # whatever the umask
        os.close(at)
        patterns[folder] = os.path.join(path, PATTERN)
    return patterns, sizes


def pattern(options, work, patterns, sizes):
    """The figures for a pattern, side by side with the pattern floor, the
    inotifywait pipeline and the Python loop."""
    quick = options.quick
    bench = Bench(subjects.pattern_subjects(options.fileholder, work), work,
                  subjects.build(work, "busy_folder.c"), subjects.sleep_floor(work))
    all_subjects = list(bench.commands)
    got = {"bench": bench, "subjects": all_subjects, "loads": {}, "asked": {}, **sizes,
           "left_out": bench.left_out, "root": os.geteuid() == 0}
    bench.pattern = patterns["quiet"]
    got["trials"] = 5 if quick else 200
    got["latency"] = measures.latency(bench, got["trials"], all_subjects)
    got["rounds"] = 2 if quick else 100
    got["catch"], got["lived"] = measures.catch_rate(bench, got["rounds"], all_subjects)
    got["shortest_trials"] = shortest_trials(quick)
    got["shortest"] = shortest(bench, work, got["shortest_trials"], all_subjects)
    bench.pattern = patterns["many"]
    got["many_catch"], got["many_lived"] = measures.catch_rate(bench, got["rounds"], all_subjects, (0.2,))
    bench.pattern = None
    huge = os.path.dirname(patterns["huge"])
    nowhere = os.path.join(work, "nowhere")  # where dangling links point, and their targets appear
    os.mkdir(nowhere)

    @contextlib.contextmanager
    def waiting(folder, load=None, per_second=0, how=(), name=PATTERN, nobody=False, links=()):
        """Waiting on name in the folder, under the load (its key) of
        per_second events that busy_folder makes as how asks, with dangling
        symbolic links that match; as user nobody when the folder's matches
        must not open (root opens files of mode 0)."""
        path = os.path.dirname(patterns[folder])
        for link in links:
            os.symlink(os.path.join(nowhere, link), os.path.join(path, link))
        bench.user = "nobody" if nobody and os.geteuid() == 0 else None
        context = contextlib.nullcontext()
        if load:
            got["asked"][load] = per_second
            context = bench.load(got["loads"].setdefault(load, []), per_second, path, how)
        try:
            with context:
                yield os.path.join(path, name)
        finally:
            bench.user = None
            for link in links:
                os.unlink(os.path.join(path, link))

    got["storm_subjects"] = events = [s for s in all_subjects if s != "Python loop"]
    # Matches that cannot be opened, waited on as user nobody: fileholder
    # runs as nobody there already.
    bounded = ["fileholder", "pattern floor"]
    others, storm = BUSY_FILES_PER_SECOND, STORM_TOUCHES_PER_SECOND
    conditions = [
        ("quiet", all_subjects, lambda: waiting("quiet")),
        ("many", all_subjects, lambda: waiting("many")),
        ("storm", events, lambda: waiting("quiet", "other files in the quiet folder", others)),
        ("huge", bounded, lambda: waiting("huge", nobody=True)),
        ("huge storm", bounded, lambda: waiting("huge", "other files in the huge folder", others, nobody=True)),
        ("huge match storm", bounded, lambda: waiting("huge", "touches of a match in the huge folder", storm,
                                                      ("touch", "is-locked0000.tmp"), nobody=True)),
        # A pattern no file matches, while two other names are touched in turn.
        ("huge touch storm", bounded, lambda: waiting("huge", "touches of 2 other names in the huge folder",
                                                      storm, ("touch", "other_000000.tmp", "other_000001.tmp"),
                                                      "new-*.tmp")),
    ]
    for rate in CHURN_RATES:
        conditions.append((f"churn {rate}", bounded, lambda rate=rate: waiting(
            "huge", f"unopenable tmp<N> at {rate:,}/s in the huge folder", rate,
            ("locked", "tmp"), "tmp*", nobody=True)))
    for rate in LINK_TOUCH_RATES:
        conditions.append((f"links {rate}", bounded, lambda rate=rate: waiting(
            "huge", f"touches of 2 dangling links at {rate:,}/s in the huge folder", rate,
            ("touch", "tmpL1", "tmpL2"), "tmp*", links=("tmpL1", "tmpL2"))))
    got["cost"] = measures.polling_cost(bench, *measures.cost_plan(quick), conditions)
    got["flood"], got["flood_runs"] = delays.after_flood(
        bench, 2 if quick else 5, os.path.join(huge, "new-*.tmp"), 0.2 if quick else 0.5,
        ("other_000000.tmp", "other_000001.tmp"))
    got["link_target"] = delays.after_link_target(bench, 2 if quick else 5, huge, nowhere)
    return got
