#!/bin/sh
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for the given
# number of seconds (default 20) on its seed corpus in fuzz/corpus/<target>.
# New inputs go to build-fuzz/corpus/<target>, crashes to build-fuzz/crashes/;
# any crash fails the script. A crash's input belongs in the seed corpus once
# its fault is fixed.
# Usage: scripts/fuzz.sh [seconds per target] [target ...]
set -e
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
build=${KESTREL_FUZZ_BUILD:-$PWD/build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE="address;undefined" -DKESTREL_WERROR=ON \
  >/dev/null
cmake --build "$build" -j "$(nproc)"
targets=${*:-$(cd fuzz && ls fuzz_*.cc | sed 's/\.cc$//')}
mkdir -p "$build/crashes"
for t in $targets; do
  seeds=fuzz/corpus/${t#fuzz_}
  work=$build/corpus/${t#fuzz_}
  mkdir -p "$work"
  echo "== $t: $seconds s"
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$t-" "$work" "$seeds" 2>"$build/$t.log" ||
    { tail -40 "$build/$t.log"; echo "$t: crash, input in $build/crashes/"; exit 1; }
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$build/$t.log" | tail -1
done
