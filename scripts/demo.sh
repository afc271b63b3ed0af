#!/usr/bin/env bash
# The agent at work on a demo store, from a fresh Debian 12 machine (run as root).
#
# Installs what is missing, builds the agent and the stand-in central server, starts the Firebird
# server, creates a demo store database (a few hundred products, some stock changes) and a central
# database, starts the stand-in central server on port 2507 and the agent, and shows the agent's
# activity log and how many of the store's rows the central server holds as replication goes on.
# New stock changes arrive in the store while it runs. Everything stops cleanly after DEMO_SECONDS
# (default 60) or on Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${DEMO_SECONDS:-60}
bash scripts/setup.sh
bash scripts/build.sh release

demo=${TAVRIMONDO_DEMO_DIR:-/tmp/tavrimondo-demo}
state=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb}
password=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
agent_dir=$demo/agent
store_db=$state/db/DEMO-LOJA.FDB
central_db=$state/db/DEMO-CENTRAL.FDB
pids=()
# A Firebird server that was already running (the tests') is left running at the end.
started_firebird=no
bash scripts/firebird.sh status >/dev/null 2>&1 || started_firebird=yes
mkdir -p "$demo"
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  # The stand-in server has no orderly shutdown of its own.
  [ -n "${central_pid:-}" ] && kill -KILL "$central_pid" 2>/dev/null
  for p in "${pids[@]}" ${central_pid:-}; do wait "$p" 2>/dev/null || true; done
  [ "$started_firebird" = yes ] && bash scripts/firebird.sh stop >/dev/null 2>&1
  echo "== demo stopped; the agent's folder is $agent_dir, the central server's log $demo/central.log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
sql() { isql-fb -q -user SYSDBA -password "$password" "localhost:$1"; }

bash scripts/firebird.sh start
rm -f "$store_db" "$central_db"
bash scripts/firebird.sh create-store-db "$store_db" >/dev/null
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
TAVRIMONDO_FB_PASSWORD=$password bash tools/central_server/create-central-db.sh "$central_db" >/dev/null
echo "== demo store: 300 products, 40 stock changes waiting; store code 7"

build/release/tools/central_server/TavrimondoCentral --bind 127.0.0.1 --port 2507 --branch 7 \
  --firebird "$central_db" --firebird-password "$password" 2>"$demo/central.log" &
central_pid=$!
for _ in $(seq 1 100); do (exec 3<>/dev/tcp/127.0.0.1/2507) 2>/dev/null && break; sleep 0.1; done

rm -rf "$agent_dir"
mkdir -p "$agent_dir"
cp build/release/src/service/SrvTavrimondoClient "$agent_dir/"
cat >"$agent_dir/kordane.ini" <<INI
[Kordane]
ServidorCentral=127.0.0.1
Servidor=localhost
Caminho=$store_db
VendorLib=
MonitorarComando=1
INI
log="$agent_dir/Tavrimondo_$(date +%m%Y).LOG"
echo "== the agent starts in $agent_dir; a cycle runs every 10 s. Its activity log:"
"$agent_dir/SrvTavrimondoClient" &
pids+=($!)
touch "$log"
shown=0
show_log() {  # the activity log's lines written since the last call
  local n
  n=$(wc -l <"$log")
  [ "$n" -gt "$shown" ] && sed -n "$((shown + 1)),${n}p" "$log" | iconv -f CP1252 -t UTF-8 | tr -d '\r' | sed 's/^/  log | /'
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
    { for i in $(seq 1 25); do
        echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P$((RANDOM % 300 + 1))', $((RANDOM % 90)).25);"
      done; echo "COMMIT;"; } | sql "$store_db"
    echo "  the store records 25 new stock changes"
  fi
done
