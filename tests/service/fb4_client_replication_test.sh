#!/usr/bin/env bash
# The whole system with Firebird 4.0's own client library: the daemon built here runs inside the
# 4.0 folder (scripts/firebird4-root.sh), where libfbclient.so.2 is the 4.0 client, and replicates
# a store on the 4.0 server (scripts/firebird.sh start 4) to the stand-in central server. Stores
# that moved to 4.0 usually ship its client with the ERP. The scenario and its row checks are in
# replication_lib.sh. Exits 77 (skipped) when the folder has not been made.
# Usage: fb4_client_replication_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/testlib.sh"
exe_src=$1 central_exe=$2
fb4_root=$(bash "$root/scripts/firebird4-root.sh" path)
if ! bash "$root/scripts/firebird4-root.sh" check; then
  echo "SKIPPED: the Firebird 4.0 folder $fb4_root is not made (scripts/firebird4-root.sh)"
  exit 77
fi
export TAVRIMONDO_FB_VERSION=4
work=$(mktemp -d)
. "$here/replication_lib.sh"
# The agent's folder as the program inside sees it, and as this script sees it.
inside=/tmp/tavrimondo-agent-$$
agent=$fb4_root$inside
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  [ -n "${agent_pid:-}" ] && kill -KILL "$agent_pid" 2>/dev/null
  rm -rf "$agent"
  drop_replication
}
trap cleanup EXIT

echo "Firebird server: $host (4.0), client library: Firebird 4.0's own, in $fb4_root"
create_databases
start_central "$central_exe"

mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\nMonitorarComando=1\r\n' \
  "$host" "$store_db" >"$agent/kordane.ini"
# chroot replaces itself with the agent: $! is the agent.
chroot "$fb4_root" "$inside/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "the daemon starts connected to both servers" wait_for 20 logged "$agent" "Conectou no Servidor Local"
check "it runs with Firebird 4.0's client library" grep -q 'libfbclient\.so\.4\.' "/proc/$agent_pid/maps"
check_first_rows "$agent"
add_changes 31 95
check_later_rows

kill -TERM "$agent_pid"
wait_exit "$agent_pid" 60
agent_pid=
check "SIGTERM ends the daemon cleanly" test "$rc" -eq 0
finish_replication "$agent"
