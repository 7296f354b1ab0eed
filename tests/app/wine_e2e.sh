#!/usr/bin/env bash
# The real Windows program under Wine on a virtual display, driven as a subscriber would: the
# window's sizes, a ping run on 127.0.0.1 and the VPN entry with the keyboard alone, a run on
# localhost with the mouse, each read back from the output field; then the VPN panel against Wine's
# own phone book (a stub that refuses the credentials). Without a window manager Wine maps exactly
# the client area, so the X window has the sizes of the window definition, and the keys go to the
# window under the pointer. The host is typed and checked before "Старт" is pressed, so the default
# 10.1.0.10 is never pinged.
# The entry goes through the tests' stand-in for rasapi32.dll (the rules of a standard user's
# phone book on Windows), put in the prefix's system folder. The program runs from a folder of its
# own with a library that refuses to load beside it, named rasapi32.dll, as a downloads folder might
# hold one: taking it would show. (Wine takes its own icmp.dll for any file of that name.)
# Usage: wine_e2e.sh <kelvo.exe> <directory for the screenshots> <Wine prefix to use or make>
#                    <the stand-in rasapi32.dll> <the library that refuses to load>
set -euo pipefail
shots=$2
export WINEPREFIX=$(realpath -m "$3")
standin=$4
mkdir -p "$shots"

source "$(dirname "$0")/e2e_lib.sh"

# Wine's message box keeps its text to itself (no copy with Ctrl+C); its trace channel tells it.
export WINEDEBUG=-all,+msgbox
# No download of Wine's .NET and HTML engines when the prefix is made: the program needs neither.
# The phone book is the stand-in, the library of the prefix's system folder, not Wine's own: a
# search would take the one beside the program first. No icmp.dll: the echoes come from
# iphlpapi.dll, where Windows documents them.
no_engines="mscoree,mshtml="
export WINEDLLOVERRIDES="$no_engines;rasapi32=n;icmp="
# Waits for the server to end, so a next run in the prefix does not meet it ending.
stop_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
cleanup_hooks+=(stop_wine)

start_display
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot -i >"$work/wineboot.log" 2>&1 || fail "no Wine prefix: $(cat "$work/wineboot.log")"
  # Wine's own Tahoma is a fifth wider than Windows' one and cuts the captions; the narrow face
  # the Linux program takes for Tahoma stands in for it here as well.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v Tahoma /t REG_SZ \
    /d 'DejaVu Sans Condensed' /f >>"$work/wineboot.log" 2>&1 || fail "no font substitute: $(cat "$work/wineboot.log")"
  wineserver -w
fi
# An x86 program (machine 014c in its PE header) in a 64-bit prefix has syswow64 for system folder.
windows=$WINEPREFIX/drive_c/windows
pe_header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe_header + 4)) -N2 "$1" | tr -d ' ')
system_folder=$windows/system32
[ "$machine" != 014c ] || [ ! -d "$windows/syswow64" ] || system_folder=$windows/syswow64
cp "$standin" "$system_folder/rasapi32.dll"
mkdir "$work/downloads"
kelvo=$work/downloads/kelvo.exe
cp "$1" "$kelvo"
cp "$5" "$work/downloads/rasapi32.dll"
# The user's own phone book, made by the program: its folder is not there yet.
book_folder=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Network
rm -rf "$book_folder"
book=$book_folder/Connections/Pbk/rasphone.pbk

# The keys go to the window under the pointer, which is where the tests put it.
keys() { xdotool key "$@"; }
# The texts of the message boxes shown so far, one a line: Wine traces them as L"\041d\0435...".
box_texts() {
  sed -n 's/^.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"$/\1/p' "$work/kelvo.log" |
    sed 's/\\\([0-9a-f]\{4\}\)/\\u\1/g' | while IFS= read -r line; do LC_ALL=C.UTF-8 printf '%b\n' "$line"; done
}
await_boxes() {  # the texts the boxes shown so far must read within 5 s
  for _ in $(seq 50); do
    [ "$(box_texts)" = "$1" ] && return 0
    sleep 0.1
  done
  fail "the boxes read: $(box_texts)"
}
focused_field() { copy_selection End shift+Home; }  # the whole text of the focused one-line edit
# The ping output has the focus: its whole text, and "Стоп" pressed from it, back in it after.
output() { copy_selection ctrl+End ctrl+shift+Home; }
type_into() {  # x y text: replaces the text of the one-line edit there
  click "$1" "$2"
  xdotool key End shift+Home Delete
  xdotool type --delay 20 "$3"
}
# Enter on a message box: with no window manager the keyboard goes to the window under the
# pointer, so the pointer is brought over the box first.
close_box() { xdotool mousemove --window "$1" 5 5 key Return; }

expect_exit() {  # status what: the program ends within 10 s with that status
  local status=0
  for _ in $(seq 100); do
    kill -0 "$kelvo_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$kelvo_pid" 2>/dev/null && fail "the program still runs 10 s $2"
  wait "$kelvo_pid" || status=$?
  kelvo_pid=""
  [ "$status" -eq "$1" ] || fail "the program ended with $status, not $1, $2"
}

start_kelvo wine "$kelvo"
expect_size 392x121 "at start"
import -window root "$shots/wine_header.png"
xdotool windowsize "$window" 500 400
expect_size 392x121 "after a resize from outside"

# The link: blue, red while pressed, purple once released (away from it, so nothing is opened).
expect_link() {  # colour what: most of the link's pixels, the underline's 80 at least, have it
  local count=0
  for _ in $(seq 30); do
    count=$(import -window "$window" png:- | convert - -crop 95x16+126+25 +repage txt:- | grep -c "#$1" || true)
    [ "$count" -gt 80 ] && return 0
    sleep 0.1
  done
  fail "the link $2 has $count pixels of #$1"
}
expect_link 0000FF "at start"
xdotool mousemove --window "$window" 150 33 mousedown 1
expect_link FF0000 "while pressed"
import -window root "$shots/wine_link_pressed.png"
xdotool mousemove --window "$window" 20 110 mouseup 1
expect_link 800080 "once released"

# The keyboard alone. The focus starts on "Создать Соединение"; Tab, Space on "Пинг" opens the
# ping panel, Tab reaches the address, whose text the Tab selected. Nothing has been copied yet,
# so the field reads back only if it has the focus.
xdotool key Tab space
expect_size 392x312 "after Tab, Space on Пинг"
import -window root "$shots/wine_ping.png"
xdotool key Tab
xdotool type --delay 20 127.0.0.1
typed=$(focused_field)
[ "$typed" = 127.0.0.1 ] || fail "the focused field reads '$typed', not '127.0.0.1': Enter not pressed"
xdotool key Return  # "Старт"
xdotool key Tab Tab Tab  # past "Старт" and "Стоп" into the output
check_loopback_run 127.0.0.1 "$shots/wine_ping_run.png"
# Escape in the output closes nothing; Tab leaves it for "Создать Соединение", Enter presses it.
xdotool key Escape Tab Return
expect_size 392x321 "after Escape, Tab, Enter on Создать Соединение"
import -window root "$shots/wine_vpn.png"

# The entry: login and password, Enter presses "Создать"; the box says it was made, and once it is
# closed the window is back to the header alone.
xdotool key Tab Tab  # past "Пинг" into the login
xdotool type --delay 20 subscriber
[ "$(focused_field)" = subscriber ] || fail "the login field reads '$(focused_field)'"
xdotool key Tab
xdotool type --delay 20 'secret 2'
xdotool key Return
close_box_reading() {  # text: the boxes so far read that, one a line; the last one is closed
  local box
  box=$(await_box 5)
  await_boxes "$1"
  import -window root "$shots/$2"
  close_box "$box"
  for _ in $(seq 50); do
    boxes | grep -qx "$box" || break
    sleep 0.1
  done
}
close_box_reading "Соединение создано" wine_vpn_created.png
expect_size 392x121 "once the entry was made"
[ -f "$book" ] || fail "no phone book $book"
expected="[Kelvo]
dwSize=5616
dwfOptions=0x05000D11
szLocalPhoneNumber=10.1.0.10
dwfNetProtocols=0x00000004
dwFramingProtocol=1
szDeviceType=vpn
szDeviceName=WAN Miniport (PPTP)
dwDialMode=1
dwType=2
dwVpnStrategy=1
dwfOptions2=0x00000104
dwRedialCount=3
dwRedialPause=60
UserName=subscriber
Password=secret 2"
[ "$(cat "$book")" = "$expected" ] || fail "the user's phone book holds: $(cat "$book")"
echo "the entry, from the keyboard: \"Соединение создано\", 392x121 again, the user's book holds it with the PPTP device"

# The mouse. A name is looked up by the system's asynchronous lookup, which completes through the
# loop.
click 320 89  # "Пинг"
expect_size 392x312 "after Пинг"
type_into 104 160 localhost
typed=$(focused_field)
[ "$typed" = localhost ] || fail "the host field reads '$typed', not 'localhost': Старт not pressed"
click 256 152  # "Старт"
click 195 241  # the output
check_loopback_run localhost "$shots/wine_ping_localhost.png"

kill -0 "$kelvo_pid" || fail "kelvo ended: $(cat "$work/kelvo.log")"
# Alt+F4 closes the window and the program ends on its own, with success.
xdotool mousemove --window "$window" 200 60 key alt+F4
expect_exit 0 "after Alt+F4"
echo "Alt+F4: the program ended with status 0"

# Wine's own phone book takes the entry but refuses the credentials: the program says it failed.
# The box gives the focus back to the password, where Enter tries once more.
WINEDLLOVERRIDES="$no_engines;rasapi32=b" start_kelvo wine "$kelvo"
click 320 34  # "Создать Соединение"
expect_size 392x321 "after Создать Соединение"
type_into 95 172 subscriber
type_into 282 172 secret
xdotool key Return
close_box_reading "Не удалось создать соединения" wine_vpn_refused.png
xdotool mousemove --window "$window" 200 60 key Return
close_box_reading $'Не удалось создать соединения\nНе удалось создать соединения' wine_vpn_refused.png
echo "Wine's phone book: the box reads \"Не удалось создать соединения\", twice"
xdotool mousemove --window "$window" 200 60 key alt+F4
expect_exit 0 "after Alt+F4"

echo "Wine checks passed; screenshots in $shots"
