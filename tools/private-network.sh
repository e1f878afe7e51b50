#!/bin/bash
# private-network.sh COMMAND...: runs COMMAND in a network namespace of its
# own with only loopback up, so its port 9100 and its daemons meet nothing
# else on this machine. Needs root (or unshare rights); otherwise COMMAND runs
# in the machine's own network, with a warning.
#
# Inside, TCP buffers are kept to a few hundred kilobytes: on plain loopback
# the system takes megabytes from a sender before the receiver has read a
# byte, which no printer's link does, and a printer that drops the connection
# mid-job would then meet a sender that has already finished.
set -euo pipefail
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec env FLASH_NETNS=1 unshare --net bash -c '
    ip link set lo up
    sysctl -qw net.ipv4.tcp_wmem="4096 16384 262144" net.ipv4.tcp_rmem="4096 65536 262144"
    exec "$@"' bash "$@"
fi
echo "note: no private network here; using this machine's port 9100" >&2
exec env FLASH_NETNS=0 "$@"
