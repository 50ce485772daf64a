"""fileholder's delays where its events cannot tell it at once: a new match
just after a flood of events that filled its queue, and a known match that
could not be opened and becomes openable with no event in its folder."""

import os
import random
import time

from measures import SETTLE_SECONDS

ME = "fileholder"


def held_within(running, what):
    """The time the done line came, or a failed run."""
    held = running.wait_line(b"- done", 10)
    running.stop()
    if held is None:
        raise RuntimeError(f"{ME} did not hold {what}")
    return held


def after_flood(bench, trials, pattern, flood_seconds, touched):
    """An unthrottled flood of touches of the touched names, in the
    pattern's folder, for flood_seconds; a new match appears the moment the
    flood has ended. From its appearance to its hold (ms), by trial; and the
    floods' (touches, seconds)."""
    delays, runs = [], []
    bench.pattern = pattern  # the new match gets a random name
    try:
        for _ in range(trials):
            running = bench.start(ME, pattern)
            time.sleep(SETTLE_SECONDS)  # its first listing of the folder is over
            with bench.load(runs, 0, os.path.dirname(pattern), ("touch", *touched)):
                time.sleep(flood_seconds)
            appeared, path = bench.appear(pattern)
            try:
                held = held_within(running, "a new match after a flood")
            finally:
                os.unlink(path)
            check_name(running, path)
            delays.append((held - appeared) / 1e6)
    finally:
        bench.pattern = None
    return delays, runs


def after_link_target(bench, trials, folder, elsewhere):
    """A dangling symbolic link matchL in the folder, awaited as match*
    from before; its target then appears in another folder, which no watch
    of the folder sees. From the target's appearance to the hold (ms)."""
    delays, link = [], os.path.join(folder, "matchL")
    for number in range(trials):
        target, scratch = os.path.join(elsewhere, f"target{number}"), os.path.join(elsewhere, "scratch")
        os.symlink(target, link)
        try:
            running = bench.start(ME, os.path.join(folder, "match*"))
            time.sleep(SETTLE_SECONDS + random.uniform(0, 0.05))
            with open(scratch, "wb") as file:
                file.write(b"data\n")
            appeared = time.perf_counter_ns()
            os.rename(scratch, target)
            held = held_within(running, "a dangling link's match once its target appeared")
        finally:
            os.unlink(link)
            if os.path.exists(target):
                os.unlink(target)
        check_name(running, link)
        delays.append((held - appeared) / 1e6)
    return delays


def check_name(running, path):
    opened = running.opened()
    if opened is None or not opened.endswith("/" + os.path.basename(path)):
        raise RuntimeError(f"{ME} said it opened {opened!r}, not {path}")
