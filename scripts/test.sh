#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build, then the same
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
# With CI=true a test that cannot run for a missing tool fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake g++ make libgtest-dev python3 strace || true

for preset in release sanitize; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
