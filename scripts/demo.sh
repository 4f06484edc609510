#!/bin/sh
# The kestrel demo on a fresh Debian machine (as root): installs what is
# missing, builds build/, and runs kestrel against a small simulated cluster
# on loopback inside private namespaces, showing a live table of its nodes.
# Ctrl-C stops everything it started and removes build/demo.
#
#   scripts/demo.sh [--keep]                  build and run the demo
#   scripts/demo.sh set NODE SENSOR VALUE     change a reading of the running demo
#   scripts/demo.sh mail                      print the e-mails it received
#   scripts/demo.sh page                      screenshot its status page
#   scripts/demo.sh probe NODE                a node's BMC as a chassis section
set -e
cd "$(dirname "$0")/.."
case "$1" in
set | mail | page | probe) exec /usr/bin/python3 scripts/demo.py "$@" ;;
-h | --help) exec /usr/bin/python3 scripts/demo.py --help ;;
esac
if [ "$(id -u)" != 0 ]; then
  echo "demo: run me as root (apt-get, namespaces, port 623)" >&2
  exit 1
fi
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kestrel switchyard
# exec: this script's PID is the demo's, so a signal sent to it reaches the
# process that cleans up.
exec /usr/bin/python3 scripts/demo.py run "$@"
