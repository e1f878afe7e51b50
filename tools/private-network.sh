#!/bin/bash
# private-network.sh COMMAND...: runs COMMAND in a network namespace of its
# own with only loopback up, so its port 9100 and its daemons meet nothing
# else on this machine. Needs root (or unshare rights); otherwise COMMAND runs
# in the machine's own network, with a warning.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec env FLASH_NETNS=1 unshare --net bash -c 'ip link set lo up && exec "$@"' bash "$@"
fi
echo "note: no private network here; using this machine's port 9100" >&2
exec env FLASH_NETNS=0 "$@"
