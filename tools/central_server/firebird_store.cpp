#include "firebird_store.h"

#include "connections/central/data_packet.h"
#include "platform/os.h"

namespace central_server {
namespace {

// Time stamps travel in the data packets' unit, milliseconds with 01/01/0001 as day 1 (so
// midnight of that day is 86 400 000), so that no floating point stands between the database and
// the wire.
constexpr const char* kEpoch = "TIMESTAMP '0001-01-01 00:00:00'";

std::string MsOf(const std::string& column) {
  return std::string("(CAST(DATEDIFF(MILLISECOND FROM ") + kEpoch + " TO " + column + ") AS BIGINT) + 86400000)";
}

const std::string kBranchColumns =
    "CODIGO, RPL_INDICEESTOQUE, " + MsOf("DATAHORA") + " AS DATAHORA_MS, " + MsOf("RPL_ULTIMAATUALIZACAO") + " AS ULTIMA_MS";

BranchRow BranchOf(const localdb::TFDQuery& q) {
  BranchRow b;
  b.codigo = q.FieldByName("CODIGO").AsInteger();
  if (!q.FieldByName("RPL_INDICEESTOQUE").IsNull()) b.indice = q.FieldByName("RPL_INDICEESTOQUE").AsLargeInt();
  b.datahora_ms = q.FieldByName("DATAHORA_MS").AsLargeInt();
  if (!q.FieldByName("ULTIMA_MS").IsNull()) b.ultima_ms = q.FieldByName("ULTIMA_MS").AsLargeInt();
  return b;
}

// Closes a query when the scope ends, also on the way out of an exception.
struct Closing {
  localdb::TFDQuery& q;
  ~Closing() { q.Close(); }
};

}  // namespace

FirebirdStore::FirebirdStore(const std::string& server, const std::string& path, const std::string& user,
                             const std::string& password, const std::string& client_library) {
  using localdb::TFDQuery;
  link_.VendorLib = client_library;
  conn_ = std::make_unique<localdb::TFDConnection>(
      link_, localdb::TConnectionParams{"DriverID=FB", "User_Name=" + user, "Password=" + password, "Protocol=TCPIP",
                                        "Server=" + server, "CharacterSet=ISO8859_1", "Database=" + path});
  read_ = std::make_unique<localdb::TFDTransaction>(*conn_, true);
  write_ = std::make_unique<localdb::TFDTransaction>(*conn_, false);
  branch_ = std::make_unique<TFDQuery>("Filial", *conn_, *read_,
                                       "SELECT " + kBranchColumns + " FROM FILIAIS WHERE CODIGO = :LOJA");
  branches_ = std::make_unique<TFDQuery>("Filiais", *conn_, *read_, "SELECT " + kBranchColumns + " FROM FILIAIS ORDER BY CODIGO");
  rows_ = std::make_unique<TFDQuery>(
      "LogEstoque", *conn_, *read_,
      "SELECT CODIGOLOJA, SEQUENCIALLOJAORIGEM, CAST(CODIGOPRODUTO AS VARCHAR(20) CHARACTER SET OCTETS) AS CODIGOPRODUTO, "
      "ESTOQUEATUAL FROM LOGESTOQUEREC "
      "WHERE CODIGOLOJA = :LOJA ORDER BY SEQUENCIALLOJAORIGEM");
  // A row already stored stays as it was: the same row sent twice is stored once.
  insert_row_ = std::make_unique<TFDQuery>(
      "InsereLogEstoque", *conn_, *write_,
      "MERGE INTO LOGESTOQUEREC T USING (SELECT CAST(:LOJA AS INTEGER) AS L, CAST(:SEQ AS BIGINT) AS S, "
      "CAST(CAST(:PRODUTO AS VARCHAR(20) CHARACTER SET OCTETS) AS VARCHAR(20) CHARACTER SET WIN1252) AS P, "
      "CAST(:ESTOQUE AS NUMERIC(15,4)) AS E FROM RDB$DATABASE) S "
      "ON T.CODIGOLOJA = S.L AND T.SEQUENCIALLOJAORIGEM = S.S "
      "WHEN NOT MATCHED THEN INSERT (CODIGOLOJA, SEQUENCIALLOJAORIGEM, CODIGOPRODUTO, ESTOQUEATUAL) "
      "VALUES (S.L, S.S, S.P, S.E)");
  // The index only ever rises, to the highest sequence stored.
  raise_index_ = std::make_unique<TFDQuery>(
      "ElevaIndice", *conn_, *write_,
      "MERGE INTO FILIAIS F USING (SELECT CAST(:LOJA AS INTEGER) AS L, CAST(:SEQ AS BIGINT) AS S FROM RDB$DATABASE) S "
      "ON F.CODIGO = S.L "
      "WHEN MATCHED THEN UPDATE SET RPL_INDICEESTOQUE = MAXVALUE(COALESCE(F.RPL_INDICEESTOQUE, S.S), S.S), "
      "DATAHORA = CURRENT_TIMESTAMP "
      "WHEN NOT MATCHED THEN INSERT (CODIGO, RPL_INDICEESTOQUE, DATAHORA) VALUES (S.L, S.S, CURRENT_TIMESTAMP)");
  stamp_ = std::make_unique<TFDQuery>("Carimbo", *conn_, *write_,
                                      std::string("UPDATE FILIAIS SET RPL_ULTIMAATUALIZACAO = DATEADD(CAST(:MS AS BIGINT) - 86400000 "
                                                  "MILLISECOND TO ") + kEpoch + ") WHERE CODIGO = :LOJA");
  add_branch_ = std::make_unique<TFDQuery>(
      "NovaFilial", *conn_, *write_,
      "MERGE INTO FILIAIS F USING (SELECT CAST(:LOJA AS INTEGER) AS L FROM RDB$DATABASE) S ON F.CODIGO = S.L "
      "WHEN NOT MATCHED THEN INSERT (CODIGO, DATAHORA) VALUES (S.L, CURRENT_TIMESTAMP)");
  conn_->SetConnected(true);
  // Central databases made before arrivals were recorded have no table for them.
  TFDQuery has_arrivals("TemChegadas", *conn_, *read_,
                        "SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'LOGESTOQUEREC_CHEGADAS'");
  has_arrivals.Open();
  const bool arrivals = localdb::TField(has_arrivals, 0).AsLargeInt() > 0;
  has_arrivals.Close();
  if (arrivals)
    arrival_ = std::make_unique<TFDQuery>(
        "Chegada", *conn_, *write_,
        "INSERT INTO LOGESTOQUEREC_CHEGADAS (CODIGOLOJA, SEQUENCIALLOJAORIGEM) VALUES (:LOJA, :SEQ)");
}

FirebirdStore::~FirebirdStore() {
  std::lock_guard lock(mu_);
  conn_->SetConnected(false);
}

void FirebirdStore::DropConnection() {
  // After a failure the attachment may be dead (a restarted Firebird server): the next use
  // attaches anew instead of failing on it for ever.
  try {
    conn_->SetConnected(false);
  } catch (const std::exception&) {
  }
}

template <class F>
auto FirebirdStore::Reading(F&& work) {
  try {
    conn_->SetConnected(true);
    return work();
  } catch (const std::exception&) {
    DropConnection();
    throw;
  }
}

template <class F>
void FirebirdStore::Write(F&& work) {
  try {
    conn_->SetConnected(true);
    write_->StartTransaction();
  } catch (const std::exception& e) {
    DropConnection();
    throw StoreError(e.what());
  }
  try {
    work();
    write_->Commit();
  } catch (const std::exception& e) {
    try {
      write_->Rollback();
    } catch (const std::exception&) {
    }
    DropConnection();
    throw StoreError(e.what());
  }
}

void FirebirdStore::AddBranch(std::int32_t loja) {
  std::lock_guard lock(mu_);
  Write([&] {
    add_branch_->ParamByName("LOJA").SetAsLargeInt(loja);
    add_branch_->ExecSQL();
  });
}

std::optional<BranchRow> FirebirdStore::ReadBranchLocked(std::int32_t loja) {
  return Reading([&]() -> std::optional<BranchRow> {
    Closing closing{*branch_};
    branch_->ParamByName("LOJA").SetAsLargeInt(loja);
    branch_->Open();
    if (branch_->IsEmpty()) return std::nullopt;
    return BranchOf(*branch_);
  });
}

std::optional<BranchRow> FirebirdStore::ReadBranch(std::int32_t loja) {
  std::lock_guard lock(mu_);
  return ReadBranchLocked(loja);
}

void FirebirdStore::InsertStockRows(const std::vector<StockRow>& rows) {
  std::lock_guard lock(mu_);
  Write([&] {
    std::map<std::int32_t, std::int64_t> highest;
    for (const StockRow& r : rows) {
      insert_row_->ParamByName("LOJA").SetAsLargeInt(r.loja);
      insert_row_->ParamByName("SEQ").SetAsLargeInt(r.sequencial);
      // Codes are kept as a Windows central server keeps them: in Windows-1252, which holds
      // characters that the connection's ISO8859_1 lacks (the euro sign, curly quotes).
      bool ok = false;
      std::string code = os::Utf8ToCodePage(1252, r.produto, &ok);
      if (!ok) throw StoreError("The product code \"" + r.produto + "\" has characters that Windows-1252 lacks");
      insert_row_->ParamByName("PRODUTO").SetAsBytes(std::move(code));
      // Decimal text: the server converts it to NUMERIC(15,4) exactly.
      insert_row_->ParamByName("ESTOQUE").SetAsString(central::packet::CurrencyToString(r.estoque));
      insert_row_->ExecSQL();
      if (arrival_) {
        arrival_->ParamByName("LOJA").SetAsLargeInt(r.loja);
        arrival_->ParamByName("SEQ").SetAsLargeInt(r.sequencial);
        arrival_->ExecSQL();
      }
      auto [it, fresh] = highest.emplace(r.loja, r.sequencial);
      if (!fresh && it->second < r.sequencial) it->second = r.sequencial;
    }
    for (const auto& [loja, seq] : highest) {
      raise_index_->ParamByName("LOJA").SetAsLargeInt(loja);
      raise_index_->ParamByName("SEQ").SetAsLargeInt(seq);
      raise_index_->ExecSQL();
    }
  });
}

void FirebirdStore::StampBranch(std::int32_t loja, std::int64_t ultima_ms) {
  std::lock_guard lock(mu_);
  if (!ReadBranchLocked(loja)) throw StoreError("Branch " + std::to_string(loja) + " not found");
  Write([&] {
    stamp_->ParamByName("MS").SetAsLargeInt(ultima_ms);
    stamp_->ParamByName("LOJA").SetAsLargeInt(loja);
    stamp_->ExecSQL();
  });
}

std::vector<BranchRow> FirebirdStore::Branches() {
  std::lock_guard lock(mu_);
  return Reading([&] {
    Closing closing{*branches_};
    std::vector<BranchRow> out;
    for (branches_->Open(); !branches_->Eof(); branches_->Next()) out.push_back(BranchOf(*branches_));
    return out;
  });
}

std::vector<StockRow> FirebirdStore::StockRows(std::int32_t loja) {
  std::lock_guard lock(mu_);
  return Reading([&] {
    Closing closing{*rows_};
    rows_->ParamByName("LOJA").SetAsLargeInt(loja);
    std::vector<StockRow> out;
    for (rows_->Open(); !rows_->Eof(); rows_->Next()) {
      StockRow r;
      r.loja = rows_->FieldByName("CODIGOLOJA").AsInteger();
      r.sequencial = rows_->FieldByName("SEQUENCIALLOJAORIGEM").AsLargeInt();
      bool ok = false;
      r.produto = os::CodePageToUtf8(1252, rows_->FieldByName("CODIGOPRODUTO").AsBytes(), &ok);
      r.estoque = rows_->FieldByName("ESTOQUEATUAL").AsCurrency();
      out.push_back(std::move(r));
    }
    return out;
  });
}

}  // namespace central_server
