// What the end-to-end tests of the replication cycle share: the agent's own service object and
// cycle, a store database on the real Firebird server, and the stand-in central server process on
// a central database, plus the store's other programs as transactions of their own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "central_child.h"
#include "fb_test_env.h"
#include "service/tavrimondo_client.h"
#include "settings/app_dir.h"
#include "test_util.h"

namespace cycletest {

constexpr int kLoja = 7;

// A transaction of another program of the store (the ERP), held open until told. With
// `lock_wait_seconds` its statements wait that long for a row another transaction has locked.
class ErpTransaction {
 public:
  explicit ErpTransaction(const std::string& db, int lock_wait_seconds = 0) : admin_(db), tx_(admin_.connection(), false) {
    tx_.lock_wait_seconds = lock_wait_seconds;
    tx_.StartTransaction();
  }
  ~ErpTransaction() {
    try {
      if (tx_.Active()) tx_.Rollback();
    } catch (const std::exception&) {
    }
  }
  void Exec(const std::string& sql) {
    localdb::TFDQuery q("ERP", admin_.connection(), tx_, sql);
    q.ExecSQL();
  }
  void Commit() { tx_.Commit(); }
  // What many ERP libraries call an auto-commit: the transaction goes on under a new number.
  void CommitRetaining() { tx_.CommitRetaining(); }
  // A sale as the ERP's trigger logs it: the product's stock changes and a row says so.
  void Sale(const std::string& product, int stock) {
    Exec("UPDATE PRODUTOS SET ESTOQUEATUAL = " + std::to_string(stock) + " WHERE CODIGO = '" + product + "'");
    Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('" + product + "', " +
         std::to_string(stock) + ")");
  }
  void Rollback() { tx_.Rollback(); }

 private:
  fbtest::Admin admin_;
  localdb::TFDTransaction tx_;
};

class CycleFixture : public ::testing::Test {
 protected:
  testutil::TempDir app;
  fbtest::StoreDb store;
  fbtest::CentralDb central_db;
  std::unique_ptr<central_child::Server> central;
  replication::MainLoop loop;
  std::unique_ptr<TTavrimondoClient> agent;

  void SetUp() override {
    settings::SetAppDirectoryOverride(app.path());
    Store("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, " + std::to_string(kLoja) + ")");
  }
  void TearDown() override {
    agent.reset();
    central.reset();
    settings::SetAppDirectoryOverride("");
  }

  // The stand-in central server on the central database, with `faults`; a server started before
  // is replaced, and an agent already there is pointed at the new one.
  void StartCentral(std::vector<std::string> faults = {}) {
    std::vector<std::string> args = {"--firebird", central_db.path(), "--firebird-server", fbtest::Host(),
                                     "--firebird-password", fbtest::AdminPassword(), "--branch", std::to_string(kLoja)};
    args.insert(args.end(), faults.begin(), faults.end());
    std::filesystem::create_directories(app / "central");
    central.reset();
    central = std::make_unique<central_child::Server>(TAVRIMONDO_CENTRAL_EXE, app / "central/", args);
    central->Start();
    if (agent) PointAtCentral(central->port());
  }
  void PointAtCentral(std::uint16_t port) {
    auto& params = agent->Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(port);
  }

  void WriteSettings(bool verbose) {
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + store.path() + "\r\nMonitorarComando=" +
                                                 (verbose ? "1" : "0") + "\r\n");
  }
  // The agent as a service start leaves it: both connections configured, the log emptied. A new
  // agent is what a restart of the service gives: nothing but the files next to it carries over.
  void StartAgent(bool verbose = false, std::uint16_t central_port = 0) {
    WriteSettings(verbose);
    agent.reset();
    agent = std::make_unique<TTavrimondoClient>(loop);
    PointAtCentral(central_port ? central_port : central->port());
    bool started = true;
    agent->ServiceStart(started);
    ClearLog();
  }

  void ClearLog() {
    for (auto& f : std::filesystem::directory_iterator(app.path()))
      if (f.path().extension() == ".LOG") std::filesystem::remove(f.path());
  }
  std::vector<std::string> Log() { return fbtest::LogMessages(app.path()); }
  void Store(const std::string& sql) { fbtest::Admin(store.path()).Exec(sql); }
  // The store server's major version.
  int ServerMajor() {
    const std::string v = StoreValue("SELECT RDB$GET_CONTEXT('SYSTEM', 'ENGINE_VERSION') FROM RDB$DATABASE");
    return std::stoi(v.substr(0, v.find('.')));
  }
  // The RESTART WITH value that makes the identity column's next SEQUENCIAL `next`: Firebird 4 and
  // later take it as the next value, 3.0 as the last one given.
  std::string RestartWith(std::int64_t next) { return std::to_string(ServerMajor() >= 4 ? next : next - 1); }
  // The identity column's generator as if it had given every value up to `last`.
  void GeneratorAt(std::int64_t last) {
    Store("ALTER TABLE RPL_LOGESTOQUE_ENV ALTER SEQUENCIAL RESTART WITH " + RestartWith(last + 1));
  }
  std::string StoreValue(const std::string& sql) { return fbtest::Admin(store.path()).Scalar(sql); }
  std::string CentralValue(const std::string& sql) { return fbtest::Admin(central_db.path()).Scalar(sql); }
  // Every product's stock on the central server (its row with the highest SEQUENCIAL) is the
  // store's.
  void ExpectCentralEqualsStore() {
    fbtest::Admin db(store.path());
    const std::vector<std::string> codes = db.Column("SELECT CODIGO FROM PRODUTOS ORDER BY CODIGO");
    for (const std::string& code : codes)
      EXPECT_EQ(CentralStock(code), db.Scalar("SELECT ESTOQUEATUAL FROM PRODUTOS WHERE CODIGO = '" + code + "'"))
          << "product " << code;
  }
  std::string ReceivedCount() { return CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7"); }
  std::string CentralIndex() { return CentralValue("SELECT RPL_INDICEESTOQUE FROM FILIAIS WHERE CODIGO = 7"); }
  std::string Stamp() {
    return CentralValue("SELECT COALESCE(CAST(RPL_ULTIMAATUALIZACAO AS VARCHAR(30)), '') FROM FILIAIS WHERE CODIGO = 7");
  }
  // The stock the central server ends with for a product: that of its row with the highest
  // SEQUENCIAL, as rows are applied in that order.
  std::string CentralStock(const std::string& product) {
    return CentralValue("SELECT FIRST 1 ESTOQUEATUAL FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7 AND CODIGOPRODUTO = '" +
                        product + "' ORDER BY SEQUENCIALLOJAORIGEM DESC");
  }
  // The SEQUENCIAL of every row the central server stored, in the order they arrived.
  std::vector<std::int64_t> Arrivals() {
    std::vector<std::int64_t> out;
    for (const std::string& s : fbtest::Admin(central_db.path())
                                    .Column("SELECT SEQUENCIALLOJAORIGEM FROM LOGESTOQUEREC_CHEGADAS "
                                            "WHERE CODIGOLOJA = 7 ORDER BY ORDEM"))
      out.push_back(std::stoll(s));
    return out;
  }

  // n outgoing rows, product P<i>, stock i + 0.25 (i counting from `first`).
  void AddOutgoing(int n, int first = 1) {
    fbtest::Admin db(store.path());
    for (int i = first; i < first + n; ++i)
      db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P" + std::to_string(i) + "', " +
              std::to_string(i) + ".25)");
  }
  // The row counts of the applies the central server received, in order.
  std::vector<std::string> Applies() {
    std::vector<std::string> out;
    std::string log = central->Log();
    for (std::size_t p = 0; (p = log.find("DPLogEstoqueRec: ", p)) != std::string::npos; ++p)
      out.push_back(log.substr(p + 17, log.find(" change", p) - p - 17));
    return out;
  }
  void Cycle() { agent->Timer1Timer(); }
};

}  // namespace cycletest
