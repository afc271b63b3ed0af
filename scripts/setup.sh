#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine (as root).
# Idempotent: packages already there are not asked for again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
  clang                               # the fuzz targets
  g++-mingw-w64-x86-64-posix          # the Windows build
  binutils-mingw-w64-x86-64           # windmc and windres: the event log's message table
  wine wine64                         # the Windows test bed
  wine64-tools                        # winebuild: marks the fbclient bridge as a Wine builtin
  firebird3.0-server firebird3.0-utils firebird-dev libfbclient2
  nlohmann-json3-dev                  # JSON: the cycle record and the status check's JSON form
  jq                                  # the status check tests read its JSON form
  iproute2 procps psmisc
  file dpkg-dev                       # the Debian package: cpack's dependency list (dpkg-shlibdeps)
  lintian                             # the Debian package's checks
  systemd systemd-container           # the unit's checks (systemd-analyze); systemd in a container
                                      # (systemd-nspawn) for the package test where none runs the machine
  wixl msitools                       # the Windows installer (wixl), and msibuild for what wixl cannot write
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # Without the preset the Firebird package asks for a password; scripts/firebird.sh sets its own.
  echo "firebird3.0-server shared/firebird/sysdba_password/first_install password masterkey" | $SUDO debconf-set-selections
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  # The package may start a server of its own; scripts/firebird.sh wants to own the one that runs.
  $SUDO /etc/init.d/firebird3.0 stop >/dev/null 2>&1 || true
fi

# `setup.sh firebird4`: also the folder of the tests' second server, Firebird 4.0 (made once and
# kept: a few minutes on a fresh machine; scripts/firebird4-root.sh). Exit status 3 when it
# cannot be made here, so that the caller can tell it from a failed install.
if [[ "${1:-}" == firebird4 ]]; then
  bash "$(dirname "$0")/firebird4-root.sh" make || exit 3
fi
