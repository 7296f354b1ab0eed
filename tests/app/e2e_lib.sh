# Shared by the end-to-end scripts: a virtual display, the real program on it, and the user's
# mouse and keyboard. Source it after setting $shots; it cleans up on exit.
xvfb_pid=""
kelvo_pid=""
window=""
work=$(mktemp -d)
cleanup_hooks=()
cleanup() {
  [ -n "$kelvo_pid" ] && kill "$kelvo_pid" 2>/dev/null && wait "$kelvo_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  for hook in "${cleanup_hooks[@]}"; do $hook || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -n "${DISPLAY:-}" ] && import -window root "$shots/failure.png" 2>/dev/null || true
  exit 1
}

# Xvfb picks a free display itself and writes its number once it accepts connections.
start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb gave no display number"
  export DISPLAY=":$(head -n1 "$work/display")"
}

# Starts the program (any arguments before it, such as "ip netns exec NAME", come first) and
# waits for its window. A program that lost its display connection while starting is started
# once more: that is the virtual display's trouble, not the program's.
start_kelvo() {
  local attempt
  for attempt in 1 2; do
    XDG_RUNTIME_DIR="$work" "$@" >"$work/kelvo.log" 2>&1 &
    kelvo_pid=$!
    for _ in $(seq 200); do
      window=$(xdotool search --onlyvisible --pid "$kelvo_pid" --name '^Kelvo$' 2>/dev/null | head -n1 || true)
      [ -n "$window" ] && return 0
      kill -0 "$kelvo_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$kelvo_pid" 2>/dev/null && fail "no window titled Kelvo within 20 s"
    wait "$kelvo_pid" 2>/dev/null || true
    kelvo_pid=""
    grep -q "X11 connection broke" "$work/kelvo.log" && [ "$attempt" -eq 1 ] || break
    echo "display connection lost while starting, once more: $(cat "$work/kelvo.log")"
  done
  fail "kelvo ended: $(cat "$work/kelvo.log")"
}

stop_kelvo() {
  kill "$kelvo_pid" 2>/dev/null && wait "$kelvo_pid" 2>/dev/null || true
  kelvo_pid=""
}

# Without a window manager the X window is the client area.
geometry() { xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'; }
expect_size() {
  local got=""
  for _ in $(seq 50); do
    got=$(geometry)
    [ "$got" = "$1" ] && return 0
    sleep 0.1
  done
  fail "client area $got, expected $1 ($2)"
}
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
keys() { xdotool key --window "$window" "$@"; }
copy_focused() {  # [seconds for the copy]: selects everything in the control with the focus and prints it
  keys ctrl+a ctrl+c
  sleep "${1:-0.3}"
  xclip -o -selection clipboard 2>/dev/null || true
}

# A ping run on 127.0.0.1 (typed as an address or as localhost) whose "Старт" was just pressed:
# the two opening lines, one reply a second, none after "Стоп". Uses the script's own output
# function (the ping output's text) and press_stop, which a script may redefine.
press_stop() { click 344 152; }
check_loopback_run() {  # host typed, file for the screenshot of the run
  local answer='Ответ от: 127\.0\.0\.1     байт= 32       ВРЕМЯ:  [0-9]+  мсек'
  local text replies stopped
  sleep 3.6
  import -window root "$2"
  text=$(output)
  [ "$(sed -n 1p <<<"$text")" = "Обмен с: '$1'" ] || fail "no run-started line in: $text"
  [ "$(sed -n 2p <<<"$text")" = "хост '$1' адрес 127.0.0.1" ] || fail "no lookup line in: $text"
  replies=$(grep -cE "^$answer\$" <<<"$text" || true)
  [ "$replies" -ge 2 ] && [ "$replies" -le 4 ] || fail "$replies reply lines after 3.6 s, not one a second: $text"
  [ "$(wc -l <<<"$text")" -eq $((replies + 2)) ] || fail "unexpected lines in: $text"

  press_stop
  sleep 0.3
  stopped=$(output | grep -cE "^$answer\$" || true)
  sleep 2.2
  [ "$(output | grep -cE "^$answer\$" || true)" -eq "$stopped" ] || fail "reply lines went on after Стоп"
  echo "loopback run: $stopped reply lines, none after Стоп"
}
