#!/bin/sh
# Benchmarks kestrel against simulated BMCs and against FreeIPMI's
# ipmi-sensors on the same BMCs; prints a table and writes a JSON file.
# Usage: scripts/bench.sh [--nodes 8,32,128] [--seconds 60] [--warmup 20]
#          [--openbmc 64] [--redfish 64] [--redfish-slow 64]
#          [--redfish-large 512] [--http 128]
#          [--configured 512] [--out FILE] (see bench/run.py -h)
# Installs the dependencies, builds the plain optimized build in build/ (or
# KESTREL_BUILD) and runs everything inside a private network namespace, so
# the simulated BMCs on 127.0.x.y are reachable from nowhere else. Needs root.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${KESTREL_BUILD:-$PWD/build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrel
if cmake --build "$build" --target help | grep snapshot_bench >/dev/null; then
  cmake --build "$build" -j "$(nproc)" --target snapshot_bench http_bench
fi
export KESTREL_BUILD="$build"
exec unshare --net --mount --fork -- sh -c \
  'ip link set lo up && exec /usr/bin/python3 bench/run.py "$@"' sh "$@"
