#!/usr/bin/env bash
# The packages as an administrator meets them: installed with apt-get on a minimal Debian 12 and booted
# with systemd, so the real unit runs. Needs root, debootstrap and systemd-nspawn (Debian:
# apt-get install debootstrap systemd-container) and a Debian mirror; takes several minutes.
#
#   packaging/test-in-container.sh [--debs DIR] [--base DIR] [--keep] [BUILD-DIR]
#
#   --debs DIR   take the packages from DIR instead of building them (packaging/build-deb.sh BUILD-DIR)
#   --base DIR   a debootstrapped Debian 12 to copy instead of making one (made there when missing)
#   --keep       leave the container's root in place afterwards
#   --desktop    install the desktop package korvel4810 too (apt-get fetches Qt from the mirror)
#
# Checks, as root, as a user in the group zelhart and as one outside it:
#   an upgrade from the single package korvel4810 0.1.0 (a stand-in made here with some of its files,
#   its tunables a conffile): apt-get accepts the new packages, which take the files over; the
#   headless packages pull nothing of Qt;
#   the unit is enabled and active after the installation and a boot;
#   the simulator started by the group member is read through the service with 4810cli read;
#   the user outside the group is refused with "вы не входите в группу zelhart";
#   a device node made with -DeviceNodeCreate is served after systemctl reload;
#   removing zelhart-driver stops the daemon, purging every package leaves nothing of them behind.
# Each check prints PASS or FAIL; the exit status is 1 when one failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
debs='' base='' keep=no desktop=no
while [ $# -gt 0 ]; do
    case "$1" in
    --debs) debs=$2; shift 2 ;;
    --base) base=$2; shift 2 ;;
    --keep) keep=yes; shift ;;
    --desktop) desktop=yes; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
build=${1:-$top/build-release}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" = 0 ] || { echo "test-in-container.sh needs root" >&2; exit 2; }
for tool in debootstrap systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 2; }
done

failed=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failed=1; }

# ---- The packages ----
if [ -z "$debs" ]; then
    "$top/packaging/build-deb.sh" "$build"
    debs=$build
fi
ls "$debs"/zelhart-driver_*.deb "$debs"/libzelhartdriverinterface1_*.deb "$debs"/korvel4810-tools_*.deb >/dev/null

# ---- A minimal Debian 12 with systemd ----
work=$(mktemp -d /var/tmp/zelhart-container-XXXXXX)
root=$work/root
leader=''
cleanup() {
    if [ -n "$leader" ] && kill -0 "$leader" 2>/dev/null; then
        kill -RTMIN+4 "$leader" 2>/dev/null || true # systemd as pid 1: power off
        for _ in $(seq 100); do kill -0 "$leader" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$leader" 2>/dev/null || true
    fi
    [ -z "${nspawn:-}" ] || wait "$nspawn" 2>/dev/null || true
    if [ "$keep" = yes ]; then echo "container root kept in $root"; else rm -rf "$work"; fi
}
trap cleanup EXIT

packages=systemd,systemd-sysv,dbus,passwd,login,util-linux,procps,ca-certificates
if [ -n "$base" ] && [ -x "$base/bin/sh" ]; then
    cp -a "$base" "$root"
else
    debootstrap --variant=minbase --include=$packages bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log" >&2; exit 2; }
    if [ -n "$base" ]; then cp -a "$root" "$base"; fi
fi
echo zelhart-test >"$root/etc/hostname"
mkdir -p "$root/var/tmp/debs" # /tmp is a tmpfs in the container
cp "$debs"/zelhart-driver_*.deb "$debs"/libzelhartdriverinterface1_*.deb "$debs"/korvel4810-tools_*.deb "$root/var/tmp/debs/"
[ "$desktop" = no ] || cp "$debs"/korvel4810_*.deb "$root/var/tmp/debs/"

# The single package of version 0.1.0, as far as the upgrade needs it: files that moved to each new
# package, the tunables as its conffile (with that version's text).
old=$work/korvel4810-0.1.0
library=$(dpkg-deb -c "$debs"/libzelhartdriverinterface1_*.deb | awk '{print $6}' | grep -m1 'libZelHartDriverInterface\.so\.1$')
for f in /usr/sbin/ZelHartDriver /usr/sbin/ZelHartDriverSetupCustomAction /usr/bin/4810cli /usr/bin/korvel4810-sim \
    /usr/include/zelhart/hart_api.h /usr/share/zelhart/ZelHartDriver.inf "${library#.}"; do
    mkdir -p "$old$(dirname "$f")"
    echo "korvel4810 0.1.0: $f" >"$old$f"
done
mkdir -p "$old/etc/zelhart" "$old/DEBIAN"
# 0.1.0's tunables: today's without the ECHO value and its comment.
dpkg-deb --fsys-tarfile "$debs"/zelhart-driver_*.deb | tar -xO ./etc/zelhart/ZelHartDriver.reg |
    grep -v -e ECHO -e '0 automatic' >"$old/etc/zelhart/ZelHartDriver.reg"
echo /etc/zelhart/ZelHartDriver.reg >"$old/DEBIAN/conffiles"
printf 'Package: korvel4810\nVersion: 0.1.0\nArchitecture: %s\nMaintainer: ZelHart <packages@zelhart.example>\nDescription: Korvel-4810 toolchain (everything in one package)\n' \
    "$(dpkg --print-architecture)" >"$old/DEBIAN/control"
dpkg-deb --root-owner-group --build "$old" "$root/var/tmp/korvel4810_0.1.0.deb" >/dev/null

# Installed in the container not yet booted, as a chroot installation: the unit is enabled, not started.
systemd-nspawn --quiet --register=no --keep-unit -D "$root" --pipe sh -c \
    'dpkg -i /var/tmp/korvel4810_0.1.0.deb' >"$work/old.log" 2>&1 || { tail -30 "$work/old.log" >&2; exit 1; }
systemd-nspawn --quiet --register=no --keep-unit -D "$root" --pipe sh -c \
    'apt-get install -y --no-install-recommends /var/tmp/debs/*.deb && useradd -m -G zelhart alice && useradd -m bob' \
    >"$work/install.log" 2>&1 || { tail -30 "$work/install.log" >&2; exit 1; }
pass "installed with apt-get over korvel4810 0.1.0 (the group zelhart made, users alice in it and bob outside)"
owners=$(systemd-nspawn --quiet --register=no --keep-unit -D "$root" --pipe sh -c \
    "dpkg -S /usr/sbin/ZelHartDriver /usr/bin/4810cli ${library#.} /etc/zelhart/ZelHartDriver.reg | cut -d: -f1 | sort -u | tr '\n' ' '; \
     dpkg-query -W -f='korvel4810=\${Version}/\${db:Status-Abbrev}' korvel4810 2>/dev/null" 2>/dev/null || true)
echo "owners after the upgrade: $owners"
case "$desktop:$owners" in
no:"korvel4810-tools libzelhartdriverinterface1 zelhart-driver korvel4810=0.1.0/rc "* | \
    yes:"korvel4810-tools libzelhartdriverinterface1 zelhart-driver korvel4810=0.2.0/ii "*)
    pass "the new packages took over the files of korvel4810 0.1.0" ;;
*) fail "the files of korvel4810 0.1.0 did not change packages: $owners" ;;
esac
if [ "$desktop" = no ]; then
    qt=$(systemd-nspawn --quiet --register=no --keep-unit -D "$root" --pipe sh -c \
        "dpkg-query -W -f='\${Package}\n' 'libqt6*' 2>/dev/null" 2>/dev/null || true)
    if [ -z "$qt" ]; then pass "the headless packages pulled nothing of Qt"; else fail "Qt installed: $qt"; fi
fi

# ---- Booted ----
systemd-nspawn --quiet --keep-unit -D "$root" --boot --register=no --console=passive >"$work/boot.log" 2>&1 &
nspawn=$!
# The container's pid 1: the process named systemd among systemd-nspawn's descendants.
container_init() {
    local pids=$1 next p
    while [ -n "$pids" ]; do
        next=''
        for p in $pids; do
            [ "$(cat "/proc/$p/comm" 2>/dev/null)" = systemd ] && { echo "$p"; return; }
            next="$next $(ps -o pid= --ppid "$p" | tr '\n' ' ')"
        done
        pids=$(echo $next)
    done
}
for _ in $(seq 150); do
    leader=$(container_init "$nspawn")
    [ -n "$leader" ] && break
    sleep 0.2
done
[ -n "$leader" ] || { echo "the container did not start" >&2; cat "$work/boot.log" >&2; exit 1; }
# inside [USER] COMMAND...: runs a command in the booted container, as root or as USER.
inside() {
    if [ "$1" = alice ] || [ "$1" = bob ]; then
        local user=$1; shift
        nsenter --target "$leader" --all -- runuser -u "$user" -- env ZELHART_RUNTIME_DIR= "$@"
    else
        nsenter --target "$leader" --all -- "$@"
    fi
}
for _ in $(seq 300); do
    state=$(inside systemctl is-system-running 2>/dev/null || true)
    case "$state" in running | degraded) break ;; esac
    sleep 0.2
done
echo "system state: $state"

if [ "$(inside systemctl is-enabled ZelHartDriver.service 2>/dev/null)" = enabled ] &&
    [ "$(inside systemctl is-active ZelHartDriver.service 2>/dev/null)" = active ]; then
    pass "ZelHartDriver.service enabled and active after the boot"
else
    fail "ZelHartDriver.service not active: $(inside systemctl status ZelHartDriver.service 2>&1 | tail -5)"
fi

# The group member's simulator, read through the service.
inside alice sh -c 'korvel4810-sim --port 7 >/tmp/sim.out 2>&1 & echo $! >/tmp/sim.pid'
for _ in $(seq 50); do inside test -e /run/zelhart/ports/COM7 && break; sleep 0.2; done
if out=$(inside alice 4810cli --port 7 read </dev/null 2>&1); then
    pass "alice (group zelhart) reads her simulator with 4810cli read"
else
    fail "alice's 4810cli read: $(echo "$out" | tail -3); her simulator: $(inside cat /tmp/sim.out 2>&1 | tail -3)"
    inside sh -c 'id alice; ls -la /run/zelhart /run/zelhart/ports; journalctl -u ZelHartDriver.service --no-pager | tail -8' 2>&1 | sed 's/^/  /'
fi
# The outsider is refused, with the message.
if out=$(inside bob 4810cli --port 7 read </dev/null 2>&1); then
    fail "bob (not in the group) was served"
elif echo "$out" | grep -q 'вы не входите в группу zelhart'; then
    pass "bob (not in the group) is refused: $(echo "$out" | grep -m1 'вы не входите в группу zelhart')"
else
    fail "bob is refused without the message: $(echo "$out" | tail -3)"
fi
inside sh -c 'kill "$(cat /tmp/sim.pid)"' 2>/dev/null || true

# A second device node, served after a reload.
inside ZelHartDriverSetupCustomAction '-DeviceNodeCreate,/usr/share/zelhart/ZelHartDriver.inf,ROOT\ZelHartDriver,/var/log/zelhart/setup.log' ||
    fail "-DeviceNodeCreate failed"
inside systemctl reload ZelHartDriver.service || fail "systemctl reload failed"
for _ in $(seq 50); do
    inside journalctl -u ZelHartDriver.service --no-pager 2>/dev/null | grep -q 'ROOT\\ZELHARTDRIVER\\0001: function device added' && break
    sleep 0.2
done
if inside journalctl -u ZelHartDriver.service --no-pager 2>/dev/null | grep -q 'ROOT\\ZELHARTDRIVER\\0001: function device added'; then
    pass "systemctl reload after -DeviceNodeCreate adds the node's function device"
else
    fail "the new node is not served after the reload: $(inside journalctl -u ZelHartDriver.service --no-pager | tail -5)"
fi

# Removal stops the daemon; purge leaves nothing.
inside apt-get remove -y zelhart-driver >"$work/remove.log" 2>&1 || fail "apt-get remove failed"
if [ "$(inside systemctl is-active ZelHartDriver.service 2>/dev/null)" != active ] && ! inside pgrep -x ZelHartDriver >/dev/null; then
    pass "removing zelhart-driver stops the daemon"
else
    fail "the daemon still runs after the removal"
fi
inside apt-get purge -y zelhart-driver korvel4810-tools libzelhartdriverinterface1 korvel4810 >"$work/purge.log" 2>&1 || fail "apt-get purge failed"
left=$(inside sh -c 'ls -d /var/lib/zelhart /var/log/zelhart /etc/zelhart /etc/logrotate.d/zelhart /usr/share/zelhart \
    /usr/lib/systemd/system/ZelHartDriver.service /etc/systemd/system/multi-user.target.wants/ZelHartDriver.service \
    /usr/sbin/ZelHartDriver 2>/dev/null; dpkg -l | awk "/^(ii|rc) +(zelhart|libzelhart|korvel)/ {print \$2}"' || true)
if [ -z "$left" ]; then
    pass "purge leaves nothing of the packages"
else
    fail "left after the purge: $left"
fi

exit "$failed"
