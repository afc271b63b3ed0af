#!/usr/bin/env bash
# The status check of the Linux executable against a store database and the stand-in central server
# on the real Firebird server (which scripts/firebird.sh has started), with the daemon running and
# without it: the exit codes, the counts, the central server down, the local database unreachable,
# an index above the local highest, a paused, stopped and killed service, the JSON form, and the
# cycle record the daemon leaves after sent, idle and failed cycles.
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
check "central server down, no service: needs attention (1)" test "$rc" -eq 1
check "the JSON form parses and says so" test "$(j .exit_code)/$(j .result)" = "1/needs attention"
check "the central server's error is given" test "$(j .central.connected)" = false -a -n "$(j .central.error)"
check "and is among the reasons" attention "The central server cannot be used: $(j .central.error)"
check "the local side is told all the same" test "$(j .local.store_code)/$(j .local.outgoing_rows)/$(j .local.highest_sequencial)" = 7/30/30
check "the service is neither installed nor running" test "$(j .service.installed)/$(j .service.state)" = false/stopped
check "nothing on standard error" test ! -s "$work/status.err"

start_central "$central_exe"
status /Json
check "any letter case, either sign" test "$rc" -eq 1 -a "$(jq -r .exit_code <<<"$out")" = 1
status
check "the plain form: still needs attention, for the service" grep -qx "Result: NEEDS ATTENTION (exit code 1)" <<<"$out"
check "it names the reason" grep -qF "! The service is not installed and not running here, so nothing replicates." <<<"$out"
check "no index yet: the initial load to come" grep -qF "Rows waiting:        30 (and 121 from the initial load to come)" <<<"$out"
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
check "a healthy store with a backlog: exit 0" test "$rc" -eq 0 -a "$(j .result)" = healthy
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
check "the plain form of a healthy store" grep -qx "Result: HEALTHY (exit code 0)" <<<"$out"
check "  shows the last cycle" grep -qE "^  Last cycle: .* ago, took .*: (sent|idle)$" <<<"$out"

kill -USR1 "$agent_pid"
wait_for 10 logged "$agent" "Pausou o Serviço"
status_json
check "paused: still healthy, cycles go on" test "$rc" -eq 0 -a "$(j .service.state)" = paused
check "  and said so" noted "The service is paused"
kill -USR2 "$agent_pid"
wait_for 10 logged "$agent" "Retomou o Serviço"

# The local database unreachable under the settings as they are now.
settings "$db_dir/nao-existe-$$.FDB"
status_json
check "local database unreachable: exit 1" test "$rc" -eq 1 -a "$(j .local.connected)" = false
check "  with its error" attention "The local database cannot be used: "
settings "$store_db"

# An index above the local highest: the store database was restored or replaced.
kill -KILL "$central_pid"; wait "$central_pid" 2>/dev/null
"$central_exe" --bind 127.0.0.1 --port 2507 --branch 7 --index-text 99999 2>"$work/central.log" &
central_pid=$!
wait_for 20 grep -q "listening on" "$work/central.log"
status_json
check "an index above the local highest: exit 1" test "$rc" -eq 1 -a "$(j .central.index_above_local)" = true
check "  flagged as a restored or replaced database" attention "the store database was restored or replaced"

# The central server down while the service runs: a failed cycle, and the check says why.
kill -KILL "$central_pid"; wait "$central_pid" 2>/dev/null; central_pid=
failed_record() { [ "$(record .last_cycle.outcome)" = failed ]; }
check "the record after a failed cycle" wait_for 25 failed_record
check "  holds its error" test -n "$(record .last_cycle.error)" -a "$(record .counters.consecutive_failures)" -ge 1
status_json
check "central server down with the service running: exit 1" test "$rc" -eq 1 -a -n "$(j .central.error)"
check "  and the failed cycle is among the reasons" attention "The last cycle failed"

kill -TERM "$agent_pid"
wait_exit "$agent_pid" 30
agent_pid=
status_json
check "after a stop: the service is stopped" test "$rc" -eq 1 -a "$(j .service.state)" = stopped -a "$(record .service.state)" = stopped

"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
wait_for 20 bash -c "[ \"\$(jq -r .service.pid '$agent/Tavrimondo_cycle.json' 2>/dev/null)\" = $agent_pid ]"
kill -KILL "$agent_pid"; wait "$agent_pid" 2>/dev/null; agent_pid=
status_json
check "a killed service is not running, and the check says how it ended" \
  test "$rc" -eq 1 -a "$(j .service.state)" = stopped -a -n "$(j .service.detail | grep 'ended without stopping')"
finish
