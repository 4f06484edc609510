#!/bin/sh
# Installs the dependencies, builds kestrel in build/ and runs it in the
# foreground on the sample configuration of examples/. The data directory is
# a copy under build/sample; the BMC names resolve through examples/hosts,
# bind-mounted over /etc/hosts in a private mount namespace only.
# Stop it with Ctrl-C.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kestrel
sample=$PWD/build/sample
mkdir -p "$sample"
cp examples/chassis.dat examples/cluster.dat examples/hosts "$sample/"
echo "kestrel runs on $sample; in another terminal:"
echo "  cat $sample/nodewatch.dat      # one status snapshot per read"
echo "  cat $sample/autonodeconf.dat   # the configuration summary"
if [ "$(id -u)" = 0 ]; then ns="unshare --mount"; else ns="unshare -rm"; fi
exec $ns sh -c 'mount --bind "$1/hosts" /etc/hosts && exec "$2" -d -p "$1"' \
  sh "$sample" "$PWD/build/kestrel"
