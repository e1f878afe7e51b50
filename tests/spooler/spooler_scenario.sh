#!/bin/sh
# Runs one spooler case against a queue set of its own, then puts the
# standard queues back. Queues can only be changed from outside Wine.
#   spooler_scenario.sh SERVICES RUN_DIR WINE_RUN TEST_PROGRAM CASE [QUEUE...]
services=$1 run=$2 wine_run=$3 program=$4 case=$5
shift 5
export SPOOLER_SCENARIO_QUEUES=$#
if "$services" queues "$run" "$@"; then
  "$wine_run" "$program" --gtest_also_run_disabled_tests --gtest_filter="$case"
  status=$?
else
  echo "spooler_scenario.sh: could not set the queues" >&2
  status=1
fi
"$services" queues "$run" --standard || status=1
exit $status
