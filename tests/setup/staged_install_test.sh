#!/usr/bin/env bash
# The product installed into a staging root (cmake --install with DESTDIR) and the installer's sequence
# run there, as the Debian package's maintainer scripts run it on a machine:
#   the installed files are where they belong, and no test program among them;
#   a C program builds against the installed header and pkg-config file and calls the library;
#   the setup helper puts the driver package and a device node into the root's device database;
#   ZelHartDriver started on that root serves the node's function device: the installed 4810cli finds
#   a simulated transmitter through it;
#   the nodes are removed (the daemon drops the function device on -ReEnumerate) and the package is
#   uninstalled, leaving no OEM INF of ours and no device node; the package's removal step stops the
#   daemon started by hand through its pid file;
#   the headless packages' components hold what they should and need nothing of Qt.
#
# staged_install_test.sh CMAKE BUILD-DIR PREFIX BINDIR SBINDIR LIBDIR INCLUDEDIR DATADIR SYSCONFDIR
# (the directories as the build configured them, absolute).
set -euo pipefail

cmake=$1 build=$2 prefix=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/zelhart-staged-XXXXXX")
stage=$work/stage
bin=$stage$4 sbin=$stage$5 libdir=$stage$6 includedir=$stage$7 datadir=$stage$8 sysconfdir=$stage$9
run=$work/run log=$work/setup.log
inf=$datadir/zelhart/ZelHartDriver.inf
class='{A03641F9-2C4F-43C0-AB95-8EB734EA7071}'
pids=()

cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in "$log" "$work"/*.out; do
        [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}

# start NAME PROGRAM ARGS...: runs it in the background and waits for its ready line.
start() {
    local name=$1
    shift
    "$@" --ready-fd 3 3>"$work/$name.ready" </dev/null >"$work/$name.out" 2>&1 &
    pids+=($!)
    local deadline=$((SECONDS + 20))
    until [ -s "$work/$name.ready" ]; do
        kill -0 "${pids[-1]}" 2>/dev/null || fail "$name ended before it was ready"
        ((SECONDS < deadline)) || fail "$name was not ready in time"
        sleep 0.05
    done
}

helper() { "$sbin/ZelHartDriverSetupCustomAction" "$1,$log" >>"$work/helper.out" 2>&1; }

# Everything on the staging root and a private runtime directory, from the first load of the library on.
export ZELHART_SYSROOT=$stage ZELHART_RUNTIME_DIR=$run ZELHART_CONFIG_DIR=$sysconfdir/zelhart
unset ZELHART_INTERFACE_LIBRARY
mkdir -p "$run"

# ---- The installed files ----
DESTDIR=$stage "$cmake" --install "$build" >"$work/install.out" 2>&1 || fail "cmake --install failed"
for f in "$bin/4810cli" "$bin/korvel4810-sim" "$sbin/ZelHartDriver" "$sbin/ZelHartDriverSetupCustomAction" \
    "$libdir/libZelHartDriverInterface.so" "$libdir/libZelHartDriverInterface.so.1" \
    "$libdir/pkgconfig/ZelHartDriverInterface.pc" "$includedir/zelhart/hart_api.h" \
    "$stage$prefix/lib/systemd/system/ZelHartDriver.service" "$stage$prefix/lib/systemd/system-sleep/zelhart-sleep" \
    "$inf" "$sysconfdir/zelhart/ZelHartDriver.reg" "$datadir/mime/packages/korvel-4810.xml" \
    "$datadir/icons/hicolor/scalable/apps/korvel4810.svg" "$datadir/doc/zelhart-driver/copyright" \
    "$stage$prefix/lib/sysusers.d/zelhart.conf" "$sysconfdir/logrotate.d/zelhart"; do
    [ -e "$f" ] || fail "not installed: ${f#"$stage"}"
done
# The desktop entry comes with the program it starts, and only with it.
program=no entry=no
[ ! -e "$bin/4810PC" ] || program=yes
[ ! -e "$datadir/applications/korvel-4810pc.desktop" ] || entry=yes
[ "$program" = "$entry" ] || fail "4810PC installed: $program, its desktop entry installed: $entry"
# A headless machine: the daemon's, the library's and the tools' packages (CPack components) hold
# the daemon, its helper, the library and the tools, and none of them needs anything of Qt (4810cli
# reads the desktop program's settings file without it).
headless=$work/headless
for component in driver library tools; do
    DESTDIR=$headless "$cmake" --install "$build" --component "$component" >>"$work/install.out" 2>&1 ||
        fail "cmake --install --component $component failed"
done
for f in "$4/4810cli" "$4/korvel4810-sim" "$5/ZelHartDriver" "$5/ZelHartDriverSetupCustomAction" \
    "$6/libZelHartDriverInterface.so.1" "$prefix/lib/systemd/system/ZelHartDriver.service"; do
    [ -e "$headless$f" ] || fail "not in the headless packages: $f"
done
[ ! -e "$headless$4/4810PC" ] || fail "4810PC is in a headless package"
for f in $(find "$headless" -type f -perm -u+x) "$headless$6"/libZelHartDriverInterface.so.1.*; do
    ! readelf -d "$f" 2>/dev/null | grep -q "NEEDED.*libQt" || fail "${f#"$headless"} needs Qt"
done
strays=$(find "$stage" -type f \( -iname '*test*' -o -iname '*double*' -o -iname '*bench*' -o -iname '*loopback*' \
    -o -iname '*fake*' -o -name '*.a' \))
[ -z "$strays" ] || fail "test files installed: $strays"
readelf -d "$libdir/libZelHartDriverInterface.so" | grep -q 'SONAME.*\[libZelHartDriverInterface\.so\.1\]' ||
    fail "the library's SONAME is not libZelHartDriverInterface.so.1"
grep -q "^ExecStart=$5/ZelHartDriver " "$stage$prefix/lib/systemd/system/ZelHartDriver.service" ||
    fail "the unit does not start the installed daemon"

# ---- The C header and the pkg-config file ----
cat >"$work/use_library.c" <<'EOF'
#include <stdio.h>
#include <zelhart/hart_api.h>
int main(void) {
    HartMessage message = {{0}, 0, 0, 0, 0};
    printf("%d %d %u\n", hart_close(HART_MAX_DEVICES + 1u), hart_read(HART_MAX_DEVICES + 1u, &message),
           (unsigned)sizeof message);
    return 0;
}
EOF
flags=$(PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs ZelHartDriverInterface) ||
    fail "pkg-config does not know ZelHartDriverInterface"
# shellcheck disable=SC2086 # the flags are words
cc -std=c11 -Wall -Wextra -Werror "$work/use_library.c" $flags -o "$work/use_library" >"$work/cc.out" 2>&1 ||
    fail "a C program does not build against the installed header and library"
# A sanitized library needs its runtime loaded first: the program runs only with a plain one.
if ! readelf -d "$libdir/libZelHartDriverInterface.so" | grep -q 'lib[at]san'; then
    out=$(LD_LIBRARY_PATH=$libdir "$work/use_library") || fail "the C program failed"
    [ "$out" = "-3 -3 292" ] || fail "the C program printed '$out', not '-3 -3 292'"
fi

# ---- The install sequence ----
helper "-DriverPackageInstall,$inf" || fail "-DriverPackageInstall"
helper "-DeviceNodeCreate,$inf,ROOT\\ZelHartDriver" || fail "-DeviceNodeCreate"
grep -q '^node ROOT\\ZELHARTDRIVER\\0000$' "$stage/var/lib/zelhart/devices.db" || fail "no device node created"

start sim "$bin/korvel4810-sim" --port 210 --no-pace --turnaround 2
start daemon "$sbin/ZelHartDriver" --runtime-dir "$run" --config-dir "$sysconfdir/zelhart"
# The program loads the interface library by its bare name from the installed library directory.
LD_LIBRARY_PATH=$libdir "$bin/4810cli" --port 210 check </dev/null >"$work/check.out" 2>&1 ||
    fail "4810cli check through the installed stack failed"
grep -q 'Датчик Корвел-4810 найден' "$work/check.out" || fail "4810cli check did not find the transmitter"

# ---- Removal ----
helper "-DeviceNodesRemoveAll,$class,ROOT\\ZelHartDriver,korvel4810" || fail "-DeviceNodesRemoveAll"
helper "-ReEnumerate" || fail "-ReEnumerate"
deadline=$((SECONDS + 20))
until grep -q 'device node ROOT\\ZELHARTDRIVER\\0000 is gone; its function device was removed' "$work/daemon.out"; do
    ((SECONDS < deadline)) || fail "the daemon did not drop the removed node's function device"
    sleep 0.05
done
helper "-DriverPackageUninstall,ZelHartDriver.inf" || fail "-DriverPackageUninstall"
oem=$(find "$stage/var/lib/zelhart/inf" -name 'oem*' 2>/dev/null)
[ -z "$oem" ] || fail "OEM INF files left: $oem"
! grep -q '^node ' "$stage/var/lib/zelhart/devices.db" || fail "device nodes left"
[ -z "$(ls -A "$stage/var/lib/zelhart/driverstore")" ] || fail "driver store not empty"

# The package's removal step stops a daemon started by hand through its pid file.
steps=$build/packaging/debian/setup-steps.sh
[ -r "$steps" ] || fail "no $steps"
(. "$steps" && ZELHART_RUNTIME_DIR=$run stop_hand_started_daemon) || fail "stop_hand_started_daemon failed"
wait "${pids[1]}" || fail "the daemon did not stop cleanly"
[ ! -e "$run/ZelHartDriver.pid" ] || fail "the daemon left its pid file"
echo "staged install: installed, package and node set up, transmitter found through the daemon, all removed"
