#!/usr/bin/env bash
# The real program on a virtual display as a screen reader meets it: read from the accessibility
# bus (AT-SPI) in a D-Bus session of the check's own, where the bus's launcher is started and
# accessibility switched on as a desktop with a screen reader has it. The application shows one
# window, a frame named by its title, and in it every control in reading order with its name.
# Usage: a11y_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
here=$(dirname "$0")
source "$here/../cannot_run.sh"

# Debian's pyatspi is for the system's own python, whatever python3 comes first on the PATH.
python=/usr/bin/python3
launcher=$(ls /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher 2>/dev/null | head -n1 || true)
for tool in dbus-run-session dbus-send Xvfb xdotool; do
  command -v "$tool" >/dev/null || cannot_run "no $tool"
done
[ -n "$launcher" ] || cannot_run "no at-spi-bus-launcher (at-spi2-core)"
"$python" -c 'import pyatspi' 2>/dev/null || cannot_run "no pyatspi for $python (python3-pyatspi)"

# The rest runs inside a session bus of its own, which ends with the script.
if [ -z "${KELVO_A11Y_SESSION:-}" ]; then
  KELVO_A11Y_SESSION=1 exec dbus-run-session -- bash "$0" "$@"
fi
mkdir -p "$shots"
source "$here/e2e_lib.sh"

session() { dbus-send --session --print-reply "$@"; }

start_display
# Its settings in memory: switching accessibility on writes none into the account's home.
XDG_RUNTIME_DIR="$work" GSETTINGS_BACKEND=memory "$launcher" >"$work/launcher.log" 2>&1 &
launcher_pid=$!
stop_launcher() { kill "$launcher_pid" 2>/dev/null && wait "$launcher_pid" 2>/dev/null; }
cleanup_hooks+=(stop_launcher)
# Asked before it owns its name, the session bus would start another launcher for the asker.
for _ in $(seq 100); do
  session --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null |
    grep -q 'boolean true' && break
  kill -0 "$launcher_pid" 2>/dev/null || fail "at-spi-bus-launcher ended: $(cat "$work/launcher.log")"
  sleep 0.1
done
session --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
  string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null ||
  fail "accessibility not switched on: $(cat "$work/launcher.log")"

# The program is not told to expose itself: it does so because the desktop's accessibility is on.
start_kelvo "$kelvo"
tree=$("$python" "$here/a11y_tree.py" kelvo 20) || fail "kelvo not on the accessibility bus: $(cat "$work/kelvo.log")"
import -window root "$shots/a11y.png"
echo "read from the accessibility bus:"
echo "$tree"

# A screen reader's list of windows holds the application's top-level objects.
windows=$(grep -E '^  [^ ]' <<<"$tree")
[ "$windows" = "  frame: 'Kelvo'" ] || fail "the application's windows are [$windows], not one frame: 'Kelvo'"
# Panels and the output's scroll bars are unnamed fillers, which a screen reader passes over.
named=$(grep -vE "^ *(filler|scroll bar): ''$" <<<"$tree" | sed 's/^ *//')
expected="application: 'kelvo'
frame: 'Kelvo'
image: 'Kelvo'
link: 'www.kelvo.net'
push button: 'Создать Соединение'
push button: 'Пинг'
label: 'Адрес :'
text: 'Адрес'
push button: 'Старт'
push button: 'Стоп'
text: 'Результаты пинга'
label: 'Логин :'
text: 'Логин'
label: 'Пароль :'
text: 'Пароль'
push button: 'Создать'"
[ "$named" = "$expected" ] || fail "the named objects differ: $(diff <(echo "$expected") <(echo "$named") || true)"

kill -0 "$kelvo_pid" || fail "kelvo ended: $(cat "$work/kelvo.log")"
echo "accessibility checks passed"
