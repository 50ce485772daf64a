"""Measures fileholder side by side with what a user would reach for instead.

For a known name: fileholder, a Python polling loop, a shell polling loop and
an inotify watcher (the event-driven floor that polling can only approach),
also in a busy folder (another process makes and deletes 10,000 other files a
second), under a storm on the name (a folder at the awaited name, its times
set 10,000 times a second) and in a sweep of folder events from 100 to 10,000
a second, about the name and about other names. For a pattern (FOLDER/is-*.tmp,
randomly named files appearing): fileholder, a C inotify opener (the pattern
floor), the inotifywait pipeline a user would write and a Python loop that
lists the folder, also in folders of many files and under storms. CPU is
judged as a multiple of a bare 1 ms sleep loop run beside each subject and
measured over the same interval: the cost of a timer wake-up on this machine
drifts too much from minute to minute for a floor taken apart.

    python3 bench [--quick] [--fileholder PATH] [--data DIR]
                  [--storm-only | --pattern-only]
                  [--windows EXE ... [--wine LOADER] [--windows-only]]

Prints Markdown tables and a summary line per mode. Every figure is checked
to be present and sane: exit status 2 when one is missing or broken. The full
run also checks fileholder's targets and exits 1 when one is missed; --quick
is a smoke run in some seconds and does not judge targets. --storm-only
measures the storm on the name and the sweep, --pattern-only the pattern
mode, each with their targets.

--windows adds a Windows program, run as `LOADER EXE NAME` (LOADER is `wine`
unless --wine names another; set WINEPREFIX and, for wine64, WINELOADER in the
environment); given twice, two builds are compared in the same rounds. They
are measured for latency and the catch rate of 0.5 ms and 1 ms files, and
with a pattern (Z:\\...\\is-*.tmp) for the catch rate and CPU in a quiet
folder and among many files, printed as their own table, and are indicative:
no targets. --windows-only leaves the Linux subjects out.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import figures
import modes
import report
import report_pattern
from subjects import HERE
from trial import Bench


def measure(options, work):
    """Runs the modes asked for; returns their figures by mode."""
    got = {}
    bench = Bench({}, work, None, None)
    if not options.windows_only and not options.pattern_only:
        got["literal"] = modes.literal(options, work)
        bench = got["literal"].pop("bench")
    if not options.storm_only:
        patterns, sizes = modes.pattern_folders(work, options.quick)
        if not options.windows_only:
            got["pattern"] = modes.pattern(options, work, patterns, sizes)
            got["pattern"].pop("bench")
        if options.windows:
            got["windows"] = modes.windows(options, work, bench, patterns, sizes)
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
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--storm-only", action="store_true",
                      help="measure only the storm on the name and the sweep")
    only.add_argument("--pattern-only", action="store_true",
                      help="measure only the pattern mode")
    options = parser.parse_args()
    # Found before the Linux measurements, not after them.
    if options.windows and not (all(map(os.path.isfile, options.windows)) and shutil.which(options.wine)):
        parser.error(f"--windows needs an existing EXE and a loader to run it ({options.wine})")
    if options.windows_only and not options.windows:
        parser.error("--windows-only needs --windows")
    if (options.storm_only or options.pattern_only) and options.windows:
        parser.error("--storm-only and --pattern-only measure no Windows program")

    work = tempfile.mkdtemp(prefix="fileholder-bench-")
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
    if "windows" in got:
        report.windows(got["windows"])
    return 0 if options.quick or not missed else 1


if __name__ == "__main__":
    sys.exit(main())
