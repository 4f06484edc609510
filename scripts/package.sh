#!/bin/sh
# Builds the Debian package from a clean copy of the committed tree (git
# archive HEAD: nothing built or edited but uncommitted here goes in), runs
# lintian on it (an error fails the script) and leaves the package in
# build-deb/kestrel_<version>_<architecture>.deb.
#   scripts/package.sh                         with the unit tests
#   DEB_BUILD_OPTIONS=nocheck scripts/package.sh   without them
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
out=$PWD/build-deb
work=$(mktemp -d /tmp/kestrel-package-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/kestrel"
git archive HEAD | tar -x -C "$work/kestrel"
(cd "$work/kestrel" && dpkg-buildpackage -us -uc -b -J"$(nproc)")
lintian --fail-on error --display-info "$work"/kestrel_*.changes
mkdir -p "$out"
rm -f "$out"/kestrel_*.deb
cp "$work"/kestrel_*.deb "$out"/
ls "$out"/kestrel_*.deb
