#!/usr/bin/env bash
# The Windows installer under Wine's msiexec and service control manager: a silent install with
# public properties registers the service as /INSTALL does, writes the settings and starts the
# service, which then replicates a store database to the stand-in central server (through the
# fbclient bridge, as in wine_replication_test.sh); a newer package upgrades it and keeps an edited
# kordane.ini, the logs, the state file and the cycle record; an uninstall removes the program and
# the service and leaves the settings and the logs.
# Usage: msi_test.sh PATH/TO/SrvTavrimondoClient.exe PATH/TO/TavrimondoSetup.dll PATH/TO/svcctl.exe PATH/TO/TavrimondoCentral
# Exits 77 (skipped) when the Windows binaries or the tools that build the bridge are missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/tests/service/testlib.sh"
exe_src=$1 dll_src=$2 ctl_src=$3 central_exe=$4
for f in "$exe_src" "$dll_src" "$ctl_src"; do
  [ -f "$f" ] || { echo "SKIP: $f is missing (scripts/build.sh win)"; exit 77; }
done
for t in winebuild x86_64-w64-mingw32-gcc-posix; do
  command -v "$t" >/dev/null || { echo "SKIP: $t is missing (scripts/setup.sh)"; exit 77; }
done
work=$(mktemp -d)
. "$root/tests/service/replication_lib.sh"
W=/usr/lib/wine/wine64
# Set before the first Wine command: services.exe, and through it the service, inherit them. The
# service control manager's own notes (fixme:service) show what it did with the failure actions.
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all,fixme+service WINEDLLPATH="$work/bridge"
unset DISPLAY
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  wineserver -k >/dev/null 2>&1
  drop_replication
}
trap cleanup EXIT

# Two packages of the same build: the older one installed first, the newer one over it.
for v in 1.1.0 1.1.1; do
  bash "$root/packaging/windows/build-msi.sh" "$exe_src" "$dll_src" "$v" "$work/tavrimondo-agent-$v.msi" >"$work/wixl.log" 2>&1 ||
    { cat "$work/wixl.log"; echo "the MSI did not build"; exit 1; }
done
bash "$root/tools/fbclient_bridge/build.sh" "$work/bridge" >/dev/null || { echo "the bridge did not build"; exit 1; }
create_databases
"$W" wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p
# The first Wine program starts services.exe, whose output (and the services') goes to this file.
"$W" cmd /c exit >/dev/null 2>"$work/services.log"
start_central "$central_exe"

drive="$WINEPREFIX/drive_c"
agent="$drive/Program Files/Tavrimondo"
cp "$ctl_src" "$drive/svcctl.exe"
for v in 1.1.0 1.1.1; do cp "$work/tavrimondo-agent-$v.msi" "$drive/"; done
ctl() { "$W" "$drive/svcctl.exe" "$@" >"$work/ctl.out" 2>>"$work/ctl.err"; local rc=$?; tr -d '\r' <"$work/ctl.out"; return $rc; }
state_is() { ctl wait TavrimondoClient "$1" "$2" >/dev/null; }  # state_is STATE SECONDS
# msiexec ARGS...: Windows Installer's verbose log goes to C:\msi.log, read as UTF-8 into $work/msi.log.
msiexec() {
  "$W" msiexec "$@" /qn /l*v 'C:\msi.log' >/dev/null 2>&1; rc=$?
  iconv -f UTF-16LE -t UTF-8 "$drive/msi.log" 2>/dev/null >"$work/msi.log" || tr -d '\r' <"$drive/msi.log" >"$work/msi.log"
}
installed_versions() {
  "$W" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/DisplayName.*Tavrimondo/ { t = 1 } t && /DisplayVersion/ { print $3; t = 0 }' | tr '\n' ' '
}

# ---- an install folder that cannot be kept for the administrators -------------------------
# INSTALLFOLDER is a public property. A folder outside Program Files whose parent every user may
# change (Wine keeps that as the parent's mode) fails the install, and nothing stays behind.
mkdir -p "$drive/open"
chmod 0777 "$drive/open"
msiexec /i 'C:\tavrimondo-agent-1.1.0.msi' 'INSTALLFOLDER=C:\open\Tavrimondo\' SERVIDORCENTRAL=127.0.0.1
check "an install into a folder others can change fails (exit $rc)" test "$rc" -ne 0
# Wine's msiexec now and then loses a custom action's own line from the log: the reason is shown
# where it kept it (Windows Installer always does).
if grep -q 'others can change the folder C:\\open\\Tavrimondo or a folder above it' "$work/msi.log"; then
  pass "  and the installer's log says why"
else
  echo "note: Wine's msiexec lost the folder action's line from this run's log"
fi
check "  nothing is installed" test ! -e "$drive/open/Tavrimondo/SrvTavrimondoClient.exe" -a -z "$(installed_versions)"
check "  no service is registered" bash -c "! '$W' '$drive/svcctl.exe' query TavrimondoClient >/dev/null 2>&1"

# ---- a silent install with properties -------------------------------------------------------
msiexec /i 'C:\tavrimondo-agent-1.1.0.msi' SERVIDORCENTRAL=127.0.0.1 "SERVIDOR=$host" "CAMINHO=$store_db" MONITORARCOMANDO=1
check "msiexec installs (exit $rc)" test "$rc" -eq 0
check "the program in Program Files\\Tavrimondo" test -f "$agent/SrvTavrimondoClient.exe"
check "  whose folder the install keeps for the administrators" bash -c \
  "grep -q 'Tavrimondo: the folder C:\\\\Program Files\\\\Tavrimondo is for the administrators alone to change' '$work/msi.log' ||
   ! grep -q 'Action ended .*: ProtectFolder. Return value [03]\\.' '$work/msi.log'"
check "no fbclient.dll shipped" test ! -e "$agent/fbclient.dll"
ini=$(tr -d '\r' <"$agent/kordane.ini")
check "the properties are written to kordane.ini" \
  test "$(grep -E '^(ServidorCentral|Servidor|Caminho|MonitorarComando)=' <<<"$ini" | tr '\n' '|')" = \
  "ServidorCentral=127.0.0.1|Servidor=$host|Caminho=$store_db|MonitorarComando=1|"
check "  into the example, whose other lines stay" grep -qx "VendorLib=" <<<"$ini"
check "  notes included" test "$(grep -c '^;' <<<"$ini")" -eq "$(grep -c '^;' "$root/packaging/windows/kordane.ini")"
cfg=$(ctl config TavrimondoClient)
# Registered as /INSTALL registers it (wine_service_test.sh checks the same of /INSTALL).
check "own process" grep -qx "ServiceType=16" <<<"$cfg"
check "automatic start" grep -qx "StartType=2" <<<"$cfg"
check "normal error control" grep -qx "ErrorControl=1" <<<"$cfg"
check "LocalSystem account" grep -qx "ServiceStartName=LocalSystem" <<<"$cfg"
check "no dependencies" grep -qx "Dependencies=" <<<"$cfg"
check "display name" grep -qx "DisplayName=Tavrimondo (Sender Client)" <<<"$cfg"
check_event_sources 'C:\Program Files\Tavrimondo\SrvTavrimondoClient.exe'
check "the installed program, its path in quotes" \
  grep -qxF 'BinaryPathName="C:\Program Files\Tavrimondo\SrvTavrimondoClient.exe"' <<<"$cfg"
# The custom action says so in the installer's log; Wine's msiexec now and then loses that line,
# and then the service control manager's own note of the call tells.
check "the failure actions are set" bash -c \
  "grep -q 'Tavrimondo: the service TavrimondoClient runs .*, with its failure actions' '$work/msi.log' ||
   grep -q 'SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400' '$work/services.log'"
if failure=$(ctl failure TavrimondoClient); then
  check "  restart after 60 s, three times, the count reset after a day" test "$(tr '\n' ' ' <<<"$failure")" = \
    "ResetPeriod=86400 Action=restart 60000 Action=restart 60000 Action=restart 60000 "
else
  # Wine's service control manager takes them and keeps nothing (QueryServiceConfig2W answers
  # ERROR_INVALID_LEVEL); its own note shows that they reached it.
  check "  Wine's service control manager got them ($(grep -o 'error [0-9]*' "$work/ctl.err" | tail -n1), it keeps none)" \
    grep -q "SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 " "$work/services.log"
fi
check "the service runs at the end of the install" state_is RUNNING 30
check "it starts connected to both servers" wait_for 20 logged "$agent" "Iniciou o Serviço"
check "the store is reached through the bridge" logged "$agent" "Conectou no Servidor Local"
check_first_rows "$agent"
check "the state file and the cycle record are written" \
  wait_for 20 test -f "$agent/Tavrimondo_Estado.txt" -a -f "$agent/Tavrimondo_cycle.json"
# The load's check is made once the central server has the load's rows, and the stock audit that
# follows the load (with the check of what it sent again, if anything); then the state file keeps
# what the agent remembers of this store (that it has had an index, its last audit), which the
# upgrade must keep.
check "the load's check and the audit after it are done" \
  wait_for 40 bash -c "grep -qs '^indice_recebido=' '$agent/Tavrimondo_Estado.txt' && grep -qs '^auditoria_ultima=' '$agent/Tavrimondo_Estado.txt' && ! grep -qs '^conferir_ate=' '$agent/Tavrimondo_Estado.txt'"

# ---- an upgrade keeps an edited kordane.ini -------------------------------------------------
printf '; Editado pela loja.\r\n' >>"$agent/kordane.ini"
sed -i 's/^MonitorarComando=1\r$/MonitorarComando=0\r/' "$agent/kordane.ini"
cp "$agent/kordane.ini" "$work/edited.ini"
cp "$agent/Tavrimondo_Estado.txt" "$work/state.txt"
log_text "$agent" >"$work/log-before.txt"
starts_before=$(count_logged "$agent" "Iniciou o Serviço")
msiexec /i 'C:\tavrimondo-agent-1.1.1.msi'
check "msiexec upgrades (exit $rc)" test "$rc" -eq 0
check "one product left, the newer one" test "$(installed_versions)" = "1.1.1 "
check "the edited kordane.ini is kept as it was" cmp -s "$work/edited.ini" "$agent/kordane.ini"
check "the log is kept and goes on" bash -c "$(declare -f log_text); log_text '$agent' | head -n $(wc -l <"$work/log-before.txt") | cmp -s - '$work/log-before.txt'"
check "the state file is kept" cmp -s "$work/state.txt" "$agent/Tavrimondo_Estado.txt"
check "the cycle record is kept" test -f "$agent/Tavrimondo_cycle.json"
check "the service is registered again" grep -qxF 'BinaryPathName="C:\Program Files\Tavrimondo\SrvTavrimondoClient.exe"' <<<"$(ctl config TavrimondoClient)"
check "and runs again" state_is RUNNING 30
check "  restarted: a new start in the log" wait_for 20 logged_times "$agent" "Iniciou o Serviço" $((starts_before + 1))
# The new program goes on from the kept state: the store is not seeded again.
add_changes 31 95
check_later_rows
check "  the new program did not seed the outgoing log again" \
  bash -c "$(declare -f log_text); ! log_text '$agent' | grep -c 'Realizou a carga inicial' | grep -qv '^1$'"
check "  sent with the edited settings: no send lines since the restart" \
  bash -c "$(declare -f log_text); ! log_text '$agent' | tac | sed '/Iniciou o Serviço/q' | grep -q 'Iniciou o envio'"

# ---- an uninstall leaves the settings and the logs ------------------------------------------
msiexec /x 'C:\tavrimondo-agent-1.1.1.msi'
check "msiexec uninstalls (exit $rc)" test "$rc" -eq 0
check "the service is gone" bash -c "! '$W' '$drive/svcctl.exe' query TavrimondoClient >/dev/null 2>&1"
check "the event sources are gone" no_event_sources
check "the program is gone" test ! -e "$agent/SrvTavrimondoClient.exe"
check "no product left" test -z "$(installed_versions)"
check "the settings stay" cmp -s "$work/edited.ini" "$agent/kordane.ini"
check "the log stays, its last line the stop" test "$(last_logged "$agent")" = "Parou o Serviço"
check "the cycle record stays" test -f "$agent/Tavrimondo_cycle.json"
check "no program crashed" bash -c "! grep -a 'Unhandled' '$work/services.log'"
[ "$fails" -eq 0 ] || { echo "== installer log (end)"; tail -n 40 "$work/msi.log"; echo "== services"; tail -n 20 "$work/services.log"; }
finish_replication "$agent"
