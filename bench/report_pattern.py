"""The report of the pattern mode: its table, notes, targets and summary line."""

import os
import statistics

from figures import load_rate
from measures import LIFETIMES_MS, percentile
from modes import BUSY_FILES_PER_SECOND, STORM_TOUCHES_PER_SECOND
from modes_pattern import CHURN_RATES, LINK_TOUCH_RATES
from report import ME, floor_note, labelled, mine, relative, shortest_note, shortest_row, summarise, table, \
    write_catch_data
from subjects import NOBODY

# Whatever the folder holds and whatever happens in it, waiting costs at most
# about this share of a core; with 1,000 matches that never open and nothing
# happening, no more than this.
BOUND, QUIET_BOUND = 0.10, 0.03
# A new match after a flood, and a known match once it can be opened, are
# held within these (ms), in every trial.
FLOOD_MS, LINK_TARGET_MS = 5, 10


def pattern(got, data):
    """Prints the pattern mode's table, note and summary; returns the targets missed."""
    subjects, cost, loads = got["subjects"], got["cost"], got["loads"]
    latency, catch, lived = got["latency"], got["catch"], got["lived"]
    many, huge, unopenable = got["many_files"], got["huge_files"], got["unopenable"]
    storm = f"storm of {BUSY_FILES_PER_SECOND:,} other names/s"
    big = f"{huge:,} files, {unopenable:,} unopenable matches"

    def cpu(key):
        return {s: f"{v * 100:.2f}" for s, v in cost[key]["cpu"].items()}

    def delay(values):
        return {ME: f"{statistics.median(values):.2f} ({max(values):.2f})"}

    rows = [
        ("latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in latency.items()}),
        ("latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in latency.items()}),
        shortest_row(got["shortest"]),
    ]
    for ms in LIFETIMES_MS:
        rows.append((f"caught, lives {ms} ms ({lived[ms]:.2f})", {s: f"{catch[s][ms]:.0%}" for s in subjects}))
    rows += [
        (f"{many:,} files: caught, lives 0.2 ms ({got['many_lived'][0.2]:.2f})",
         {s: f"{got['many_catch'][s][0.2]:.0%}" for s in subjects}),
        ("CPU while waiting, % of a core (× sleep floor)", relative(cost["quiet"])),
        ("wake-ups/s while waiting", {s: f"{v:,.0f}" for s, v in cost["quiet"]["wakeups"].items()}),
        (f"{many:,} files: CPU while waiting, % of a core (× sleep floor)", relative(cost["many"])),
        (f"{storm}: CPU while waiting, % of a core (× sleep floor)", relative(cost["storm"])),
        (f"{big}: CPU while waiting, % of a core", cpu("huge")),
        (f"{big}, {storm}: CPU, % of a core", cpu("huge storm")),
        (f"{big}, {STORM_TOUCHES_PER_SECOND:,} touches/s of a match: CPU, % of a core", cpu("huge match storm")),
    ]
    # The costs of churn, floods and dangling links among the huge folder's files.
    for rate in CHURN_RATES:
        rows.append((f"{huge:,} files, tmp* as another user, {rate:,} unopenable tmp<N> made and deleted/s: "
                     "CPU, % of a core (× sleep floor)", relative(cost[f"churn {rate}"])))
    for rate in LINK_TOUCH_RATES:
        rows.append((f"{huge:,} files, tmp*, {rate:,} touches/s of 2 dangling links that match: "
                     "CPU, % of a core (× sleep floor)", relative(cost[f"links {rate}"])))
    rows += [
        (f"{huge:,} files, {STORM_TOUCHES_PER_SECOND:,} touches/s of 2 other names: CPU, % of a core "
         "(× sleep floor)", relative(cost["huge touch storm"])),
        (f"{huge:,} files, a new match at the end of a flood of touches of 2 other names: held after (ms), "
         "median (max)", delay(got["flood"])),
        (f"{huge:,} files, a dangling link that matches: held after its target appears elsewhere (ms), "
         "median (max)", delay(got["link_target"])),
    ]
    table(subjects, rows)
    if data:
        write_catch_data(os.path.join(data, "pattern_catch_rate.dat"), catch, subjects, shortest=got["shortest"])

    own = {key: cost[key]["cpu"][ME] for key in cost}
    ratio = {key: cost[key]["ratio"][ME] for key in cost}
    p50, floor_p50 = statistics.median(latency[ME]), statistics.median(latency["pattern floor"])
    made = {key: load_rate(runs)[0] for key, runs in loads.items()}
    flood_rate = load_rate(got["flood_runs"])[0]
    checks = {}
    for me in mine(subjects):
        checks.update(labelled(me, {
            "p50 <= the pattern floor's + 0.05 ms": statistics.median(latency[me]) <= floor_p50 + 0.05,
            "0.2 ms caught >= 99%": catch[me][0.2] >= 0.99,
            "CPU <= 1.5x the sleep floor": cost["quiet"]["ratio"][me] <= 1.5,
            f"{many:,} files: CPU <= 2x the sleep floor": cost["many"]["ratio"][me] <= 2,
            f"{many:,} files: 0.2 ms caught >= 99%": got["many_catch"][me][0.2] >= 0.99,
            f"{storm}: CPU <= 2x the sleep floor": cost["storm"]["ratio"][me] <= 2,
        }))
    if got["root"]:
        # As root fileholder is told of each open, at the maker's own.
        checks[f"10 µs files caught: all {got['shortest_trials']}"] = got["shortest"]["catch"][ME] == 1
    checks.update({
        f"huge: CPU <= {QUIET_BOUND:.0%} of a core": own["huge"] <= QUIET_BOUND,
        f"flood: every new match held within {FLOOD_MS} ms": max(got["flood"]) <= FLOOD_MS,
        f"dangling link: held within {LINK_TARGET_MS} ms of its target": max(got["link_target"]) <= LINK_TARGET_MS,
    })
    for key in ("huge storm", "huge match storm"):
        checks[f"{key}: CPU <= {BOUND:.0%} of a core"] = own[key] <= BOUND
    for key in ["huge touch storm"] + [f"churn {r}" for r in CHURN_RATES] + [f"links {r}" for r in LINK_TOUCH_RATES]:
        checks[f"{key}: CPU <= 2x the sleep floor"] = ratio[key] <= 2
    # Not fileholder's: without the load the figures under it mean little.
    for key, rate in made.items():
        checks[f"{key}: made >= 90% of {got['asked'][key]:,}/s"] = rate >= 0.9 * got["asked"][key]
    print(f"pattern mode: {floor_note(cost)}; events made a second: "
          + ", ".join(f"{key}: {rate:,.0f}" for key, rate in made.items())
          + f", floods: {flood_rate:,.0f} touches/s; unopenable matches: {got['unopenable_how']} "
          "(where fileholder runs as nobody already, and fileholder (nobody) is not run); "
          + shortest_note(got))
    print()
    worst = max((ratio[key], key) for key in ratio if key.startswith(("churn", "links", "huge touch")))
    summary = (f"p50 {p50:.3f} ms (pattern floor {floor_p50:.3f}), p99 {percentile(latency[ME], 0.99):.3f} ms, "
               f"10 µs files caught {got['shortest']['catch'][ME]:.0%}, 0.2 ms files caught {catch[ME][0.2]:.0%} "
               f"({got['many_catch'][ME][0.2]:.0%} among {many:,} files), "
               f"CPU {ratio['quiet']:.2f}× the sleep floor ({cost['quiet']['floor'][ME] * 100:.2f}%), "
               f"{many:,} files {ratio['many']:.2f}×, storm {ratio['storm']:.2f}×, "
               f"{cost['quiet']['wakeups'][ME]:,.0f} wake-ups/s; {huge:,} files with unopenable matches "
               f"{own['huge'] * 100:.2f}% of a core, under a storm {own['huge storm'] * 100:.2f}%, "
               f"touches of a match {own['huge match storm'] * 100:.2f}%; churn, links and touches there "
               f"at worst {worst[0]:.2f}× ({worst[1]}); a match after a flood held in {max(got['flood']):.2f} ms "
               f"at worst, a dangling link's once its target appeared in {max(got['link_target']):.2f} ms")
    if NOBODY in subjects:
        summary += (f"; as nobody p50 {statistics.median(latency[NOBODY]):.3f} ms, 0.2 ms files caught "
                    f"{catch[NOBODY][0.2]:.0%}, CPU {cost['quiet']['ratio'][NOBODY]:.2f}×, "
                    f"storm {cost['storm']['ratio'][NOBODY]:.2f}×")
    return summarise("fileholder with a pattern", [{"checks": checks, "summary": summary}])
