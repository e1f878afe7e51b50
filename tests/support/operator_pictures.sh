#!/bin/bash
# Takes the pictures of docs/operator.md from the real program under Xvfb,
# into docs/images/operator-*.png: the printer list open, the message boxes
# an operator meets most, network mode with a host typed, the settle wait
# and the smiling face. The services are the tests' own (tools/services.sh)
# with a run folder and Wine prefix of this script's, in a network of its
# own; the dialog is driven with xdotool. FLASH_BUILD overrides the "build"
# folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ -n "${FLASH_NETNS:-}" ] || exec "$root/tools/private-network.sh" "$0" "$@"

tree=$("$root/tools/build.sh" </dev/null)
loader=/usr/lib/wine/wine
[ "$(basename "$tree")" = i686 ] || loader=/usr/lib/wine/wine64
run=$tree/operator-pictures-run
prefix=$run/wineprefix
images=$root/docs/images
services=$root/tools/services.sh

# Stopping the services ends the program too: the wine server goes.
trap '"$services" stop "$run" "$prefix" "$loader"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() { echo "operator_pictures.sh: $*" >&2; exit 1; }

. "$root/tools/wait-for.sh"

window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
shown() { [ -n "$(window "$1")" ]; }
gone() { ! shown "$1"; }
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
key() { xdotool key "$@"; sleep 0.5; }   # Wine takes each key in its own time

# The screen area that the dialog and, if open, `box` cover together: taken
# from the whole screen, so that an open list or box over the dialog shows.
shoot() {   # shoot NAME [BOX_CAPTION]
  local ids=("$(window Velmora_Firmware_Download)") x0=99999 y0=99999 x1=0 y1=0 id X Y WIDTH HEIGHT
  [ -z "${2:-}" ] || ids+=("$(window "$2")")
  for id in "${ids[@]}"; do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    ((X < x0)) && x0=$X; ((Y < y0)) && y0=$Y
    ((X + WIDTH > x1)) && x1=$((X + WIDTH)); ((Y + HEIGHT > y1)) && y1=$((Y + HEIGHT))
  done
  import -window root png:- |
    convert - -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage -strip \
      -define png:exclude-chunks=date,time "$images/$1"
  echo "$images/$1"
}

# Shoots the box with CAPTION over the dialog, then presses its OK. (The
# texts are the tests' to check; the pictures show them.)
shoot_box() {   # shoot_box NAME CAPTION
  wait_for 30 shown "$2" || fail "no \"$2\" box for $1"
  sleep 1
  shoot "$1" "$2"
  key Return
  wait_for 10 gone "$2" || fail "the \"$2\" box did not close"
}

# The host box focused with its text selected: Alt+N only focuses the
# zero-size Net button under Wine, and Tab goes on to the host box.
host() {   # host TEXT
  key alt+n
  key Tab
  key End shift+Home BackSpace
  [ -z "$1" ] || xdotool type --delay 80 "$1"
  sleep 0.5
}

face_shown() {   # the smiling face is the only yellow there is
  local yellow
  yellow=$(import -window "$(window Velmora_Firmware_Download)" png:- |
    convert - -fuzz 20% -fill black +opaque yellow -fill white -opaque yellow -format '%[fx:mean]' info:)
  awk -v y="$yellow" 'BEGIN { exit !(y > 0.005) }'
}

mkdir -p "$images"
"$services" start "$run" "$prefix" "$loader"
eval "$("$services" env "$run" "$prefix" "$loader")"
"$loader" "$tree/velmora-flash.exe" </dev/null >"$run/program.log" 2>&1 &
app_pid=$!
wait_for 60 shown Velmora_Firmware_Download || fail "the dialog did not appear within a minute"
sleep 2

# Local mode: Send Firmware with no printer chosen, then the list open.
key alt+s
shoot_box operator-box-choose-printer.png Error
eval "$(xdotool getwindowgeometry --shell "$(window Velmora_Firmware_Download)")"
# The middle of the drop-down box, near the dialog's top.
xdotool mousemove $((X + WIDTH / 2)) $((Y + 45)) click 1
sleep 1.5
shoot operator-choose-printer.png
key Escape

# Network mode: each host text gives its box; the last one is a firmware send.
key alt+n
key space
host ""
key alt+s
shoot_box operator-box-host-name.png Info
host 192.168.10.25
shoot operator-network.png
key alt+s
shoot_box operator-box-no-connection.png Info
host printer-7.example.lan
key alt+s
shoot_box operator-box-not-found.png Info

host 127.0.0.1
key alt+s
wait_for 60 test -e "$run/printer/job-1.done" || fail "no job reached the printer simulator"
cmp -s "$run/printer/job-1.bin" "$tree/res/firmware.bin" || fail "the job is not the firmware image"
sleep 8
shoot operator-settle-wait.png
wait_for 60 face_shown || fail "no smiling face 60 s after the send"
sleep 1
shoot operator-done.png

key alt+x
wait_for 10 ended || fail "Exit did not end the program"
app_pid=
