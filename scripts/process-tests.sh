#!/bin/sh
# Runs the process-level tests inside private network namespaces, so that
# every peer the tests start (simulated BMCs, SMTP server, TLS test BMCs,
# Prometheus, Chromium) is reachable on loopback only and nothing can leave
# the machine. The tests spread over parallel pytest workers (pytest-xdist),
# each in network and mount namespaces of its own (tests/harness/nspython):
# they mostly wait on the daemon's timers, so more workers than cores pay.
# Usage: scripts/process-tests.sh [pytest arguments]
# KESTREL_BUILD names the build directory to test (default: build).
# KESTREL_TEST_WORKERS: the number of workers (default 4); 0 runs every test
# in one process.
set -e
cd "$(dirname "$0")/.."
# A base directory of its own: pytest prunes old ones under its shared default,
# which would pull the directories from under a run beside this one.
base=$(mktemp -d /tmp/kestrel-process-XXXXXX)
trap 'rm -rf "$base"' EXIT
workers=${KESTREL_TEST_WORKERS:-4}
if [ "$workers" -gt 0 ]; then
  set -- -p xdist --dist load \
    --tx "$workers*popen//python=$PWD/tests/harness/nspython" "$@"
fi
unshare --net --mount --fork -- sh -c \
  'ip link set lo up && exec /usr/bin/python3 -m pytest -p no:cacheprovider "$@"' \
  sh --basetemp="$base/t" tests/process "$@"
