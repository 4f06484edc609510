#!/bin/sh
# Installs what a fresh Debian machine lacks to build, test and demonstrate
# kestrel. Needs root; does nothing when everything is present.
set -e
# Without recommended packages: Chromium's and debhelper's would bring
# printing, Avahi and desktop packages. What the tests need of a package's
# recommendations is named here instead: libclang-rt-14-dev holds clang's
# sanitizer and libFuzzer runtimes (only recommended by clang).
PACKAGES="build-essential cmake pkg-config libopenipmi-dev openipmi
  libcurl4-openssl-dev nlohmann-json3-dev libgtest-dev googletest libbenchmark-dev
  python3 python3-pytest python3-pytest-xdist python3-aiosmtpd openssl
  faketime iproute2 openssh-client util-linux freeipmi-tools ipmitool
  clang libclang-rt-14-dev libmicrohttpd-dev debhelper lintian python3-seccomp
  systemd prometheus chromium slurmctld slurm-client munge"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  # munge and slurmctld would start the machine's own services (the tests
  # start their own, in their namespaces); slurmctld, without a slurm.conf,
  # would fail and stop the install. A policy that denies every start,
  # unless the machine has one, keeps them stopped.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends $missing
  # Nor at boot: installed here only for the tests, which start their own.
  case " $missing " in
    *" munge "*)
      deb-systemd-helper disable munge.service >/dev/null 2>&1 || true
      update-rc.d munge disable >/dev/null 2>&1 || true ;;
  esac
fi
