#!/bin/bash
# Builds the program and its tests, and prints the build tree whose programs
# the tests run:
#   build/i686     the 32-bit program, always built;
#   build/x86_64   a 64-bit build of the same sources, built and printed only
#                  where no 32-bit code runs natively (Wine then needs wine64).
# FLASH_BUILD_ROOT overrides the "build" folder. Build output goes to stderr.
# FLASH_MODE (native, emulated or none), set by tools/test.sh, answers for
# tools/runs-32bit.sh: during that run's emulation 32-bit code starts on any
# machine. FLASH_START_SECONDS goes into the 64-bit tree's configuration: its
# tests of the shipped program then have time for that program's slow starts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASH_BUILD_ROOT:-$root/build}

configure_and_build() {   # ARCH [CMAKE_OPTION...]
  local arch=$1; shift
  cmake -S "$root" -B "$build/$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" "$@" >/dev/null
  cmake --build "$build/$arch" -j "$(nproc)" >&2
}

configure_and_build i686
if [ "${FLASH_MODE:-}" = native ] || { [ -z "${FLASH_MODE:-}" ] && "$root/tools/runs-32bit.sh"; }; then
  echo "$build/i686"
else
  configure_and_build x86_64 -DFLASH_START_SECONDS="${FLASH_START_SECONDS:-}"
  echo "$build/x86_64"
fi
