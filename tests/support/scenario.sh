#!/bin/sh
# Runs one test case under Wine with the CUPS queues it names, and carries
# out, from outside Wine, the commands it asks for while it runs (Wine cannot
# run the CUPS tools reliably); then puts the standard CUPS state back for the
# tests after it. tests/CMakeLists.txt: flash_add_scenario.
#   scenario.sh SERVICES RUN_DIR WINE_RUN TEST_PROGRAM CASE [QUEUE...]
# With QUEUEs, those replace the standard queues before the case starts;
# "--none" for no queues at all.
# The case (askScenarioScript) writes one line to RUN_DIR/scenario-request:
#   remove NAME    delete the queue            reject NAME   reject its jobs
#   disable NAME   stop it printing            held NAME     list the jobs CUPS holds for it
#   enable NAME    let it print again          stop-cupsd    stop this run's CUPS daemon
#   pause-cupsd    stop it answering (SIGSTOP) resume-cupsd  let it go on
#   jobs           list every job CUPS has had, finished ones too
#   buffers test|system   the private network's TCP buffers (tools/private-network.sh)
#   spool-space KIB DIR   a tmpfs of KIB kibibytes over DIR, a Wine spool folder
#                         (…/spool/printers), until the case ends
#   sender-socket PORT    who holds each open connection to that port, with its
#                         linger (sender_socket.py)
# and gets RUN_DIR/scenario-answer: "ok" or "failed", then the command's output.
services=$1 run=$2 wine_run=$3 program=$4 case=$5
shift 5
# Services started in a folder of their own (tools/services.sh).
[ -z "${FLASH_SERVICES_DIR:-}" ] || run=$FLASH_SERVICES_DIR/run
export CUPS_SERVER="$run/cups/cups.sock"
request=$run/scenario-request answer=$run/scenario-answer
rm -f "$request" "$answer"
if [ $# -gt 0 ]; then
  [ "$1" != --none ] || shift
  if ! "$services" queues "$run" "$@"; then
    echo "scenario.sh: could not set the queues" >&2
    "$services" queues "$run" --standard
    exit 1
  fi
fi

"$wine_run" "$program" --gtest_filter="$case" &
test_pid=$!
cupsd_stopped= cupsd_paused= buffers_changed= spool_mount=
while kill -0 "$test_pid" 2>/dev/null; do
  if [ -e "$request" ]; then
    # shellcheck disable=SC2046
    set -- $(cat "$request")
    rm -f "$request"
    case $1 in
      remove) lpadmin -x "$2" ;;
      disable) cupsdisable "$2" ;;
      enable) cupsenable "$2" ;;
      reject) cupsreject "$2" ;;
      held) lpstat -o "$2" ;;
      jobs) lpstat -W all -o ;;
      stop-cupsd) cupsd_stopped=1; "$services" cupsd "$run" stop ;;
      pause-cupsd) cupsd_paused=1; "$services" cupsd "$run" pause ;;
      resume-cupsd) cupsd_paused=; "$services" cupsd "$run" resume ;;
      sender-socket) python3 "$(dirname "$0")/sender_socket.py" "$2" ;;
      buffers) buffers_changed=1; "$(dirname "$services")/private-network.sh" --buffers "$2" ;;
      spool-space)
        case $3 in
          */spool/printers) [ -z "$spool_mount" ] && mount -t tmpfs -o size="$2k" flash-spool "$3" && spool_mount=$3 ;;
          *) echo "not a spool folder: $3"; false ;;
        esac ;;
      *) echo "unknown request: $1"; false ;;
    esac >"$answer.out" 2>&1
    if [ $? -eq 0 ]; then echo ok; else echo failed; fi | cat - "$answer.out" >"$answer.tmp"
    rm -f "$answer.out"
    mv "$answer.tmp" "$answer"
  fi
  sleep 0.1
done
wait "$test_pid"
status=$?
rm -f "$request" "$answer"

if [ -n "$cupsd_paused" ]; then
  "$services" cupsd "$run" resume || status=1
fi
if [ -n "$spool_mount" ]; then
  umount "$spool_mount" || status=1
fi
if [ -n "$buffers_changed" ]; then
  "$(dirname "$services")/private-network.sh" --buffers test || status=1
fi
if [ -n "$cupsd_stopped" ]; then
  "$services" cupsd "$run" start || status=1
else
  "$services" queues "$run" --standard || status=1
fi
exit $status
