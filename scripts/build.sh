#!/usr/bin/env bash
# Builds the release binary: build/release/fileholder.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake g++ make || true
cmake --preset release >/dev/null
cmake --build --preset release
