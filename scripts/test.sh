#!/bin/sh
# Installs the dependencies, builds kestrel four ways and runs every test:
#   build/       plain build: unit tests
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer: unit tests and
#                the process-level tests against real peers
#   build-tsan/  ThreadSanitizer: unit tests
#   build-fuzz/  clang with libFuzzer, ASan and UBSan: every fuzz target runs
#                for 20 s on its seed corpus (scripts/fuzz.sh); clang's
#                -Wthread-safety checks every field marked GUARDED_BY here
# Every build treats warnings as errors, and the plain one is checked to
# install exactly the files the Debian package lists.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

build() {
  dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_WERROR=ON \
    "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build
build build-asan -DKESTREL_SANITIZE="address;undefined"
build build-tsan -DKESTREL_SANITIZE=thread

(cd build && ctest --output-on-failure --no-tests=error -j "$jobs")
scripts/check-install-list.sh build
(cd build-asan && ctest --output-on-failure --no-tests=error -j "$jobs")
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error -j "$jobs")
scripts/fuzz.sh 20
# The confined-service scenario runs in a session of its own: after the rest
# of the suite in one session its daemon has twice failed to start in time,
# while alone it passes (not yet understood).
KESTREL_BUILD=$PWD/build-asan scripts/process-tests.sh -v -k "not test_service"
KESTREL_BUILD=$PWD/build-asan scripts/process-tests.sh -v -k test_service
