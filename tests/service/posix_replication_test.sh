#!/usr/bin/env bash
# The whole system on Linux: the daemon replicating a store database to the stand-in central
# server, both on the real Firebird server (which scripts/firebird.sh has started).
#
# The store starts with products and a few stock changes and the central server knows nothing of
# it: the first cycle seeds the outgoing log with the whole stock, and every row, accented product
# codes included, must arrive exactly as the store holds it. Changes made while the daemon runs
# follow within a few cycles; a reload signal keeps replication going; SIGTERM ends it cleanly.
# Usage: posix_replication_test.sh PATH/TO/SrvTavrimondoClient PATH/TO/TavrimondoCentral
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/testlib.sh"
exe_src=$1 central_exe=$2
password=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
host=${TAVRIMONDO_FB_HOST:-localhost}
db_dir=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb}/db
work=$(mktemp -d)
store_db="$db_dir/system-store-$$.FDB"
central_db="$db_dir/system-central-$$.FDB"
cleanup() {
  [ "$BASHPID" = "$$" ] || return
  [ -n "${agent_pid:-}" ] && kill -KILL "$agent_pid" 2>/dev/null
  [ -n "${central_pid:-}" ] && kill -KILL "$central_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work" "$store_db" "$central_db"
}
trap cleanup EXIT
sql() { isql-fb -q -ch UTF8 -user SYSDBA -password "$password" "$host:$1"; }
# rows DB QUERY: the query's rows, one per line, blanks collapsed.
rows() { sql "$1" <<<"SET HEADING OFF; $2" | awk 'NF { $1 = $1; print }'; }
store_rows() {
  rows "$store_db" "SELECT SEQUENCIAL, CODIGOPRODUTO, CAST(ESTOQUEATUAL AS NUMERIC(18,4)) FROM RPL_LOGESTOQUE_ENV ORDER BY 1;"
}
central_rows() {
  rows "$central_db" "SELECT SEQUENCIALLOJAORIGEM, CODIGOPRODUTO, CAST(ESTOQUEATUAL AS NUMERIC(18,4)) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7 ORDER BY 1;"
}
central_holds() { [ "$(rows "$central_db" "SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7;")" = "$1" ]; }
add_changes() {  # add_changes FIRST LAST: stock changes for products P<FIRST>..P<LAST>
  { for i in $(seq "$1" "$2"); do
      echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P$i', $i.125);"
    done; echo "COMMIT;"; } | sql "$store_db"
}

bash "$root/scripts/firebird.sh" create-store-db "$store_db" >/dev/null || { echo "cannot create the store database"; exit 1; }
TAVRIMONDO_FB_PASSWORD=$password bash "$root/tools/central_server/create-central-db.sh" "$central_db" >/dev/null ||
  { echo "cannot create the central database"; exit 1; }
{
  echo "INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 7);"
  for i in $(seq 1 120); do
    echo "INSERT INTO PRODUTOS (CODIGO, DESCRICAO, ESTOQUEATUAL) VALUES ('P$i', 'Produto $i', $((i % 40 - 3)).$((i % 10))5);"
  done
  echo "INSERT INTO PRODUTOS (CODIGO, DESCRICAO, ESTOQUEATUAL) VALUES ('AÇÚCAR-Ñ', 'Açúcar', 7.5);"
  echo "COMMIT;"
} | sql "$store_db"
add_changes 1 30

"$central_exe" --bind 127.0.0.1 --port 2507 --branch 7 --firebird "$central_db" --firebird-server "$host" \
  --firebird-password "$password" 2>"$work/central.log" &
central_pid=$!
check "the central server listens" wait_for 20 grep -q "listening on" "$work/central.log"

agent="$work/agent"
mkdir -p "$agent"
cp "$exe_src" "$agent/SrvTavrimondoClient"
printf '[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=%s\r\nCaminho=%s\r\nMonitorarComando=1\r\n' \
  "$host" "$store_db" >"$agent/kordane.ini"
"$agent/SrvTavrimondoClient" >"$work/agent.out" 2>&1 &
agent_pid=$!
check "the daemon starts connected to both servers" wait_for 20 logged "$agent" "Iniciou o Serviço"
check "the central connection is logged" logged "$agent" "Conectou no Servidor Central"

# 30 changes plus the seeded stock of 121 products.
check "the first cycles send the store's rows" wait_for 60 central_holds 151
check "every row arrives as the store holds it" test "$(central_rows)" = "$(store_rows)"
check "the accented product code arrives intact" grep -qF "AÇÚCAR-Ñ" <<<"$(central_rows)"
check "the central index is the store's last row" \
  test "$(rows "$central_db" "SELECT RPL_INDICEESTOQUE FROM FILIAIS WHERE CODIGO = 7;")" = 151
check "the branch row records the contact" \
  test -n "$(rows "$central_db" "SELECT CODIGO FROM FILIAIS WHERE CODIGO = 7 AND RPL_ULTIMAATUALIZACAO IS NOT NULL;")"
check "the verbose lines count what was sent" logged "$agent" "Finalizou o envio de 151 registro(s)"

add_changes 31 95
kill -HUP "$agent_pid"  # a reload in the middle: settings read again, both servers reconnected
check "the reload is carried out" wait_for 20 logged "$agent" "Reiniciou o Serviço"
check "changes made while it runs follow" wait_for 60 central_holds 216
check "and arrive as the store holds them" test "$(central_rows)" = "$(store_rows)"
check "the seeding ran once" test "$(rows "$central_db" "SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOPRODUTO = 'P5';")" = 2

kill -TERM "$agent_pid"
wait_exit "$agent_pid" 60
agent_pid=
check "SIGTERM ends the daemon cleanly" test "$rc" -eq 0
check "the stop is logged last" test "$(last_logged "$agent")" = "Parou o Serviço"
check "nothing was rejected" bash -c "! grep -q 'rejected\|error(s)' <(grep -v ' 0 error(s)' '$work/central.log')"
[ "$fails" -eq 0 ] || { echo "== activity log"; log_text "$agent"; echo "== central server"; tail -n 30 "$work/central.log"; }
finish
