"""Measures fileholder side by side with what a user would reach for instead.

For a known name: fileholder, a Python polling loop, a shell polling loop and
an inotify watcher (the event-driven floor that polling can only approach),
also in a busy folder (another process makes and deletes 10,000 other files a
second), under a storm on the name (a folder at the awaited name, its times
set 10,000 times a second) and in a sweep of folder events from 100 to 10,000
a second, about the name and about other names. For a pattern (FOLDER/is-*.tmp,
randomly named files appearing): fileholder, a C inotify opener (the pattern
floor), the inotifywait pipeline a user would write and a Python loop that
lists the folder, also in folders of many files and under storms. For a
folder pattern (BASE/tmp*/payload.json, each file in a folder of a random
name made just before it): fileholder, a C opener that watches each
matching folder (the tree floor), `inotifywait -m -r` piped into a shell
loop and a Python loop that runs glob.glob, also among 1,000 matching
folders, under a storm of other names in the base, and for files under four
new folders (BASE/tmp*/a/b/c/payload.json) made in a row. CPU is
judged as a multiple of a bare 1 ms sleep loop run beside each subject and
measured over the same interval: the cost of a timer wake-up on this machine
drifts too much from minute to minute for a floor taken apart.

Every mode also counts the files caught that live 10 µs (created, written,
closed and deleted at once by bench/short_lived.c), each a catch only when
the subject holds that very file, deleted, with the trial's own content.
Run as root, every mode adds two subjects: the same fileholder run as user
nobody ("fileholder (nobody)"), whom fanotify refuses, and the fanotify
floor (bench/fanotify_floor.c), told of each open in the marked folders; in
the tree mode one such floor a mark (--fanotify-marks: a mark on each
matching folder, on the base's mount, on its file system). Run as another
user, both are left out and the reports say so.

    python3 bench [--quick] [--fileholder PATH] [--data DIR]
                  [--storm-only | --pattern-only | --tree-only]
                  [--fanotify-marks folder,mount,filesystem]
                  [--windows EXE ... [--wine LOADER] [--windows-only]]

Prints Markdown tables and a summary line per mode. Every figure is checked
to be present and sane: exit status 2 when one is missing or broken. The full
run also checks fileholder's targets and exits 1 when one is missed: those
of today for fileholder as root and as nobody, and as root the 10 µs
files caught (all for a name and a pattern, 95% for a folder pattern) and
the busy folder's CPU within 2x the sleep floor. --quick is a smoke run in
some seconds and does not judge targets. --storm-only
measures the storm on the name and the sweep, --pattern-only the pattern
mode, --tree-only the tree mode, each with their targets. The tree mode
leaves fileholder out, and says so, when it does not hold a file in a
folder of a random name; the full run counts that as a target missed.

--windows adds a Windows program, run as `LOADER EXE NAME` (LOADER is `wine`
unless --wine names another; set WINEPREFIX and, for wine64, WINELOADER in the
environment); given twice, two builds are compared in the same rounds. They
are measured for latency and the catch rate of 0.5 ms and 1 ms files, and
with a pattern (Z:\\...\\is-*.tmp) for the catch rate and CPU in a quiet
folder and among many files, and for CPU with a folder pattern among the
tree mode's matching folders (Z:\\...\\tmp*\\payload.json), printed as their
own table, and are indicative: no targets. --windows-only leaves the Linux subjects out.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import figures
import modes
import modes_pattern
import modes_tree
import report
import report_pattern
import report_tree
from subjects import FANOTIFY_MARKS, HERE
from trial import Bench


def modes_asked(options):
    """The modes to run: "literal" (with --storm-only, its storm and sweep
    alone), "pattern", "tree", "windows"."""
    for only, mode in ((options.storm_only, "literal"), (options.pattern_only, "pattern"),
                       (options.tree_only, "tree")):
        if only:
            return {mode}
    asked = {"windows"} if options.windows else set()
    return asked if options.windows_only else asked | {"literal", "pattern", "tree"}


def measure(options, work):
    """Runs the modes asked for; returns their figures by mode."""
    got = {}
    asked = modes_asked(options)
    bench = Bench({}, work, None, None)
    if "literal" in asked:
        got["literal"] = modes.literal(options, work)
        bench = got["literal"].pop("bench")
    if asked & {"pattern", "windows"}:
        patterns, sizes = modes_pattern.pattern_folders(work, options.quick)
    if asked & {"tree", "windows"}:
        trees = modes_tree.tree_folders(work, options.quick)
    if "pattern" in asked:
        got["pattern"] = modes_pattern.pattern(options, work, patterns, sizes)
        got["pattern"].pop("bench")
    if "tree" in asked:
        got["tree"] = modes_tree.tree(options, work, *trees)
    if "windows" in asked:
        got["windows"] = modes.windows(options, work, bench, patterns, sizes, trees)
    return got


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small run, for a smoke test")
    parser.add_argument("--fileholder", default=os.path.join(HERE, "..", "build", "release", "fileholder"))
    parser.add_argument("--data", help="write the catch rates here, for the plots")
    parser.add_argument("--windows", metavar="EXE", action="append",
                        help="also measure this Windows program under Wine (may be repeated)")
    parser.add_argument("--wine", metavar="LOADER", default="wine", help="runs --windows (default: wine)")
    parser.add_argument("--windows-only", action="store_true", help="measure only the --windows programs")
    parser.add_argument("--fanotify-marks", metavar="MARK[,MARK...]",
                        help="the tree mode's fanotify floors, by their mark: "
                             f"{', '.join(FANOTIFY_MARKS)} (default: all; with --quick, mount)")
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--storm-only", action="store_true",
                      help="measure only the storm on the name and the sweep")
    only.add_argument("--pattern-only", action="store_true",
                      help="measure only the pattern mode")
    only.add_argument("--tree-only", action="store_true",
                      help="measure only the tree mode (a folder pattern)")
    options = parser.parse_args()
    # Found before the Linux measurements, not after them.
    if options.windows and not (all(map(os.path.isfile, options.windows)) and shutil.which(options.wine)):
        parser.error(f"--windows needs an existing EXE and a loader to run it ({options.wine})")
    if options.windows_only and not options.windows:
        parser.error("--windows-only needs --windows")
    if (options.storm_only or options.pattern_only or options.tree_only) and options.windows:
        parser.error("--storm-only, --pattern-only and --tree-only measure no Windows program")
    marks = options.fanotify_marks or ("mount" if options.quick else ",".join(FANOTIFY_MARKS))
    options.fanotify_marks = list(dict.fromkeys(marks.split(",")))
    if not set(options.fanotify_marks) <= set(FANOTIFY_MARKS):
        parser.error(f"--fanotify-marks takes {', '.join(FANOTIFY_MARKS)}")

    # Subjects run as user nobody read every folder and file that it makes,
    # and the paths that subjects hold are compared as the kernel gives them.
    os.umask(0o022)
    work = os.path.realpath(tempfile.mkdtemp(prefix="fileholder-bench-"))
    os.chmod(work, 0o755)
    try:
        got = measure(options, work)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as failure:
        print(f"broken: the measurement failed: {failure}")
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
    problems = figures.broken(got)
    if problems:
        print("broken: " + "; ".join(problems))
        return 2
    missed = []
    if "literal" in got:
        missed += report.literal(got["literal"], options.data)
    if "pattern" in got:
        missed += report_pattern.pattern(got["pattern"], options.data)
    if "tree" in got:
        missed += report_tree.tree(got["tree"], options.data)
    if "windows" in got:
        report.windows(got["windows"])
    return 0 if options.quick or not missed else 1


if __name__ == "__main__":
    sys.exit(main())
