#!/bin/bash
# private-network.sh COMMAND...: runs COMMAND in a network namespace of its
# own with only loopback up, so its port 9100 and its daemons meet nothing
# else on this machine. Needs root (or unshare rights); otherwise COMMAND runs
# in the machine's own network, with a warning.
#
# Inside, TCP buffers are kept to a few hundred kilobytes: on plain loopback
# the system takes megabytes from a sender before the receiver has read a
# byte, which no printer's link does, and a printer that drops the connection
# mid-job would then meet a sender that has already finished. And a
# connection whose peer has vanished is given up after 5 retransmissions,
# about when Windows gives up, not after Linux's quarter of an hour.
#
# Two printers nobody answers, for the tests: nothing ever answers a
# connection to 127.0.0.9; and the resolver asks the name server of
# tools/services.sh, which knows no name and never answers for
# unanswered.test. It runs in a mount namespace of its own for that, so the
# machine's /etc/resolv.conf stays as it is.
#
# private-network.sh --buffers test|system, inside that network only: sets
# its TCP buffers to the printer-sized ones it starts with (test), or to
# Linux's own defaults, as on a machine nobody has tuned (system).
set -euo pipefail

buffers() {   # test|system
  case $1 in
    test) sysctl -qw net.ipv4.tcp_wmem="4096 16384 262144" net.ipv4.tcp_rmem="4096 65536 262144" ;;
    system) sysctl -qw net.ipv4.tcp_wmem="4096 16384 4194304" net.ipv4.tcp_rmem="4096 131072 6291456" ;;
    *) echo "private-network.sh: --buffers test|system" >&2; return 2 ;;
  esac
}

if [ "${1:-}" = --buffers ]; then
  if [ "${FLASH_NETNS:-}" != 1 ]; then
    echo "private-network.sh: --buffers changes only the tests' own network, and this is not it" >&2
    exit 1
  fi
  buffers "${2:-}"
  exit
fi

if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec env FLASH_NETNS=1 unshare --net --mount bash -c '
    set -e
    ip link set lo up
    "$0" --buffers test
    sysctl -qw net.ipv4.tcp_retries2=5
    echo "table inet flash_unanswered { chain output { type filter hook output priority 0; ip daddr 127.0.0.9 drop; }; }" | nft -f -
    # Inside a network of ours already (a second stage of a run), the
    # resolver is ours too.
    if ! grep -qx "nameserver 127.0.0.53" /etc/resolv.conf; then
      resolver=$(mktemp)
      printf "nameserver 127.0.0.53\noptions timeout:2 attempts:1\n" >"$resolver"
      mount --bind "$resolver" /etc/resolv.conf
      rm -f "$resolver"
    fi
    exec "$@"' "$0" "$@"
fi
echo "note: no private network here; using this machine's port 9100" >&2
exec env FLASH_NETNS=0 "$@"
