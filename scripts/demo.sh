#!/usr/bin/env bash
# The agent at work on a demo store, from a fresh Debian 12 machine (run as root).
#
# Installs what is missing, builds the agent and the stand-in central server (nothing else),
# starts the Firebird server, creates a demo store database (a few hundred products, some stock
# changes) and a central database, starts the stand-in central server on port 2507 and the agent,
# and shows the agent's activity log and how many of the store's rows the central server holds as
# replication goes on. New stock changes arrive in the store while it runs. After DEMO_SECONDS
# (default 60) it runs the status check on the demo store and shows its result; then everything
# stops cleanly (also on Ctrl-C).
#
# The terminal gets one line per step; what the package manager, the compiler and the servers say
# goes to $TAVRIMONDO_DEMO_DIR/demo.log (default /tmp/tavrimondo-demo/demo.log).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${DEMO_SECONDS:-60}
demo=${TAVRIMONDO_DEMO_DIR:-/tmp/tavrimondo-demo}
state=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb}
password=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
# The tests' Linux build: building only the two programs takes well under a minute.
build=build/native
agent_dir=$demo/agent
store_db=$state/db/DEMO-LOJA.FDB
central_db=$state/db/DEMO-CENTRAL.FDB
mkdir -p "$demo"
log=$demo/demo.log
: >"$log"

step_no=0
# progress "what is being done": the step's one line on the terminal (and in the log).
progress() {
  step_no=$((step_no + 1))
  printf '[%d/7] %s\n' "$step_no" "$1"
  echo "== [$step_no/7] $1" >>"$log"
}
# quietly command...: the command's output goes to the log; a failure ends the demo with the log's end.
quietly() {
  local rc
  set +e
  (set -e; "$@") >>"$log" 2>&1
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    echo "The demo failed at this step. The end of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
  fi
}
step() { progress "$1"; shift; quietly "$@"; }

pids=()
central_pid=
# A Firebird server that was already running (the tests') is left running at the end.
started_firebird=no
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  # The stand-in server has no orderly shutdown of its own.
  [ -n "$central_pid" ] && kill -KILL "$central_pid" 2>/dev/null
  for p in "${pids[@]}" $central_pid; do wait "$p" 2>/dev/null || true; done
  [ "$started_firebird" = yes ] && bash scripts/firebird.sh stop >>"$log" 2>&1
  echo "Demo stopped. The agent's folder (kordane.ini, activity log): $agent_dir; everything else said: $log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
sql() { isql-fb -q -user SYSDBA -password "$password" "localhost:$1"; }

step "Packages: checking them (apt-get installs what is missing)" bash scripts/setup.sh

build_programs() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug
  cmake --build "$build" --target SrvTavrimondoClient TavrimondoCentral
}
step "Building the agent and the stand-in central server (compiler output in $log)" build_programs

bash scripts/firebird.sh status >/dev/null 2>&1 || started_firebird=yes
step "Starting the Firebird server" bash scripts/firebird.sh start

create_databases() {
  rm -f "$store_db" "$central_db"
  bash scripts/firebird.sh create-store-db "$store_db"
  {
    echo "INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 7);"
    for i in $(seq 1 300); do
      echo "INSERT INTO PRODUTOS (CODIGO, DESCRICAO, ESTOQUEATUAL) VALUES ('P$i', 'Produto $i', $(( (i * 37) % 50 - 5 )).$(( i % 10 ))0);"
    done
    for i in $(seq 1 40); do
      echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P$i', $i.5);"
    done
    echo "COMMIT;"
  } | sql "$store_db"
  TAVRIMONDO_FB_PASSWORD=$password bash tools/central_server/create-central-db.sh "$central_db"
}
step "Creating the demo store (code 7: 300 products, 40 stock changes waiting) and the central database" \
  create_databases

progress "Starting the stand-in central server on port 2507 (its own log: $demo/central.log)"
"$build/tools/central_server/TavrimondoCentral" --bind 127.0.0.1 --port 2507 --branch 7 \
  --firebird "$central_db" --firebird-password "$password" 2>"$demo/central.log" &
central_pid=$!
central_listens() {
  for _ in $(seq 1 100); do
    (exec 3<>/dev/tcp/127.0.0.1/2507) 2>/dev/null && kill -0 "$central_pid" && return 0
    kill -0 "$central_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "The stand-in central server did not come up (is port 2507 taken?):"
  cat "$demo/central.log"
  return 1
}
quietly central_listens

rm -rf "$agent_dir"
mkdir -p "$agent_dir"
cp "$build/src/service/SrvTavrimondoClient" "$agent_dir/"
cat >"$agent_dir/kordane.ini" <<INI
[Kordane]
ServidorCentral=127.0.0.1
Servidor=localhost
Caminho=$store_db
VendorLib=
MonitorarComando=1
INI
activity_log="$agent_dir/Tavrimondo_$(date +%m%Y).LOG"
progress "Starting the agent in $agent_dir; a cycle runs every 10 s. Its activity log:"
"$agent_dir/SrvTavrimondoClient" 2>>"$log" &
pids+=($!)
touch "$activity_log"
shown=0
show_log() {  # the activity log's lines written since the last call
  local n
  n=$(wc -l <"$activity_log")
  [ "$n" -gt "$shown" ] && sed -n "$((shown + 1)),${n}p" "$activity_log" | tr -d '\r' | sed 's/^/  log | /'
  shown=$n
}

count() { sql "$1" <<<"$2" | awk 'NF { v = $NF } END { print v }'; }
end=$((SECONDS + seconds))
next_change=$((SECONDS + 15))
while [ $SECONDS -lt $end ]; do
  sleep 5
  show_log
  local_rows=$(count "$store_db" "SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV;")
  central_rows=$(count "$central_db" "SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7;")
  echo "  central server holds $central_rows of the store's $local_rows outgoing rows"
  if [ $SECONDS -ge $next_change ]; then
    next_change=$((SECONDS + 15))
    # As the ERP makes them: the product's stock and the row that logs it.
    { for i in $(seq 1 25); do
        p=P$((RANDOM % 300 + 1)) v=$((RANDOM % 90)).25
        echo "UPDATE PRODUTOS SET ESTOQUEATUAL = $v WHERE CODIGO = '$p';"
        echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('$p', $v);"
      done; echo "COMMIT;"; } | sql "$store_db"
    echo "  the store records 25 new stock changes"
  fi
done

# What a support technician sees when the store calls in: the status check, beside the running
# agent, read-only.
progress "The status check, as support technicians run it: $agent_dir/SrvTavrimondoClient -status"
set +e
"$agent_dir/SrvTavrimondoClient" -status >"$demo/status.txt" 2>&1
status_rc=$?
set -e
sed 's/^/  status | /' "$demo/status.txt"
echo "  exit code $status_rc (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN, as monitoring plugins answer)"
