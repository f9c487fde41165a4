#!/usr/bin/env bash
# Builds the Debian package korvel4810 and checks it with lintian when lintian is there.
#   packaging/build-deb.sh [BUILD-DIR]        (default: build-release beside this folder)
# The tree is configured for /usr without tests and benchmarks, with Debian's compiler and linker
# hardening flags (dpkg-buildflags); the package lands in BUILD-DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-release}

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB)
deb=$(ls -t "$build"/korvel4810_*.deb | head -n 1)
echo "package: $deb"
if command -v lintian >/dev/null; then
    lintian --info --fail-on error "$deb" # warnings are listed, errors fail
fi
