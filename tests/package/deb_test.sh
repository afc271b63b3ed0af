#!/usr/bin/env bash
# The Debian package: lintian and the unit's exposure figure; then, on a machine run by systemd
# (this one, or this one's system booted as a throw-away container: systemd_host.sh), what a store
# does with it: install with apt-get, the account, the program's folder (root's alone) and the data
# folders (the account's), the hardened unit replicating a
# store database to the stand-in central server on the real Firebird server (which
# scripts/firebird.sh has started), the status check, a killed agent started again by systemd, an
# upgrade that keeps the settings and restarts the agent, remove and purge.
# Usage (root): deb_test.sh PATH/TO/tavrimondo-agent_VERSION_amd64.deb PATH/TO/TavrimondoCentral
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/tests/service/testlib.sh"
. "$here/systemd_host.sh"
deb=$(realpath "$1") central_exe=$2
work=$(mktemp -d)
. "$root/tests/service/replication_lib.sh"
unit=TavrimondoClient.service
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  if [ "$sd_root" = / ]; then sd apt-get purge -y -q tavrimondo-agent >/dev/null 2>&1; fi
  systemd_shutdown
  drop_replication
}
trap cleanup EXIT

# ---- the package as lintian and systemd-analyze see it ---------------------------------------
echo "== lintian"
lintian --info --show-overrides "$deb" 2>&1 | grep -v '^running with root privileges' | tee "$work/lintian.txt"
check "lintian: no error and no warning" bash -c "! grep -q '^[EW]:' '$work/lintian.txt'"
check "lintian: only dir-or-file-in-opt overridden" bash -c "! grep '^O:' '$work/lintian.txt' | grep -vq ' dir-or-file-in-opt '"
mkdir "$work/files"
dpkg-deb -x "$deb" "$work/files"
systemd-analyze security --offline=true --no-pager "$work/files/lib/systemd/system/$unit" >"$work/security.txt" 2>&1
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security.txt")
echo "== exposure of the unit (systemd-analyze security --offline=true): ${exposure:-?}"
check "the unit's exposure is at most 3.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 3.0) }'

# ---- installed on a machine run by systemd ---------------------------------------------------
if ! systemd_boot; then
  fail "no systemd to run the package's unit: neither this machine's nor a container's"
  finish
fi
if [ "$sd_root" = / ]; then
  echo "== systemd runs this machine: the package is installed here"
else
  echo "== this machine's system booted as a container under systemd-nspawn"
  # A store's machine lets packages start their services; container images forbid it.
  rm -f "$sd_root/usr/sbin/policy-rc.d"
fi
if sd dpkg-query -W -f='${Status}' tavrimondo-agent 2>/dev/null | grep -q "ok installed\|config-files"; then
  echo "tavrimondo-agent is installed already; this test installs and purges it" >&2
  exit 1
fi
# The package as the container sees it: its systemd mounts a /tmp of its own, which hides a clone
# (or a build) in this machine's /tmp.
if [ "$sd_root" != / ]; then
  cp "$deb" "$sd_root/root/"
  deb=/root/$(basename "$deb")
fi
dir=$sd_root/opt/tavrimondo
state=$sd_root/var/lib/tavrimondo
logs=$sd_root/var/log/tavrimondo
unit_prop() { sd systemctl show -P "$1" "$unit"; }  # unit_prop PROPERTY
unit_is() { [ "$(unit_prop "$1")" = "$2" ]; }       # unit_is PROPERTY VALUE
not() { ! "$@"; }
sd env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/apt.log" 2>&1 || cat "$work/apt.log"
installed() { sd dpkg-query -W -f='${Status}' tavrimondo-agent 2>/dev/null | grep -q "install ok installed"; }
check "apt-get installs the package" installed
check "the account tavrimondo, a system user without a login" \
  test "$(sd getent passwd tavrimondo | awk -F: '{ print ($3 < 1000), $6, $7 }')" = "1 /nonexistent /usr/sbin/nologin"
check "the program's folder is root's alone" test "$(sd stat -c '%U:%G %a' /opt/tavrimondo)" = "root:root 755"
check "the data folders are the account's" \
  test "$(sd stat -c '%U:%G %a' /var/lib/tavrimondo /var/log/tavrimondo | sort -u)" = "tavrimondo:tavrimondo 755"
check "the program is root's, and only root may change it" test "$(sd stat -c '%U:%G %a' /opt/tavrimondo/SrvTavrimondoClient)" = "root:root 755"
check "kordane.ini beside it points to /etc/tavrimondo/kordane.ini" \
  test "$(sd readlink /opt/tavrimondo/kordane.ini)" = /etc/tavrimondo/kordane.ini
check "which is a conffile" bash -c "dpkg-query --admindir='$sd_root/var/lib/dpkg' -W -f='\${Conffiles}' tavrimondo-agent | grep -q '^ /etc/tavrimondo/kordane.ini '"
check "the unit is enabled" sd systemctl is-enabled -q "$unit"
check "and systemd finds nothing wrong in it" sd systemd-analyze verify "$unit"

# The store's settings: the agent reaches both servers over loopback.
printf '[Kordane]\nServidorCentral=127.0.0.1\nServidor=%s\nCaminho=%s\nMonitorarComando=1\n' "$host" "$store_db" \
  >"$sd_root/etc/tavrimondo/kordane.ini"
create_databases
start_central "$central_exe"
sd systemctl start "$unit"
check "systemd starts the agent" sd systemctl is-active -q "$unit"
main_pid() { sd systemctl show -P MainPID "$unit"; }
pid=$(main_pid)
check "as the account tavrimondo" test "$(sd ps -o user= -p "$pid")" = tavrimondo
check "it starts connected to both servers" wait_for 20 logged "$logs" "Iniciou o Serviço"
check "the Firebird client library loads, the store is reached" logged "$logs" "Conectou no Servidor Local"
check "the central server is reached" logged "$logs" "Conectou no Servidor Central"
check_first_rows "$logs"
owners() { sd sh -c 'stat -c %U /var/lib/tavrimondo/Tavrimondo_cycle.json /var/log/tavrimondo/Tavrimondo_*.LOG' 2>/dev/null | sort -u; }
check "its log and cycle record are the account's" wait_for 20 test "$(owners)" = tavrimondo
check "it writes nothing beside the program" \
  test "$(sd ls -A /opt/tavrimondo | tr '\n' ' ')" = "SrvTavrimondoClient kordane.ini "
check "  nor could it: the account cannot write the program's folder" \
  not sd setpriv --reuid=tavrimondo --regid=tavrimondo --init-groups touch /opt/tavrimondo/libfbclient.so.2
last_cycle_shown() { unit_prop StatusText | grep -q '^Running - Last cycle'; }
check "systemd shows the last cycle" wait_for 20 last_cycle_shown
sd /opt/tavrimondo/SrvTavrimondoClient -status >"$work/status.txt" 2>&1; rc=$?
check "the status check says OK (0)" test "$rc" -eq 0
check "  and finds the service running" grep -q "^Serviço: rodando, processo $pid" "$work/status.txt" || cat "$work/status.txt"
check "  installed by the package's unit" grep -qx '  Instalado: *sim, "/opt/tavrimondo/SrvTavrimondoClient"' "$work/status.txt"
check "  and reads the data folders the unit names" \
  bash -c "grep -q '^Registro de ciclos: /var/lib/tavrimondo/Tavrimondo_cycle.json\$' '$work/status.txt' &&
           grep -q '^Log de atividades: /var/log/tavrimondo/Tavrimondo_[0-9]*.LOG, últimas' '$work/status.txt'"
out=$(sd /opt/tavrimondo/SrvTavrimondoClient -install -silent 2>&1); rc=$?
check "an install run by hand does not hide the package's unit" \
  test "$rc" -ne 0 -a ! -e "$sd_root/etc/systemd/system/$unit" -a -n "$(grep -F /lib/systemd/system/$unit <<<"$out")"
sd setpriv --reuid=nobody --regid=nogroup --clear-groups /opt/tavrimondo/SrvTavrimondoClient -status >"$work/status-nobody.txt" 2>&1; rc=$?
check "  also for a user without rights (0)" test "$rc" -eq 0 || cat "$work/status-nobody.txt"
check "nothing in the journal with priority err" test -z "$(sd journalctl -q -u "$unit" -p err --no-pager)"

# A reload is a continue: settings read again, both servers connected anew.
sd systemctl reload "$unit"
check "a reload continues the service" wait_for 20 logged "$logs" "Retomou o Serviço"

# ---- a killed agent comes back ---------------------------------------------------------------
starts=$(count_logged "$logs" "Iniciou o Serviço")
killed_at=$SECONDS
sd kill -KILL "$pid"
check "a killed agent waits to be started again" wait_for 10 unit_is SubState auto-restart
check "systemd starts it again after about a minute" wait_for 90 unit_is ActiveState active
waited=$((SECONDS - killed_at))
check "  not before the minute ($waited s)" test "$waited" -ge 58
check "  counted as a restart" unit_is NRestarts 1
check "  as a new process that logs its start" wait_for 20 logged_times "$logs" "Iniciou o Serviço" $((starts + 1))
add_changes 31 95
check_later_rows

# ---- stop, upgrade, remove, purge ------------------------------------------------------------
sd systemctl stop "$unit"
check "a stop ends the agent cleanly" unit_is Result success
check "  which logs it" test "$(last_logged "$logs")" = "Parou o Serviço"
check "  and stays stopped" test "$(unit_prop NRestarts) $(unit_prop ActiveState)" = "1 inactive"
sd systemctl start "$unit"
pid=$(main_pid)
printf '; Editado pela loja.\n' >>"$sd_root/etc/tavrimondo/kordane.ini"
cp "$sd_root/etc/tavrimondo/kordane.ini" "$work/edited.ini"
# An upgrade (here: the same package again).
sd env DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || cat "$work/dpkg.log"
check "an upgrade keeps the settings" cmp -s "$work/edited.ini" "$sd_root/etc/tavrimondo/kordane.ini"
restarted() { local p; p=$(main_pid); [ "$p" != 0 ] && [ "$p" != "$pid" ]; }
check "  restarts the running agent" wait_for 20 restarted
check "  keeps the unit enabled" sd systemctl is-enabled -q "$unit"

sd env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tavrimondo-agent >/dev/null 2>&1
check "remove stops the agent" not sd systemctl is-active -q "$unit"
check "  takes the program and the unit away" test ! -e "$dir/SrvTavrimondoClient" -a ! -e "$sd_root/lib/systemd/system/$unit"
check "  leaves the settings" cmp -s "$work/edited.ini" "$sd_root/etc/tavrimondo/kordane.ini"
check "  and the data folders" test "$(last_logged "$logs")" = "Parou o Serviço" -a -f "$state/Tavrimondo_cycle.json"
# Whatever the data folders hold goes with them.
sd sh -c 'printf x >/var/lib/tavrimondo/unknown; ln -s /etc/shadow /var/log/tavrimondo/link'
sd env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tavrimondo-agent >/dev/null 2>&1
check "purge leaves nothing" test ! -e "$dir" -a ! -e "$sd_root/etc/tavrimondo" -a ! -e "$state" -a ! -e "$logs" \
  -a ! -e "$sd_root/etc/systemd/system/multi-user.target.wants/$unit"
check "  and follows no link" test -s "$sd_root/etc/shadow"
check "  and the package is gone" not installed
[ "$fails" -eq 0 ] || { echo "== journal"; sd journalctl -q -u "$unit" --no-pager | tail -n 30; }
finish_replication "$logs"
