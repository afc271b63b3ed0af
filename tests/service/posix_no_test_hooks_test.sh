#!/usr/bin/env bash
# A build that may ship (TAVRIMONDO_TEST_HOOKS off) takes nothing from the test hooks: the status
# check, which only reads, looks for the unit in /etc/systemd/system whatever TAVRIMONDO_UNIT_DIR
# says, and never runs the program TAVRIMONDO_SYSTEMCTL names.
# Usage: posix_no_test_hooks_test.sh PATH/TO/SrvTavrimondoClient
set -u
. "$(dirname "$0")/testlib.sh"
work=$(mktemp -d)
trap '[ "$BASHPID" = "$$" ] && rm -rf "$work"' EXIT
cp "$1" "$work/SrvTavrimondoClient"
mkdir "$work/units"
printf '[Service]\nExecStart=%s\n' "$work/SrvTavrimondoClient" >"$work/units/TavrimondoClient.service"
printf '#!/bin/sh\ntouch "%s/ran"\necho ActiveState=active; echo MainPID=1\n' "$work" >"$work/systemctl"
chmod +x "$work/systemctl"
printf '[Kordane]\r\nServidorCentral=\r\nServidor=127.0.0.1\r\nCaminho=/nao/existe/LOJA.FDB\r\n' >"$work/kordane.ini"
real_unit=no
[ -e /etc/systemd/system/TavrimondoClient.service ] && real_unit=yes
TAVRIMONDO_UNIT_DIR="$work/units" TAVRIMONDO_SYSTEMCTL="$work/systemctl" \
  "$work/SrvTavrimondoClient" -status -json >"$work/status.json" 2>/dev/null
check "the unit directory of the environment is not read" \
  test "$(jq -r .service.installed "$work/status.json")" = "$([ $real_unit = yes ] && echo true || echo false)"
check "the systemctl of the environment is not run" test ! -e "$work/ran"
finish
