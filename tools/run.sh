#!/bin/bash
# Builds the updater and opens it under Wine on an Xvfb display, with the
# services of the tests (tools/services.sh) in a folder and Wine prefix of
# its own: a CUPS daemon with the test queues, and the printer simulator on
# 127.0.0.1:9100 to send to (network mode: Alt+N, Space, click into the host box, type
# 127.0.0.1, Alt+S), whose jobs it reports here. Saves a screenshot. Runs
# until the program ends or Ctrl+C, then stops what it started, and only
# that. FLASH_BUILD_ROOT overrides the "build" folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" </dev/null

tree=$("$root/tools/build.sh" </dev/null)
build=$(dirname "$tree")
loader=$("$root/tools/services.sh" loader "$tree")
if [ "$(basename "$tree")" != i686 ]; then
  echo "This machine cannot run 32-bit code: opening the 64-bit build of the same sources ($tree) under wine64."
fi
session=$build/session
prefix=$session/wineprefix
services=$root/tools/services.sh

app_pid= report_pid=
stop_everything() {
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  [ -z "$report_pid" ] || kill "$report_pid" 2>/dev/null || true
  "$services" stop "$session" "$prefix" "$loader"
}
trap stop_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

. "$root/tools/wait-for.sh"

echo "Starting Xvfb, CUPS, the printer simulator and Wine in $session (a new Wine prefix takes about ten seconds)"
"$services" start "$session" "$prefix" "$loader" ||
  { echo "The services did not start (is port 127.0.0.1:9100 taken?); see $session" >&2; exit 1; }
echo "Printer simulator on 127.0.0.1:9100: each job goes to $session/printer/job-N.bin, and it prints a line per job here."
tail -n 0 -f "$session/printer.log" &
report_pid=$!

eval "$("$services" env "$session" "$prefix" "$loader")"
echo "Opening $tree/velmora-flash.exe on display $DISPLAY (Wine's output: $session/wine.log)"
"$loader" "$tree/velmora-flash.exe" </dev/null >"$session/wine.log" 2>&1 &
app_pid=$!

shot=$build/screenshots/dialog.png
mkdir -p "$(dirname "$shot")"
# The dialog shows once its start-up is done, the printer list filled. It is
# painted once it reads the same twice in a row, in more than one colour.
window=
dialog_shown() {
  window=$(timeout 5 xdotool search --onlyvisible --name Velmora_Firmware_Download 2>/dev/null | head -n 1)
  [ -n "$window" ]
}
painted() {
  local before after
  before=$(xwd -silent -id "$window" | md5sum) && sleep 0.2 && after=$(xwd -silent -id "$window" | md5sum) &&
    [ "$before" = "$after" ] && [ "$(xwd -silent -id "$window" | identify -format %k xwd:-)" -gt 1 ]
}
if ! wait_for 60 dialog_shown; then
  echo "The dialog did not appear within a minute; the screenshot shows what there is."
elif ! wait_for 10 painted; then
  echo "The dialog was still changing, or blank, after 10 s; the screenshot shows what there is."
fi
import -window root "$shot"
cat <<MSG
Screenshot of the screen: $shot
To see the dialog live, share display $DISPLAY, e.g. 'x11vnc -display $DISPLAY -localhost' and a VNC
viewer, or take another picture with 'DISPLAY=$DISPLAY import -window root shot.png'.
To send to the simulator: Alt+N, Space (network mode), click into the host box, type 127.0.0.1, Alt+S.
Ctrl+C (or ending the program) stops everything this script started.
MSG

status=0
wait "$app_pid" || status=$?
app_pid=
echo "The program ended (exit status $status)."
exit "$status"
