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

# The Windows program, cross-built with mingw-w64 and tested under Wine. The
# shipped .exe is 32-bit, and Wine runs it with its 32-bit loader; where this
# machine's kernel refuses 32-bit x86 code, the same sources are built as a
# 64-bit program too and the Wine tests run on that one.
echo "== windows"
ensure_packages g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32 \
    binutils-mingw-w64-x86-64 wine wine64 wine32:i386 || true
windows_tools="g++-mingw-w64-i686, g++-mingw-w64-x86-64-win32, wine, wine64 and wine32:i386"
# Exit status 126: the 32-bit loader is there, but the kernel will not start it.
runs_32_bit=0
probe=$(/usr/lib/wine/wine --version 2>&1) || runs_32_bit=$?
case $runs_32_bit in
    0) windows=win32 needs=(i686-w64-mingw32-g++ wine) ;;
    126) windows=win64 needs=(i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ /usr/lib/wine/wine64) ;;
    *) windows=none needs=() ;;
esac
for tool in "${needs[@]}"; do
    command -v "$tool" >/dev/null || windows=none
done
if [ "$windows" = none ]; then
    if [ "${CI:-}" = true ]; then
        echo "error: the Windows tests need $windows_tools" >&2
        exit 1
    fi
    echo "warning: SKIPPED the Windows tests: install $windows_tools" >&2
elif [ "$windows" = win32 ]; then
    echo "windows: this machine runs 32-bit programs: all Windows tests on the 32-bit .exe (win32)"
    cmake --preset win32 >/dev/null
    cmake --build --preset win32
    ctest --preset win32
else
    echo "windows: this machine cannot run 32-bit programs (${probe##*/}):" \
        "the 32-bit .exe (win32) is built and its headers and resources checked," \
        "the Wine tests run on the 64-bit build (win64)"
    cmake --preset win32 >/dev/null
    cmake --build --preset win32
    ctest --preset win32 --tests-regex '^e2e\.windows\.Executable$'
    cmake --preset win64 >/dev/null
    cmake --build --preset win64
    ctest --preset win64
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
