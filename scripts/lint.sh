#!/usr/bin/env bash
# Static checks that must stay at zero findings: clang-tidy with the
# committed .clang-tidy, and cppcheck, on src/ and the fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make clang clang-tidy cppcheck g++-mingw-w64-i686-win32 || true

echo "== clang-tidy: Linux sources and the fuzz target"
# The fuzz preset's compile database has them all, built by clang.
cmake --preset fuzz >/dev/null
clang-tidy -p build/fuzz --quiet \
    src/*.cpp src/linux/*.cpp fuzz/console_line_fuzz.cpp

echo "== clang-tidy: Windows sources"
# clang reads them as the mingw-w64 cross compiler does: same target, and
# that compiler's own C++ and Windows headers instead of this machine's.
cmake --preset dist-win32 >/dev/null
cross=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-nostdinc --extra-arg=-nostdinc++)
while read -r folder; do
    cross+=("--extra-arg=-isystem$folder")
done < <(i686-w64-mingw32-g++-win32 -x c++ -E -v - </dev/null 2>&1 |
    sed -n '/#include <...> search starts here/,/End of search list/s/^ \(\/.*\)/\1/p')
clang-tidy -p build/dist-win32 --quiet "${cross[@]}" src/main.cpp src/pattern.cpp \
    src/name_components.cpp src/schedule.cpp src/windows/*.cpp

echo "== cppcheck"
# missingIncludeSystem: the standard and system headers are the compilers'
# business. ctuOneDefinitionRuleViolation: each platform defines the waiting
# state behind the seam, and a build has only one of them.
cppcheck --std=c++17 --language=c++ --enable=all --inline-suppr --error-exitcode=1 --quiet \
    --suppress=missingIncludeSystem --suppress=ctuOneDefinitionRuleViolation \
    -I src -I src/linux -I src/windows src fuzz
echo "lint: no findings"
