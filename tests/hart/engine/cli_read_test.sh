#!/usr/bin/env bash
# 4810cli read against the interface library double playing a Korvel-4810.
#   cli_read_test.sh <4810cli> <double .so> <double script>
set -euo pipefail
cli=$1 double=$2 script=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/zelhart-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ZELHART_RUNTIME_DIR=$work/run ZELHART_CONFIG_DIR=$work/etc
export ZELHART_INTERFACE_LIBRARY=$double ZELHART_DOUBLE_SCRIPT=$script
mkdir -p "$ZELHART_RUNTIME_DIR/ports"
: >"$work/port"
ln -s "$work/port" "$ZELHART_RUNTIME_DIR/ports/COM4"

fail() { echo "FAIL: $*" >&2; exit 1; }

# The transmitter on COM4: every field, exit 0.
"$cli" read --port 4 >"$work/out" 2>"$work/err" || fail "read exited $? ($(cat "$work/err"))"
cat >"$work/expected" <<'END'
manufacturer: 153
device type: 252
device id: 104810
universal revision: 7
device revision: 1
software revision: 3
hardware revision: 1
tag: TT-101
descriptor: KORVEL 4810
date: 17.05.2024
alarm type: 0
range units: 32
upper range: 100.000
lower range: 0.000
damping: 1.500
write protect: 0
sensor type: 1
sensor connection: 3
END
diff -u "$work/expected" "$work/out" || fail "output differs"
[ ! -s "$work/err" ] || fail "unexpected messages: $(cat "$work/err")"

# No COM200 in the map: the open fails (908) and the transmitter is not found (906), exit 1.
status=0
"$cli" read --port 200 >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "missing port: exit $status"
grep -q 'ошибка 908: Нельзя открыть Com порт' "$work/err" || fail "no message 908: $(cat "$work/err")"
grep -q 'ошибка 906: Датчик Корвел-4810 не найден' "$work/err" || fail "no message 906"
[ ! -s "$work/out" ] || fail "output without a transmitter"

# Bad command lines.
for args in "read --port 0" "read --port 256" "read --port x" "frobnicate" "" "read extra"; do
    status=0
    # shellcheck disable=SC2086
    "$cli" $args >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "'$args': exit $status, not 2"
done
"$cli" help | grep -q '^  read' || fail "help does not list read"
echo "1 passed, 0 failed"
