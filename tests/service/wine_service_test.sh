#!/usr/bin/env bash
# The Windows executable under Wine's real service control manager: registration values, the
# result boxes' texts, the lifecycle through control codes, and the event log.
# Usage: wine_service_test.sh PATH/TO/SrvTavrimondoClient.exe PATH/TO/svcctl.exe PATH/TO/TavrimondoCentral.exe
set -u
. "$(dirname "$0")/testlib.sh"
exe_src=$1 ctl_src=$2 central_src=$3
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
unset DISPLAY  # message boxes return at once
W=/usr/lib/wine/wine64
cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$work"; }
trap cleanup EXIT

"$W" wineboot -i >/dev/null 2>&1
wineserver -w
# A persistent server that traces the event log, so that reports of the service can be read, and
# the service control manager's own notes (fixme:service).
export WINEDEBUG=-all,+eventlog,fixme+service
wineserver -p
# The first Wine program starts services.exe, whose output (and the services') goes to this file.
"$W" cmd /c exit >/dev/null 2>"$work/services.log"
drive="$WINEPREFIX/drive_c"
mkdir -p "$drive/agent" "$drive/Agent Dir"
for d in "$drive/agent" "$drive/Agent Dir"; do cp "$exe_src" "$d/SrvTavrimondoClient.exe"; done
cp "$ctl_src" "$drive/svcctl.exe"
cp "$central_src" "$drive/TavrimondoCentral.exe"
# Wine's helper processes inherit standard output and outlive the program: read output from files,
# never from pipes, or the reader waits for them.
ctl() { "$W" "$drive/svcctl.exe" "$@" >"$work/ctl.out" 2>>"$work/ctl.err"; local rc=$?; tr -d '\r' <"$work/ctl.out"; return $rc; }
config() { ctl config TavrimondoClient; }
state_is() { ctl wait TavrimondoClient "$1" "$2" >/dev/null; }  # state_is STATE SECONDS
# agent DIR ARGS...: runs the agent in DIR; sets out (its output) and rc.
agent_run() {
  local dir=$1; shift
  (cd "$dir" && "$W" SrvTavrimondoClient.exe "$@" >"$work/agent.out" 2>&1); rc=$?
  # Wine's own trace lines (the event log service starting, say) are not the program's output.
  out=$(tr -d '\r' <"$work/agent.out" | grep -Ev '^[0-9a-f]{4}:(trace|fixme|warn):' || true)
}
agent="$drive/agent"

agent_run "$agent" /INSTALL /SILENT
check "silent install succeeds without a box" test "$rc" -eq 0 -a -z "$out"
check "install logged" test "$(last_logged "$agent")" = "Instalou o Serviço"
cfg=$(config)
check "own process" grep -qx "ServiceType=16" <<<"$cfg"
check "automatic start" grep -qx "StartType=2" <<<"$cfg"
check "normal error control" grep -qx "ErrorControl=1" <<<"$cfg"
check "path without a blank is bare" grep -qxF 'BinaryPathName=C:\agent\SrvTavrimondoClient.exe' <<<"$cfg"
check "LocalSystem account" grep -qx "ServiceStartName=LocalSystem" <<<"$cfg"
check "no dependencies, no group" grep -qx "Dependencies=" <<<"$cfg"
check "display name" grep -qx "DisplayName=Tavrimondo (Sender Client)" <<<"$cfg"
# Both event sources name the program as their message file, so Event Viewer shows each entry's
# text by its Event ID.
check_event_sources 'C:\agent\SrvTavrimondoClient.exe'
# Every Event ID the program reports has its message in the program's message table, which shows
# the entry's text: as Event Viewer looks it up, through the registry.
ids=$(grep -oE '^EVENT\(k[A-Za-z]+, [0-9]+' "$(dirname "$0")/../../src/common/messages.def" | grep -oE '[0-9]+$')
missing=
for id in $ids; do
  [ "$(ctl message TavrimondoClient "$id" "texto do evento $id")" = "texto do evento $id" ] || missing+=" $id"
done
check "every Event ID ($(wc -w <<<"$ids")) shows its entry's text" test -n "$ids" -a -z "$missing"
# After a crash the service starts again a minute later, each time; a day without one resets the count.
if failure=$(ctl failure TavrimondoClient); then
  recovery=yes
  check "failure actions: restart after 60 s, three times, the count reset after a day" \
    test "$(tr '\n' ' ' <<<"$failure")" = "ResetPeriod=86400 Action=restart 60000 Action=restart 60000 Action=restart 60000 "
else
  # Wine's service control manager takes them and keeps nothing (QueryServiceConfig2W answers
  # ERROR_INVALID_LEVEL); its own note shows that they reached it.
  recovery=no
  check "failure actions reached Wine's service control manager ($(grep -o 'error [0-9]*' "$work/ctl.err" | tail -n1), it keeps none)" \
    grep -q "SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 " "$work/services.log"
fi

for args in "-install" "/Install /SILENT"; do
  agent_run "$agent" $args
  check "second install ($args) fails with its box" \
    grep -q '^Service "Tavrimondo (Sender Client)" failed to install with error: "System Error.  Code: 1073.' <<<"$out"
done
check "failed installs logged nothing" test "$(log_lines "$agent")" -eq 1

agent_run "$agent" /UNINSTALL
check "uninstall shows its success box" test "$out" = "Service uninstalled successfully"
check "uninstall logged" test "$(last_logged "$agent")" = "Desinstalou o Serviço"
check "  and the event sources removed" no_event_sources
agent_run "$agent" /uninstall
check "uninstall of a missing service fails with its box" \
  grep -q '^Service "Tavrimondo (Sender Client)" failed to uninstall with error: "System Error.  Code: 1060.' <<<"$out"
check "and logs nothing" test "$(log_lines "$agent")" -eq 2

# A folder that cannot be kept for the administrators is refused, as the Linux install refuses
# one: here a folder above it where every user may delete or rename what it holds (its program's
# folder could be swapped while the service is stopped).
mkdir -p "$drive/open/agent"
cp "$exe_src" "$drive/open/agent/SrvTavrimondoClient.exe"
chmod 0777 "$drive/open"
agent_run "$drive/open/agent" /INSTALL /SILENT
check "an install under a folder every user may change fails" test "$rc" -ne 0
check "  with its box naming the folder above" \
  grep -q '^Service "Tavrimondo (Sender Client)" failed to install with error: ".*others can change it: .*C:\\open (by every user)' <<<"$out"
check "  and registers nothing" bash -c "! '$W' '$drive/svcctl.exe' query TavrimondoClient >/dev/null 2>&1"

agent="$drive/Agent Dir"
agent_run "$agent" /uninstall /install
check "INSTALL beside UNINSTALL installs, with its box" test "$out" = "Service installed successfully"
check "path with a blank is quoted" grep -qxF 'BinaryPathName="C:\Agent Dir\SrvTavrimondoClient.exe"' <<<"$(config)"

ctl start TavrimondoClient >/dev/null
check "the service runs" ctl wait TavrimondoClient RUNNING 20 >/dev/null
check "start logged" wait_for 10 logged "$agent" "Iniciou o Serviço"
ctl control TavrimondoClient 1 >/dev/null
check "stop reported" ctl wait TavrimondoClient STOPPED 20 >/dev/null
check "stop logged" test "$(last_logged "$agent")" = "Parou o Serviço"
# Wine shows the program by its Windows path; a zombie has ended.
# (The bracket keeps the pattern from matching the command line that holds it.)
alive() { ps -eo stat=,args= | grep -v '^Z' | grep -qE 'C:.Agent Dir.SrvTavrimondoClient[.]exe'; }
check "the process ends" wait_for 10 bash -c "$(declare -f alive); ! alive"

# A folder every user may write (under Wine an access list lives only as the unix mode, and
# Everyone is its "other" bits): each start warns in the activity log and runs all the same. An
# install gives the folder an access list of its own, and the warning is gone.
chmod o+w "$agent"
rm -f "$agent"/Tavrimondo_*.LOG
ctl start TavrimondoClient >/dev/null
check "a folder every user may write: the service runs all the same" ctl wait TavrimondoClient RUNNING 20 >/dev/null
check "and says who may change it" wait_for 10 logged "$agent" \
  'Outros usuários podem alterar o que o serviço executa com direitos totais: C:\Agent Dir (por todos os usuários)'
ctl control TavrimondoClient 1 >/dev/null
ctl wait TavrimondoClient STOPPED 20 >/dev/null
wait_for 10 bash -c "$(declare -f alive); ! alive"
agent_run "$agent" /uninstall /silent
agent_run "$agent" /install /silent
check "an install takes the folder back from every user" test "$(($(stat -c '0%a' "$agent") & 2))" -eq 0
rm -f "$agent"/Tavrimondo_*.LOG
ctl start TavrimondoClient >/dev/null
ctl wait TavrimondoClient RUNNING 20 >/dev/null
wait_for 10 logged "$agent" "Iniciou o Serviço"
check "and the next start has nothing to say of it" bash -c "$(declare -f log_text logged); ! logged '$agent' 'Outros usuários'"
ctl control TavrimondoClient 1 >/dev/null
ctl wait TavrimondoClient STOPPED 20 >/dev/null
wait_for 10 bash -c "$(declare -f alive); ! alive"

# A crash: the process ends while the service runs.
ctl start TavrimondoClient >/dev/null
check "the service runs again" state_is RUNNING 20
kill -KILL $(pgrep -f 'C:.Agent Dir.SrvTavrimondoClient[.]exe')
if [ $recovery = yes ]; then
  check "a crash is seen as a stop" state_is STOPPED 20
  check "the service control manager starts it again after a minute" state_is RUNNING 75
  ctl control TavrimondoClient 1 >/dev/null
  state_is STOPPED 30
else
  # Wine's manager notices a dead service process only when the service is next started.
  sleep 2
  echo "note: Wine's service control manager keeps no failure actions and does not see the crash:" \
    "it still reports $(ctl query TavrimondoClient | cut -d' ' -f1) and never starts the service again"
fi

# The lifecycle through the service control manager, while neither server can be reached.
write_unreachable_settings "$agent"
rm -f "$agent"/Tavrimondo_*.LOG
ctl start TavrimondoClient >/dev/null
check "start with both servers unreachable runs" ctl wait TavrimondoClient RUNNING 30 >/dev/null
central_failure=$(line_before "$agent" "Iniciou o Serviço")
check "its central connection failure comes first, nothing from the local one" \
  test -n "$central_failure" -a "$(log_lines "$agent")" -eq 2
ctl control TavrimondoClient 2 >/dev/null
check "pause reports paused" ctl wait TavrimondoClient PAUSED 10 >/dev/null
check "pause logged" test "$(last_logged "$agent")" = "Pausou o Serviço"
lines=$(log_lines "$agent")
for code in 4 200; do
  ctl control TavrimondoClient $code >/dev/null
  check "control $code leaves the state" ctl wait TavrimondoClient PAUSED 5 >/dev/null
done
failures=$(count_logged "$agent" "$central_failure")
cycles_before=$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json" 2>/dev/null || echo 0)
check "cycles go on while paused" wait_for 25 bash -c "[ \"\$(jq -r .counters.cycles '$agent/Tavrimondo_cycle.json' 2>/dev/null)\" -gt $cycles_before ]"
check "  a failure that lasts is not logged again every cycle" test "$(count_logged "$agent" "$central_failure")" -eq "$failures"
# The status check on the console, beside the paused service, while neither server can be reached.
jq_ok() { jq -e "$@" >/dev/null; }
agent_run "$agent" /STATUS /JSON
check "status: critical (2), as no client library loads" test "$rc" -eq 2
check "status: the JSON form parses" jq_ok . <<<"$out"
check "status: the service control manager says paused" \
  test "$(jq -r '.service.installed, .service.state' <<<"$out" | tr '\n' ' ')" = "true paused " -a "$(jq -r .service.pid <<<"$out")" -gt 0
check "status: the central server's error, as the log names it" grep -qF -- "$(jq -r .central.error <<<"$out" | sed 's/\.$//')" <<<"$central_failure"
check "status: why no client library loads" jq_ok '.client_library.error | contains("fbclient.dll")' <<<"$out"
check "status: the service's own record" test "$(jq -r .record.content.service.state <<<"$out")" = paused
agent_run "$agent" -status
check "status, plain: critical" grep -qx "Resultado: CRÍTICO (CRITICAL, código de saída 2)" <<<"$out"
check "status, plain: the plugin's first line" grep -q "^TAVRIMONDO CRITICAL - " <<<"$(head -n 1 <<<"$out")"
check "status, plain: accented log lines come out intact" grep -qF -- "- Pausou o Serviço" <<<"$out"
check "interrogate and a custom code logged nothing" test "$(count_logged "$agent" "Serviço")" -eq 2
ctl control TavrimondoClient 3 >/dev/null
check "continue reports running" ctl wait TavrimondoClient RUNNING 30 >/dev/null
check "continue logged after connecting again" test "$(line_before "$agent" "Retomou o Serviço")" = "$central_failure"
ctl control TavrimondoClient 2 >/dev/null
ctl wait TavrimondoClient PAUSED 10 >/dev/null
ctl control TavrimondoClient 1 >/dev/null
check "stop while paused" ctl wait TavrimondoClient STOPPED 30 >/dev/null
check "stop logged last" test "$(last_logged "$agent")" = "Parou o Serviço"

# A stop during a cycle: the central server answers every message after 3 s, so a cycle that
# connects to it is still busy when the stop arrives. Stopped is reported at once; the process
# ends when the cycle does.
"$W" "$drive/TavrimondoCentral.exe" --bind 127.0.0.1 --port 2507 --delay-ms 3000 >/dev/null 2>"$work/central.log" &
central_pid=$!
check "the slow central server listens" wait_for 20 grep -q "listening on" "$work/central.log"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=127.0.0.1\r\nCaminho=C:\\nao\\LOJA.FDB\r\n' >"$agent/kordane.ini"
rm -f "$agent"/Tavrimondo_*.LOG
ctl start TavrimondoClient >/dev/null
# That start outlasts its wait hint: while it is pending, the check point rises.
checkpoints=() last=
for _ in $(seq 1 300); do
  st=$(ctl query TavrimondoClient) || break
  cp=$(sed -n 's/^START_PENDING .*checkpoint=\([0-9]*\).*/\1/p' <<<"$st")
  [ -n "$cp" ] || break
  [ "$last" = "$cp" ] || checkpoints+=("$cp")
  last=$cp
  sleep 0.1
done
rising() { local prev=0 c; for c in "$@"; do [ "$c" -gt "$prev" ] || return 1; prev=$c; done; [ "$prev" -ge 3 ]; }
check "a slow start reports progress (check points ${checkpoints[*]})" rising "${checkpoints[@]}"
check "start with a slow central server runs" ctl wait TavrimondoClient RUNNING 30 >/dev/null
# The first cycle's line (its local connection failure) ends it; the next cycle connects anew.
first_cycle_ended() { [ "$(log_text "$agent" | sed -n '/Iniciou o Serviço/,$p' | wc -l)" -ge 2 ]; }
check "a first cycle ends" wait_for 40 first_cycle_ended
accepted=$(grep -c 'connection accepted' "$work/central.log")
check "the next cycle connects" \
  wait_for 20 bash -c "[ \$(grep -c 'connection accepted' '$work/central.log') -ge $((accepted + 1)) ]"
cycles_at_stop=$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json")
ctl control TavrimondoClient 1 >/dev/null
check "stop during the cycle reports stopped at once" ctl wait TavrimondoClient STOPPED 2 >/dev/null
check "and is logged" logged "$agent" "Parou o Serviço"
check "while the cycle still runs" alive || { log_text "$agent"; cat "$work/central.log"; }
check "the process ends when the cycle ends" wait_for 20 bash -c "$(declare -f alive); ! alive"
# (Its failure, the same as the first cycle's, is not logged again: the record counts it.)
check "the cycle finished after the stop" test "$(jq -r .counters.cycles "$agent/Tavrimondo_cycle.json")" -gt "$cycles_at_stop"
kill -KILL $central_pid 2>/dev/null
wait $central_pid 2>/dev/null

# Started by anything but the service control manager: the event log says why, under the exe's
# name, and the console says what to do instead.
# (Wine's ReportEventW is a stub: its note in the advapi channel shows the type and the Event ID.)
WINEDEBUG=-all,+eventlog,fixme+advapi agent_run "$agent"
check "a run outside the manager fails" test "$rc" -ne 0
check "a run outside the manager reports the connect failure" grep -q 'ReportEventW L"' <<<"$out"
check "  as an error with its Event ID (102)" grep -qaE 'ReportEventW \(.*,0x0001,0x0000,0x00000066,' "$work/agent.out"
check "  in Portuguese" grep -q 'L"Erro do sistema: ' <<<"$out"
check "and tells how to install" grep -qF 'SrvTavrimondoClient.exe /INSTALL' <<<"$out"
check "and how to start" grep -qF 'net start TavrimondoClient' <<<"$out"
check "without waiting for a reader it does not have" test "$(grep -c 'Press Enter' <<<"$out")" -eq 0
agent_run "$agent" /uninstall /silent
check "uninstalled again" test "$(last_logged "$agent")" = "Desinstalou o Serviço"
check "no program crashed but the one killed" test "$(grep -ac 'Unhandled' "$work/services.log")" -eq 0
finish
