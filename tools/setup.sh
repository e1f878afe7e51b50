#!/bin/bash
# Installs what building and testing need, from Debian's packages. Quiet,
# idempotent, no prompts; does nothing when everything is already there.
# Packages named as arguments are installed too (tools/emulation.sh).
set -euo pipefail

packages=(
  cmake make python3 file
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  googletest
  wine wine32:i386 wine64
  xvfb x11-apps imagemagick xdotool
  cups cups-bsd cups-client libcups2 libcups2:i386
  iproute2 nftables netcat-openbsd util-linux procps
  osslsigncode openssl
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
