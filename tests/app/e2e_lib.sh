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
# The program's message boxes: its other top-level windows, titled as the main one.
boxes() { xdotool search --onlyvisible --pid "$kelvo_pid" --name '^Kelvo$' 2>/dev/null | grep -vx "$window" || true; }
await_box() {  # seconds: prints the first box shown within them
  local box
  for _ in $(seq $(($1 * 10))); do
    box=$(boxes | head -n1 || true)
    [ -n "$box" ] && echo "$box" && return 0
    sleep 0.1
  done
  fail "no message box within $1 s"
}
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
keys() { xdotool key --window "$window" "$@"; }
clipboard() { xclip -o -selection clipboard -t UTF8_STRING 2>/dev/null | tr -d '\r' || true; }
# The program hands its copy to the clipboard (Wine a moment after the copy): the clipboard is
# emptied first (by an xclip kept in the foreground, so it ends here) and read until the copy
# arrives, so an earlier copy is never taken for it; a line the run adds in between moves the
# selection, so the text is selected again for another try.
copy_selection() {  # the keys that select the text
  local owner text=""
  xclip -quiet -selection clipboard -i </dev/null >/dev/null 2>&1 &
  owner=$!
  for _ in $(seq 50); do
    [ -z "$(clipboard)" ] && break
    sleep 0.1
  done
  for _ in 1 2 3; do
    keys "$@" ctrl+c
    for _ in $(seq 20); do
      text=$(clipboard)
      [ -n "$text" ] && break 2
      sleep 0.1
    done
  done
  kill "$owner" 2>/dev/null || true
  wait "$owner" 2>/dev/null || true
  printf '%s\n' "$text"
}
copy_focused() { copy_selection ctrl+a; }  # everything in the control with the focus
# Waits up to $2 seconds for the output (the script's own output function) to hold $1 lines
# matching the pattern $3, and prints it.
await_output() {  # count seconds pattern
  local text="" deadline=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$deadline" ]; do
    text=$(output)
    [ "$(grep -cE "$3" <<<"$text" || true)" -ge "$1" ] && break
    sleep 0.2
  done
  printf '%s\n' "$text"
}

# A ping run on a loopback address (typed as an address or as localhost) whose "Старт" was just
# pressed: the two opening lines, then a reply a second, none after "Стоп". Reads the ping output's
# text with output and presses "Стоп" with press_stop, which a script may redefine; as written here
# the output has the focus, and "Стоп" is pressed from it with the focus back in it after.
output() { copy_focused; }
press_stop() { keys shift+Tab space Tab; }
check_loopback_run() {  # host typed, file for the screenshot of the run
  local started=$SECONDS address answer text replies stopped
  text=$(await_output 3 30 '^Ответ от: ')
  import -window root "$2"
  [ "$(sed -n 1p <<<"$text")" = "Обмен с: '$1'" ] || fail "no run-started line in: $text"
  # Of a name, what the program relies on: it resolves to an address of this machine.
  address=$(sed -n "2s/^хост '$1' адрес \(127\.[0-9.]*\)\$/\1/p" <<<"$text")
  [ -n "$address" ] || fail "no lookup line to a loopback address in: $text"
  answer="^Ответ от: ${address//./\\.}     байт= 32       ВРЕМЯ:  [0-9]+  мсек\$"
  replies=$(grep -cE "$answer" <<<"$text" || true)
  [ "$replies" -ge 3 ] || fail "$replies reply lines within 30 s: $text"
  [ "$(wc -l <<<"$text")" -eq $((replies + 2)) ] || fail "unexpected lines in: $text"
  # The first echo follows one period after the lookup: three replies take three seconds at least.
  [ $((SECONDS - started)) -ge 2 ] || fail "$replies reply lines within $((SECONDS - started)) s, not one a second"

  press_stop
  # The output is read through keys sent after the ones of "Стоп", so it is read once that is done.
  stopped=$(output | grep -cE "$answer" || true)
  sleep 2.2  # two periods in which nothing may come
  [ "$(output | grep -cE "$answer" || true)" -eq "$stopped" ] || fail "reply lines went on after Стоп"
  echo "loopback run: $stopped reply lines, none after Стоп"
}

# The same with the keyboard alone. The focus starts on "Создать Соединение"; Tab, Space opens the
# ping panel, Tab reaches the address. Nothing has been copied yet, so the field reads back only if
# it has the focus.
loopback_run_by_keyboard() {  # file for the screenshot
  keys Tab space
  expect_size 392x312 "after Tab, Space on Пинг"
  keys Tab ctrl+a
  xdotool type --window "$window" 127.0.0.1
  local typed
  typed=$(copy_focused)
  [ "$typed" = 127.0.0.1 ] || fail "the focused field reads '$typed', not '127.0.0.1': Enter not pressed"
  keys Return  # "Старт"
  keys Tab Tab Tab  # past "Старт" and "Стоп" into the output
  check_loopback_run 127.0.0.1 "$1"
}
