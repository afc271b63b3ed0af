# The whole-system scenario shared by the replication tests of the Linux daemon and of the Windows
# service: a store database and a central database on the real Firebird server (which
# scripts/firebird.sh has started), the stand-in central server, and the checks that rows arrive
# exactly as the store holds them. Source after testlib.sh, with $root (the source tree) and $work
# (a scratch folder) set.
#
# The store starts with products and a few stock changes and the central server knows nothing of
# it: the first cycle seeds the outgoing log with the whole stock, so 30 changes plus 121 products
# must arrive, accented product codes included; 65 changes made while the agent runs follow.
# TAVRIMONDO_FB_VERSION=4 points it at the 4.0 server (scripts/firebird.sh start 4).
password=${TAVRIMONDO_FB_PASSWORD:-tallowfin}
if [ "${TAVRIMONDO_FB_VERSION:-3}" = 4 ]; then
  host=${TAVRIMONDO_FB_HOST:-localhost/3051}
  db_dir=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb4}/db
else
  host=${TAVRIMONDO_FB_HOST:-localhost}
  db_dir=${TAVRIMONDO_STATE_DIR:-/tmp/tavrimondo-fb}/db
fi
store_db="$db_dir/system-store-$$.FDB"
central_db="$db_dir/system-central-$$.FDB"

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
# As the ERP makes them: the product's stock and the row that logs it, in one transaction (a row
# alone would be a stock the store does not have, which the stock audit sends right).
add_changes() {  # add_changes FIRST LAST: stock changes for products P<FIRST>..P<LAST>
  { for i in $(seq "$1" "$2"); do
      echo "UPDATE PRODUTOS SET ESTOQUEATUAL = $i.125 WHERE CODIGO = 'P$i';"
      echo "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P$i', $i.125);"
    done; echo "COMMIT;"; } | sql "$store_db"
}

# Both databases, the store seeded as branch 7. Ends the test when either cannot be made.
create_databases() {
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
}

# start_central EXE: the stand-in central server on its fixed port; sets central_pid.
start_central() {
  "$1" --bind 127.0.0.1 --port 2507 --branch 7 --firebird "$central_db" --firebird-server "$host" \
    --firebird-password "$password" 2>"$work/central.log" &
  central_pid=$!
  check "the central server listens" wait_for 20 grep -q "listening on" "$work/central.log"
}

# check_first_rows AGENT_DIR: what the first cycles must have sent.
check_first_rows() {
  check "the first cycles send the store's rows" wait_for 60 central_holds 151
  check "every row arrives as the store holds it" test "$(central_rows)" = "$(store_rows)"
  check "the accented product code arrives intact" grep -qF "AÇÚCAR-Ñ" <<<"$(central_rows)"
  check "the central index is the store's last row" \
    test "$(rows "$central_db" "SELECT RPL_INDICEESTOQUE FROM FILIAIS WHERE CODIGO = 7;")" = 151
  check "the branch row records the contact" \
    test -n "$(rows "$central_db" "SELECT CODIGO FROM FILIAIS WHERE CODIGO = 7 AND RPL_ULTIMAATUALIZACAO IS NOT NULL;")"
  check "the verbose lines count what was sent" logged "$1" "Finalizou o envio de 151 registro(s)"
}

# The changes of add_changes 31 95, after they were made.
check_later_rows() {
  check "changes made while it runs follow" wait_for 60 central_holds 216
  check "and arrive as the store holds them" test "$(central_rows)" = "$(store_rows)"
  check "the seeding ran once" test "$(rows "$central_db" "SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOPRODUTO = 'P5';")" = 2
}

# finish_replication AGENT_DIR: the central server's verdict, what to read on a failure, the result.
finish_replication() {
  check "nothing was rejected" bash -c "! grep -q 'rejected\|error(s)' <(grep -v ' 0 error(s)' '$work/central.log')"
  [ "$fails" -eq 0 ] || { echo "== activity log"; log_text "$1"; echo "== central server"; tail -n 30 "$work/central.log"; }
  finish
}

# For the EXIT trap, after the agent has been ended.
drop_replication() {
  { [ -n "${central_pid:-}" ] && kill -KILL "$central_pid"; wait; } 2>/dev/null
  rm -rf "$work" "$store_db" "$central_db"
}
