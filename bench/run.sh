#!/usr/bin/env bash
# The full benchmark: builds the release binary, runs every measurement,
# keeps the table in bench/results/ and redraws docs/catch-rate.svg. Its
# arguments go to bench.py (for example --windows EXE --wine LOADER).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages gcc python3 gnuplot-nox || true
bash scripts/build.sh >/dev/null
mkdir -p bench/results docs
status=0
python3 bench/bench.py --data bench/results "$@" | tee bench/results/table.md || status=$?
gnuplot -e "data='bench/results/catch_rate.dat'; out='docs/catch-rate.svg'" bench/catch_rate.gp
exit "$status"
