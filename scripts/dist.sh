#!/usr/bin/env bash
# Builds the packages into dist/: the Debian package from a release build for
# this machine and the Windows zip from the cross-built 32-bit program. Their
# version is the one that project() in CMakeLists.txt gives.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# dpkg-dev: dpkg-buildflags and dpkg-shlibdeps; file: CPack's library scan.
ensure_packages cmake g++ make dpkg-dev file g++-mingw-w64-i686-win32 || true

mkdir -p dist
rm -f dist/fileholder_*.deb dist/fileholder-*.zip

# package PRESET GENERATOR: builds that preset and moves its package to dist/.
package() {
    local build="build/$1"
    cmake --build --preset "$1"
    rm -rf "$build/packages"
    cpack --config "$build/CPackConfig.cmake" -G "$2" -B "$build/packages"
    mv "$build"/packages/fileholder[_-]*.* dist/
}

# The compiler and linker flags of a Debian build, all hardening included.
debian_flags() {
    DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"
}
echo "== dist: Debian package"
cmake --preset dist \
    -DCMAKE_CXX_FLAGS="$(debian_flags CPPFLAGS) $(debian_flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(debian_flags LDFLAGS)" >/dev/null
package dist DEB

echo "== dist: Windows zip"
cmake --preset dist-win32 >/dev/null
package dist-win32 ZIP

ls -l dist/
