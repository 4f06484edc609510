#!/bin/sh
# Installs the dependencies, builds kestrel three ways and runs every test:
#   build/       plain build: unit tests
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer: unit tests and
#                the process-level tests against real peers
#   build-tsan/  ThreadSanitizer: unit tests
# and checks that cmake installs exactly the files the Debian package lists.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

build() {
  dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build
build build-asan -DKESTREL_SANITIZE="address;undefined"
build build-tsan -DKESTREL_SANITIZE=thread

(cd build && ctest --output-on-failure -j "$jobs")
scripts/check-install-list.sh build
(cd build-asan && ctest --output-on-failure -j "$jobs")
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs")
KESTREL_BUILD=$PWD/build-asan scripts/process-tests.sh -v
