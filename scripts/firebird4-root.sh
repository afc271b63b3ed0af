#!/usr/bin/env bash
# Makes the folder in which the tests' second Firebird server runs: Firebird 4.0 as Debian's next
# release (trixie) packages it, in a minimal system of that release used as a chroot. Made once
# and kept: a folder that is complete is left as it is.
#
#   firebird4-root.sh [make]   make the folder when it is missing or incomplete (root; a few minutes)
#   firebird4-root.sh check    exit 0 when the folder is complete
#   firebird4-root.sh path     print the folder's path
#
# Environment:
#   TAVRIMONDO_FB4_ROOT    the folder (default /var/cache/tavrimondo/firebird4-trixie: outside
#                          every work tree, so that clones and CI runs on the machine share it)
#   TAVRIMONDO_FB4_MIRROR  the Debian mirror (default http://deb.debian.org/debian)
#
# Nothing in the folder starts by itself: a policy-rc.d refuses every service start while the
# packages install, and scripts/firebird.sh starts the server as the folder's firebird user.
set -euo pipefail

ROOT=${TAVRIMONDO_FB4_ROOT:-/var/cache/tavrimondo/firebird4-trixie}
MIRROR=${TAVRIMONDO_FB4_MIRROR:-http://deb.debian.org/debian}
SUITE=trixie
PACKAGES=(firebird4.0-server firebird4.0-utils libfbclient2)
# Written last: a folder without it was cut short and is made again.
STAMP="$ROOT/.tavrimondo-firebird4"

die() { echo "firebird4-root.sh: $*" >&2; exit 1; }

is_complete() { [[ -f "$STAMP" && -x "$ROOT/usr/sbin/firebird" && -x "$ROOT/usr/bin/isql-fb" ]]; }

unmount_all() {
  local m
  # Deepest first; a folder that is not mounted is left alone.
  for m in "$ROOT/proc" "$ROOT/dev/pts" "$ROOT/dev"; do
    mountpoint -q "$m" 2>/dev/null && umount -l "$m" 2>/dev/null || true
  done
}

cmd_make() {
  if is_complete; then
    echo "firebird4-root.sh: $ROOT is ready ($(cat "$STAMP"))"
    return 0
  fi
  [[ $EUID -eq 0 ]] || die "making the folder needs root (debootstrap, chroot)"
  if ! command -v debootstrap >/dev/null || [[ ! -f /usr/share/debootstrap/scripts/$SUITE ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null ||
      die "cannot install debootstrap"
  fi
  [[ -f /usr/share/debootstrap/scripts/$SUITE ]] || die "this debootstrap does not know $SUITE"
  local start=$SECONDS
  # A folder left half-made (an interrupted run) is made anew from nothing.
  if [[ -e "$ROOT" ]]; then
    unmount_all
    # A database folder bound into it (a 4.0 server left running) would go with it.
    if awk -v r="$ROOT/" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
      die "something is still mounted inside $ROOT (stop its server: scripts/firebird.sh stop 4)"
    fi
    rm -rf --one-file-system "$ROOT"
  fi
  mkdir -p "$(dirname "$ROOT")"
  trap unmount_all EXIT
  echo "firebird4-root.sh: debootstrap $SUITE into $ROOT"
  debootstrap --variant=minbase "$SUITE" "$ROOT" "$MIRROR" >"$ROOT.debootstrap.log" 2>&1 ||
    { tail -n 20 "$ROOT.debootstrap.log" >&2; die "debootstrap failed (log: $ROOT.debootstrap.log)"; }
  printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
  chmod 755 "$ROOT/usr/sbin/policy-rc.d"
  cp /etc/hosts "$ROOT/etc/hosts"
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
  mount -t proc proc "$ROOT/proc"
  # The package would pick a random SYSDBA password; scripts/firebird.sh sets its own at each start.
  echo "firebird4.0-server shared/firebird/sysdba_password/first_install password masterkey" |
    chroot "$ROOT" debconf-set-selections
  echo "firebird4-root.sh: installing ${PACKAGES[*]}"
  if ! chroot "$ROOT" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 \
      apt-get install -y -q --no-install-recommends "${PACKAGES[@]}" >"$ROOT.apt.log" 2>&1; then
    tail -n 20 "$ROOT.apt.log" >&2
    die "installing Firebird 4.0 in $ROOT failed (log: $ROOT.apt.log)"
  fi
  chroot "$ROOT" apt-get clean
  unmount_all
  trap - EXIT
  local version
  version=$(chroot "$ROOT" dpkg-query -W -f='${Version}' firebird4.0-server)
  echo "firebird4.0-server $version, made in $((SECONDS - start)) s on $(date -u +%Y-%m-%d)" >"$STAMP"
  echo "firebird4-root.sh: $ROOT is ready ($(cat "$STAMP"))"
}

case "${1:-make}" in
  make) cmd_make ;;
  check) is_complete ;;
  path) echo "$ROOT" ;;
  *) die "usage: firebird4-root.sh [make|check|path]" ;;
esac
