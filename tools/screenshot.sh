#!/bin/bash
# Takes the README's pictures of the real dialog under Xvfb, into docs/images/:
#   dialog-start.png       as it opens: local mode, the list filled from CUPS;
#   dialog-after-send.png  after a firmware send to 127.0.0.1 in network mode.
# The services are the tests' own (tools/services.sh), with a run folder and a
# Wine prefix of this script's, in a network of its own. The dialog is driven
# from outside with xdotool, the way an operator would. FLASH_BUILD overrides
# the "build" folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" </dev/null
[ -n "${FLASH_NETNS:-}" ] || exec "$root/tools/private-network.sh" "$0" "$@"

tree=$("$root/tools/build.sh" </dev/null)
loader=/usr/lib/wine/wine
[ "$(basename "$tree")" = i686 ] || loader=/usr/lib/wine/wine64
run=$tree/screenshot-run
prefix=$run/wineprefix
images=$root/docs/images
services=("$root/tools/services.sh")

app_pid=
finish() {
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  "${services[@]}" stop "$run" "$prefix" "$loader"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() { echo "screenshot.sh: $*" >&2; exit 1; }

. "$root/tools/wait-for.sh"

# Every X query is bounded: one xdotool search was once seen to hang while
# windows came and went.
dialog() { timeout 5 xdotool search --onlyvisible --name '^Velmora_Firmware_Download$' 2>/dev/null | head -n 1; }
dialog_shown() { [ -n "$(dialog)" ]; }
# Keys go where the X focus is; Wine moves it to the dialog shortly after
# showing it, and a key sent before that is lost.
dialog_focused() { [ "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" = "$(dialog)" ]; }
no_message_box() {
  timeout 5 xdotool search --onlyvisible --name '^(Info|Error|Failure!)$' >/dev/null 2>&1 || return 0
  import -window root "$run/unexpected.png"
  fail "a message box is open; see $run/unexpected.png"
}
program_ended() { ! kill -0 "$app_pid" 2>/dev/null; }

# The dialog's window alone; no time stamps, so that an unchanged picture
# stays unchanged in git.
shoot() {
  import -window "$(dialog)" png:- | convert - -strip -define png:exclude-chunks=date,time "$images/$1"
  echo "$images/$1"
}

face_shown() {   # the smiling face is the only yellow there is
  local yellow
  yellow=$(import -window "$(dialog)" png:- | convert - -fuzz 20% -fill black +opaque yellow \
    -fill white -opaque yellow -format '%[fx:mean]' info:)
  awk -v y="$yellow" 'BEGIN { exit !(y > 0.005) }'
}

key() { xdotool key "$@"; sleep 0.5; }   # Wine takes each key in its own time

mkdir -p "$images"
"${services[@]}" start "$run" "$prefix" "$loader"
export DISPLAY=":$(cat "$run/display")" CUPS_SERVER=$run/cups/cups.sock
export WINEPREFIX=$prefix WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$loader" "$tree/velmora-flash.exe" </dev/null >"$run/program.log" 2>&1 &
app_pid=$!

wait_for 60 dialog_shown || fail "the dialog did not appear within a minute"
wait_for 30 dialog_focused || fail "the dialog did not get the keyboard focus"
sleep 2   # painted, the printer list filled
no_message_box
shoot dialog-start.png

# Network mode: Alt+N only focuses the zero-size Net button under Wine and
# Space presses it; Tab then reaches the host box.
key alt+n
key space
key Tab
xdotool type --delay 50 127.0.0.1
key alt+s
wait_for 60 test -e "$run/printer/job-1.done" || fail "no job reached the printer simulator"
cmp -s "$run/printer/job-1.bin" "$tree/res/firmware.bin" || fail "the job is not the firmware image"
no_message_box
wait_for 60 face_shown || fail "no smiling face 60 s after the send"
sleep 1
shoot dialog-after-send.png

key alt+x
wait_for 10 program_ended || true
