#!/bin/sh
# Installs the dependencies, builds kestrel four ways and runs every test:
#   build/       plain build: unit tests
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer: unit tests and
#                the process-level tests against real peers
#   build-tsan/  clang with ThreadSanitizer: unit tests; clang's
#                -Wthread-safety checks every use of a field marked
#                GUARDED_BY, in the daemon and the unit tests alike
#   build-fuzz/  clang with libFuzzer, ASan and UBSan: every fuzz target runs
#                for 20 s on its seed corpus (scripts/fuzz.sh)
# Every build treats warnings as errors, and the plain one is checked to
# install exactly the files the Debian package lists. At the end (also after
# a failure) it prints how long each stage took.
#
# scripts/test.sh --quick is the edit-build-test loop: the plain build, its
# unit tests and the process scenarios marked quick, run against the plain
# build. CI runs the full command.
set -e
cd "$(dirname "$0")/.."
case "$*" in
  "") quick= ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
jobs=$(nproc)
times=$(mktemp /tmp/kestrel-test-times-XXXXXX)
started=$(date +%s)

report() {
  status=$?
  echo
  echo "== stage times"
  cat "$times"
  [ -n "$current" ] && echo "$current: failed after $(( $(date +%s) - t0 )) s"
  echo "total: $(( $(date +%s) - started )) s"
  rm -f "$times"
  exit $status
}
trap report EXIT
trap 'exit 130' INT TERM

# stage NAME COMMAND...: runs one stage and keeps its time for the report.
stage() {
  current=$1; shift
  t0=$(date +%s)
  "$@"
  printf '%-22s %5d s\n' "$current:" $(( $(date +%s) - t0 )) >> "$times"
  current=
}

build() {
  dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_WERROR=ON \
    "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

unit() {
  (cd "$1" && ctest --output-on-failure --no-tests=error -j "$jobs")
}

# A build-tsan/ configured earlier with another compiler is made anew: the
# compiler of a configured tree does not change.
tsan_build() {
  if [ -f build-tsan/CMakeCache.txt ] &&
    ! grep -q '^CMAKE_CXX_COMPILER:.*clang++$' build-tsan/CMakeCache.txt; then
    rm -rf build-tsan
  fi
  (export CC=clang CXX=clang++ && build build-tsan -DKESTREL_SANITIZE=thread)
}

tsan_unit() {
  (export TSAN_OPTIONS=halt_on_error=1 && unit build-tsan)
}

stage deps scripts/deps.sh
stage "plain build" build build
stage "plain unit tests" unit build
if [ -n "$quick" ]; then
  stage "quick process tests" env KESTREL_BUILD="$PWD/build" \
    scripts/process-tests.sh -m quick
  exit 0
fi
stage "install list" scripts/check-install-list.sh build
stage "asan build" build build-asan -DKESTREL_SANITIZE="address;undefined"
stage "asan unit tests" unit build-asan
stage "process tests" env KESTREL_BUILD="$PWD/build-asan" \
  scripts/process-tests.sh --durations=15
stage "tsan build" tsan_build
stage "tsan unit tests" tsan_unit
stage "fuzz" scripts/fuzz.sh 20
