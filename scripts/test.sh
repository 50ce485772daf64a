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
# inotify-tools: the benchmark's quick runs measure its inotifywait pipeline.
ensure_packages cmake g++ make libgtest-dev python3 strace inotify-tools || true

for preset in release sanitize; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

# The Windows program, cross-built with mingw-w64 and tested under Wine. The
# shipped .exe is 32-bit, and Wine runs it with its 32-bit loader. Where this
# machine's kernel refuses 32-bit x86 code, qemu-i386 runs it instead (set up
# here, as root: see emulate_32_bit); a 32-bit Wine program then takes some
# 20 s to start, too long for the whole suite. So there the same sources are
# built as a 64-bit program too, the whole suite runs on that one, and the
# shipped 32-bit .exe runs the cases whose code differs between the two builds
# (the 32-bit tier, the win32-wow64 test preset).
echo "== windows"
ensure_packages g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32 \
    binutils-mingw-w64-x86-64 wine wine64 wine32:i386 || true
windows_tools="g++-mingw-w64-i686, g++-mingw-w64-x86-64-win32, wine, wine64 and wine32:i386"

binfmt=/proc/sys/fs/binfmt_misc
# 32-bit little-endian ELF for i386, executable or shared object: what
# qemu's own binfmt_misc set-up matches. The kernel reads the \x escapes.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# i386_emulation: prints the binfmt_misc entry, switched on, that has
# qemu-i386 run 32-bit x86 programs; fails where there is none.
i386_emulation() {
    local entry
    for entry in "$binfmt"/*; do
        if grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry"; then
            echo "${entry##*/}"
            return 0
        fi
    done
    return 1
}

# emulate_32_bit: has the kernel hand 32-bit x86 programs to qemu-i386
# (qemu-user-static, through binfmt_misc) for good, for every program on
# the machine. Says so in one line; where it cannot, sets cannot_emulate to
# the reason.
emulate_32_bit() {
    local entry why="this machine's kernel runs no 32-bit x86 code (${probe##*: })"
    cannot_emulate=
    if [ "$(id -u)" -ne 0 ]; then
        cannot_emulate="$why, and only root can have qemu-i386 run it"
    elif ! ensure_packages qemu-user-static; then
        cannot_emulate="$why, and qemu-user-static, which would run it, is missing"
    elif [ ! -e "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
        cannot_emulate="$why, and binfmt_misc, which would hand it to qemu-i386, cannot be mounted"
    elif entry=$(i386_emulation); then
        echo "windows: $why; qemu-i386 runs it through the binfmt_misc entry $entry"
    elif [ -e "$binfmt/qemu-i386" ]; then
        cannot_emulate="$why, and the binfmt_misc entry qemu-i386 that would run it is switched off"
    elif printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:OCF' "$i386_magic" "$i386_mask" \
        2>/dev/null >"$binfmt/register"; then
        echo "windows: $why; registered qemu-i386 with binfmt_misc to run it, so that the shipped 32-bit .exe runs too"
    else
        cannot_emulate="$why, and binfmt_misc refuses an entry for qemu-i386"
    fi
    if [ -z "$cannot_emulate" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        cannot_emulate="$why, and even under qemu-i386 Wine's 32-bit loader does not start"
    fi
    [ -z "$cannot_emulate" ]
}

# Exit status 126: the 32-bit loader is there, but the kernel will not start it.
runs_32_bit=0
probe=$(/usr/lib/wine/wine --version 2>&1) || runs_32_bit=$?
if [ "$runs_32_bit" -eq 126 ] && emulate_32_bit; then
    runs_32_bit=0
fi
emulation=
if [ "$runs_32_bit" -eq 0 ]; then
    emulation=$(i386_emulation) || true
fi
case $runs_32_bit in
    0)
        if [ -n "$emulation" ]; then
            windows=wow64
            needs=(i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ /usr/lib/wine/wine /usr/lib/wine/wine64)
        else
            windows=win32 needs=(i686-w64-mingw32-g++ wine)
        fi
        ;;
    126)
        if [ "${CI:-}" = true ]; then
            echo "error: the Windows tests need the shipped 32-bit .exe to run: $cannot_emulate" >&2
            exit 1
        fi
        windows=win64 needs=(i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ /usr/lib/wine/wine64)
        ;;
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
    if [ "$windows" = wow64 ]; then
        echo "windows: 32-bit programs run here only under emulation (binfmt_misc entry $emulation):" \
            "the 32-bit tier runs the shipped 32-bit .exe (win32) on the cases where the builds differ," \
            "all Wine tests run on the 64-bit build (win64)"
    else
        echo "warning: $cannot_emulate: the 32-bit .exe (win32) is built and its headers and" \
            "resources checked, the Wine tests run on the 64-bit build (win64) only" >&2
    fi
    cmake --preset win32 >/dev/null
    cmake --build --preset win32
    ctest --preset win32 --tests-regex '^e2e\.windows\.Executable$'
    if [ "$windows" = wow64 ]; then
        tier_start=$SECONDS
        echo "windows: the 32-bit tier: $PWD/build/win32/fileholder.exe under /usr/lib/wine/wine"
        ctest --preset win32-wow64
        echo "windows: the 32-bit tier took $((SECONDS - tier_start)) s"
    fi
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
