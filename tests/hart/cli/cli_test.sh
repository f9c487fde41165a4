#!/usr/bin/env bash
# 4810cli as a program, against the simulator's Korvel-4810 in-process (libZelHartLoopback.so), and
# with the interface library itself where no driver daemon runs.
#   cli_test.sh <4810cli> <libZelHartLoopback.so> <libZelHartDriverInterface.so>
set -euo pipefail
cli=$1 loopback=$2 library=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/zelhart-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ZELHART_RUNTIME_DIR=$work/run ZELHART_CONFIG_DIR=$work/etc XDG_CONFIG_HOME=$work/config HOME=$work
# A transmitter with the factory configuration whose readings hold still.
printf 'format = 1\ndrift = 0\n' >"$work/factory.state"
export ZELHART_INTERFACE_LIBRARY=$loopback ZELHART_LOOPBACK_STATE=$work/factory.state
unset LANGUAGE LC_NUMERIC
export LC_ALL=C.UTF-8
mkdir -p "$ZELHART_RUNTIME_DIR/ports"
: >"$work/port"
ln -s "$work/port" "$ZELHART_RUNTIME_DIR/ports/COM4"

passed=0
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { passed=$((passed + 1)); }
run() { # run <expected status> <args...>: output in $work/out and $work/err
    local want=$1 status=0
    shift
    "$cli" "$@" >"$work/out" 2>"$work/err" <"${input:-/dev/null}" || status=$?
    [ "$status" -eq "$want" ] || fail "4810cli $*: exit $status, not $want; stderr: $(cat "$work/err")"
}
has() { grep -qF -- "$2" "$work/$1" || fail "$1 lacks '$2': $(cat "$work/$1")"; }

# --- read --save: every field, a 103-byte file
run 0 --port 4 read --save "$work/x.4810"
for line in "Тег датчика: TT-101" "Тип сенсора: PT100 (a = 0.00385)" "Соединение сенсора: 3-проводное" \
    "Точка 4 мА: 0.00 °C" "Точка 20 мА: 100.00 °C" "Нижний предел диапазона: -200.00 °C" \
    "Верхний предел диапазона: 850.00 °C" "Демпфирование: 1.0 с" "Тип аварии: Высокий" \
    "Низкий уровень аварии: 3.60 мА" "Высокий уровень аварии: 21.00 мА" "Нижнее насыщение: 3.80 мА" \
    "Верхнее насыщение: 20.50 мА" "Фильтр 50/60 Гц: 50 Гц" "Защита записи: выключена" \
    "Температура сенсора: 21.50 °C" "Аналоговый выход: 7.44 мА" "Температура датчика: 24.00 °C" \
    "Неисправность сенсора: Нет" "Неисправность датчика: Нет" "Версия программы: 5.1.3" \
    "Версия аппаратной части: 16" "Конечный номер сборки: 481001" "Дата сборки трансмиттера: 14.3.2024" \
    "Код арматуры: B12" "Головка: 2" "Кабельный ввод: 1" "Исполнение: 3" "Монтажная длина: 160 мм" \
    "Дата сборки термометра: 14.3.2024" "Серийный номер термометра: 104233" "Код изготовителя: 153" \
    "Тип устройства: 252" "Идентификатор устройства: 3825441"; do
    has out "$line"
done
[ "$(wc -l <"$work/out")" -eq 34 ] || fail "read printed $(wc -l <"$work/out") lines, not 34"
has err "4810cli: 16%"
has err "4810cli: 100%"
has err "сообщение 899: Приём завершен"
[ "$(stat -c %s "$work/x.4810")" -eq 103 ] || fail "the saved file is not 103 bytes"
[ "$(head -c 8 "$work/x.4810" | od -An -tx1 | tr -d ' \n')" = 5192685442010000 ] || fail "magic or version"
cp "$work/out" "$work/read.out"
ok

# --- show prints the file back: the rows the file holds, as read
run 0 show "$work/x.4810"
[ ! -s "$work/err" ] || fail "show said: $(cat "$work/err")"
grep -v -e '^Температура' -e '^Аналоговый' -e '^Неисправность' -e '^Версия' -e '^Конечный' -e '^Дата сборки тр' \
    -e '^Код изготовителя' -e '^Тип устройства' -e '^Идентификатор' "$work/read.out" >"$work/expected"
diff -u "$work/expected" "$work/out" || fail "show differs from read"
ok

# --- the user's numeric locale: a Russian user sees decimal commas; command-line numbers stay with points
locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$' || fail "the ru_RU.UTF-8 locale is missing (./run test generates it)"
LC_ALL=ru_RU.UTF-8 run 0 show "$work/x.4810"
has out "Точка 20 мА: 100,00 °C"
has out "Демпфирование: 1,0 с"
has out "Низкий уровень аварии: 3,60 мА"
LC_ALL=ru_RU.UTF-8 run 0 --port 4 monitor --count 2 --interval 0.05
[ "$(grep -c '^Аналоговый выход: 7,44 мА$' "$work/out")" -eq 2 ] || fail "monitor: $(cat "$work/out")"
LC_ALL=ru_RU.UTF-8 run 2 --port 4 monitor --interval 0,05
LC_ALL=C run 0 show "$work/x.4810"
has out "Точка 20 мА: 100.00 °C"
ok

# --- the port from the program's setting (QSettings, INI under the XDG config directory)
ini="$XDG_CONFIG_HOME/Korvel 4810 Configuration Tool/Конфигурация датчика Корвел-4810.ini"
mkdir -p "$(dirname "$ini")"
printf '[General]\nPortSettings=200\n' >"$ini"
run 1 check # no COM200
has err "ошибка 908: Нельзя открыть Com порт"
has err "сообщение 906: Датчик Корвел-4810 не найден"
printf '[General]\nPortSettings=4\n' >"$ini"
run 0 check
has err "сообщение 935: Датчик Корвел-4810 найден"
run 0 find
has out "Идентификатор устройства: 3825441"
ok

# --- failures: the program's Russian message on stderr, exit 1
run 1 --port 200 read
has err "ошибка 908: Нельзя открыть Com порт"
has err "вопрос 906: Датчик Корвел-4810 не найден -> Отмена"
[ ! -s "$work/out" ] || fail "read printed without a transmitter"
run 1 show "$work/missing.4810"
has err "Failed to open document."
{ head -c 4 "$work/x.4810"; printf '\x41\x01\x00\x00'; tail -c +9 "$work/x.4810"; } >"$work/v321.4810"
run 1 show "$work/v321.4810"
has err "ошибка 910: Версия файла несовместима с версией программы."
head -c 60 "$work/x.4810" >"$work/short.4810"
run 1 show "$work/short.4810"
has err "Unexpected file format."
run 1 --port 4 read --save "$work/no/such/dir/x.4810"
has err "Failed to save document."
ok

# --- the interface library without its daemon: at once, with the socket path (it polled for 15 s)
started=$(date +%s)
ZELHART_INTERFACE_LIBRARY=$library run 1 --port 4 check
[ $(($(date +%s) - started)) -lt 10 ] || fail "check without a daemon took $(($(date +%s) - started)) s"
has err "ошибка 908: Нельзя открыть Com порт"
has err "4810cli:   Драйвер ZelHartDriver не запущен: никто не слушает сокет $ZELHART_RUNTIME_DIR/zelhart.sock"
has err "сообщение 906: Датчик Корвел-4810 не найден"
! grep -q 907 "$work/err" || fail "907 without a daemon: $(cat "$work/err")"
ZELHART_INTERFACE_LIBRARY=$work/libZelHartDriverInterface.so run 1 --port 4 check
has err "$work/libZelHartDriverInterface.so: cannot open shared object file"
ok

# --- sending: the question takes its default, a protected transmitter refuses
run 0 --port 4 send-basic "$work/x.4810"
has err "вопрос 905: Нажатие 'Продолжить' приведет к изменению выхода датчика. Установите ручной режим петли -> Продолжить"
has err "сообщение 900: Передача завершена успешно"
printf 'format = 1\nwrite_protect = 1\n' >"$work/protected.state"
ZELHART_LOOPBACK_STATE=$work/protected.state run 1 --port 4 send-basic "$work/x.4810"
has err "ошибка 1004: Прибор находится в режиме защиты записи"
ZELHART_LOOPBACK_STATE=$work/protected.state run 1 --port 4 fixed-current 4
has err "ошибка 1004: Прибор находится в режиме защиты записи"
ZELHART_LOOPBACK_STATE=$work/protected.state run 1 --port 4 calibration-reset
has err "ошибка 1004: Прибор находится в режиме защиты записи"
run 0 --port 4 fixed-current 4.5
has err "сообщение 1287: Фиксированный ток (4.50 mA) успешно установлен!"
LC_ALL=ru_RU.UTF-8 run 1 --port 4 fixed-current 3.5
has err "ошибка 1285: Записываемое значение фиксированного тока ниже нижнего уровня аварии! (3,60 mA)"
printf '4.01\n19.99\n' >"$work/readings"
input=$work/readings run 0 --port 4 loop-trim
has err "показание мультиметра в точке 20 мА: -> 19.99"
has err "сообщение 1275: Калибровка токового выхода завершена!"
run 0 --port 4 loop-trim --readings "$work/readings"
has err "сообщение 1275: Калибровка токового выхода завершена!"
run 1 --port 4 loop-trim
has err "ошибка 1278: Не введено значение тока для калибруемой точки 4 мА"
has err "сообщение 1311"
run 0 --port 4 calibration-reset
has err "сообщение 1293: Установлен заводской режим калибровки"
run 0 --port 4 fixed-current off
has err "сообщение 1247: Фиксированный ток успешно сброшен"
ok

# --- bad command lines: exit 2 with the usage
while IFS= read -r args; do
    # shellcheck disable=SC2086 # word splitting wanted
    run 2 $args
    has err "usage: 4810cli"
done <<'END'
read --port 0
read --port 256
read --port x
--port
frobnicate
read extra
read --save
--bogus read
read --bogus
show
show a b
send-basic
monitor --count 0
monitor --count x
monitor --interval -1
monitor --interval 1,5
monitor --interval 1e3
fixed-current
fixed-current 3,5
fixed-current -1
fixed-current nan
loop-trim 4
loop-trim 4 x
loop-trim --readings
sensor-trim X 1
sensor-trim C
sensor-trim C 1 2 3
calibration-reset now
END
run 2
run 0 --help
has out "sensor-trim UNITS LOWER [UPPER]"
has out "Exit status"
ok

echo "$passed passed, 0 failed"
