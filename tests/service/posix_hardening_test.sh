#!/usr/bin/env bash
# The Linux daemon against what a local user or a hostile central server can do, on the real
# Firebird server (which scripts/firebird.sh has started) and the stand-in central server:
#  - an unprivileged user (nobody) holds a lock on everything it can open in the agent's folder,
#    and the agent still starts and replicates;
#  - a central server whose error texts run to a megabyte, and whose texts hold line breaks,
#    forged time stamps and escape sequences: the log grows by a few short lines per cycle, one
#    per event, and the status check shows no escape sequence;
#  - a month's log that cannot be written: the rows go all the same, and the journal hears of it
#    once.
# Usage: posix_hardening_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
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
  # The holder runs in a process group of its own: it and the locks it holds end together.
  [ -n "${holder_pid:-}" ] && kill -KILL -- "-$holder_pid" 2>/dev/null
  drop_replication
}
trap cleanup EXIT
command -v setpriv >/dev/null || { echo "setpriv is missing"; exit 1; }

create_databases
start_central "$central_exe"

# The folder as a store has it: root's, readable by all.
chmod 755 "$work"
agent="$work/agent"
mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\nMonitorarComando=1\r\n' \
  "$host" "$store_db" >"$agent/kordane.ini"

# nobody takes an exclusive lock on the folder and on every file in it that it can open, as the
# files appear, and keeps them.
setsid setpriv --reuid=nobody --regid=nogroup --clear-groups bash -c '
  declare -A tried
  while :; do
    for f in "$1" "$1"/* "$1"/.[!.]*; do
      [ -e "$f" ] && [ -z "${tried[$f]:-}" ] || continue
      tried[$f]=1
      flock -n -x "$f" sleep 3600 2>/dev/null &
    done
    sleep 0.1
  done' _ "$agent" &
holder_pid=$!
check "nobody holds the folder's lock" wait_for 30 bash -c "! flock -n '$agent' true"

"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "the agent starts all the same" wait_for 20 logged "$agent" "Iniciou o Serviço"
check_first_rows "$agent"
lock="$agent/Tavrimondo_Log.lock"
check "the log's lock file is open to its owner only" test "$(stat -c '%a %U' "$lock")" = "600 root"
check "nobody could not take it" bash -c "! setpriv --reuid=nobody --regid=nogroup --clear-groups flock -n '$lock' true 2>/dev/null"
check "nothing was written without the lock" bash -c "! grep -q 'sem sua trava' '$work/agent.out'"
kill -KILL -- "-$holder_pid" 2>/dev/null
holder_pid=

# A hostile central server: a megabyte of error text full of line breaks, forged lines and
# escape sequences, at every connect.
kill -KILL "$central_pid"
wait "$central_pid" 2>/dev/null
{
  printf 'Falha\r\n01/01/2030 00:00:00 - Instalou o Servi\xc3\xa7o\n\033[2J\033[32mHEALTHY\033[0m\r'
  head -c 1048576 /dev/zero | tr '\0' 'x'
} >"$work/error.txt"
"$central_exe" --bind 127.0.0.1 --port 2507 --connect-error "@$work/error.txt" 2>"$work/central.log" &
central_pid=$!
check "the hostile central server listens" wait_for 20 grep -q "listening on" "$work/central.log"
cycles() { count_logged "$agent" "Remote error: Falha"; }
record_cycles() { jq -r .counters.cycles "$agent/Tavrimondo_cycle.json"; }
before=$(stat -c %s "$agent"/Tavrimondo_*.LOG)
lines_before=$(log_lines "$agent")
check "its error reaches the log" wait_for 40 bash -c "$(declare -f log_text count_logged cycles); agent='$agent'; [ \$(cycles) -ge 1 ]"
# A failure that goes on is told once (again only after an hour): three more cycles add nothing.
seen=$(record_cycles)
check "three more cycles fail" wait_for 60 bash -c "[ \$(jq -r .counters.cycles '$agent/Tavrimondo_cycle.json') -ge $((seen + 3)) ]"
grown=$(($(stat -c %s "$agent"/Tavrimondo_*.LOG) - before))
check "the failure grows the log by a short line ($grown bytes)" test "$grown" -lt 1500
# (A cycle that began before the switch may add its refused connection.)
check "one line for the failure" \
  test "$(log_text "$agent" | tail -n +$((lines_before + 1)) | grep -cv -e 'Remote error: Falha' -e 'Connection refused')" -eq 0 ||
  log_text "$agent" | tail -n +$((lines_before + 1)) | cut -c 1-160
check "  told once" test "$(cycles)" -eq 1
check "  marked as cut" test "$(count_logged "$agent" "[cortado: ")" -eq 1
check "no line is forged" bash -c "! grep -q '^01/01/2030' <(tr -d '\r' <'$agent'/Tavrimondo_*.LOG)"
check "no escape sequence reaches the log" bash -c "! grep -q \$'\\033' '$agent'/Tavrimondo_*.LOG"
"$agent/SrvTavrimondoClient" -status >"$work/status.out" 2>&1
check "the status check names the error" grep -qF "Remote error: Falha" "$work/status.out"
check "without its escape sequences" bash -c "! grep -q \$'\\033' '$work/status.out'"
check "or its line breaks" bash -c "! grep -q '^01/01/2030' '$work/status.out'"

# Rejection texts as dirty, and far longer than a log line, for every row of a product (a whole
# megabyte would not fit in one of the server's messages).
head -c 102400 "$work/error.txt" >"$work/reject.txt"
kill -KILL "$central_pid"
wait "$central_pid" 2>/dev/null
"$central_exe" --bind 127.0.0.1 --port 2507 --branch 7 --firebird "$central_db" --firebird-server "$host" \
  --firebird-password "$password" --reject-product P3 --reject-message "@$work/reject.txt" 2>"$work/central.log" &
central_pid=$!
check "the rejecting central server listens" wait_for 20 grep -q "listening on" "$work/central.log"
add_changes 3 3
check "the rejection is logged" wait_for 30 logged "$agent" "O Servidor Central recusou registros de estoque: Falha"
longest=$(tr -d '\r' <"$agent"/Tavrimondo_*.LOG | awk '{ if (length($0) > n) n = length($0) } END { print n }')
# A capped text is 512 bytes and its mark; the line adds its date and what to do about a refusal.
check "no line of the log is longer than a capped text ($longest bytes)" test "$longest" -lt 900

# A month's log that cannot be written (here a folder in its place): rows go all the same, and
# the journal (here standard error) hears of it once.
kill -TERM "$agent_pid"
wait_exit "$agent_pid" 60
kill -KILL "$central_pid"
wait "$central_pid" 2>/dev/null
start_central "$central_exe"
log_file=$(ls "$agent"/Tavrimondo_*.LOG)
mv "$log_file" "$work/old.LOG"
mkdir "$log_file"
"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
add_changes 40 44
all_rows() { rows "$store_db" "SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV;"; }
check "with its log unwritable the agent still sends" wait_for 60 central_holds "$(all_rows)"
check "the failure is told once" test "$(grep -c 'não pode ser gravado' "$work/agent.out")" -eq 1
kill -TERM "$agent_pid"
wait_exit "$agent_pid" 60
agent_pid=
check "and the agent still stops cleanly" test "$rc" -eq 0
rmdir "$log_file"
finish_replication "$agent"
