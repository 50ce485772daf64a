"""The benchmark's bookkeeping, on made-up figures: where short-lived files
are made, what counts as a broken figure, whose targets are judged and how
they are named, and who is left out when the benchmark is not root."""

import os
import re
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import figures  # noqa: E402
import report  # noqa: E402
import subjects  # noqa: E402
from subjects import FANOTIFY, NOBODY  # noqa: E402
from trial import Bench  # noqa: E402


class ShortLivedPaths(unittest.TestCase):
    def test_where_and_how_many_folders(self):
        """(awaited, pattern set, the path's shape, new folders)"""
        cases = [
            ("/w/target1", False, r"/w/target1", 0),
            ("/w/quiet/is-*.tmp", True, r"/w/quiet/is-\w{8}\.tmp", 0),
            ("/w/base/tmp*/payload.json", True, r"/w/base/tmp\w{8}/payload\.json", 1),
            ("/w/base/tmp*/a/b/c/payload.json", True, r"/w/base/tmp\w{8}/a/b/c/payload\.json", 4),
        ]
        bench = Bench({}, "/w", None, None)
        for awaited, pattern, shape, new_folders in cases:
            with self.subTest(awaited=awaited):
                bench.pattern = awaited if pattern else None
                path, count = bench.short_lived(awaited)
                self.assertRegex(path, "^" + shape + "$")
                self.assertEqual(count, new_folders)

    def test_contents_differ(self):
        bench = Bench({}, "/w", None, None)
        contents = [bench.unique_content() for _ in range(100)]
        self.assertEqual(len(set(contents)), 100)
        self.assertTrue(all(re.fullmatch(r"[0-9a-f.]+", c) for c in contents))


class BrokenFigures(unittest.TestCase):
    def test_files_of_10_us(self):
        """(catches, lifetimes, subjects told of every file, broken labels)"""
        times = {"lived": 0.01, "gone": 0.02, "span": 0.05}
        cases = [
            ({"fileholder": 0.0, FANOTIFY: 1.0}, times, [FANOTIFY], []),
            ({"fileholder": None, FANOTIFY: 1.0}, times, [FANOTIFY], ["fileholder: caught"]),
            # Told of every file yet caught none: the maker or the judging is broken.
            ({"fileholder": 0.0, FANOTIFY: 0.0}, times, [FANOTIFY], [f"{FANOTIFY}: caught"]),
            ({"fileholder": 0.0, FANOTIFY: 0.0}, times, [], []),
            ({"fileholder": 1.5}, times, [], ["fileholder: caught"]),
            ({"fileholder": 1.0}, {**times, "lived": None}, [], ["10 µs lifetime as measured (lived)"]),
            ({"fileholder": 1.0}, {**times, "span": 0.0}, [], ["10 µs lifetime as measured (span)"]),
            ({"fileholder": 1.0}, {"lived": 0.01, "span": 0.05}, [], ["10 µs lifetime as measured (gone)"]),
        ]
        for catch, lifetimes, told, broken in cases:
            with self.subTest(catch=catch, lifetimes=lifetimes, told=told):
                found = figures.problems(figures.shortest_figures("", {"catch": catch, **lifetimes},
                                                                  list(catch), told))
                self.assertEqual(len(found), len(broken), found)
                for problem, start in zip(found, broken):
                    self.assertTrue(problem.startswith(start), problem)


def known_name(me, latency_ms, ratio, busy_ratio, start_ms):
    """Made-up figures of a known name that meet every target but those given;
    the start-up's reference, started as me is, takes 3 ms."""
    others = {"Python loop": [0.8] * 10, "inotify (floor)": [0.1] * 10}
    return {
        "latency": {me: [latency_ms] * 10, **others},
        "busy_latency": {me: [latency_ms] * 10, **others},
        "catch": {me: {ms: 1.0 for ms in (0.2, 0.5, 1, 2, 5)}},
        "cost": {"quiet": {"ratio": {me: ratio}}, "busy": {"ratio": {me: busy_ratio}}},
        "wakeups": {me: 0.0},
        "peak": {me: [1400]},
        "start": {me: start_ms, report.START_REFERENCE[me]: 3.0},
    }


class Targets(unittest.TestCase):
    def test_known_name_targets_by_subject(self):
        """(subject, latency, CPU ratio, busy folder ratio, start-up, labels missed)"""
        cases = [
            ("fileholder", 0.1, 1.2, 2.4, 3.5, []),
            ("fileholder", 0.2, 1.2, 2.4, 3.5, ["p50 <= 0.15 ms"]),
            ("fileholder", 0.1, 1.2, 2.4, 4.0, ["start-up <= 1.25x the inotify floor's"]),
            (NOBODY, 0.1, 1.4, 2.4, 3.5, [f"{NOBODY}: CPU <= 1.3x the sleep floor"]),
            (NOBODY, 0.1, 1.2, 2.6, 3.5, [f"{NOBODY}: busy folder CPU <= 2.5x the sleep floor"]),
            (NOBODY, 0.1, 1.2, 2.4, 4.0, [f"{NOBODY}: start-up <= 1.25x the inotify floor's"]),
        ]
        for me, latency_ms, ratio, busy_ratio, start_ms, missed in cases:
            with self.subTest(me=me, latency_ms=latency_ms, ratio=ratio, busy_ratio=busy_ratio, start_ms=start_ms):
                checks = report.known_name_checks(known_name(me, latency_ms, ratio, busy_ratio, start_ms), me)
                self.assertEqual(len(checks), 11)
                self.assertEqual([label for label, ok in checks.items() if not ok], missed)
                if me == NOBODY:
                    self.assertTrue(all(label.startswith(NOBODY + ": ") for label in checks))

    def test_root_subjects_left_out_when_not_root(self):
        chosen = subjects.Subjects()
        chosen.add("fileholder", ["fileholder"])
        with mock.patch("os.geteuid", return_value=1000):
            subjects.root_only(chosen, "fileholder", "/nowhere", {FANOTIFY: None})
        self.assertEqual(list(chosen.commands), ["fileholder"])
        self.assertEqual(chosen.left_out, {NOBODY: "the benchmark does not run as root",
                                           FANOTIFY: "the benchmark does not run as root"})


if __name__ == "__main__":
    unittest.main()
