#!/bin/sh
# Soak and fault run of kestrel against simulated BMCs, TLS test BMCs and an
# SMTP server that fail on a schedule; prints a table and writes a JSON file.
# Usage: scripts/soak.sh [minutes] [--build DIR] [--out FILE] (bench/soak.py -h)
# Installs the dependencies and builds the daemon in DIR (default build/, or
# KESTREL_BUILD); a DIR named build-asan or build-tsan is configured with
# AddressSanitizer + UndefinedBehaviorSanitizer or ThreadSanitizer. Everything
# runs inside a private network namespace. Needs root.
set -e
cd "$(dirname "$0")/.."
build=${KESTREL_BUILD:-$PWD/build}
prev=
for arg in "$@"; do
  case "$prev" in --build) build=$arg ;; esac
  case "$arg" in --build=*) build=${arg#--build=} ;; esac
  prev=$arg
done
case "$(basename "$build")" in
  build-asan) sanitize="address;undefined" ;;
  build-tsan) sanitize=thread ;;
  *) sanitize= ;;
esac
scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrel
export KESTREL_BUILD="$build"
exec unshare --net --mount --fork -- sh -c \
  'ip link set lo up && exec /usr/bin/python3 bench/soak.py "$@"' sh "$@"
