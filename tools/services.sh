#!/bin/bash
# Starts and stops what the tests talk to, all private to one run folder:
#   an Xvfb display, a CUPS daemon with raw queues, the printer simulator on
#   127.0.0.1:9100, in the tests' own network a name server that knows no
#   name (tools/name_server.py), and the wine server of the build tree's prefix.
#
#   services.sh start RUN_DIR WINEPREFIX WINE_LOADER [STANDINS]
#                                          STANDINS: a folder of system32/ and syswow64/
#                                          libraries; a copy of the prefix,
#                                          WINEPREFIX-standins, gets them in its
#                                          system folders (and the 32-bit ones
#                                          of FLASH_TESTED_PROGRAM_TREE, when set)
#   services.sh stop  RUN_DIR WINEPREFIX WINE_LOADER
#   services.sh queues RUN_DIR NAME...     replace the CUPS queues with NAME...
#   services.sh queues RUN_DIR --standard  back to the queues the tests start from
#   services.sh cupsd RUN_DIR stop|start   stop this run's CUPS daemon; start a fresh
#                                          one with the standard queues
#   services.sh cupsd RUN_DIR pause|resume stop it answering (SIGSTOP; its sockets stay
#                                          open, as a hung print server's), and let it go on
#   services.sh env RUN_DIR WINEPREFIX WINE_LOADER
#                                          the environment of a Wine program that uses
#                                          them, as a line for the shell's eval
#   services.sh loader BUILD_TREE          the Wine loader for that tree's programs
#   services.sh copy-prefix PREFIX COPY    a copy of a prefix, sharing its libraries
#
# With FLASH_SERVICES_DIR set, RUN_DIR and WINEPREFIX are that folder's run/
# and wineprefix/ instead: a second run of a tree's tests, in a network of its
# own, with services of its own (tools/test.sh, the shipped program's stage).
#
# Everything is stopped by the process id recorded at start (and the wine
# server through its prefix); nothing else on the machine is touched.
set -euo pipefail

if [ "${1:-}" = loader ]; then
  case $(basename "${2:?services.sh loader BUILD_TREE}") in
    i686) echo /usr/lib/wine/wine ;;
    *) echo /usr/lib/wine/wine64 ;;
  esac
  exit
fi

here=$(cd "$(dirname "$0")" && pwd)
action=$1 run=$2
if [ -n "${FLASH_SERVICES_DIR:-}" ]; then
  run=$FLASH_SERVICES_DIR/run
  case $action in start | stop | env) set -- "$1" "$run" "$FLASH_SERVICES_DIR/wineprefix" "${@:4}" ;; esac
fi
mkdir -p "$run"
run=$(cd "$run" && pwd)
cups=$run/cups
export CUPS_SERVER=$cups/cups.sock

# The queues every test starts from: three printers and one that rejects jobs.
STANDARD_QUEUES=(velmora-main velmora-annex velmora-basement)
REJECTING_QUEUE=velmora-rejects

. "$here/wait-for.sh"
NAME_SERVER=127.0.0.53   # tools/private-network.sh names it to the resolver

# The display number is ours alone across network namespaces too: Xvfb's
# own choice (-displayfd) was seen to take a number that a run in another
# namespace already had, and the two then shared its socket file.
start_xvfb() {
  local n pid
  rm -f "$run/display"
  for n in $(seq 10 99); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
    pid=$!
    if wait_for 10 eval "[ -S /tmp/.X11-unix/X$n ] || ! kill -0 $pid 2>/dev/null" && kill -0 "$pid" 2>/dev/null; then
      record_pid xvfb "$pid"
      echo "$n" >"$run/display"
      return 0
    fi
  done
  echo "Xvfb did not start; see $run/xvfb.log" >&2
  return 1
}

start_cupsd() {
  rm -rf "$cups"
  mkdir -p "$cups"/{spool,tmp,cache,state,log,ppd}
  chgrp lp "$cups/spool" 2>/dev/null || true
  chmod 0710 "$cups/spool"
  cat >"$cups/cups-files.conf" <<EOF
ServerRoot $cups
RequestRoot $cups/spool
TempDir $cups/tmp
CacheDir $cups/cache
StateDir $cups/state
AccessLog $cups/log/access_log
ErrorLog $cups/log/error_log
PageLog $cups/log/page_log
FileDevice No
EOF
  cat >"$cups/cupsd.conf" <<EOF
Listen $cups/cups.sock
Browsing No
LogLevel warn
LogTimeFormat usecs
WebInterface No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
EOF
  cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
  record_pid cupsd $!
  # lpstat -r succeeds either way; only its words tell.
  wait_for 10 sh -c 'lpstat -r 2>/dev/null | grep -q "is running"' ||
    { echo "cupsd did not start; see $cups/log" >&2; return 1; }
}

set_queues() {   # the queues, in the order given
  local name
  for name in $(lpstat -e 2>/dev/null); do lpadmin -x "$name"; done
  for name in "$@"; do
    lpadmin -p "$name" -E -v socket://127.0.0.1:9100
  done
}

start_printer() {
  rm -rf "$run/printer"
  mkdir -p "$run/printer"
  rm -f "$run/printer.ready"
  python3 "$here/printer_sim.py" --jobs "$run/printer" --ready-file "$run/printer.ready" \
    >"$run/printer.log" 2>&1 &
  record_pid printer $!
  wait_for 10 test -e "$run/printer.ready" || { cat "$run/printer.log" >&2; return 1; }
}

# Only in the tests' own network, where the resolver asks it
# (tools/private-network.sh): elsewhere the address is not ours.
start_name_server() {
  [ "${FLASH_NETNS:-}" = 1 ] || return 0
  rm -f "$run/names.ready"
  python3 "$here/name_server.py" "$NAME_SERVER" "$run/names.ready" >"$run/names.log" 2>&1 &
  record_pid names $!
  wait_for 10 test -e "$run/names.ready" || { cat "$run/names.log" >&2; return 1; }
}

make_prefix() {   # PREFIX LOADER
  [ -f "$1/.made" ] || { "$here/wine-prefix.sh" "$1" "$2" && touch "$1/.made"; }
}

# A copy of a prefix. Most of a prefix's 1.3 GB are Windows' libraries, which
# Wine reads and never writes while running: shared with the prefix by hard
# links. The rest (registry, settings) is copied.
copy_prefix() {   # PREFIX COPY
  local prefix=$1 copy=$2
  rm -rf "$copy"
  cp -a --link "$prefix" "$copy"
  find "$copy" -type f ! -path '*/windows/system32/*' ! -path '*/windows/syswow64/*' ! -path '*/windows/winsxs/*' \
    -exec sh -c 'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' sh {} +
}

# A copy of the prefix (not running) whose system folders hold the stand-ins.
make_standin_prefix() {   # PREFIX COPY STANDINS
  local prefix=$1 copy=$2 standins=$3 folder file from
  copy_prefix "$prefix" "$copy"
  for from in "$standins" ${FLASH_TESTED_PROGRAM_TREE:+"$FLASH_TESTED_PROGRAM_TREE/standins/system"}; do
    for folder in system32 syswow64; do
      [ "$from" = "$standins" ] || [ "$folder" = syswow64 ] || continue
      for file in "$from/$folder"/*; do
        [ -f "$file" ] || continue
        rm -f "$copy/drive_c/windows/$folder/$(basename "$file")"
        cp "$file" "$copy/drive_c/windows/$folder/"
      done
    done
  done
}

# Started and booted without the tests' WINEDLLOVERRIDES: Wine's own
# processes (the desktop, the services) keep Wine's libraries in either prefix.
start_wine() {   # PREFIX LOADER
  local prefix=$1 loader=$2
  env -u WINEDLLOVERRIDES WINEPREFIX="$prefix" WINEDEBUG=-all WINELOADER="$loader" DISPLAY=":$(cat "$run/display")" \
    sh -c '"$(dirname "$WINELOADER")/wineserver" -p; "$WINELOADER" wineboot' </dev/null >/dev/null 2>&1
}

# A pid file holds the process id and its start time: a file left behind by
# a run that never stopped must not make us kill whoever has that id now.
started_at() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null; }
record_pid() { echo "$2 $(started_at "$2")" >"$run/$1.pid"; }
recorded_pid() { [ -f "$run/$1.pid" ] && cut -d' ' -f1 "$run/$1.pid"; }

stop_pid() {
  local file=$run/$1.pid pid since
  [ -f "$file" ] || return 0
  read -r pid since <"$file" || true
  if [ -n "$pid" ] && [ -n "$since" ] && [ "$(started_at "$pid")" = "$since" ]; then
    kill "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

case $action in
  start)
    prefix=$3 loader=$4
    "$0" stop "$run" "$prefix" "$loader"
    start_xvfb
    start_cupsd
    set_queues "${STANDARD_QUEUES[@]}" "$REJECTING_QUEUE"
    cupsreject "$REJECTING_QUEUE"
    start_printer
    start_name_server
    make_prefix "$prefix" "$loader"
    [ -z "${5:-}" ] || make_standin_prefix "$prefix" "$prefix-standins" "$5"
    start_wine "$prefix" "$loader"
    [ -z "${5:-}" ] || start_wine "$prefix-standins" "$loader"
    ;;
  stop)
    prefix=$3 loader=$4
    for p in "$prefix" "$prefix-standins"; do
      if [ -d "$p" ]; then
        WINEPREFIX=$p "$(dirname "$loader")/wineserver" -k </dev/null >/dev/null 2>&1 || true
      fi
    done
    stop_pid printer
    stop_pid names
    stop_pid cupsd
    stop_pid xvfb
    ;;
  queues)
    shift 2
    if [ "${1:-}" = --standard ]; then
      set_queues "${STANDARD_QUEUES[@]}" "$REJECTING_QUEUE"
      cupsreject "$REJECTING_QUEUE"
    else
      set_queues "$@"
    fi
    ;;
  cupsd)
    if [ "${3:-}" = pause ] || [ "${3:-}" = resume ]; then
      pid=$(recorded_pid cupsd) && [ "$(started_at "$pid")" = "$(cut -d' ' -f2 "$run/cupsd.pid")" ] ||
        { echo "no CUPS daemon of this run" >&2; exit 1; }
      kill "-$([ "$3" = pause ] && echo STOP || echo CONT)" "$pid"
    elif [ "${3:-}" = stop ]; then
      pid=$(recorded_pid cupsd || echo none)
      stop_pid cupsd
      wait_for 10 eval "! kill -0 $pid 2>/dev/null" || { echo "cupsd $pid did not stop" >&2; exit 1; }
    else
      start_cupsd
      set_queues "${STANDARD_QUEUES[@]}" "$REJECTING_QUEUE"
      cupsreject "$REJECTING_QUEUE"
    fi
    ;;
  copy-prefix)
    copy_prefix "$2" "$3"
    ;;
  env)
    printf 'export DISPLAY=:%s CUPS_SERVER=%q WINEPREFIX=%q WINELOADER=%q WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=\n' \
      "$(cat "$run/display")" "$cups/cups.sock" "$3" "$4"
    ;;
  *)
    echo "usage: $0 start RUN_DIR WINEPREFIX WINE_LOADER [STANDINS] | stop RUN_DIR WINEPREFIX WINE_LOADER | queues RUN_DIR NAME...|--standard" >&2
    echo "       $0 cupsd RUN_DIR stop|start|pause|resume | env RUN_DIR WINEPREFIX WINE_LOADER | loader BUILD_TREE" >&2
    exit 2
    ;;
esac
