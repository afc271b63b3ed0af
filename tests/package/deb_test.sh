#!/usr/bin/env bash
# The Debian package on this machine (root; it installs system-wide, so CI, or a machine of one's
# own): install with apt-get, the unit in place, the agent starts (under systemd where systemd runs
# this machine, in the foreground where it does not), an upgrade keeps the settings, remove takes
# the unit away, purge leaves nothing.
# Usage: deb_test.sh PATH/TO/tavrimondo-agent_VERSION_amd64.deb
set -u
. "$(dirname "$0")/../service/testlib.sh"
deb=$(realpath "$1")
dir=/opt/tavrimondo
unit=/etc/systemd/system/TavrimondoClient.service
systemd=no
[ -d /run/systemd/system ] && systemd=yes
export DEBIAN_FRONTEND=noninteractive
purge() { apt-get purge -y -q tavrimondo-agent >/dev/null 2>&1 || true; }
if dpkg-query -W -f='${Status}' tavrimondo-agent 2>/dev/null | grep -q "ok installed\|config-files"; then
  echo "tavrimondo-agent is installed here already; this test installs and purges it" >&2
  exit 1
fi
apt_log=$(mktemp)
trap 'purge; rm -f "$apt_log"' EXIT

apt-get install -y -q "$deb" >"$apt_log" 2>&1 || cat "$apt_log"
installed() { dpkg-query -W -f='${Status}' tavrimondo-agent 2>/dev/null | grep -q "install ok installed"; }
check "apt-get installs the package" installed
check "the program in /opt/tavrimondo" test -x "$dir/SrvTavrimondoClient"
check "the example settings beside it" grep -qx "ServidorCentral=localhost" "$dir/kordane.ini"
check "the Firebird client declared" bash -c "dpkg-query -W -f='\${Depends}' tavrimondo-agent | grep -q libfbclient2"
check "the unit in place" grep -qxF "ExecStart=\"$dir/SrvTavrimondoClient\"" "$unit"
check "the install run logged" logged "$dir" "Instalou o Serviço"

if [ $systemd = yes ]; then
  check "the unit is enabled" systemctl is-enabled -q TavrimondoClient.service
  systemctl start TavrimondoClient.service
  check "systemd starts the agent" wait_for 30 systemctl is-active -q TavrimondoClient.service
  check "which logs its start" wait_for 30 logged "$dir" "Iniciou o Serviço"
  systemctl stop TavrimondoClient.service
  check "and its stop" logged "$dir" "Parou o Serviço"
else
  # No systemd here: the service run in the foreground, as the unit would start it.
  "$dir/SrvTavrimondoClient" >/dev/null 2>&1 &
  pid=$!
  check "the agent starts in the foreground" wait_for 30 logged "$dir" "Iniciou o Serviço"
  kill -TERM $pid
  wait_exit $pid 30
  check "and stops cleanly" test "$rc" -eq 0
  check "logging its stop" test "$(last_logged "$dir")" = "Parou o Serviço"
fi

# An upgrade (here: the same package again) keeps the store's own settings and the unit.
sed -i 's/^ServidorCentral=.*/ServidorCentral=central.loja.example/' "$dir/kordane.ini"
dpkg -i "$deb" >/dev/null 2>&1
check "an upgrade keeps the settings" grep -qx "ServidorCentral=central.loja.example" "$dir/kordane.ini"
check "and the unit" test -f "$unit"
check "and installs the unit only once" test "$(count_logged "$dir" "Instalou o Serviço")" -eq 1

apt-get remove -y -q tavrimondo-agent >/dev/null 2>&1
check "remove takes the program away" test ! -e "$dir/SrvTavrimondoClient"
check "and its unit" test ! -e "$unit"
check "the uninstall logged" logged "$dir" "Desinstalou o Serviço"
check "the settings stay until purge" grep -qx "ServidorCentral=central.loja.example" "$dir/kordane.ini"

apt-get purge -y -q tavrimondo-agent >/dev/null 2>&1
check "purge leaves nothing" test ! -e "$dir" -a ! -e "$unit"
check "and the package is gone" bash -c "$(declare -f installed); ! installed"
finish
