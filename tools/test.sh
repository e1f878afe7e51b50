#!/bin/bash
# Builds the program and runs every test under Wine. Installs what it needs
# first (tools/setup.sh). Extra arguments go to ctest, e.g. -R NetworkDelivery.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"

# The tests own port 9100 and their CUPS daemon. As root they get a network
# namespace of their own, so that neither a printer simulator nor a real
# printer on this machine ever meets them.
if [ -z "${FLASH_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec env FLASH_NETNS=1 unshare --net "$0" "$@"
fi
[ -z "${FLASH_NETNS:-}" ] || ip link set lo up

build=${FLASH_BUILD:-$root/build}
configure_and_build() {   # TREE ARCH
  cmake -S "$root" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$2.cmake" >/dev/null
  cmake --build "$1" -j "$(nproc)"
}

configure_and_build "$build/i686" i686
if "$root/tools/runs-32bit.sh"; then
  ctest --test-dir "$build/i686" --output-on-failure "$@"
else
  cat <<MSG
This machine cannot run 32-bit code, so Wine cannot run the 32-bit program
here. The 32-bit program is checked as a file; every other test runs against a
64-bit build of the same sources under wine64.
MSG
  ctest --test-dir "$build/i686" --output-on-failure -L product
  configure_and_build "$build/x86_64" x86_64
  ctest --test-dir "$build/x86_64" --output-on-failure "$@"
fi
