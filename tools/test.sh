#!/bin/bash
# Builds the program and runs every test under Wine. Installs what it needs
# first (tools/setup.sh). Extra arguments go to ctest in every stage, e.g.
# -R NetworkDelivery: a targeted run takes seconds to minutes.
#
# The run first says which of three modes it is in:
#   native    32-bit code runs here: every test against the 32-bit program,
#             build/i686, as shipped.
#   emulated  it does not, but qemu can run it (as root): the tests against
#             a 64-bit build of the same sources, build/x86_64, but for those
#             of the shipped program (ctest label "shipped"), which run
#             against build/i686/velmora-flash.exe under emulation
#             (tools/emulation.sh, set up and taken down by this run). That
#             stage runs beside the others, in a network of its own with
#             services of its own (FLASH_STAGE=shipped, FLASH_SERVICES_DIR):
#             it keeps a core busy with the emulator, while the 64-bit tests
#             spend most of their time waiting for printers.
#   none      neither: the 64-bit build alone; the shipped program does not
#             run, it is only checked as a file.
# FLASH_EMULATE_32BIT=1 asks for the emulated mode where 32-bit code runs
# natively too; an emulator registration takes precedence over the kernel.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
. "$root/tools/emulation.sh"

# One start of the shipped program under emulation, until its dialog shows,
# took 114 to 145 s on a busy 2-core machine. Its tests wait this long for
# each start: generous, so that a slower machine does not fail them.
EMULATED_START_SECONDS=480

# The tests own port 9100 and their CUPS daemon: run them in a network of
# their own, so that neither a printer simulator nor a real printer on this
# machine ever meets them. The mode is decided out here, once, before
# anything is registered, and passed on in FLASH_MODE.
if [ -z "${FLASH_NETNS:-}" ]; then
  if [ "${FLASH_EMULATE_32BIT:-0}" != 1 ] && "$root/tools/runs-32bit.sh"; then
    export FLASH_MODE=native
    echo "Test mode: native. 32-bit code runs here: every test runs against the 32-bit program, build/i686."
  else
    if emulation_prepare; then
      export FLASH_MODE=emulated
      echo "Test mode: emulated. The tests run against the 64-bit build, build/x86_64, but for the shipped"
      echo "program's own, which run beside them against build/i686/velmora-flash.exe under qemu-i386-static."
      # This shell holds the registration and removes it however the run ends.
      emulation_run "$root/tools/private-network.sh" "$0" "$@"
    fi
    export FLASH_MODE=none
    echo "Test mode: none. Emulation could not be set up (see above): the tests run against the 64-bit"
    echo "build, build/x86_64. THE SHIPPED 32-BIT PROGRAM DOES NOT RUN IN THIS TEST RUN; it is only"
    echo "checked as a file."
  fi
  exec "$root/tools/private-network.sh" "$0" "$@"
fi

# The first process of the shipped program seen running, and what runs it:
# under emulation /proc/PID/exe names the emulator, not the program.
watch_shipped_program() {   # FILE
  local exe
  while :; do
    for exe in $(find /proc/[0-9]*/exe -maxdepth 0 -lname "$EMULATOR" 2>/dev/null); do
      if grep -q 'velmora-flash' "${exe%/exe}/cmdline" 2>/dev/null; then
        echo "$exe -> $(readlink "$exe"): $(tr '\0' ' ' <"${exe%/exe}/cmdline")" >"$1"
        return
      fi
    done
    sleep 2
  done
}

# The 32-bit half of a Wine prefix (syswow64) is made by a 32-bit program
# that wineboot starts when it makes the prefix. Without it every 32-bit
# program fails ("could not load kernel32.dll"), and a prefix that wine64
# made while 32-bit code could not run never gets it: such a prefix goes, and
# the services of this run make it again, under emulation.
drop_prefix_without_32bit_half() {   # PREFIX
  [ ! -e "$1" ] || [ -e "$1/drive_c/windows/syswow64/kernel32.dll" ] || rm -rf "$1"
}

# Against the shipped program under emulation: the "shipped" tests of the
# 64-bit tree, each taking the program from the 32-bit tree.
run_shipped_emulated() {   # TREE CTEST_ARGUMENT...
  local tree=$1 seen status=0 watcher; shift
  if [[ $(ctest --test-dir "$tree" -N -L shipped "$@") == *"Total Tests: 0"* ]]; then
    echo "No test of the shipped program is selected: it did not run under emulation."
    return 0
  fi
  echo "The shipped program's tests, against $(dirname "$tree")/i686/velmora-flash.exe under"
  echo "emulation; each start of it takes a minute or more."
  # Its prefix is a copy of the one the other stages' services make under
  # emulation: two made at once under emulation were seen to lack the 32-bit
  # half, and one takes minutes.
  local made=$tree/wineprefix/.made
  for _ in $(seq 1200); do [ -e "$made" ] && break; sleep 1; done
  [ -e "$made" ] || { echo "FAILED: no Wine prefix was made in $tree/wineprefix."; return 1; }
  "$root/tools/services.sh" copy-prefix "$tree/wineprefix" "$FLASH_SERVICES_DIR/wineprefix" &&
    touch "$FLASH_SERVICES_DIR/wineprefix/.made" || return 1
  seen=$(mktemp)
  watch_shipped_program "$seen" &
  watcher=$!
  FLASH_TESTED_PROGRAM_TREE=$(dirname "$tree")/i686 FLASH_START_SECONDS=$EMULATED_START_SECONDS \
    run_ctest --test-dir "$tree" --output-on-failure -L shipped "$@" || status=1
  kill "$watcher" 2>/dev/null || true
  if [ -s "$seen" ]; then
    echo "The shipped program ran emulated: $(cat "$seen")"
  else
    echo "FAILED: no process of the shipped program was seen running under $EMULATOR."
    status=1
  fi
  rm -f "$seen"
  return $status
}

if [ "${FLASH_STAGE:-}" = shipped ]; then
  tree=$FLASH_SHIPPED_TREE   # built by the run that started this stage
else
  start_seconds=
  if [ "${FLASH_MODE:-}" = emulated ]; then start_seconds=$EMULATED_START_SECONDS; fi
  tree=$(FLASH_START_SECONDS=$start_seconds "$root/tools/build.sh")
fi

# ctest skips the services' clean-up when it stops early (--stop-on-failure),
# and goes on with the next test after Ctrl+C: so ctest runs in the
# background, Ctrl+C ends it, and the services are stopped on every way out.
loader=$("$root/tools/services.sh" loader "$tree")
ctest_pid=
trap '[ -z "$ctest_pid" ] || kill "$ctest_pid" 2>/dev/null
      "$root/tools/services.sh" stop "$tree/run" "$tree/wineprefix" "$loader"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
run_ctest() {
  local status=0
  ctest "$@" & ctest_pid=$!
  wait "$ctest_pid" || status=$?
  ctest_pid=
  return "$status"
}

if [ "${FLASH_STAGE:-}" = shipped ]; then
  run_shipped_emulated "$tree" "$@"
  exit $?
fi

# Emulated, the shipped program's own tests run once, against it, beside the
# stages below: a second run of this script, in a network of its own.
shipped_pid= shipped_log=
if [ "${FLASH_MODE:-}" = emulated ]; then
  drop_prefix_without_32bit_half "$tree/wineprefix"
  shipped_log=$(mktemp)
  FLASH_STAGE=shipped FLASH_SHIPPED_TREE=$tree FLASH_SERVICES_DIR=$tree/shipped \
    "$root/tools/private-network.sh" "$0" "$@" >"$shipped_log" 2>&1 &
  shipped_pid=$!
  trap '[ -z "$ctest_pid" ] || kill "$ctest_pid" 2>/dev/null
        [ -z "$shipped_pid" ] || kill "$shipped_pid" 2>/dev/null
        "$root/tools/services.sh" stop "$tree/run" "$tree/wineprefix" "$loader"' EXIT
fi

status=0
if [ "$(basename "$tree")" != i686 ]; then
  echo "The 32-bit program checked as a file:"
  run_ctest --test-dir "$(dirname "$tree")/i686" --output-on-failure -L product "$@" || status=1
fi
not_shipped=()
[ "${FLASH_MODE:-}" != emulated ] || not_shipped=(-LE shipped)
run_ctest --test-dir "$tree" --output-on-failure "${not_shipped[@]}" "$@" || status=1
case ${FLASH_MODE:-} in
  emulated)
    wait "$shipped_pid" || status=1
    shipped_pid=
    echo "The shipped program's stage, which ran beside the others:"
    cat "$shipped_log"
    rm -f "$shipped_log"
    ;;
  none) echo "Test mode: none. The shipped 32-bit program did not run in this test run." ;;
esac
exit $status
