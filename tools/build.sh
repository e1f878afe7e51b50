#!/bin/bash
# Builds the program and its tests, and prints the build tree whose programs
# this machine can run:
#   build/i686     the 32-bit program, always built;
#   build/x86_64   a 64-bit build of the same sources, built and printed only
#                  where no 32-bit code can run (Wine then needs wine64).
# FLASH_BUILD overrides the "build" folder. Build output goes to stderr.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASH_BUILD:-$root/build}

configure_and_build() {   # ARCH
  cmake -S "$root" -B "$build/$1" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$1.cmake" >/dev/null
  cmake --build "$build/$1" -j "$(nproc)" >&2
}

configure_and_build i686
if "$root/tools/runs-32bit.sh"; then
  echo "$build/i686"
else
  configure_and_build x86_64
  echo "$build/x86_64"
fi
