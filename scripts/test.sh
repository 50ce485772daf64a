#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows program
# under Wine, the static checks, a bounded fuzzing run and the packages.
# With CI=true a test that cannot run for a missing tool fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# Wine runs 32-bit programs with wine32:i386, so the i386 architecture must be
# known before the first package list update.
if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
ensure_packages cmake g++ make libgtest-dev python3 strace || true

for preset in release sanitize; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

# The 32-bit Windows program, cross-built with mingw-w64 and tested under Wine.
echo "== win32"
ensure_packages g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 wine32:i386 || true
if command -v i686-w64-mingw32-g++ >/dev/null && command -v wine >/dev/null &&
    [ -x /usr/lib/wine/wine ]; then
    cmake --preset win32 >/dev/null
    cmake --build --preset win32
    ctest --preset win32
elif [ "${CI:-}" = true ]; then
    echo "error: the Windows tests need g++-mingw-w64-i686, wine, wine64 and wine32:i386" >&2
    exit 1
else
    echo "warning: SKIPPED the Windows tests: install g++-mingw-w64-i686, wine, wine64 and wine32:i386" >&2
fi

# Static checks at zero findings, the line reader under libFuzzer for a
# bounded time, then the packages: built into dist/ and tested with what
# they install (man page checks, cmake --install, dpkg-deb, lintian, the zip).
echo "== lint"
bash scripts/lint.sh
echo "== fuzz"
bash scripts/fuzz.sh
bash scripts/dist.sh
echo "== packages"
ensure_packages groff-base mandoc lintian dpkg-dev binutils binutils-mingw-w64-i686 || true
ctest --preset dist
