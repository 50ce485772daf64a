"""The report of a known name: its table, the sweep of event rates, notes,
targets and summary line; the Windows programs' table; the shared printing."""

import os
import statistics

from figures import load_rate
from measures import LIFETIMES_MS, percentile
from modes import BUSY_FILES_PER_SECOND, STORM_TOUCHES_PER_SECOND, SWEEP_RATES, WINDOWS_LIFETIMES_MS
from subjects import INOTIFY_NOBODY, NOBODY

ME = "fileholder"
# Whose start-up each fileholder's is judged against: started the same way.
START_REFERENCE = {ME: "inotify (floor)", NOBODY: INOTIFY_NOBODY}


def table(columns, rows):
    """A Markdown table with a column per subject that has a figure in it."""
    columns = [c for c in columns if any(c in values for _, values in rows)]
    print("| | " + " | ".join(columns) + " |")
    print("|---|" + "---:|" * len(columns))
    for label, values in rows:
        print(f"| {label} | " + " | ".join(values.get(c, "—") for c in columns) + " |")
    print()


def relative(figures):
    """CPU shares under one condition, by subject, as % of a core and in
    brackets as a multiple of the sleep floor that ran beside the subject."""
    return {s: f"{cpu * 100:.2f} ({figures['ratio'][s]:.2f}×)" for s, cpu in figures["cpu"].items()}


def floor_note(cost):
    """The sleep floors run beside the subjects, over every condition."""
    shares = [share for figures in cost.values() for share in figures["floor"].values()]
    return (f"sleep floor (a bare 1 ms sleep loop, run beside each subject): "
            f"{min(shares) * 100:.2f} to {max(shares) * 100:.2f}% of a core")


def write_catch_data(path, catch, subjects, lifetimes=LIFETIMES_MS, shortest=None):
    """The catch rates by lifetime, for the plot; the 10 µs files first."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write("lifetime_ms " + " ".join(f'"{s}"' for s in subjects) + "\n")
        if shortest:
            out.write("0.01 " + " ".join(f"{shortest['catch'][s] * 100:.1f}" for s in subjects) + "\n")
        for ms in lifetimes:
            out.write(f"{ms} " + " ".join(f"{catch[s][ms] * 100:.1f}" for s in subjects) + "\n")


def summarise(what, parts):
    """The summary line of parts; returns the targets missed."""
    missed = [label for part in parts for label, ok in part["checks"].items() if not ok]
    print(f"summary: {what} " + ", ".join(part["summary"] for part in parts) + "; "
          + ("all targets met" if not missed else "missed: " + ", ".join(missed)))
    print()
    return missed


def literal(got, data):
    """The table of a known name, its notes and summary; returns the targets
    missed. With --storm-only there are only the storm's and sweep's rows."""
    parts = [storm_part(got)]
    if "latency" in got:
        parts.insert(0, full_part(got, data))
    table(got["subjects"], [row for part in parts for row in part["rows"]])
    sweep = sweep_part(got)
    print(floor_note(got["cost"]) + "; " + "; ".join(part["note"] for part in parts + [sweep]))
    print()
    return summarise("fileholder", parts + [sweep])


def full_part(got, data):
    """Every row but the storm's, with their notes, targets and summary."""
    subjects, latency, busy_latency = got["subjects"], got["latency"], got["busy_latency"]
    catch, lived, peak, shortest = got["catch"], got["lived"], got["peak"], got["shortest"]
    quiet, busy = got["cost"]["quiet"], got["cost"]["busy"]
    cpu, ratio, busy_ratio = quiet["cpu"], quiet["ratio"], busy["ratio"]
    busy_rate, slowest = load_rate(got["loads"]["busy"])
    rows = [
        ("latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in latency.items()}),
        ("latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in latency.items()}),
        ("busy folder: latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in busy_latency.items()}),
        ("busy folder: latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in busy_latency.items()}),
        ("busy folder: latency max (ms)", {s: f"{max(v):.3f}" for s, v in busy_latency.items()}),
        shortest_row(shortest),
    ]
    for ms in LIFETIMES_MS:
        rows.append((f"caught, lives {ms} ms ({lived[ms]:.2f})", {s: f"{catch[s][ms]:.0%}" for s in subjects}))
    rows += [
        ("CPU while polling, % of a core (× sleep floor)", relative(quiet)),
        ("busy folder: CPU while polling, % of a core (× sleep floor)", relative(busy)),
        ("wake-ups/s while holding", {s: f"{got['wakeups'][s]:.1f}" for s in subjects}),
        ("peak resident, median (range) (MiB)",
         {s: f"{statistics.median(peak[s]) / 1024:.2f} ({min(peak[s]) / 1024:.2f}–{max(peak[s]) / 1024:.2f})"
          for s in subjects}),
        ("start-up to held (ms)", {s: f"{got['start'][s]:.2f}" for s in subjects}),
    ]
    if data:
        write_catch_data(os.path.join(data, "catch_rate.dat"), catch, subjects, shortest=shortest)

    checks = {}
    for me in mine(subjects):
        checks.update(known_name_checks(got, me))
    # Not fileholder's: without the load the busy-folder figures mean little.
    checks[f"busy folder made >= 90% of {BUSY_FILES_PER_SECOND:,} files/s"] = \
        busy_rate >= 0.9 * BUSY_FILES_PER_SECOND
    if got["root"]:
        # As root fileholder is told of each open, at the maker's own.
        checks["busy folder CPU <= 2x the sleep floor as root"] = busy_ratio[ME] <= 2
        checks[f"10 µs files caught: all {got['shortest_trials']}"] = shortest["catch"][ME] == 1
    note = (f"busy folder: {busy_rate:,.0f} files/s made and deleted (asked {BUSY_FILES_PER_SECOND:,}), "
            f"over {len(got['loads']['busy'])} periods, the slowest at {slowest:,.0f}; "
            + shortest_note(got))
    if NOBODY in subjects:
        note += (f"; the inotify floor started as nobody, as {NOBODY} is (a fork where the others get a "
                 f"vfork), held in {got['start'][INOTIFY_NOBODY]:.2f} ms from its start")
    p50, p99 = statistics.median(latency[ME]), percentile(latency[ME], 0.99)
    busy_p99 = percentile(busy_latency[ME], 0.99)
    summary = (f"p50 {p50:.3f} ms, p99 {p99:.3f} ms, busy folder p99 {busy_p99:.3f} ms "
               f"(max {max(busy_latency[ME]):.3f}), 10 µs files caught {shortest['catch'][ME]:.0%}, "
               f"0.2 ms {catch[ME][0.2]:.0%}, "
               f"CPU {cpu[ME] * 100:.2f}% of a core = {ratio[ME]:.2f}× the sleep floor "
               f"({quiet['floor'][ME] * 100:.2f}%), busy folder {busy_ratio[ME]:.2f}×, "
               f"{got['cost']['quiet']['wakeups'][ME]:.0f} wake-ups/s polling, {got['wakeups'][ME]:.1f} holding, "
               f"{statistics.median(peak[ME]) / 1024:.2f} MiB peak, start-up {got['start'][ME]:.2f} ms, "
               f"busy folder {busy_rate:,.0f} files/s")
    if NOBODY in subjects:
        summary += (f"; as nobody p50 {statistics.median(latency[NOBODY]):.3f} ms, "
                    f"0.2 ms files caught {catch[NOBODY][0.2]:.0%}, CPU {ratio[NOBODY]:.2f}×, "
                    f"busy folder {busy_ratio[NOBODY]:.2f}×")
    return {"rows": rows, "note": note, "checks": checks, "summary": summary}


def mine(subjects):
    """fileholder, and the same binary as nobody where it ran."""
    return [s for s in (ME, NOBODY) if s in subjects]


def labelled(me, checks):
    """Targets of fileholder as nobody bear its name; root's, today's labels."""
    return checks if me == ME else {f"{me}: {label}": ok for label, ok in checks.items()}


def known_name_checks(got, me):
    """The targets of a known name, alike for fileholder as root and as nobody."""
    latency, busy_latency, catch = got["latency"], got["busy_latency"], got["catch"]
    ratio, busy_ratio = got["cost"]["quiet"]["ratio"], got["cost"]["busy"]["ratio"]
    p50, p99 = statistics.median(latency[me]), percentile(latency[me], 0.99)
    busy_p99 = percentile(busy_latency[me], 0.99)
    # The busy folder is judged at p99, not max: a single trial can be held
    # up by the scheduler on a loaded machine whatever the design, and the
    # max is shown beside it. Caught within 1 ms: the latency also holds the
    # way from the open to this script reading the done line, which the
    # quiet folder's p50 measures (the file is then opened at once). Never
    # later than plain polling: the Python loop polls plainly, in the same
    # folder and load.
    delivery = p50
    plain_busy_p99 = percentile(busy_latency["Python loop"], 0.99)
    return labelled(me, {
        "p50 <= 0.15 ms": p50 <= 0.15,
        "p99 <= 0.5 ms": p99 <= 0.5,
        "0.2 ms caught >= 95%": catch[me][0.2] >= 0.95,
        "all >= 0.5 ms caught": all(catch[me][ms] == 1 for ms in LIFETIMES_MS if ms >= 0.5),
        "CPU <= 1.3x the sleep floor": ratio[me] <= 1.3,
        "busy folder CPU <= 2.5x the sleep floor": busy_ratio[me] <= 2.5,
        "busy folder p99 <= 1 ms + the open-to-read time": busy_p99 <= 1.0 + delivery,
        "busy folder p99 <= plain polling's": busy_p99 <= plain_busy_p99,
        "0 wake-ups": got["wakeups"][me] == 0,
        "peak <= 1.5 MiB": statistics.median(got["peak"][me]) <= 1536,
        # Starting a process costs what the machine makes it cost; the
        # inotify floor, a minimal C program, does the same work.
        "start-up <= 1.25x the inotify floor's": got["start"][me] <= 1.25 * got["start"][START_REFERENCE[me]],
    })


def shortest_row(shortest):
    """The row of the files that live 10 µs, their lifetimes in brackets."""
    return (f"caught, lives 10 µs ({shortest['lived'] * 1000:.1f}, {shortest['gone'] * 1000:.1f} to the delete's "
            f"return, {shortest['span'] * 1000:.0f} from before the create, µs)",
            {s: f"{v:.0%}" for s, v in shortest["catch"].items()})


def shortest_note(got):
    """How the files of 10 µs were made and judged, and who was left out."""
    note = (f"10 µs files: {got['shortest_trials']} a subject, made by bench/short_lived.c"
            + (" at real-time priority" if got["shortest"]["realtime"] else
               " (not at real-time priority, which needs root: a waiter may have stretched a file's life)")
            + ", caught only when held, deleted, with their content; their targets judged "
            + ("as root" if got["root"] else "as root only: not judged, the benchmark does not run as root"))
    return note + "".join(f"; {s} left out: {why}" for s, why in got["left_out"].items())


def storm_part(got):
    """The rows of the storm on the name, with their note, targets and summary."""
    storm = got["cost"]["storm"]
    cpu, ratio, wakeups = storm["cpu"], storm["ratio"], storm["wakeups"]
    rate, slowest = load_rate(got["loads"]["storm"])
    rows = [
        ("storm on the name: CPU while polling, % of a core (× sleep floor)", relative(storm)),
        ("storm on the name: wake-ups/s while polling", {s: f"{wakeups[s]:,.0f}" for s in wakeups}),
    ]
    checks = {label: ok for me in mine(ratio)
              for label, ok in labelled(me, {"storm on the name CPU <= 2x the sleep floor": ratio[me] <= 2}).items()}
    checks.update({
        # Not fileholder's: without the load the storm's figures mean little.
        f"storm on the name made >= 90% of {STORM_TOUCHES_PER_SECOND:,} touches/s":
            rate >= 0.9 * STORM_TOUCHES_PER_SECOND,
    })
    note = (f"storm on the name: {rate:,.0f} touches/s (asked {STORM_TOUCHES_PER_SECOND:,}), "
            f"over {len(got['loads']['storm'])} storms, the slowest at {slowest:,.0f}; "
            f"the sleep floor under it {statistics.mean(storm['floor'].values()) * 100:.2f}%")
    if "latency" not in got:  # the full run's note says it otherwise
        note += "".join(f"; {s} left out: {why}" for s, why in got["left_out"].items())
    summary = (f"storm on the name {cpu[ME] * 100:.2f}% of a core = {ratio[ME]:.2f}× the sleep floor, "
               f"{wakeups[ME]:,.0f} wake-ups/s, {rate:,.0f} touches/s")
    return {"rows": rows, "note": note, "checks": checks, "summary": summary}


def sweep_part(got):
    """fileholder's CPU under folder events at each rate, about its name and
    about other names: its own table, a row per rate. The 10,000 row is the
    storm on the name and, in a full run, the busy folder."""
    cost, loads = got["cost"], got["loads"]
    keys = {rate: (f"name {rate}", f"other {rate}") for rate in SWEEP_RATES}
    keys[STORM_TOUCHES_PER_SECOND] = ("storm", "busy" if "busy" in cost else None)
    print("| folder events a second | about the name: CPU, % of a core (× sleep floor) | wake-ups/s "
          "| about other names: CPU, % of a core (× sleep floor) | wake-ups/s |")
    print("|---:|---:|---:|---:|---:|")
    checks, worst, rates = {}, (0, None), []
    for rate, pair in keys.items():
        cells = []
        for about, key in zip(("name", "other names"), pair):
            if key is None:
                cells += ["—", "—"]
                continue
            ratio, wakeups = cost[key]["ratio"][ME], cost[key]["wakeups"][ME]
            cells += [relative(cost[key])[ME], f"{wakeups:,.0f}"]
            checks[f"{rate:,}/s about {about}: CPU <= 2x the sleep floor"] = ratio <= 2
            worst = max(worst, (ratio, f"{rate:,}/s about {about}"), key=lambda w: w[0])
            made = load_rate(loads[key])[0]
            rates.append(f"{made:,.0f}")
            if rate in SWEEP_RATES:  # the busy folder and the storm are checked on their own
                checks[f"sweep made >= 90% of {rate:,}/s about {about}"] = made >= 0.9 * rate
        print(f"| {rate:,} | " + " | ".join(cells) + " |")
    print()
    note = "sweep: events made a second, in turn: " + ", ".join(rates)
    summary = f"sweep at worst {worst[0]:.2f}× the sleep floor ({worst[1]})"
    return {"rows": [], "note": note, "checks": checks, "summary": summary}


def windows(got):
    """The Windows programs' table: indicative, no targets."""
    programs, cost = got["windows"], got["windows_cost"]
    rows = [("latency p50 (ms)", {w: f"{statistics.median(got['windows_latency'][w]):.3f}" for w in programs}),
            ("latency p99 (ms)", {w: f"{percentile(got['windows_latency'][w], 0.99):.3f}" for w in programs})]
    for ms in WINDOWS_LIFETIMES_MS:
        rows.append((f"caught, lives {ms} ms ({got['windows_lived'][ms]:.2f})",
                     {w: f"{got['windows_catch'][w][ms]:.0%}" for w in programs}))
    # The floor beside a Windows program is a Sleep(1) loop under the same Wine.
    floor = "% of a core (× Sleep(1) loop)"
    rows.append((f"CPU while waiting on a name, {floor}", relative(cost["literal"])))
    for folder, where in (("quiet", "pattern, quiet folder"), ("many", f"pattern, {got['many_files']:,} files")):
        for ms in WINDOWS_LIFETIMES_MS:
            rows.append((f"{where}: caught, lives {ms} ms ({got[f'windows_{folder}_lived'][ms]:.2f})",
                         {w: f"{got[f'windows_{folder}_catch'][w][ms]:.0%}" for w in programs}))
        rows.append((f"{where}: CPU while waiting, {floor}", relative(cost[folder])))
    rows.append((f"folder pattern, {got['tree_folders']:,} matching folders: CPU while waiting, {floor}",
                 relative(cost["tree"])))
    rows.append(("the Sleep(1) loop beside it, % of a core (over every condition)",
                 {w: f"{statistics.mean(cost[key]['floor'][w] for key in cost) * 100:.2f}" for w in programs}))
    print("| Windows program under Wine | " + " | ".join(programs) + " |")
    print("|---|" + "---:|" * len(programs))
    for label, values in rows:
        print(f"| {label} | " + " | ".join(values[w] for w in programs) + " |")
    print()
