#!/bin/sh
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for the given
# number of seconds (default 20), as many at once as there are cores, on
# its seed corpus in fuzz/corpus/<target>.
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
# runone TARGET: one target for $seconds s; its summary line, or its crash.
runone() {
  t=$1
  seeds=fuzz/corpus/${t#fuzz_}
  work=$build/corpus/${t#fuzz_}
  mkdir -p "$work"
  if "$build/$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$t-" "$work" "$seeds" 2>"$build/$t.log"; then
    echo "== $t: $seconds s: $(grep -E "stat::number_of_executed_units|Done [0-9]+ runs" \
      "$build/$t.log" | tail -1)"
  else
    tail -40 "$build/$t.log"; echo "$t: crash, input in $build/crashes/"; return 1
  fi
}
# As many targets at once as there are cores: each fuzzer is one busy
# process, so the stage takes its length times the targets over the cores.
cores=$(nproc)
failed=0
set -- $targets
while [ $# -gt 0 ]; do
  pids=
  n=0
  while [ $# -gt 0 ] && [ $n -lt "$cores" ]; do
    runone "$1" & pids="$pids $!"
    n=$((n + 1)); shift
  done
  for p in $pids; do wait "$p" || failed=1; done
done
exit $failed
