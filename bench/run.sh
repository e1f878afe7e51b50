#!/bin/bash
# bench/run.sh [--links] [RUNS]: times the updater's deliveries against the
# platform's floor, nc and lp, on loopback and over emulated links, and its
# start-up against an empty dialog; compares its memory with an empty dialog
# (see bench/run.py). --links: only the rows over links. Not a test: it only
# measures. Services are private to this run and stopped after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
[ -n "${FLASH_NETNS:-}" ] || exec "$root/tools/private-network.sh" "$0" "$@"

tree=$("$root/tools/build.sh")
run=$tree/bench-run
loader=$("$root/tools/services.sh" loader "$tree")
services=("$root/tools/services.sh")
trap '"${services[@]}" stop "$run" "$tree/wineprefix" "$loader"' EXIT
"${services[@]}" start "$run" "$tree/wineprefix" "$loader"

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo); $("$loader" --version 2>/dev/null || echo wine); build: $(basename "$tree"); load average $(cut -d' ' -f1-3 /proc/loadavg)"
links=()
[ "${1:-}" != --links ] || { links=(--links); shift; }
python3 "$root/bench/run.py" "$tree" "$run" "${1:-5}" "${links[@]}"
