#!/usr/bin/env bash
# The full benchmark: builds the release binary, runs every measurement,
# keeps the tables in bench/results/ and redraws the catch-rate plots beside
# doc/performance.md. Its arguments go to the benchmark (for example
# --windows EXE --wine LOADER).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages gcc python3 gnuplot-nox inotify-tools || true
bash scripts/build.sh >/dev/null
mkdir -p bench/results
status=0
python3 bench --data bench/results "$@" | tee bench/results/table.md || status=$?
for plot in catch_rate pattern_catch_rate tree_catch_rate; do
    [ -f "bench/results/$plot.dat" ] || continue
    heading="Share of short-lived files caught"
    case $plot in
    pattern_catch_rate) heading="$heading, waiting on a pattern" ;;
    tree_catch_rate) heading="$heading, waiting on a folder pattern" ;;
    esac
    gnuplot -e "data='bench/results/$plot.dat'; out='doc/${plot//_/-}.svg'; heading='$heading'" \
        bench/catch_rate.gp
done
exit "$status"
