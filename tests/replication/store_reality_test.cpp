// The cycle in stores as they are: programs that keep read-write transactions open for hours,
// values drawn long before their rows are written, a generator shared with other tables, Firebird
// 2.5 (forced through the seam that decides what the server can answer, on the Firebird 3 server
// here), a database restored from an older backup, a central server that flips its index, and a
// second agent started on the same folder. Real Firebird server, real stand-in central server.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cycle_fixture.h"
#include "replication/replication_state.h"
#include "replication/seeding.h"

namespace {

using cycletest::ErpTransaction;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

class StoreTest : public cycletest::CycleFixture {
 protected:
  replication::ReplicationState State() {
    return replication::StateFile(app / replication::kStateFileName).Read();
  }
  std::string Generator() {
    return StoreValue("SELECT TRIM(RDB$GENERATOR_NAME) FROM RDB$RELATION_FIELDS "
                      "WHERE RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND RDB$FIELD_NAME = 'SEQUENCIAL'");
  }
  void Row(const std::string& product, int stock) {
    Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('" + product + "', " +
          std::to_string(stock) + ")");
  }
  std::vector<std::int64_t> ArrivalsAfter(std::int64_t n) {
    std::vector<std::int64_t> a = Arrivals();
    a.erase(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(n, a.size())));
    return a;
  }
};

// The same behaviour on every Firebird the stores run: 3.0 and later as the server here is, and
// 2.5 through the forced path.
class EngineTest : public StoreTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool Fb25() const { return GetParam(); }
  void StartAgent() {
    StoreTest::StartAgent();
    if (Fb25()) agent->Local.ForcedEngineVersion = std::make_pair(2, 5);
  }
};

INSTANTIATE_TEST_SUITE_P(Firebird, EngineTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Forced25" : "AsTheServerIs"; });

TEST_P(EngineTest, OnlyATransactionThatMayStillWriteTheRowHoldsAGap) {
  AddOutgoing(2);
  StartCentral();
  StartAgent();
  Cycle();
  ASSERT_EQ(CentralIndex(), "2");

  // Beside a rolled-back value (3): programs that keep read-write transactions open.
  ErpTransaction idle(store.path()), other_table(store.path()), writer(store.path());
  idle.Exec("SELECT COUNT(*) FROM PRODUTOS");
  other_table.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('NOVO', 1)");
  ErpTransaction rolled_back(store.path());
  rolled_back.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('NADA', 0)");  // 3
  rolled_back.Rollback();
  Row("DEPOIS", 4);  // 4
  Cycle();
  // Firebird 2.5 counts inserts per transaction only: an insert into any table may have taken it.
  EXPECT_EQ(CentralIndex(), Fb25() ? "2" : "4") << "in the cycle that found the gap";

  writer.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('TARDE', 5)");  // 5
  Row("MAIS", 6);  // 6
  other_table.Rollback();
  Cycle();
  EXPECT_EQ(CentralIndex(), Fb25() ? "2" : "4") << "a transaction that inserted 5 may still commit it";

  writer.Commit();
  Cycle();
  EXPECT_EQ(CentralIndex(), "6");
  EXPECT_EQ(Arrivals(), (std::vector<std::int64_t>{1, 2, 4, 5, 6}));
  EXPECT_TRUE(Log().empty());
}

TEST_P(EngineTest, AGeneratorSharedWithOtherTablesCostsNoExtraCycle) {
  // Every other value goes to another table: the rows past each gap go in the cycle that finds it.
  fbtest::Admin db(store.path());
  for (int i = 1; i <= 120; ++i)
    db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + std::to_string(2 * i - 1) +
            ", 'P" + std::to_string(i) + "', " + std::to_string(i) + ")");
  StartCentral();
  StartAgent();
  Cycle();
  EXPECT_EQ(CentralIndex(), "239");
  EXPECT_EQ(ReceivedCount(), "120");
}

TEST_P(EngineTest, AStockChangeCommittedWhileTheLoadRunsEndsOnTheCentralServerAsTheStoreHasIt) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 10)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 20)");
  StartCentral();
  StartAgent();
  // A sale of A is under way while the load runs: its row (1) is below the load's rows, which
  // still see A's stock as it was.
  ErpTransaction sale(store.path());
  sale.Exec("UPDATE PRODUTOS SET ESTOQUEATUAL = 9 WHERE CODIGO = 'A'");
  sale.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('A', 9)");
  Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "2");
  EXPECT_EQ(ReceivedCount(), "0");
  sale.Commit();
  for (int i = 0; i < 3; ++i) Cycle();
  EXPECT_EQ(CentralStock("A"), "9");
  EXPECT_EQ(CentralStock("B"), "20");
  const Lines log = Log();
  ASSERT_EQ(log.size(), 3u) << testing::PrintToString(log);
  EXPECT_EQ(Lines(log.begin(), log.begin() + 2), (Lines{"Realizou a carga inicial de 2 registro(s)",
                                                        "Reenviou o estoque de 1 produto(s) alterado(s) durante a carga inicial"}));
  EXPECT_EQ(log[2].rfind("Auditoria do estoque: 2 produto(s) lido(s), 0 diferente(s) do Servidor Central, 0 reenviado(s), em ",
                         0),
            0u)
      << "the audit that follows the load finds both as the store has them: " << log[2];
  EXPECT_FALSE(State().check);
}

TEST_F(StoreTest, OnTheForced25PathASaleBetweenTheLoadsOwnRowsIsFoundByTheLoadsCheck) {
  // Another transaction draws a value while the load writes its rows: a trigger takes one more
  // value from the generator after the load's row of A, so the sale's row lands between A and B.
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 10)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 20)");
  Store("CREATE TRIGGER ENTRE FOR RPL_LOGESTOQUE_ENV BEFORE INSERT AS DECLARE V BIGINT; BEGIN "
        "IF (NEW.CODIGOPRODUTO = 'A') THEN V = GEN_ID(" + Generator() + ", 1); END");
  StartCentral();
  StartAgent();
  agent->Local.ForcedEngineVersion = std::make_pair(2, 5);
  // The sale changes B before the load reads it, and logs it at the value drawn between the
  // load's rows once the load has committed; it commits before the rows are sent.
  ErpTransaction sale(store.path());
  sale.Exec("UPDATE PRODUTOS SET ESTOQUEATUAL = 19 WHERE CODIGO = 'B'");
  Cycle();  // the load: A at 1, nothing at 2, B (stock 20, as committed) at 3
  ASSERT_EQ(StoreValue("SELECT CAST(LIST(SEQUENCIAL || ':' || CODIGOPRODUTO) AS VARCHAR(100)) FROM RPL_LOGESTOQUE_ENV"),
            "1:A,3:B");
  sale.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (2, 'B', 19)");
  sale.Commit();
  for (int i = 0; i < 4; ++i) Cycle();
  EXPECT_EQ(CentralStock("A"), "10");
  EXPECT_EQ(CentralStock("B"), "19");
}

TEST_F(StoreTest, ARefreshWhoseCommitFailsKeepsItsCheckAndThreeFailuresDropIt) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 10)");
  StartCentral();
  StartAgent();
  // The stock audit that follows the load would find A's stock stale once the check is dropped,
  // and fail to send it the same way: only the check is looked at here.
  testutil::WriteFile(app / "kordane.ini", testutil::ReadFile(app / "kordane.ini") + "AuditoriaHora=-1\r\n");
  ErpTransaction sale(store.path());
  sale.Exec("UPDATE PRODUTOS SET ESTOQUEATUAL = 9 WHERE CODIGO = 'A'");
  sale.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('A', 9)");
  Cycle();
  sale.Commit();
  ASSERT_TRUE(State().check);
  const replication::SeedingCheck before = *State().check;
  EXPECT_NO_THROW(Cycle()) << "the load's rows go; the check waits for the central server to have them";

  // From now on a transaction that writes a row of A cannot commit.
  fbtest::Admin db(store.path());
  db.Exec("CREATE EXCEPTION E_RECUSADO 'commit recusado'");
  db.Exec("CREATE TRIGGER MARCA_A FOR RPL_LOGESTOQUE_ENV AFTER INSERT AS BEGIN "
          "IF (NEW.CODIGOPRODUTO = 'A') THEN RDB$SET_CONTEXT('USER_TRANSACTION', 'ESCREVEU_A', '1'); END");
  db.Exec("CREATE TRIGGER RECUSA_A ON TRANSACTION COMMIT AS BEGIN "
          "IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'ESCREVEU_A') = '1') THEN EXCEPTION E_RECUSADO; END");
  ClearLog();
  EXPECT_ANY_THROW(Cycle());
  ASSERT_TRUE(State().check) << "the check was replaced by a refresh that never committed";
  EXPECT_EQ(State().check->upto, before.upto);
  EXPECT_ANY_THROW(Cycle());
  EXPECT_NO_THROW(Cycle()) << "the third failure drops the check and the cycle goes on";
  EXPECT_FALSE(State().check);
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("A conferência da carga inicial falhou em 3 ciclos seguidos e foi descartada: ", 0), 0u)
      << log[0];
}

TEST_F(StoreTest, ACentralServerThatFlipsItsIndexNeverMakesTheAgentSeedAgain) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 10)");
  StartCentral();
  StartAgent();
  Cycle();  // a new store seeds in its first cycle
  Cycle();
  ASSERT_EQ(CentralIndex(), "1");
  fbtest::Admin central(central_db.path());
  for (int i = 0; i < 6; ++i) {
    central.Exec(std::string("UPDATE FILIAIS SET RPL_INDICEESTOQUE = ") + (i % 2 ? "999" : "0") + " WHERE CODIGO = 7");
    Cycle();
  }
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "1");
  EXPECT_EQ(ReceivedCount(), "1") << "nothing is sent while an index of 0 is unconfirmed";

  // A reset that lasts seeds once; another within a day does not.
  central.Exec("UPDATE FILIAIS SET RPL_INDICEESTOQUE = 0 WHERE CODIGO = 7");
  for (int i = 0; i < 3; ++i) Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "2");
  EXPECT_NE(State().last_reseed, 0);
  Cycle();
  ASSERT_EQ(CentralIndex(), "2");
  central.Exec("UPDATE FILIAIS SET RPL_INDICEESTOQUE = 0 WHERE CODIGO = 7");
  ClearLog();
  for (int i = 0; i < 4; ++i) Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "2");
  const Lines log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find("menos de 24 horas"), std::string::npos) << log[1];
}

TEST_F(StoreTest, TheSameDatabaseUnderAnotherNameIsNotSeededAgain) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 10)");
  StartCentral({"--reject-seq", "1"});
  StartAgent();
  Cycle();
  ASSERT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "1");
  // The technician writes the server another way; the load still waits for the central server.
  agent.reset();
  testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" +
                                               fbtest::HostByAddress() + "\r\nCaminho=" + store.path() + "\r\n");
  agent = std::make_unique<TTavrimondoClient>(loop);
  PointAtCentral(central->port());
  bool started = true;
  agent->ServiceStart(started);
  Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "1") << "seeded a second snapshot";
  EXPECT_EQ(State().database, fbtest::HostByAddress() + ":" + store.path());
}

TEST_F(StoreTest, ASecondAgentOnTheSameFolderSaysSoAndDoesNothing) {
  StartCentral();
  StartAgent();
  TTavrimondoClient second(loop);
  auto& params = second.Central.ConnServer.Params;
  params[params.IndexOfName("Port")] = "Port=" + std::to_string(central->port());
  bool started = true;
  try {
    second.ServiceStart(started);
    ADD_FAILURE() << "a second agent started";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Outro agente já está rodando desta pasta (processo " +
                                         std::to_string(::getpid()) + "); este termina sem fazer nada");
  }
  agent.reset();  // the first one ends: the folder is free again
  EXPECT_NO_THROW(second.ServiceStart(started));
}

TEST_F(StoreTest, TheLooksHorizonSeparatesTransactionsOpenBeforeItFromThoseThatBeginAfter) {
  StartCentral();
  StartAgent();
  ErpTransaction before(store.path());
  before.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('X', 1)");
  agent->Local.ConnQuelbrant.SetConnected(true);
  const replication::MonitorSnapshot look = replication::LookAtOpenTransactions(agent->Local);
  agent->Local.ConnQuelbrant.SetConnected(false);
  ASSERT_EQ(look.open.size(), 1u);
  EXPECT_TRUE(look.open[0].writer);
  EXPECT_LT(look.open[0].id, look.horizon);
  ErpTransaction after(store.path());
  after.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('Y', 1)");
  fbtest::Admin db(store.path());
  EXPECT_GE(std::stoll(db.Scalar("SELECT MAX(MON$TRANSACTION_ID) FROM MON$TRANSACTIONS WHERE MON$ATTACHMENT_ID <> "
                                 "CURRENT_CONNECTION AND MON$READ_ONLY = 0")),
            look.horizon);
}

}  // namespace
