#!/bin/bash
# Builds the program and runs every test under Wine. Installs what it needs
# first (tools/setup.sh). Extra arguments go to ctest, e.g. -R NetworkDelivery.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"

# The tests own port 9100 and their CUPS daemon: run them in a network of
# their own, so that neither a printer simulator nor a real printer on this
# machine ever meets them.
[ -n "${FLASH_NETNS:-}" ] || exec "$root/tools/private-network.sh" "$0" "$@"

tree=$("$root/tools/build.sh")
# ctest skips the services' clean-up when it stops early (--stop-on-failure),
# and goes on with the next test after Ctrl+C: so ctest runs in the
# background, Ctrl+C ends it, and the services are stopped on every way out.
loader=/usr/lib/wine/wine64
[ "$(basename "$tree")" != i686 ] || loader=/usr/lib/wine/wine
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
if [ "$(basename "$tree")" != i686 ]; then
  cat <<MSG
This machine cannot run 32-bit code, so Wine cannot run the 32-bit program
here. The 32-bit program is checked as a file; every other test runs against a
64-bit build of the same sources under wine64.
MSG
  run_ctest --test-dir "$(dirname "$tree")/i686" --output-on-failure -L product
fi
run_ctest --test-dir "$tree" --output-on-failure "$@"
