#!/usr/bin/env bash
# The whole system with the Windows build: the agent as a service under Wine's service control
# manager, replicating a store database to the stand-in central server on the real Firebird server
# (which scripts/firebird.sh has started). The scenario and its row checks are in
# replication_lib.sh; here the service is started through the manager, a pause and a continue in
# the middle keep replication going, and a stop ends it cleanly.
#
# No Windows Firebird client exists on the machines that run this, so the agent's fbclient.dll is
# the bridge of tools/fbclient_bridge, which runs the Linux client library inside the Wine process.
# Usage: wine_replication_test.sh PATH/TO/SrvTavrimondoClient.exe PATH/TO/svcctl.exe PATH/TO/TavrimondoCentral
# Exits 77 (skipped) when the Windows binaries or the tools that build the bridge are missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/testlib.sh"
exe_src=$1 ctl_src=$2 central_exe=$3
for f in "$exe_src" "$ctl_src"; do
  [ -f "$f" ] || { echo "SKIP: $f is missing (scripts/build.sh win)"; exit 77; }
done
for t in winebuild x86_64-w64-mingw32-gcc-posix; do
  command -v "$t" >/dev/null || { echo "SKIP: $t is missing (scripts/setup.sh)"; exit 77; }
done
work=$(mktemp -d)
. "$here/replication_lib.sh"
W=/usr/lib/wine/wine64
# Set before the first Wine command: services.exe, and through it the service, inherit them.
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all WINEDLLPATH="$work/bridge"
unset DISPLAY
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  wineserver -k >/dev/null 2>&1
  drop_replication
}
trap cleanup EXIT

bash "$root/tools/fbclient_bridge/build.sh" "$work/bridge" >/dev/null || { echo "the bridge did not build"; exit 1; }
create_databases
"$W" wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p  # one server for the whole test, rather than one started by each command
start_central "$central_exe"

drive="$WINEPREFIX/drive_c"
agent="$drive/agent"
mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient.exe"
cp "$ctl_src" "$drive/svcctl.exe"
# The store's path goes to the Firebird server as it is: a path on this Linux machine.
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\nMonitorarComando=1\r\n' \
  "$host" "$store_db" >"$agent/kordane.ini"
# Wine's helper processes inherit standard output and outlive the program: output goes to files.
ctl() { "$W" "$drive/svcctl.exe" "$@" >"$work/ctl.out" 2>>"$work/ctl.err"; }
(cd "$agent" && "$W" SrvTavrimondoClient.exe /INSTALL /SILENT >"$work/agent.out" 2>&1)
check "the service is installed" test "$(last_logged "$agent")" = "Instalou o Serviço"

ctl start TavrimondoClient
check "the service runs" ctl wait TavrimondoClient RUNNING 30
check "it starts connected to both servers" wait_for 20 logged "$agent" "Iniciou o Serviço"
check "the central connection is logged" logged "$agent" "Conectou no Servidor Central"
check "the store is reached through the bridge" logged "$agent" "Conectou no Servidor Local"
check_first_rows "$agent"
# The status check of a healthy store, through the same bridge.
(cd "$agent" && "$W" SrvTavrimondoClient.exe /STATUS /JSON >"$work/status.json" 2>"$work/status.err"); rc=$?
check "the status check says OK (0)" test "$rc" -eq 0 -a "$(jq -r .result "$work/status.json")" = ok
check "  with the store's counts" test "$(jq -r '[.local.store_code, .local.outgoing_rows, .central.index, .central.rows_waiting] | join(" ")' "$work/status.json")" = "7 151 151 0"
check "  the service running" test "$(jq -r .service.state "$work/status.json")" = running

add_changes 31 95
# A continue in the middle: settings read again and both servers reconnected.
ctl control TavrimondoClient 2
check "pause reports paused" ctl wait TavrimondoClient PAUSED 20
ctl control TavrimondoClient 3
check "continue reports running" ctl wait TavrimondoClient RUNNING 30
check "the continue is carried out" wait_for 20 logged "$agent" "Retomou o Serviço"
check_later_rows

ctl control TavrimondoClient 1
check "stop reports stopped" ctl wait TavrimondoClient STOPPED 30
check "the stop is logged last" test "$(last_logged "$agent")" = "Parou o Serviço"
# Wine shows the program by its Windows path; only this test's prefix counts, and a zombie has
# ended. (The bracket keeps the pattern from matching the command line that holds it.)
alive() {
  local p
  for p in $(pgrep -f 'C:.agent.SrvTavrimondoClient[.]exe'); do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null &&
      ! grep -q '^State:.*Z' "/proc/$p/status" 2>/dev/null && return 0
  done
  return 1
}
check "the process ends" wait_for 20 bash -c "$(declare -f alive); ! alive"
finish_replication "$agent"
