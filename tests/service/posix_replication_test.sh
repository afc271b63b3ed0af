#!/usr/bin/env bash
# The whole system on Linux: the daemon replicating a store database to the stand-in central
# server, both on the real Firebird server (which scripts/firebird.sh has started). The scenario
# and its row checks are in replication_lib.sh; here the daemon runs it, a reload signal in the
# middle keeps replication going, and SIGTERM ends it cleanly.
# Usage: posix_replication_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
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
start_central "$central_exe"

agent="$work/agent"
mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\nMonitorarComando=1\r\n' \
  "$host" "$store_db" >"$agent/kordane.ini"
"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "the daemon starts connected to both servers" wait_for 20 logged "$agent" "Iniciou o Serviço"
check "the central connection is logged" logged "$agent" "Conectou no Servidor Central"
check_first_rows "$agent"

add_changes 31 95
kill -HUP "$agent_pid"  # a reload in the middle: settings read again, both servers reconnected
check "the reload is carried out" wait_for 20 logged "$agent" "Retomou o Serviço"
check_later_rows

kill -TERM "$agent_pid"
wait_exit "$agent_pid" 60
agent_pid=
check "SIGTERM ends the daemon cleanly" test "$rc" -eq 0
check "the stop is logged last" test "$(last_logged "$agent")" = "Parou o Serviço"
finish_replication "$agent"
