// The agent's connection to the store's ERP database, with its transactions and statements.
//
// The service object owns one LocalConnection. ConfiguraConexaoLocal points it at the server and
// database named in the settings file and connects; the replication cycle then uses ConnQuelbrant
// and the three statements.
//
// Thread-safety: the service thread (start, continue) and the main thread (cycles) share these
// objects. Hold Lock around every use (ConfiguraConexaoLocal takes it itself).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "connections/local/local_database.h"
#include "connections/local/store_queries.h"
#include "settings/connection_trouble.h"

namespace localdb {

// The two built-in passwords, tried in this order.
inline constexpr const char* kFirstPassword = "tallowfin";
inline constexpr const char* kSecondPassword = "rivulo";

// The statements' texts, line by line.
extern const char* const kSqlPadrao;
extern const char* const kSqlLogEstoqueENV;
extern const char* const kSqlCargaInicial;
extern const char* const kSqlTransacoesAtivas;
extern const char* const kSqlTransacoesAtivas25;
extern const char* const kSqlResumoCarga;
extern const char* const kSqlMaiorSequencial;
extern const char* const kSqlResumoCargaInstantaneo;
extern const char* const kSqlExisteSequencial;
extern const char* const kSqlLinhaSequencial;
extern const char* const kSqlAtualizaEstoque;
extern const char* const kSqlAlcancaIndice;

struct LocalConnection {
  explicit LocalConnection(FbDriverManager& manager = FbDriverManager::Process());
  LocalConnection(const LocalConnection&) = delete;
  LocalConnection& operator=(const LocalConnection&) = delete;

  std::recursive_mutex Lock;
  // What the activity log has heard of this connection's failures.
  settings::ConnectionTrouble Trouble{messages::kLocalConnectFailed, messages::kLocalReconnected};

  TFDPhysFBDriverLink FDPhysFBDriverLink1;
  TFDConnection ConnQuelbrant;
  TFDTransaction TransEscrita;  // read-write
  TFDTransaction TransLeitura;  // read-only
  TFDTransaction TransMonitor;  // read-only; one per look at the monitoring tables
  TFDQuery TBPadrao;            // store settings; CODIGOLOJA is the store code
  TFDQuery TBLogEstoqueENV;     // outgoing stock rows above :INDICE, ascending
  TFDQuery TBCargaInicial;      // initial load of the outgoing log from PRODUTOS
  // The horizon (transactions numbered from it began after the look), and every other
  // attachment's read-write transaction still open (one row each, with whether it may still write
  // an outgoing row, its user, address and program; none: one row of nulls). COMPLETO is 0 when
  // this user may see only its own attachments. One text for Firebird 3 and later, one for 2.5.
  TFDQuery TBTransacoesAtivas;
  TFDQuery TBTransacoesAtivas25;
  // What the current transaction wrote to the outgoing log above :APOS: how many rows, the
  // highest SEQUENCIAL, and the transaction's number (by RDB$RECORD_VERSION, Firebird 3 and later).
  TFDQuery TBResumoCarga;
  // The same for a snapshot transaction on any version: the highest SEQUENCIAL it sees before
  // writing, then the rows above it, which are its own (with the lowest of them).
  TFDQuery TBMaiorSequencial;
  TFDQuery TBResumoCargaInstantaneo;
  TFDQuery TBExisteSequencial;  // whether the outgoing row :SEQUENCIAL exists
  TFDQuery TBLinhaSequencial;   // the product and stock (as text) of the outgoing row :SEQUENCIAL
  TFDQuery TBAtualizaEstoque;   // a new outgoing row with the current stock of product :CODIGO
  TFDQuery TBAlcancaIndice;     // whether any row is at or above :INDICE, and whether any row exists

  // Tests only: the engine version taken instead of the server's (see store_queries.h).
  std::optional<std::pair<int, int>> ForcedEngineVersion;
  // What Capabilities() learnt, and for which attachment.
  std::uint64_t capabilities_attachment = 0;
  ServerCapabilities capabilities;
  // What Schema() learnt, and for which attachment.
  std::uint64_t schema_attachment = 0;
  StoreSchema schema;

  // Runs once the client library has been loaded: reads "Vendorlib" into the driver link. The
  // library is never reloaded, so the value read here changes nothing in this process.
  void FDPhysFBDriverLink1DriverCreated(TFDPhysFBDriverLink& Sender);
};

// Gives the statements that read or look up product codes their texts for the database attached
// now (see CodeColumn in store_queries.h): TBLogEstoqueENV, TBLinhaSequencial and
// TBAtualizaEstoque. Call once connected, before they run.
void FitStatementsToSchema(LocalConnection& conn);

// "server:path" as the connection reaches its database: the name a store database is known by.
std::string DatabaseName(const LocalConnection& conn);

// What connecting with the two built-in passwords came to.
struct PasswordConnect {
  bool connected = false;
  bool second_password = false;  // the first was refused, so the second was tried
  std::string error;             // when not connected: the last attempt's message
};

// Points the connection at that server and database and connects with the first password, then
// with the second when the first is refused. Raises nothing.
PasswordConnect ConnectWithPasswords(LocalConnection& conn, const std::string& server, const std::string& database);

// Reads "Servidor", "Caminho" and "VendorLib" from the settings file, closes the connection,
// points it at that server and database and connects with the first password, then with the
// second when the first is refused. Logs "Conectou no Servidor Local" on success, or the second
// refusal's message; logs nothing for other failures, and raises none of them.
void ConfiguraConexaoLocal(LocalConnection& conn);

}  // namespace localdb
