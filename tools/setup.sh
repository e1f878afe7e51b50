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

# A mirror halfway through an update serves package lists that do not match
# its index, and apt refuses them; that passes by itself, so try a few times.
# apt's own lines stay on the screen; ours comes last and says what to do.
cause="most likely a Debian mirror is halfway through an update, or this machine cannot reach Debian's mirrors"
advice="wait a while and run the same command again, and check the network if it keeps failing"

tries=3
for try in $(seq $tries); do
  "${sudo[@]}" apt-get update -qq && break
  if [ "$try" -eq $tries ]; then
    echo "setup.sh: could not update the package lists (apt-get update failed $tries times): $cause; $advice." >&2
    exit 1
  fi
  echo "setup.sh: apt-get update failed; trying again in 15 s." >&2
  sleep 15
done

"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
  echo "setup.sh: could not install ${missing[*]} (apt-get install failed): $cause; $advice." >&2
  exit 1
}
