# Sourced by tools/test.sh: runs 32-bit x86 programs under user-mode
# emulation on a machine that has no 32-bit mode, for as long as one command
# runs. emulation_prepare installs qemu-user-static; emulation_run COMMAND...
# mounts binfmt_misc if it is missing, registers 32-bit x86 ELF files with the
# emulator under a name of our own, runs COMMAND, and then removes that entry
# (and unmounts binfmt_misc if we mounted it) however COMMAND ends: success,
# failure, Ctrl+C, kill. Needs root.
#
# While the entry is there, every 32-bit ELF on the machine runs emulated,
# even where the kernel could run it natively, so keep the window short.
# Entries of others are never touched.

EMULATOR=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY_PREFIX=flash-i386-

emulation_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
emulation_entry= emulation_mounted= emulation_child=

# Our entry is named after the process that holds it and its start time, so
# two runs never remove each other's, and one left by a killed run is known
# for what it is.
started_at() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null; }

remove_stale_entries() {
  local entry pid since
  for entry in "$BINFMT/$ENTRY_PREFIX"*; do
    [ -e "$entry" ] || continue
    IFS=- read -r pid since <<<"${entry#"$BINFMT/$ENTRY_PREFIX"}"
    [ -n "$since" ] && [ "$(started_at "$pid")" = "$since" ] && continue
    echo "Removing $(basename "$entry"), left behind by a run that is gone."
    echo -1 >"$entry"
  done
}

# Everything short of registering: false, with the reason on stderr, where
# emulation cannot be had here.
emulation_prepare() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "Emulation needs root (binfmt_misc)." >&2
    return 1
  fi
  if [ "$(uname -m)" != x86_64 ]; then
    echo "Emulation of 32-bit x86 is set up only on x86-64 machines." >&2
    return 1
  fi
  # Before binfmt_misc is mounted: the package's install step would register
  # emulators for other architectures into a mounted one.
  "$emulation_root/tools/setup.sh" qemu-user-static >&2 || return 1
  [ -x "$EMULATOR" ] || { echo "$EMULATOR is missing." >&2; return 1; }
}

emulation_up() {
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" || return 1
    emulation_mounted=1
  fi
  remove_stale_entries
  emulation_entry=$ENTRY_PREFIX$$-$(started_at $$)
  # 32-bit little-endian ELF, executable or shared object, machine 3 (i386).
  # F: the kernel opens the emulator now, so it is found from any mount
  # namespace and whatever the program's root. binfmt_misc reads the \x.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":$emulation_entry:M::$magic:$mask:$EMULATOR:F" >"$BINFMT/register"
}

emulation_down() {
  if [ -n "$emulation_entry" ] && [ -e "$BINFMT/$emulation_entry" ]; then
    echo -1 >"$BINFMT/$emulation_entry" || echo "Could not remove $BINFMT/$emulation_entry." >&2
  fi
  emulation_entry=
  # Unmounted only when nothing but its two control files is left: a
  # concurrent run may have registered since.
  if [ -n "$emulation_mounted" ] && [ "$(ls "$BINFMT" | grep -cvx 'register\|status')" -eq 0 ]; then
    umount "$BINFMT" || echo "Could not unmount $BINFMT." >&2
  fi
  emulation_mounted=
}

# The entry goes first, then COMMAND hears of the signal: a second Ctrl+C or
# a kill while COMMAND winds down must not leave the entry behind.
emulation_stop() {   # SIGNAL STATUS
  trap '' INT TERM HUP
  emulation_down
  [ -z "$emulation_child" ] || kill -s "$1" "$emulation_child" 2>/dev/null || true
  exit "$2"
}

# Sets up, runs COMMAND, takes down; ends this shell with COMMAND's status.
# COMMAND runs as a child so that this shell, the outermost process, keeps
# its traps; its Ctrl+C is restored (a background child ignores it).
emulation_run() {
  trap emulation_down EXIT
  trap 'emulation_stop INT 130' INT
  trap 'emulation_stop TERM 143' TERM
  trap 'emulation_stop HUP 129' HUP
  emulation_up || { echo "Could not register $EMULATOR for 32-bit x86 programs." >&2; exit 1; }
  (trap - INT QUIT; exec "$@") &
  emulation_child=$!
  local status=0
  wait "$emulation_child" || status=$?
  exit "$status"
}
