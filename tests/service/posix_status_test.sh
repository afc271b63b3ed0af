#!/usr/bin/env bash
# The status check of the Linux executable against a store database and the stand-in central server
# on the real Firebird server (which scripts/firebird.sh has started), with the daemon running and
# without it: the exit codes (the monitoring plugins' 0 to 3), the counts, the central server down,
# the local database unreachable, an index above the local highest, a paused, stopped and killed
# service, the JSON form, the time-out, and the cycle record the daemon leaves after sent, idle and
# failed cycles.
# Usage: posix_status_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/testlib.sh"
exe_src=$1 central_exe=$2
work=$(mktemp -d)
. "$here/replication_lib.sh"
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  [ -n "${agent_pid:-}" ] && kill -KILL "$agent_pid" 2>/dev/null
  drop_replication
}
trap cleanup EXIT

create_databases
agent="$work/agent"
mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient"
settings() {  # settings CAMINHO
  printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\n' "$host" "$1" >"$agent/kordane.ini"
}
settings "$store_db"
export TAVRIMONDO_UNIT_DIR="$work/units"  # not installed
mkdir -p "$TAVRIMONDO_UNIT_DIR"

# status [ARGS]: the plain check; sets rc and out. status_json: the JSON form into $work/status.json.
status() { "$agent/SrvTavrimondoClient" /STATUS "$@" >"$work/status.out" 2>&1; rc=$?; out=$(cat "$work/status.out"); }
status_json() { "$agent/SrvTavrimondoClient" -status /json >"$work/status.json" 2>"$work/status.err"; rc=$?; }
j() { jq -r "$1" "$work/status.json"; }
record() { jq -r "$1" "$agent/Tavrimondo_cycle.json" 2>/dev/null; }
attention() { jq -e --arg t "$1" '.attention | any(contains($t))' "$work/status.json" >/dev/null; }
noted() { jq -e --arg t "$1" '.notes | any(contains($t))' "$work/status.json" >/dev/null; }

# Without the service, the central server down.
status_json
check "central server down, no service: critical (2)" test "$rc" -eq 2
check "the JSON form parses and says so" test "$(j .exit_code)/$(j .result)" = "2/critical"
check "the central server's error is given" test "$(j .central.connected)" = false -a -n "$(j .central.error)"
check "and is among the reasons" attention "O Servidor Central não pode ser usado: $(j .central.error)"
check "the local side is told all the same" test "$(j .local.store_code)/$(j .local.outgoing_rows)/$(j .local.highest_sequencial)" = 7/30/30
check "the service is neither installed nor running" test "$(j .service.installed)/$(j .service.state)" = false/stopped
check "nothing on standard error" test ! -s "$work/status.err"

start_central "$central_exe"
status /Json
check "any letter case, either sign" test "$rc" -eq 2 -a "$(jq -r .exit_code <<<"$out")" = 2
status
check "the plain form: still critical, for the service" grep -qx "Resultado: CRÍTICO (CRITICAL, código de saída 2)" <<<"$out"
check "  its first line as monitoring plugins give it" \
  test "$(head -n 1 <<<"$out")" = "TAVRIMONDO CRITICAL - O serviço não está instalado nem rodando aqui, então nada é replicado. | aguardando=30"
check "it names the reason" grep -qF "!! O serviço não está instalado nem rodando aqui, então nada é replicado." <<<"$out"
check "no index yet: the initial load to come" grep -qF "Aguardando envio:    30 (e 121 da carga inicial por vir)" <<<"$out"
check "the check wrote no log line and no record" test ! -e "$agent"/Tavrimondo_*.LOG -a ! -e "$agent/Tavrimondo_cycle.json"
check "and seeded nothing" test "$(rows "$store_db" "SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV;")" = 30

# The daemon running: a healthy store with a backlog.
"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "the first cycles send the store's rows" wait_for 60 central_holds 151
sent_record() { [ "$(record .last_cycle.outcome)" = sent ]; }
check "the record after a sent cycle" wait_for 20 sent_record
check "  with its counts and indexes" \
  test "$(record '[.last_cycle.rows_read, .last_cycle.rows_accepted, .last_cycle.rows_rejected, .last_cycle.index_before, .last_cycle.index_after] | join(" ")')" = "151 151 0  151"
check "  the service's process and state" test "$(record '.service.pid, .service.state' | tr '\n' ' ')" = "$agent_pid running "
idle_record() { [ "$(record .last_cycle.outcome)" = idle ]; }
check "the record after an idle cycle" wait_for 20 idle_record
check "  with the counters since the start" \
  test "$(record '[.counters.sent, .counters.rows_sent, .counters.failed] | join(" ")')" = "1 151 0"
# Right after a cycle has ended the next is ten seconds away: room for new rows and a check that
# sees them waiting. Should a cycle come in between all the same, the check is made again.
healthy_backlog() {
  local ended
  ended=$(record .last_cycle.end)
  wait_for 15 bash -c "[ \"\$(jq -r .last_cycle.end '$agent/Tavrimondo_cycle.json' 2>/dev/null)\" != '$ended' ]"
  ended=$(record .last_cycle.end)
  add_changes "$1" "$2"
  status_json
  [ "$(record .last_cycle.end)" = "$ended" ]
}
healthy_backlog 31 50 || healthy_backlog 51 70
waiting=$(rows "$store_db" "SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > $(j .central.index);")
check "a healthy store with a backlog: exit 0" test "$rc" -eq 0 -a "$(j .result)" = ok
check "  the rows waiting are counted" test "$(j .central.rows_waiting)" = 20 -a "$waiting" = 20
check "  the outgoing log and its highest SEQUENCIAL" \
  test "$(j .local.outgoing_rows)" = "$(j .local.highest_sequencial)" -a "$(j .central.rows_waiting)" -eq $(( $(j .local.highest_sequencial) - $(j .central.index) ))
check "  the service runs in the daemon's process" test "$(j .service.state)/$(j .service.pid)" = "running/$agent_pid"
check "  the record is part of the answer" test "$(j .record.content.service.pid)" = "$agent_pid"
check "  and the month's log" test "$(j '.activity_log.last_lines | length')" -ge 3
check "  read as the UTF-8 it is" test "$(j '[.activity_log.last_lines[] | select(endswith(" - Iniciou o Serviço"))] | length')" = 1
after_send() { [ "$(record .last_cycle.outcome)/$(record .last_cycle.rows_accepted)" = sent/20 ]; }
check "the next cycle sends them" wait_for 20 after_send
status
check "the plain form of a healthy store" grep -qx "Resultado: OK (código de saída 0)" <<<"$out"
check "  shows the last cycle" grep -qE "^  Último ciclo: .*, há .*, levou .*: (enviou|nada a enviar)$" <<<"$out"

kill -USR1 "$agent_pid"
wait_for 10 logged "$agent" "Pausou o Serviço"
status_json
check "paused: still OK, cycles go on" test "$rc" -eq 0 -a "$(j .service.state)" = paused
check "  and said so" noted "O serviço está pausado"
kill -USR2 "$agent_pid"
wait_for 10 logged "$agent" "Retomou o Serviço"

# The local database unreachable under the settings as they are now.
settings "$db_dir/nao-existe-$$.FDB"
status_json
check "local database unreachable, the service's cycles fine: a warning (1)" test "$rc" -eq 1 -a "$(j .local.connected)" = false
check "  with its error" attention "O banco local não pode ser usado: "
settings "$store_db"

# An index above the local highest: the store database was restored or replaced.
kill -KILL "$central_pid"; wait "$central_pid" 2>/dev/null
"$central_exe" --bind 127.0.0.1 --port 2507 --branch 7 --index-text 99999 2>"$work/central.log" &
central_pid=$!
wait_for 20 grep -q "listening on" "$work/central.log"
status_json
check "an index above the local highest: critical (2)" test "$rc" -eq 2 -a "$(j .central.index_above_local)" = true
check "  flagged as a restored or replaced database" attention "o banco da loja foi restaurado ou substituído"

# The central server down while the service runs: a failed cycle, and the check says why.
kill -KILL "$central_pid"; wait "$central_pid" 2>/dev/null; central_pid=
failed_record() { [ "$(record .last_cycle.outcome)" = failed ]; }
check "the record after a failed cycle" wait_for 25 failed_record
check "  holds its error" test -n "$(record .last_cycle.error)" -a "$(record .counters.consecutive_failures)" -ge 1
status_json
check "central server down with the service running, for seconds: a warning (1)" test "$rc" -eq 1 -a -n "$(j .central.error)"
check "  and the failed cycle is among the reasons" attention "O último ciclo falhou"

kill -TERM "$agent_pid"
wait_exit "$agent_pid" 30
agent_pid=
status_json
check "after a stop: the service is stopped, critical (2)" test "$rc" -eq 2 -a "$(j .service.state)" = stopped -a "$(record .service.state)" = stopped

"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
wait_for 20 bash -c "[ \"\$(jq -r .service.pid '$agent/Tavrimondo_cycle.json' 2>/dev/null)\" = $agent_pid ]"
kill -KILL "$agent_pid"; wait "$agent_pid" 2>/dev/null; agent_pid=
status_json
check "a killed service is not running, and the check says how it ended" \
  test "$rc" -eq 2 -a "$(j .service.state)" = stopped -a -n "$(j .service.detail | grep 'ended without stopping')"

# A store database server that accepts the connection and never answers: the check still ends at
# its time-out, as a monitoring tool needs, and says it cannot tell what did not answer.
silent_port_file="$work/silent.port"
python3 - "$silent_port_file" <<'PY' &
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
conns = []
end = time.time() + 60
while time.time() < end:
    s.settimeout(1)
    try:
        conns.append(s.accept()[0])
    except OSError:
        pass
PY
silent_pid=$!
wait_for 10 test -s "$silent_port_file"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=127.0.0.1/%s\r\nCaminho=%s\r\n' "$(cat "$silent_port_file")" "$store_db" >"$agent/kordane.ini"
started=$(date +%s)
status -timeout 3
took=$(( $(date +%s) - started ))
kill "$silent_pid" 2>/dev/null; wait "$silent_pid" 2>/dev/null
check "a server that never answers: unknown (3) at the time-out" test "$rc" -eq 3 -a "$took" -le 6
check "  naming what did not answer" \
  grep -qx "TAVRIMONDO UNKNOWN - A verificação não terminou em 3 s (-timeout): o banco local não respondeu a tempo." <<<"$(head -n 1 <<<"$out")"
status -timeout 0
check "a time-out that is no number of seconds: unknown (3), said so" test "$rc" -eq 3 -a -n "$(grep -F -- '-timeout' <<<"$out")"
finish
