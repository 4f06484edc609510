#!/bin/sh
# Installs what a fresh Debian machine lacks to build, test and demonstrate
# kestrel. Needs root; does nothing when everything is present.
set -e
PACKAGES="build-essential cmake pkg-config libopenipmi-dev openipmi
  libcurl4-openssl-dev nlohmann-json3-dev libgtest-dev googletest libbenchmark-dev
  python3 python3-pytest python3-aiosmtpd openssl faketime iproute2
  openssh-client util-linux freeipmi-tools ipmitool clang
  libmicrohttpd-dev debhelper lintian python3-seccomp
  systemd prometheus chromium"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q $missing
fi
