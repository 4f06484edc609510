#!/bin/sh
# Runs the process-level tests inside a private network namespace, so that
# every peer the tests start (simulated BMCs, SMTP server, TLS test BMC) is
# reachable on loopback only and nothing can leave the machine.
# Usage: scripts/process-tests.sh [pytest arguments]
# KESTREL_BUILD names the build directory to test (default: build).
set -e
cd "$(dirname "$0")/.."
# A base directory of its own: pytest prunes old ones under its shared default,
# which would pull the directories from under a run beside this one.
base=$(mktemp -d /tmp/kestrel-process-XXXXXX)
trap 'rm -rf "$base"' EXIT
unshare --net --mount --fork -- sh -c \
  'ip link set lo up && exec /usr/bin/python3 -m pytest -p no:cacheprovider "$@"' \
  sh --basetemp="$base/t" tests/process "$@"
