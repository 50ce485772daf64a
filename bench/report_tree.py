"""The report of the tree mode: its table, notes, targets and summary line."""

import os
import statistics

from figures import load_rate
from measures import percentile
from modes_tree import NESTED_LIFETIMES_MS, NESTED_PATTERN, TREE_LIFETIMES_MS, TREE_STORM_PER_SECOND
from report import ME, floor_note, labelled, mine, relative, shortest_note, shortest_row, summarise, table, \
    write_catch_data
from subjects import NOBODY

FLOOR = "tree floor"
HOLDS = "it did not hold a file in a folder of a random name"


def tree(got, data):
    """Prints the tree mode's table, note and summary; returns the targets missed."""
    subjects, cost, loads = got["subjects"], got["cost"], got["loads"]
    catch, lived = got["catch"], got["lived"]
    # Files that stayed and were held; the others were missed.
    latency = {s: [v for v in values if v is not None] for s, values in got["latency"].items() if any(values)}
    missed = {s: values.count(None) / len(values) for s, values in got["latency"].items()}
    folders = f"{got['folders']:,} matching folders of {got['files_a_folder']} other files"
    storm = f"storm of {TREE_STORM_PER_SECOND:,} other names/s in the base"
    rows = [
        ("latency p50 (ms)", {s: f"{statistics.median(v):.3f}" for s, v in latency.items()}),
        ("latency p99 (ms)", {s: f"{percentile(v, 0.99):.3f}" for s, v in latency.items()}),
        ("missed, of the files that stayed", {s: f"{share:.0%}" for s, share in missed.items()}),
    ]
    rows.append(shortest_row(got["shortest"]))
    for ms in TREE_LIFETIMES_MS:
        rows.append((f"caught, lives {ms} ms ({lived[ms]:.2f})", {s: f"{catch[s][ms]:.0%}" for s in subjects}))
    nested = "/".join(NESTED_PATTERN.split("/")[:-1])
    for ms in NESTED_LIFETIMES_MS:
        rows.append((f"under 4 new folders ({nested}): caught, lives {ms} ms ({got['nested_times']['lived'][ms]:.2f})",
                     {s: f"{v[ms]:.0%}" for s, v in got["nested_catch"].items()}))
    rows += [
        ("empty base: CPU while waiting, % of a core (× sleep floor)", relative(cost["quiet"])),
        ("empty base: wake-ups/s while waiting", {s: f"{v:,.0f}" for s, v in cost["quiet"]["wakeups"].items()}),
        (f"{folders}: CPU while waiting, % of a core (× sleep floor)", relative(cost["many"])),
        (f"{storm}: CPU while waiting, % of a core (× sleep floor)", relative(cost["storm"])),
    ]
    table(subjects, rows)
    if data:
        write_catch_data(os.path.join(data, "tree_catch_rate.dat"), catch, subjects, TREE_LIFETIMES_MS,
                         got["shortest"])
    made = {key: load_rate(runs)[0] for key, runs in loads.items()}
    print(f"tree mode: {floor_note(cost)}; events made a second: "
          + ", ".join(f"{key}: {rate:,.0f}" for key, rate in made.items())
          + "; under 4 new folders: the maker makes tmp<random>, then a, b and c in it, then the file, "
          + "as mkdir -p and a write would (lifetimes in brackets from the create's return to the delete's "
          + "call; to its return " + ", ".join(f"{got['nested_times']['gone'][ms]:.2f}" for ms in NESTED_LIFETIMES_MS)
          + " ms, from before the create "
          + ", ".join(f"{got['nested_times']['span'][ms]:.2f}" for ms in NESTED_LIFETIMES_MS) + " ms); "
          + shortest_note(got))
    print()
    # Not fileholder's: without the load the figures under it mean little.
    checks = {f"{key} made >= 90% of {TREE_STORM_PER_SECOND:,}/s": rate >= 0.9 * TREE_STORM_PER_SECOND
              for key, rate in made.items()}
    for me, why in got["left_out"].items():
        if why.startswith(HOLDS):
            checks[f"{me} holds a file in a folder of a random name"] = False
    if ME not in subjects:
        return summarise("fileholder with a folder pattern",
                         [{"checks": checks, "summary": "not measured (left out)"}])
    floor_p50 = statistics.median(latency[FLOOR])
    for me in mine(subjects):
        ratio = {key: cost[key]["ratio"][me] for key in cost}
        checks.update(labelled(me, {
            "p50 <= the tree floor's + 0.05 ms": statistics.median(latency[me]) <= floor_p50 + 0.05,
            "no file that stayed missed": missed[me] == 0,
            "0.2 ms caught >= the tree floor's - 3 points": catch[me][0.2] >= catch[FLOOR][0.2] - 0.03,
            "all >= 1 ms caught": all(catch[me][ms] == 1 for ms in TREE_LIFETIMES_MS if ms >= 1),
            "empty base: CPU <= 1.5x the sleep floor": ratio["quiet"] <= 1.5,
            f"{folders}: CPU <= 2x the sleep floor": ratio["many"] <= 2,
            f"{storm}: CPU <= 2x the sleep floor": ratio["storm"] <= 2,
            **{f"under 4 new folders: {ms} ms caught >= the tree floor's - 3 points":
               got["nested_catch"][me][ms] >= got["nested_catch"][FLOOR][ms] - 0.03 for ms in NESTED_LIFETIMES_MS},
        }))
    if got["root"]:
        # As root fileholder is told of each open, at the maker's own.
        checks["10 µs files caught >= 95%"] = got["shortest"]["catch"][ME] >= 0.95
    ratio = {key: cost[key]["ratio"][ME] for key in cost}
    p50 = statistics.median(latency[ME])
    summary = (f"p50 {p50:.3f} ms (tree floor {floor_p50:.3f}), p99 {percentile(latency[ME], 0.99):.3f} ms, "
               f"10 µs files caught {got['shortest']['catch'][ME]:.0%}, "
               f"0.2 ms files caught {catch[ME][0.2]:.0%} (tree floor {catch[FLOOR][0.2]:.0%}), "
               f"0.5 ms {catch[ME][0.5]:.0%}, 1 ms {catch[ME][1]:.0%}, "
               f"CPU {ratio['quiet']:.2f}× the sleep floor ({cost['quiet']['floor'][ME] * 100:.2f}%), "
               f"{got['folders']:,} folders {ratio['many']:.2f}×, storm {ratio['storm']:.2f}×, "
               f"{cost['quiet']['wakeups'][ME]:,.0f} wake-ups/s, under 4 new folders "
               + ", ".join(f"{ms} ms {got['nested_catch'][ME][ms]:.0%} (tree floor {got['nested_catch'][FLOOR][ms]:.0%})"
                           for ms in NESTED_LIFETIMES_MS))
    if NOBODY in subjects:
        summary += (f"; as nobody p50 {statistics.median(latency[NOBODY]):.3f} ms, 0.2 ms files caught "
                    f"{catch[NOBODY][0.2]:.0%}, CPU {cost['quiet']['ratio'][NOBODY]:.2f}×, "
                    f"{got['folders']:,} folders {cost['many']['ratio'][NOBODY]:.2f}×, "
                    f"storm {cost['storm']['ratio'][NOBODY]:.2f}×, under 4 new folders "
                    + ", ".join(f"{ms} ms {got['nested_catch'][NOBODY][ms]:.0%}" for ms in NESTED_LIFETIMES_MS))
    return summarise("fileholder with a folder pattern", [{"checks": checks, "summary": summary}])
