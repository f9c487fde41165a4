#!/usr/bin/env bash
# Builds the Debian packages (one for each role: zelhart-driver, libzelhartdriverinterface1,
# libzelhartdriverinterface-dev, korvel4810-tools and, with the desktop program, korvel4810) and checks
# them with lintian when lintian is there: no error and no warning passes.
#   packaging/build-deb.sh [--verify] [BUILD-DIR]     (default: build-release beside this folder)
# The tree is configured for /usr without tests and benchmarks, with Debian's compiler and linker
# hardening flags (dpkg-buildflags); the packages land in BUILD-DIR.
#
# Reproducible: SOURCE_DATE_EPOCH (default: the time of the last commit) is the build date the programs
# print (the compiler takes it for __DATE__ and __TIME__) and the time of every file in the packages;
# the source and build directories are mapped away from the binaries, and the programs are linked
# with their installed run path (none), so no trace of the build directory is left in them. --verify builds a second time
# in BUILD-DIR-verify and compares the packages byte for byte (diffoscope shows a difference when it
# is there).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
verify=no
if [ "${1:-}" = --verify ]; then
    verify=yes
    shift
fi
build=${1:-$top/build-release}
# Absolute, so that -ffile-prefix-map matches the paths the compiler sees (a relative BUILD-DIR left
# "./BUILD-DIR" in the debug information, and with it in the programs' build ids).
build=$(realpath -m "$build")

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export LC_ALL=C.UTF-8 TZ=UTC
umask 022

# build_packages DIR: configures, builds and packs in DIR; the package files on standard output.
build_packages() {
    local dir=$1 maps
    maps="-ffile-prefix-map=$top=. -ffile-prefix-map=$dir=."
    CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS) $maps"
    CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) $maps"
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
    export CFLAGS CXXFLAGS LDFLAGS
    # Linked with the installed run path at once: CMake's rewrite of the build tree's run path at
    # installation blanks the old string in place, so the build directory's length stayed in .dynstr.
    # The flags are given on every configuration: CMake takes CFLAGS and the like from the environment
    # only when it makes the tree's cache, so a tree made earlier kept its old prefix maps.
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" \
        -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
        -DBUILD_TESTING=OFF -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON ${ZELHART_DEB_CMAKE_ARGS:-} >/dev/null
    cmake --build "$dir" >&2
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB >&2)
    ls "$dir"/*.deb
}

mapfile -t debs < <(build_packages "$build")
printf 'package: %s\n' "${debs[@]}"
if command -v lintian >/dev/null; then
    lintian --info --fail-on error,warning "${debs[@]}"
fi

if [ "$verify" = yes ]; then
    mapfile -t again < <(build_packages "$build-verify")
    [ "${#again[@]}" -eq "${#debs[@]}" ] || { echo "the second build made ${#again[@]} packages, not ${#debs[@]}" >&2; exit 1; }
    differ=0
    for deb in "${debs[@]}"; do
        other=$build-verify/$(basename "$deb")
        if cmp -s "$deb" "$other"; then
            echo "reproducible: $(basename "$deb")"
        else
            echo "NOT reproducible: $(basename "$deb")" >&2
            if command -v diffoscope >/dev/null; then diffoscope "$deb" "$other" >&2 || true; fi
            differ=1
        fi
    done
    exit "$differ"
fi
