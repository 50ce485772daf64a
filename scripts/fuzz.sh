#!/usr/bin/env bash
# Fuzzes the line reader: builds the libFuzzer target with clang (preset
# fuzz) and runs it for FUZZ_SECONDS (30 by default), starting from the seeds
# in fuzz/corpus. New inputs go to a scratch folder; the seeds stay as
# committed. A crashing input is kept in build/fuzz/ and shown.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make clang libclang-rt-14-dev || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target console_line_fuzz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
log=build/fuzz/fuzz.log
if ! build/fuzz/fuzz/console_line_fuzz -max_total_time="${FUZZ_SECONDS:-30}" -max_len=4096 \
    -timeout=10 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
    "$scratch" fuzz/corpus >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: the line reader failed; the input is in build/fuzz/ (see $log)" >&2
    exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log"
