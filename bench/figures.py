"""Every figure present and a sane number, whatever the targets: a check as
(label, value, lowest, highest, lowest allowed) tuples, mode by mode."""

import math

from measures import LIFETIMES_MS
from modes import SWEEP_RATES, WINDOWS_LIFETIMES_MS
from modes_pattern import CHURN_RATES, LINK_TOUCH_RATES
from modes_tree import NESTED_LIFETIMES_MS, TREE_LIFETIMES_MS
from subjects import FANOTIFY, FANOTIFY_MARKS, INOTIFY_NOBODY, NOBODY, fanotify_tree_name
from trial import TIMES

# The inotify floors, woken by any change in their folder, that wake less
# often than this under a storm do not see it: they wake for most events.
STORM_WAKEUPS_LEAST = 100


def broken(got):
    """What is missing or not a sane number among the figures of every mode."""
    checks = []
    if "literal" in got:
        checks += literal(got["literal"])
    if "pattern" in got:
        checks += pattern(got["pattern"])
    if "tree" in got:
        checks += tree(got["tree"])
    if "windows" in got:
        checks += windows(got["windows"])
    return problems(checks)


def problems(checks):
    """The checks whose value is missing, not a number, or out of its range."""
    found = []
    for label, value, low, high, low_allowed in checks:
        if not isinstance(value, (int, float)) or not math.isfinite(value):
            found.append(f"{label} is {value!r}")
        elif value < low or value > high or (value == low and not low_allowed):
            found.append(f"{label} is {value:g}, outside {low:g}..{high:g}")
    return found


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


def catch_figures(where, catch, lived, subjects, lifetimes):
    figures = [share(f"{s}: {where}caught, lives {ms} ms", catch.get(s, {}).get(ms))
               for s in subjects for ms in lifetimes]
    return figures + [positive(f"{where}lifetime {ms} ms as measured", lived.get(ms)) for ms in lifetimes]


def shortest_figures(where, shortest, subjects, told):
    """The files of 10 µs: a share for each subject, and their lifetimes.
    The fanotify floors marked where every such file is opened (told) are
    told of each: with none caught, the maker or the judging is broken."""
    figures = [share(f"{s}: {where}caught, lives 10 µs", shortest["catch"].get(s)) for s in subjects]
    figures += [positive(f"{s}: {where}caught, lives 10 µs", shortest["catch"].get(s))
                for s in told if s in subjects]
    return figures + [positive(f"{where}10 µs lifetime as measured ({key})", shortest.get(key)) for key in TIMES]


def cost_figures(cost, key, subjects):
    """CPU and wake-ups while waiting under one condition, for each subject,
    and the CPU of the sleep floor beside it, the ratio's denominator."""
    figures = []
    for s in subjects:
        got = {kind: cost.get(key, {}).get(kind, {}).get(s) for kind in ("cpu", "floor", "wakeups", "ratio")}
        figures += [at_least_zero(f"{s}: CPU waiting, {key}", got["cpu"]),
                    positive(f"{s}: the sleep floor beside it, {key}", got["floor"]),
                    at_least_zero(f"{s}: CPU waiting as a multiple of the sleep floor, {key}", got["ratio"]),
                    at_least_zero(f"{s}: wake-ups/s waiting, {key}", got["wakeups"])]
    return figures


def woken(cost, key, subject):
    """The inotify floor wakes for most events of a storm, or missed it."""
    return (f"{subject}: wake-ups/s, {key}", cost.get(key, {}).get("wakeups", {}).get(subject),
            STORM_WAKEUPS_LEAST, math.inf, True)


def load_figures(load, runs):
    """The other process's periods: there are some, and each made something."""
    figures = [positive(f"{load}: periods run", len(runs))]
    for made, seconds in runs:
        figures += [positive(f"{load}: made", made), positive(f"{load}: seconds", seconds)]
    return figures


def load_rate(runs):
    """What the other process made a second over all its periods, and in its slowest."""
    return sum(m for m, _ in runs) / sum(s for _, s in runs), min(m / s for m, s in runs)


def literal(got):
    cost = got["cost"]
    # Without the storm's wake-ups it could miss the watch and every figure still look fine.
    figures = [woken(cost, "storm", "inotify (floor)")]
    figures += cost_figures(cost, "storm", got["storm_subjects"])
    for rate in SWEEP_RATES:
        figures += cost_figures(cost, f"name {rate}", ["fileholder"])
        figures += cost_figures(cost, f"other {rate}", ["fileholder"])
    figures += [check for key, runs in got["loads"].items() for check in load_figures(key, runs)]
    if "latency" not in got:
        return figures
    subjects = got["subjects"]
    figures += latency_figures("quiet", got["latency"], subjects, got["trials"])
    figures += latency_figures("busy folder", got["busy_latency"], got["busy_subjects"], got["trials"])
    figures += catch_figures("", got["catch"], got["lived"], subjects, LIFETIMES_MS)
    figures += shortest_figures("", got["shortest"], subjects, [FANOTIFY])
    figures += cost_figures(cost, "quiet", subjects)
    figures += cost_figures(cost, "busy", got["busy_subjects"])
    figures += [at_least_zero(f"{s}: wake-ups/s holding", got["wakeups"].get(s)) for s in subjects]
    figures += [positive(f"{s}: peak resident", v) for s in subjects for v in got["peak"].get(s) or [None]]
    references = [INOTIFY_NOBODY] if NOBODY in subjects else []
    return figures + [positive(f"{s}: start-up", got["start"].get(s)) for s in subjects + references]


def pattern(got):
    subjects, cost = got["subjects"], got["cost"]
    figures = latency_figures("pattern", got["latency"], subjects, got["trials"])
    figures += catch_figures("pattern ", got["catch"], got["lived"], subjects, LIFETIMES_MS)
    figures += shortest_figures("pattern ", got["shortest"], subjects, [FANOTIFY])
    figures += catch_figures("many files, ", got["many_catch"], got["many_lived"], subjects, (0.2,))
    figures += cost_figures(cost, "quiet", subjects)
    figures += cost_figures(cost, "many", subjects)
    figures += cost_figures(cost, "storm", got["storm_subjects"])
    huge = ["huge", "huge storm", "huge match storm", "huge touch storm"]
    huge += [f"churn {rate}" for rate in CHURN_RATES] + [f"links {rate}" for rate in LINK_TOUCH_RATES]
    for key in huge:
        figures += cost_figures(cost, key, ["fileholder", "pattern floor"])
    # The pattern floor follows every event: fewer wake-ups, and the load was not seen.
    figures += [woken(cost, key, "pattern floor") for key in ["storm", "huge match storm"] + huge[3:]]
    for what in ("flood", "link_target"):
        figures.append(positive(f"fileholder: {what} trials", len(got[what])))
        figures += [positive(f"fileholder: {what} delay", value) for value in got[what]]
    figures += load_figures("floods", got["flood_runs"])
    return figures + [check for key, runs in got["loads"].items() for check in load_figures(key, runs)]


def tree(got):
    """A file that stayed may be missed there (None): the others are held."""
    subjects, cost = got["subjects"], got["cost"]
    figures = [(f"{s}: tree trials", len(got["latency"].get(s, [])), got["trials"], got["trials"], True)
               for s in subjects]
    figures += [positive(f"{s}: tree latency", value) for s in subjects
                for value in got["latency"].get(s, []) if value is not None]
    figures += [positive(f"{s}: tree files held of those that stayed", sum(v is not None for v in values))
                for s, values in got["latency"].items() if s != "inotifywait -r loop"]
    figures += catch_figures("tree ", got["catch"], got["lived"], subjects, TREE_LIFETIMES_MS)
    # Marks on the matching folders come too late for a file made at once in a new one.
    told = [fanotify_tree_name(mark) for mark in FANOTIFY_MARKS if mark != "folder"]
    figures += shortest_figures("tree ", got["shortest"], subjects, told)
    times = got["nested_times"]
    figures += catch_figures("nested ", got["nested_catch"], times["lived"], got["nested_subjects"],
                             NESTED_LIFETIMES_MS)
    figures += [positive(f"nested lifetime {ms} ms as measured ({key})", times[key].get(ms))
                for key in TIMES[1:] for ms in NESTED_LIFETIMES_MS]
    figures += cost_figures(cost, "quiet", subjects)
    figures += cost_figures(cost, "many", subjects)
    figures += cost_figures(cost, "storm", [s for s in subjects if s != "Python glob loop"])
    figures.append(woken(cost, "storm", "tree floor"))
    return figures + [check for key, runs in got["loads"].items() for check in load_figures(key, runs)]


def windows(got):
    programs, cost = got["windows"], got["windows_cost"]
    figures = latency_figures("Wine", got["windows_latency"], programs, got["windows_trials"])
    figures += catch_figures("", got["windows_catch"], got["windows_lived"], programs, WINDOWS_LIFETIMES_MS)
    for folder in ("quiet", "many"):
        figures += catch_figures(f"pattern, {folder} folder: ", got[f"windows_{folder}_catch"],
                                 got[f"windows_{folder}_lived"], programs, WINDOWS_LIFETIMES_MS)
        figures += cost_figures(cost, folder, programs)
    return figures + cost_figures(cost, "tree", programs) + cost_figures(cost, "literal", programs)
