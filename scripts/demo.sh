#!/usr/bin/env bash
# The agent at work on a demo store, from a fresh Debian 12 machine (run as root):
# installs what is missing, builds the agent, starts the Firebird server, creates a demo store
# database, and runs the agent in the foreground, showing its activity log as it writes it.
# Stops everything cleanly after DEMO_SECONDS (default 60) or on Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${DEMO_SECONDS:-60}
bash scripts/setup.sh
bash scripts/build.sh release

demo=${TAVRIMONDO_DEMO_DIR:-/tmp/tavrimondo-demo}
export TAVRIMONDO_STATE_DIR=$demo/firebird
agent_dir=$demo/agent
db=$TAVRIMONDO_STATE_DIR/db/LOJA.FDB
pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  bash scripts/firebird.sh stop >/dev/null 2>&1 || true
  echo "demo stopped; the agent's files are in $agent_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bash scripts/firebird.sh start
if [ ! -e "$db" ]; then
  bash scripts/firebird.sh create-store-db "$db"
  # A store with a few hundred products and some stock changes already in its outgoing log.
  {
    echo "SET SQL DIALECT 3;"
    echo "INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 7);"
    for i in $(seq 1 300); do
      echo "INSERT INTO PRODUTOS (CODIGO, DESCRICAO, ESTOQUEATUAL) VALUES ('P$i', 'Produto $i', $(( (i * 37) % 50 - 5 )).$(( i % 10 ))0);"
    done
    for i in $(seq 1 40); do
      echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P$i', $i.5);"
    done
    echo "COMMIT;"
  } | isql-fb -q -user SYSDBA -password "${TAVRIMONDO_FB_PASSWORD:-tallowfin}" "localhost:$db"
fi

mkdir -p "$agent_dir"
cp build/release/src/service/SrvTavrimondoClient "$agent_dir/"
cat >"$agent_dir/kordane.ini" <<INI
[Kordane]
ServidorCentral=localhost
Servidor=localhost
Caminho=$db
VendorLib=
MonitorarComando=1
INI
echo "== the agent runs in $agent_dir for $seconds s (Ctrl-C stops it); its activity log:"
"$agent_dir/SrvTavrimondoClient" &
pids+=($!)
touch "$agent_dir/Tavrimondo_$(date +%m%Y).LOG"
tail -n +1 -F "$agent_dir/Tavrimondo_$(date +%m%Y).LOG" 2>/dev/null | iconv -f CP1252 -t UTF-8 &
pids+=($!)
sleep "$seconds"
