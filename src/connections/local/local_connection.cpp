#include "connections/local/local_connection.h"

#include "common/text.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "settings/ini_file.h"

namespace localdb {

const char* const kSqlPadrao =
    "SELECT CODIGO\n"
    "     , RPL_LOGESTOQUE\n"
    "     , CODIGOLOJA\n"
    "     , RPL_ULTIMAATUALIZACAO\n"
    "FROM PADRAO";

const char* const kSqlLogEstoqueENV =
    "SELECT SEQUENCIAL\n"
    "     , CODIGOPRODUTO\n"
    "     , ESTOQUEATUAL\n"
    "FROM RPL_LOGESTOQUE_ENV\n"
    "WHERE SEQUENCIAL > :INDICE\n"
    "ORDER BY SEQUENCIAL";

const char* const kSqlCargaInicial =
    "INSERT INTO RPL_LOGESTOQUE_ENV(CODIGOPRODUTO, ESTOQUEATUAL)\n"
    "SELECT CODIGO, ESTOQUEATUAL FROM PRODUTOS \n"
    "WHERE COALESCE(ESTOQUEATUAL, 0.000) <> 0.000";

// Every read-write transaction of the other attachments (read-only ones cannot write a row), with
// what it may still do to the outgoing log: whether one of its statements runs right now (an insert
// in progress takes its value inside the statement), and whether it has inserted into the outgoing
// log (its row may still be uncommitted: how many rows, and which transaction, by its attachment
// and start, which COMMIT RETAIN keeps). Neither tells whether a transaction that inserted and
// then committed with COMMIT RETAIN inserted again since: its counters are kept across the retain.
// Texts come as bytes: the metadata character set may hold what ISO8859_1 cannot. The horizon is
// the monitoring transaction's own number: every transaction that began after it has a higher one,
// and every one still open from before it is in the snapshot, which is taken after it began.
#define TAVRIMONDO_SQL_TRANSACOES(COMPLETO, INSERCOES)                                                          \
  "SELECT CURRENT_TRANSACTION + 1 AS PROXIMA\n"                                                               \
  "     , " COMPLETO " AS COMPLETO\n"                                                                         \
  "     , T.MON$TRANSACTION_ID AS TRANSACAO\n"                                                                \
  "     , IIF(EXISTS(SELECT 1 FROM MON$STATEMENTS S\n"                                                        \
  "                  WHERE S.MON$TRANSACTION_ID = T.MON$TRANSACTION_ID AND S.MON$STATE = 1), 1, 0) AS EXECUTANDO\n" \
  "     , COALESCE((" INSERCOES "), 0) AS INSERIU\n"                                                          \
  "     , T.MON$ATTACHMENT_ID AS ANEXO\n"                                                                     \
  "     , CAST(T.MON$TIMESTAMP AS VARCHAR(60)) AS INICIO\n"                                                   \
  "     , CAST(A.MON$USER AS VARCHAR(252) CHARACTER SET OCTETS) AS USUARIO\n"                                 \
  "     , CAST(A.MON$REMOTE_ADDRESS AS VARCHAR(1020) CHARACTER SET OCTETS) AS ENDERECO\n"                     \
  "     , CAST(A.MON$REMOTE_PROCESS AS VARCHAR(1020) CHARACTER SET OCTETS) AS PROGRAMA\n"                     \
  "FROM MON$DATABASE D\n"                                                                                     \
  "LEFT JOIN MON$TRANSACTIONS T ON T.MON$READ_ONLY = 0 AND T.MON$ATTACHMENT_ID <> CURRENT_CONNECTION\n"       \
  "LEFT JOIN MON$ATTACHMENTS A ON A.MON$ATTACHMENT_ID = T.MON$ATTACHMENT_ID\n"                                \
  "ORDER BY T.MON$TRANSACTION_ID"

const char* const kSqlTransacoesAtivas = TAVRIMONDO_SQL_TRANSACOES(
    "IIF(CURRENT_USER = 'SYSDBA' OR CURRENT_USER = D.MON$OWNER OR CURRENT_ROLE = 'RDB$ADMIN', 1, 0)",
    "SELECT SUM(R.MON$RECORD_INSERTS) FROM MON$TABLE_STATS TS JOIN MON$RECORD_STATS R ON R.MON$STAT_ID = TS.MON$RECORD_STAT_ID\n"
    "                  WHERE TS.MON$STAT_ID = T.MON$STAT_ID AND TS.MON$TABLE_NAME = 'RPL_LOGESTOQUE_ENV'");

// Firebird 2.5 counts records per transaction but not per table, and has no MON$OWNER: a
// transaction that inserted into any table may hold a value, and the owner is that of the system
// tables.
const char* const kSqlTransacoesAtivas25 = TAVRIMONDO_SQL_TRANSACOES(
    "IIF(CURRENT_USER = 'SYSDBA' OR CURRENT_ROLE = 'RDB$ADMIN' OR CURRENT_USER =\n"
    "           (SELECT RDB$OWNER_NAME FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'RDB$DATABASE'), 1, 0)",
    "SELECT R.MON$RECORD_INSERTS FROM MON$RECORD_STATS R WHERE R.MON$STAT_ID = T.MON$STAT_ID");

#undef TAVRIMONDO_SQL_TRANSACOES

const char* const kSqlResumoCarga =
    "SELECT COUNT(*) AS GRAVADOS\n"
    "     , MAX(SEQUENCIAL) AS ULTIMO\n"
    "     , CURRENT_TRANSACTION AS TRANSACAO\n"
    "FROM RPL_LOGESTOQUE_ENV\n"
    "WHERE SEQUENCIAL > :APOS AND RDB$RECORD_VERSION = CURRENT_TRANSACTION";

// Without RDB$RECORD_VERSION, a seeding in a snapshot transaction finds its own rows as those
// above the highest SEQUENCIAL it saw before writing: rows committed before it began are at or
// below that, rows committed after it are invisible to it, and its own values were drawn last.
const char* const kSqlMaiorSequencial = "SELECT COALESCE(MAX(SEQUENCIAL), 0) AS MAIOR FROM RPL_LOGESTOQUE_ENV";
const char* const kSqlResumoCargaInstantaneo =
    "SELECT COUNT(*) AS GRAVADOS\n"
    "     , MAX(SEQUENCIAL) AS ULTIMO\n"
    "     , MIN(SEQUENCIAL) AS PRIMEIRO\n"
    "     , CURRENT_TRANSACTION AS TRANSACAO\n"
    "FROM RPL_LOGESTOQUE_ENV\n"
    "WHERE SEQUENCIAL > :APOS";

const char* const kSqlExisteSequencial = "SELECT COUNT(*) AS EXISTE FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL = :SEQUENCIAL";

const char* const kSqlLinhaSequencial =
    "SELECT CODIGOPRODUTO, CAST(ESTOQUEATUAL AS VARCHAR(40)) AS ESTOQUE FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL = :SEQUENCIAL";

// One new outgoing row with a product's stock as it is now, as the initial load writes them (also
// a stock of zero: the central server must learn that too).
const char* const kSqlAtualizaEstoque =
    "INSERT INTO RPL_LOGESTOQUE_ENV(CODIGOPRODUTO, ESTOQUEATUAL)\n"
    "SELECT CODIGO, ESTOQUEATUAL FROM PRODUTOS WHERE CODIGO = :CODIGO";

// Whether the outgoing log reaches the central index at all, and whether it holds any row: a store
// database restored from an older backup has all its rows below the index.
const char* const kSqlAlcancaIndice =
    "SELECT IIF(EXISTS(SELECT 1 FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL >= :INDICE), 1, 0) AS ALCANCA\n"
    "     , IIF(EXISTS(SELECT 1 FROM RPL_LOGESTOQUE_ENV), 1, 0) AS ALGUM\n"
    "FROM RDB$DATABASE";

namespace {

TConnectionParams InitialDefinition() {
  return {
      "User_Name=SYSDBA",
      std::string("Password=") + kSecondPassword,
      "Protocol=TCPIP",
      "Server=localhost",
      "CharacterSet=ISO8859_1",
      "PageSize=8192",
      "Database=C:\\TESTE SPED\\KORDANE.FDB",
      "DriverID=FB",
  };
}

void ReplaceEntry(TConnectionParams& params, const std::string& name, const std::string& value) {
  // Every entry replaced here is part of the definition from creation.
  params.Set(params.IndexOfName(name), name + "=" + value);
}

}  // namespace

LocalConnection::LocalConnection(FbDriverManager& manager)
    : FDPhysFBDriverLink1(manager),
      ConnQuelbrant(FDPhysFBDriverLink1, InitialDefinition()),
      TransEscrita(ConnQuelbrant, /*read_only=*/false),
      TransLeitura(ConnQuelbrant, /*read_only=*/true),
      TransMonitor(ConnQuelbrant, /*read_only=*/true),
      TBPadrao("TBPadrao", ConnQuelbrant, TransEscrita, kSqlPadrao),
      TBLogEstoqueENV("TBLogEstoqueENV", ConnQuelbrant, TransLeitura, kSqlLogEstoqueENV),
      TBCargaInicial("TBCargaInicial", ConnQuelbrant, TransEscrita, kSqlCargaInicial),
      TBTransacoesAtivas("TBTransacoesAtivas", ConnQuelbrant, TransMonitor, kSqlTransacoesAtivas),
      TBTransacoesAtivas25("TBTransacoesAtivas", ConnQuelbrant, TransMonitor, kSqlTransacoesAtivas25),
      TBResumoCarga("TBResumoCarga", ConnQuelbrant, TransEscrita, kSqlResumoCarga),
      TBMaiorSequencial("TBMaiorSequencial", ConnQuelbrant, TransEscrita, kSqlMaiorSequencial),
      TBResumoCargaInstantaneo("TBResumoCarga", ConnQuelbrant, TransEscrita, kSqlResumoCargaInstantaneo),
      TBExisteSequencial("TBExisteSequencial", ConnQuelbrant, TransEscrita, kSqlExisteSequencial),
      TBLinhaSequencial("TBLinhaSequencial", ConnQuelbrant, TransEscrita, kSqlLinhaSequencial),
      TBAtualizaEstoque("TBAtualizaEstoque", ConnQuelbrant, TransEscrita, kSqlAtualizaEstoque),
      TBAlcancaIndice("TBAlcancaIndice", ConnQuelbrant, TransLeitura, kSqlAlcancaIndice) {
  ConnQuelbrant.Transaction = &TransEscrita;
  FDPhysFBDriverLink1.OnDriverCreated = [this](TFDPhysFBDriverLink& sender) {
    FDPhysFBDriverLink1DriverCreated(sender);
  };
  // The central server reports "no index yet" as an empty text. Compared with a BIGINT, an empty
  // text is a conversion error, which would fail every cycle; it selects as "0" does: every row.
  TFDParam& indice = TBLogEstoqueENV.ParamByName("INDICE");
  indice = TFDParam("INDICE", TFDParam::DataType::kLargeint);
  indice.EmptyTextMeans = "0";
}

void LocalConnection::FDPhysFBDriverLink1DriverCreated(TFDPhysFBDriverLink& /*Sender*/) {
  settings::TIniFile ini(settings::SettingsFilePath());
  FDPhysFBDriverLink1.VendorLib =
      ini.ReadString(settings::kSettingsSection, "Vendorlib", settings::AppDirectory() + "fbclient.dll");
}

void FitStatementsToSchema(LocalConnection& conn) {
  const StoreSchema& schema = Schema(conn);
  const std::string log_code = CodeSelect(schema.log_code, "CODIGOPRODUTO");
  if (log_code == "CODIGOPRODUTO") {
    conn.TBLogEstoqueENV.SetSQL(kSqlLogEstoqueENV);
  } else {
    conn.TBLogEstoqueENV.SetSQL("SELECT SEQUENCIAL\n"
                                "     , " + log_code + " AS CODIGOPRODUTO\n"
                                "     , ESTOQUEATUAL\n"
                                "FROM RPL_LOGESTOQUE_ENV\n"
                                "WHERE SEQUENCIAL > :INDICE\n"
                                "ORDER BY SEQUENCIAL");
  }
  conn.TBLinhaSequencial.SetSQL("SELECT " + log_code +
                                " AS CODIGOPRODUTO, CAST(ESTOQUEATUAL AS VARCHAR(40)) AS ESTOQUE FROM RPL_LOGESTOQUE_ENV "
                                "WHERE SEQUENCIAL = :SEQUENCIAL");
  conn.TBAtualizaEstoque.SetSQL(
      "INSERT INTO RPL_LOGESTOQUE_ENV(CODIGOPRODUTO, ESTOQUEATUAL)\n"
      "SELECT CODIGO, ESTOQUEATUAL FROM PRODUTOS WHERE CODIGO = " + CodeMatch(schema.product_code, "CODIGO"));
}

std::string DatabaseName(const LocalConnection& conn) {
  return conn.ConnQuelbrant.Params.Values("Server") + ":" + conn.ConnQuelbrant.Params.Values("Database");
}

PasswordConnect ConnectWithPasswords(LocalConnection& conn, const std::string& server, const std::string& database) {
  ReplaceEntry(conn.ConnQuelbrant.Params, "Server", server);
  ReplaceEntry(conn.ConnQuelbrant.Params, "Database", database);
  ReplaceEntry(conn.ConnQuelbrant.Params, "Password", kFirstPassword);
  PasswordConnect result;
  try {
    conn.ConnQuelbrant.SetConnected(true);
    result.connected = true;
    return result;
  } catch (const std::exception& first) {
    result.error = first.what();
    // Only the wording tells a refused password from other failures.
    if (text::ToLowerAscii(first.what()).find("password") == std::string::npos) return result;
  }
  result.second_password = true;
  ReplaceEntry(conn.ConnQuelbrant.Params, "Password", kSecondPassword);
  try {
    conn.ConnQuelbrant.SetConnected(true);
    result.connected = true;
  } catch (const std::exception& second) {
    result.error = second.what();
  }
  return result;
}

void ConfiguraConexaoLocal(LocalConnection& conn) {
  std::lock_guard lock(conn.Lock);
  std::string servidor, caminho;
  {
    settings::TIniFile ini(settings::SettingsFilePath());
    servidor = ini.ReadString(settings::kSettingsSection, "Servidor", "localhost");
    caminho = ini.ReadString(settings::kSettingsSection, "Caminho", "C:\\TESTE SPED\\KORDANE.FDB");
    conn.FDPhysFBDriverLink1.VendorLib = ini.ReadString(settings::kSettingsSection, "VendorLib", "");
  }

  conn.ConnQuelbrant.SetConnected(false);
  const PasswordConnect attempt = ConnectWithPasswords(conn, servidor, caminho);
  if (attempt.connected) {
    conn.Trouble.Succeeded(DatabaseName(conn), /*quiet=*/true);
    try {
      settings::DoSaveLog(messages::Format(messages::kLocalConnected));
    } catch (const std::exception&) {
      // A log line that cannot be written does not undo the connection.
    }
  } else if (attempt.second_password) {
    conn.Trouble.Failed(DatabaseName(conn), attempt.error, /*always=*/true);
  }
}

}  // namespace localdb
