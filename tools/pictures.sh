#!/bin/bash
# tools/pictures.sh [readme] [operator]: takes pictures of the real program
# under Xvfb into docs/images/ (no argument: both sets).
#   readme    dialog-start.png (as it opens: local mode, the list filled from
#             CUPS) and dialog-after-send.png (after a firmware send to
#             127.0.0.1 in network mode), for the README;
#   operator  operator-*.png for docs/operator.md: the printer list open, the
#             boxes an operator meets most, network mode with a host typed,
#             the image going out to a slow printer, the settle wait and the
#             smiling face.
# Each set starts the program anew. The services are the tests' own
# (tools/services.sh), with a run folder and a Wine prefix of this script's,
# in a network of its own. The dialog is driven from outside with xdotool,
# the way an operator would. FLASH_BUILD_ROOT overrides the "build" folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" </dev/null
[ -n "${FLASH_NETNS:-}" ] || exec "$root/tools/private-network.sh" "$0" "$@"

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(readme operator)
for set in "${sets[@]}"; do
  case $set in readme | operator) ;; *) echo "usage: $0 [readme] [operator]" >&2; exit 2 ;; esac
done

tree=$("$root/tools/build.sh" </dev/null)
services=$root/tools/services.sh
loader=$("$services" loader "$tree")
run=$tree/pictures-run
prefix=$run/wineprefix
images=$root/docs/images

app_pid=
finish() {
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  "$services" stop "$run" "$prefix" "$loader"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() { echo "pictures.sh: $*" >&2; exit 1; }

. "$root/tools/wait-for.sh"

# Every X query is bounded: one xdotool search was once seen to hang while
# windows came and went.
window() { timeout 5 xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
shown() { [ -n "$(window "$1")" ]; }
gone() { ! shown "$1"; }
dialog() { window Velmora_Firmware_Download; }
# Keys go where the X focus is; Wine moves it to the dialog shortly after
# showing it, and a key sent before that is lost.
dialog_focused() { [ "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" = "$(dialog)" ]; }
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
key() { xdotool key "$@"; sleep 0.5; }   # Wine takes each key in its own time

no_message_box() {
  timeout 5 xdotool search --onlyvisible --name '^(Info|Error|Failure!)$' >/dev/null 2>&1 || return 0
  import -window root "$run/unexpected.png"
  fail "a message box is open; see $run/unexpected.png"
}

# The screen area that the dialog and, if open, the box with BOX_CAPTION
# cover together, taken from the whole screen so that an open list or box
# shows. No time stamps: an unchanged picture stays unchanged in git.
shoot() {   # shoot NAME [BOX_CAPTION]
  local ids=("$(dialog)") x0=99999 y0=99999 x1=0 y1=0 id X Y WIDTH HEIGHT
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

face_shown() {   # the smiling face is the only yellow there is
  local yellow
  yellow=$(import -window "$(dialog)" png:- |
    convert - -fuzz 20% -fill black +opaque yellow -fill white -opaque yellow -format '%[fx:mean]' info:)
  awk -v y="$yellow" 'BEGIN { exit !(y > 0.005) }'
}

jobs_done() { find "$run/printer" -name 'job-*.done' | wc -l; }

# Alt+S in network mode; then the image must reach the simulator whole.
# With a picture's name, a slow printer takes the image, and the picture
# shows the bar while it goes out.
send_firmware() {   # send_firmware [PICTURE_WHILE_SENDING]
  local before
  before=$(jobs_done)
  [ -z "${1:-}" ] || echo "--read-rate 150000" >"$run/printer/next-job"
  key alt+s
  if [ -n "${1:-}" ]; then
    sleep 6
    shoot "$1"
  fi
  wait_for 60 eval '[ "$(jobs_done)" -gt "$before" ]' || fail "no job reached the printer simulator"
  cmp -s "$run/printer/job-$((before + 1)).bin" "$tree/res/firmware.bin" || fail "the job is not the firmware image"
}

start_program() {
  "$loader" "$tree/velmora-flash.exe" </dev/null >"$run/program-$1.log" 2>&1 &
  app_pid=$!
  wait_for 60 shown Velmora_Firmware_Download || fail "the dialog did not appear within a minute"
  wait_for 30 dialog_focused || fail "the dialog did not get the keyboard focus"
  sleep 2   # painted, the printer list filled
}

exit_program() {
  key alt+x
  wait_for 10 ended || fail "Exit did not end the program"
  app_pid=
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

readme_pictures() {
  start_program readme
  no_message_box
  shoot dialog-start.png
  # Network mode: Space presses the Net button that Alt+N focused.
  key alt+n
  key space
  host 127.0.0.1
  send_firmware
  no_message_box
  wait_for 60 face_shown || fail "no smiling face 60 s after the send"
  sleep 1
  shoot dialog-after-send.png
  exit_program
}

operator_pictures() {
  start_program operator
  # Local mode: Send Firmware with no printer chosen, then the list open.
  key alt+s
  shoot_box operator-box-choose-printer.png Error
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$(dialog)")"
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
  send_firmware operator-sending.png
  sleep 8
  shoot operator-settle-wait.png
  wait_for 60 face_shown || fail "no smiling face 60 s after the send"
  sleep 1
  shoot operator-done.png
  exit_program
}

mkdir -p "$images"
"$services" start "$run" "$prefix" "$loader"
eval "$("$services" env "$run" "$prefix" "$loader")"
for set in "${sets[@]}"; do
  "${set}_pictures"
done
