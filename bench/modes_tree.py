"""The tree mode: a file of a known name in a folder of a random name
(BASE/tmp*/payload.json), the folder made at once before the file, as
`mktemp -d` and a write would; in an empty base, among many matching
folders, and under a storm of other names in the base."""

import contextlib
import os

import measures
import subjects
from modes import shortest, shortest_trials
from subjects import NOBODY
from trial import Bench, ShortLived

TREE_PATTERN = "tmp*/payload.json"
TREE_FOLDERS, FILES_A_FOLDER = 1000, 10
TREE_LIFETIMES_MS = (0.2, 0.5, 1, 2)
TREE_STORM_PER_SECOND = 10000
# A file under four new folders, the first of which matches, made one
# after the other as mkdir -p makes them, then the file at once.
NESTED_PATTERN = "tmp*/a/b/c/payload.json"
NESTED_LIFETIMES_MS = (0.5, 1, 2)


def tree_folders(work, quick):
    """An empty base, and a base of matching folders that each hold other
    files, not the awaited one. Returns their patterns, and the count of
    matching folders."""
    count = 100 if quick else TREE_FOLDERS
    patterns = {}
    for key, folders in (("quiet", 0), ("many", count)):
        base = os.path.join(work, f"tree_{key}")
        os.mkdir(base)
        for number in range(folders):
            folder = os.path.join(base, f"tmp.{number:06}")
            os.mkdir(folder)
            for other in range(FILES_A_FOLDER):
                open(os.path.join(folder, f"other_{other:02}.json"), "wb").close()
        patterns[key] = os.path.join(base, TREE_PATTERN)
    return patterns, count


def holds_a_tree(bench, pattern, subject):
    """Whether fileholder holds a file in a folder of a random name that is
    there when it starts."""
    bench.pattern = pattern
    _, path = bench.appear(pattern)
    running = bench.start(subject, pattern)
    held = running.wait_line(b"- done", 2) is not None
    running.stop()
    bench.remove(path)
    bench.pattern = None
    return held


def tree(options, work, patterns, count):
    """The figures of the tree mode, side by side with the tree floor, the
    inotifywait -r pipeline, the Python glob loop and the fanotify floor with
    each mark asked for. fileholder (as root or as nobody) is left out, and
    said to be, when it does not hold a file in a wildcard folder."""
    quick = options.quick
    bench = Bench(subjects.tree_subjects(options.fileholder, work, options.fanotify_marks), work,
                  subjects.build(work, "busy_folder.c"), subjects.sleep_floor(work))
    got = {"folders": count, "files_a_folder": FILES_A_FOLDER, "loads": {}, "left_out": bench.left_out,
           "root": os.geteuid() == 0}
    for subject in ("fileholder", NOBODY):
        if subject in bench.commands and not holds_a_tree(bench, patterns["quiet"], subject):
            del bench.commands[subject]
            bench.left_out[subject] = ("it did not hold a file in a folder of a random name that was "
                                       "there when it started")  # report_tree.HOLDS
    got["subjects"] = all_subjects = list(bench.commands)
    bench.pattern = patterns["quiet"]
    got["trials"] = 5 if quick else 200
    # A folder's watch set too late misses a file made in it before: the
    # inotifywait pipeline never lists the folder. Such a file is missed.
    got["latency"] = measures.latency(bench, got["trials"], all_subjects, missed_after=0.05)
    got["rounds"] = 2 if quick else 100
    got["catch"], got["lived"] = measures.catch_rate(bench, got["rounds"], all_subjects, TREE_LIFETIMES_MS)
    got["shortest_trials"] = shortest_trials(quick)
    got["shortest"] = shortest(bench, work, got["shortest_trials"], all_subjects)
    # The nested trials: beside the tree floor, whose walk follows the
    # literal folders below the matching one; the pipeline and the glob
    # loop, which miss most files made under new folders, are left out.
    got["nested_subjects"] = nested = [s for s in all_subjects if s not in ("inotifywait -r loop",
                                                                         "Python glob loop")]
    bench.pattern = os.path.join(os.path.dirname(os.path.dirname(patterns["quiet"])), NESTED_PATTERN)
    with ShortLived(subjects.build(work, "short_lived.c")) as maker:
        got["nested_catch"], got["nested_times"] = measures.held_catch(
            bench, maker, got["rounds"], nested, NESTED_LIFETIMES_MS)

    @contextlib.contextmanager
    def waiting(key, storm=False):
        """Waiting on the base's pattern, with a storm of other names made
        and deleted in the base."""
        load = contextlib.nullcontext()
        if storm:
            runs = got["loads"].setdefault(f"other files in the {key} base", [])
            load = bench.load(runs, TREE_STORM_PER_SECOND, os.path.dirname(os.path.dirname(patterns[key])))
        with load:
            yield patterns[key]

    # The Python loop is left out of the storm, which changes nothing for it.
    events = [s for s in all_subjects if s != "Python glob loop"]
    conditions = [("quiet", all_subjects, lambda: waiting("quiet")),
                  ("many", all_subjects, lambda: waiting("many")),
                  ("storm", events, lambda: waiting("quiet", storm=True))]
    got["cost"] = measures.polling_cost(bench, *measures.cost_plan(quick), conditions)
    bench.pattern = None
    return got
