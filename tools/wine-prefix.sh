#!/bin/bash
# Creates a Wine prefix for running the program and its tests:
#   wine-prefix.sh PREFIX WINE_LOADER
# No Mono or Gecko prompts, and windows unmanaged: without a window manager
# every close would otherwise wait about two seconds, and keyboard focus
# would not follow Wine's own windows. Theming off: Windows draws a program
# without a manifest in the classic style, the progress bar in the colour the
# program sets; Wine's theme would paint it light blue.
set -euo pipefail
prefix=$1 loader=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINELOADER=$loader WINEDLLOVERRIDES="mscoree,mshtml="
server="$(dirname "$loader")/wineserver"
"$loader" wineboot -i </dev/null >/dev/null 2>&1
"$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
"$loader" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive /t REG_SZ /d 0 /f \
  </dev/null >/dev/null 2>&1
"$server" -k </dev/null >/dev/null 2>&1 || true
