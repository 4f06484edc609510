#!/bin/sh
# Checks that `cmake --install` of a build puts in place exactly the files
# that the package ships, as debian/kestrel.install lists them (first
# column), so that the install rules and the package cannot drift apart.
# Lean enough for every test run: it only copies an existing build's files.
# Usage: scripts/check-install-list.sh [build directory, default build]
set -e
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/kestrel-install-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
DESTDIR=$work/root cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/root" && find . ! -type d | sed 's|^\./||' | sort) > "$work/installed"
cut -d' ' -f1 debian/kestrel.install | sort > "$work/listed"
if ! diff -u "$work/listed" "$work/installed"; then
  echo "cmake --install differs from debian/kestrel.install (+ installed only, - listed only)" >&2
  exit 1
fi
echo "install list: the $(wc -l < "$work/listed") files of debian/kestrel.install"
