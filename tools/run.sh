#!/bin/bash
# Builds the updater and opens it under Wine, with the printer simulator on
# 127.0.0.1:9100 to send to (network mode: Alt+N, Space, click into the host
# box, type 127.0.0.1, Alt+S). Without a DISPLAY it opens on an Xvfb of its
# own and saves a screenshot. Runs until the program ends or Ctrl+C, then
# stops what it started, and only that. FLASH_BUILD overrides the "build"
# folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh" </dev/null

tree=$("$root/tools/build.sh" </dev/null)
build=$(dirname "$tree")
if [ "$(basename "$tree")" = i686 ]; then
  loader=/usr/lib/wine/wine
else
  loader=/usr/lib/wine/wine64
  echo "This machine cannot run 32-bit code: opening the 64-bit build of the same sources ($tree) under wine64."
fi
server=$(dirname "$loader")/wineserver
prefix=$tree/wineprefix
session=$build/session
mkdir -p "$session"

app_pid= printer_pid= xvfb_pid= own_server=
stop_everything() {
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  if [ -n "$own_server" ]; then
    WINEPREFIX=$prefix "$server" -k </dev/null >/dev/null 2>&1 || true
  fi
  [ -z "$printer_pid" ] || kill "$printer_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap stop_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

. "$root/tools/wait-for.sh"

# A wine server already serving the prefix belongs to someone else (the tests
# of this tree, most likely): joining it and then ending it would break them.
# The server works in a folder named after the prefix's device and inode.
prefix_in_use() {
  [ -d "$prefix" ] || return 1
  local folder pid
  folder=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix"))
  for pid in $(pgrep -x 'wineserver(64)?' || true); do
    case $(readlink "/proc/$pid/cwd" 2>/dev/null) in */"$folder") return 0 ;; esac
  done
  return 1
}
if prefix_in_use; then
  echo "The Wine prefix $prefix is in use by another wine server (tests running?); try again when it is done." >&2
  exit 1
fi
own_server=1
if [ ! -f "$prefix/.made" ]; then
  echo "Making the Wine prefix $prefix (about ten seconds, once)"
  "$root/tools/wine-prefix.sh" "$prefix" "$loader" && touch "$prefix/.made"
fi

# The printer simulator, unless something already has the port.
jobs=$session/printer-jobs
rm -f "$session/printer.ready"
python3 "$root/tools/printer_sim.py" --jobs "$jobs" --ready-file "$session/printer.ready" \
  </dev/null 2>"$session/printer.log" &
printer_pid=$!
if wait_for 10 test -e "$session/printer.ready"; then
  echo "Printer simulator on 127.0.0.1:9100: each job goes to $jobs/job-N.bin, and it prints a line per job here."
  echo "To send to it: Alt+N, Space (network mode), click into the host box, type 127.0.0.1, Alt+S."
else
  kill "$printer_pid" 2>/dev/null || true
  printer_pid=
  echo "Port 127.0.0.1:9100 is taken, so no printer simulator was started: $(cat "$session/printer.log")"
fi

own_display=
if [ -z "${DISPLAY:-}" ]; then
  rm -f "$session/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$session/display" </dev/null >"$session/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_for 10 test -s "$session/display" || { echo "Xvfb did not start; see $session/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$(cat "$session/display")"
  own_display=1
fi

export WINEPREFIX=$prefix WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "Opening $tree/velmora-flash.exe on display $DISPLAY (Wine's output: $session/wine.log)"
"$loader" "$tree/velmora-flash.exe" </dev/null >"$session/wine.log" 2>&1 &
app_pid=$!

if [ -n "$own_display" ]; then
  shot=$build/screenshots/dialog.png
  mkdir -p "$(dirname "$shot")"
  wait_for 60 timeout 5 xdotool search --onlyvisible --name Velmora_Firmware_Download >/dev/null 2>&1 ||
    echo "The dialog did not appear within a minute; the screenshot shows what there is."
  sleep 3   # let it paint, and the printer list fill
  import -window root "$shot"
  cat <<MSG
Screenshot of the screen: $shot
The dialog runs on this script's own Xvfb, display $DISPLAY. To see it live,
share that display, e.g. 'x11vnc -display $DISPLAY -localhost' and a VNC
viewer, or take another picture with 'DISPLAY=$DISPLAY import -window root shot.png'.
MSG
fi
echo "Ctrl+C (or ending the program) stops everything this script started."

status=0
wait "$app_pid" || status=$?
app_pid=
echo "The program ended (exit status $status)."
exit "$status"
