// The cycle in a store's long life: one stock snapshot per initial load, rows of transactions that
// commit out of order, rows the central server cannot take, a store without a code, a damaged
// state file, and stops or continues during a long send. Real Firebird server, real stand-in
// central server, the store's other programs as transactions of their own.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "cycle_fixture.h"
#include "replication/replication_state.h"
#include "replication/seeding.h"

namespace {

using cycletest::ErpTransaction;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

class CycleSafetyTest : public cycletest::CycleFixture {
 protected:
  std::string StateFile() { return app / replication::kStateFileName; }
  replication::ReplicationState State() { return replication::StateFile(StateFile()).Read(); }
  // Rows arrived in strictly ascending SEQUENCIAL: none twice, none out of order.
  void ExpectAscendingArrivals() {
    const auto a = Arrivals();
    for (std::size_t i = 1; i < a.size(); ++i)
      ASSERT_LT(a[i - 1], a[i]) << "arrival " << i << " of " << a.size();
  }
  void AddProducts(int n) {
    fbtest::Admin db(store.path());
    for (int i = 1; i <= n; ++i)
      db.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('P" + std::to_string(i) + "', " + std::to_string(i) +
              ")");
  }
};

TEST_F(CycleSafetyTest, ASnapshotWaitingToBeSentIsNeverSeededAgainAcrossARestart) {
  AddProducts(120);
  StartCentral({"--reject-seq", "1", "--reject-message", "produto bloqueado"});
  StartAgent();
  Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "120");
  EXPECT_EQ(Log().front(), "Realizou a carga inicial de 120 registro(s)");
  EXPECT_EQ(State().load_mark, 120);
  Cycle();
  StartAgent();  // the service restarts; only the state file remembers the load
  Cycle();
  EXPECT_EQ(ReceivedCount(), "0");
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "120") << "seeded more than once";

  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 500 WHERE CODIGO = 'P2'");
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P2', 500)");
  StartCentral();  // the central server takes the rows now
  Cycle();
  EXPECT_EQ(ReceivedCount(), "121");
  EXPECT_EQ(CentralStock("P1"), "1");
  EXPECT_EQ(CentralStock("P2"), "500");
  ExpectAscendingArrivals();
  Cycle();  // the index has reached the mark: forgotten
  EXPECT_EQ(State().load_mark, 0);

  // A deliberate reset of the central server seeds once more, once it has lasted three cycles.
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 0 WHERE CODIGO = 'P3'");
  fbtest::Admin(central_db.path()).Exec("UPDATE FILIAIS SET RPL_INDICEESTOQUE = NULL WHERE CODIGO = 7");
  ClearLog();
  Cycle();
  Cycle();
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "121");
  Cycle();
  EXPECT_EQ(Log(), (Lines{"O Servidor Central informou o índice \"\" para a loja, que já tinha índice (121); nada é "
                          "enviado, e uma nova carga inicial só será feita se ele continuar assim por 3 ciclos",
                          "Nova carga inicial: o Servidor Central informou o índice \"\", \"\", \"\" em 3 ciclos "
                          "seguidos, depois do índice 121",
                          "Realizou a carga inicial de 119 registro(s)"}));
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "240");
}

TEST_F(CycleSafetyTest, RowsOfTransactionsCommittingOutOfOrderAreSentInOrderAndARolledBackValueIsPassed) {
  AddOutgoing(5);
  StartCentral();  // its initial load finds no stock
  StartAgent();
  Cycle();
  ASSERT_EQ(CentralIndex(), "5");

  ErpTransaction late(store.path()), rolled_back(store.path());
  late.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('TARDE', 6)");      // 6
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('CEDO', 7)");           // 7
  rolled_back.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('NADA', 8)");  // 8
  rolled_back.Rollback();
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('DEPOIS', 9)");         // 9

  // 6 has just been written and may be committed in a moment: nothing above it goes yet (a
  // transaction that goes on inserting holds it for two cycles at most, see erp_habits_test).
  Cycle();
  EXPECT_EQ(CentralIndex(), "5");

  // The monitoring tables name what holds it back, for the technician.
  agent->Local.ConnQuelbrant.SetConnected(true);
  const replication::MonitorSnapshot look = replication::LookAtOpenTransactions(agent->Local);
  agent->Local.ConnQuelbrant.SetConnected(false);
  EXPECT_TRUE(look.complete);
  ASSERT_FALSE(look.open.empty());
  EXPECT_EQ(look.open.front().user, "SYSDBA");
  EXPECT_FALSE(look.open.front().address.empty());

  late.Commit();
  Cycle();
  EXPECT_EQ(CentralIndex(), "9");
  EXPECT_EQ(Arrivals(), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  EXPECT_TRUE(Log().empty());
}

TEST_F(CycleSafetyTest, ARowTheCentralServerCannotTakeIsLoggedOnceAndHoldsTheRowsAfterIt) {
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ALTER CODIGOPRODUTO TYPE VARCHAR(40)");  // the central field has 20
  AddOutgoing(3);
  Store("UPDATE RPL_LOGESTOQUE_ENV SET CODIGOPRODUTO = 'CODIGO-COMPRIDO-DEMAIS-25' WHERE SEQUENCIAL = 2");
  StartCentral();
  StartAgent();
  Cycle();
  Cycle();
  EXPECT_EQ(CentralIndex(), "1");
  EXPECT_EQ(Stamp(), "") << "a store that cannot send must not look up to date";
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u) << "once, not every cycle";
  EXPECT_EQ(log[0].rfind("SEQUENCIAL 2 (produto CODIGO-COMPRIDO-DEMAIS-25) não pode ser enviado ao Servidor Central: ", 0),
            0u)
      << log[0];
  EXPECT_NE(log[0].find("CODIGOPRODUTO"), std::string::npos) << log[0];

  Store("UPDATE RPL_LOGESTOQUE_ENV SET CODIGOPRODUTO = 'CURTO' WHERE SEQUENCIAL = 2");
  Cycle();
  EXPECT_EQ(CentralIndex(), "3");
  EXPECT_EQ(Log().size(), 1u);
}

TEST_F(CycleSafetyTest, AStoreWithoutACodeSendsNothingAndSaysSoOnce) {
  Store("UPDATE PADRAO SET CODIGOLOJA = NULL");
  AddOutgoing(3);
  StartCentral({"--branch", "0"});
  StartAgent();
  Cycle();
  Cycle();
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC"), "0");
  EXPECT_EQ(Log(), (Lines{messages::Format(messages::kNoStoreCode).str()}));
}

TEST_F(CycleSafetyTest, ADamagedStateFileCostsOneLineAndIsWrittenAnew) {
  AddProducts(3);
  testutil::WriteFile(StateFile(), "versao=1\nloja=\x01\x02 lixo\n");
  StartCentral({"--reject-seq", "1"});
  StartAgent();
  Cycle();
  const Lines log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].rfind("Arquivo de estado " + StateFile() + " ilegível (", 0), 0u) << log[0];
  EXPECT_EQ(log[1], "Realizou a carga inicial de 3 registro(s)");
  EXPECT_EQ(State().load_mark, 3);
  StartAgent();
  Cycle();
  EXPECT_EQ(Log().size(), 1u);  // the rejected row; the file reads fine now
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "3");
}

// The service as the service control manager drives it, on its own threads, while a cycle runs
// on another: the cycle gives way to a stop or continue at the next batch boundary.
class WaitingRequestTest : public CycleSafetyTest {
 protected:
  std::thread service_main;
  std::future<replication::CycleReport> cycle;

  void TearDown() override {
    if (service_main.joinable()) {
      agent->Controller(1);
      service_main.join();
    }
    if (cycle.valid()) cycle.wait();
    CycleSafetyTest::TearDown();
  }
  void RunService() {
    WriteSettings(false);
    agent = std::make_unique<TTavrimondoClient>(loop);
    PointAtCentral(central->port());
    service_main = std::thread([this] { agent->Main({"TavrimondoClient"}); });
    WaitFor([&] { return agent->Status() == service::TCurrentStatus::csRunning; }, "the service to run");
  }
  void StartCycle() {
    cycle = std::async(std::launch::async, [this] {
      replication::CycleReport report;
      replication::Timer1Timer({agent->Central, agent->Local, *agent->Timer1, agent->ConnectionLock, agent->Replication,
                                [this] { return agent->CycleShouldYield(); }, &report});
      return report;
    });
  }
  template <class F>
  void WaitFor(F&& condition, const std::string& what, std::chrono::seconds limit = 60s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
      ASSERT_LT(std::chrono::steady_clock::now(), until) << "waited in vain for " << what;
      std::this_thread::sleep_for(20ms);
    }
  }
  std::int64_t Received() { return std::stoll(ReceivedCount()); }
};

TEST_F(WaitingRequestTest, AContinueAndAStopDuringALongSendAreAnsweredWithinOneBatch) {
  constexpr int kRows = 20000;
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) "
        "WITH RECURSIVE N AS (SELECT 1 AS I FROM RDB$DATABASE UNION ALL SELECT I + 1 FROM N WHERE I < 200) "
        "SELECT 'P' || ((A.I - 1) * 200 + B.I), B.I FROM N A CROSS JOIN N B WHERE A.I <= 100 ORDER BY A.I, B.I");
  ASSERT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), std::to_string(kRows));
  StartCentral({"--delay-ms", "5"});
  RunService();

  StartCycle();
  WaitFor([&] { return Received() >= 1000; }, "the first thousand rows");
  std::int64_t at_request = Received();
  agent->Controller(3);  // continue
  ASSERT_EQ(cycle.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(cycle.get().outcome, replication::CycleOutcome::kStoppedEarly);
  EXPECT_LE(Received() - at_request, 2 * replication::kBatchSize) << "the cycle went on after the request";
  WaitFor([&] { return !Log().empty() && Log().back() == "Retomou o Serviço"; }, "the continue");

  StartCycle();
  WaitFor([&] { return Received() >= at_request + 3000; }, "three thousand rows more");
  at_request = Received();
  agent->Controller(1);  // stop
  ASSERT_EQ(cycle.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(cycle.get().outcome, replication::CycleOutcome::kStoppedEarly);
  EXPECT_LE(Received() - at_request, 2 * replication::kBatchSize);
  service_main.join();
  EXPECT_EQ(agent->Status(), service::TCurrentStatus::csStopped);
  EXPECT_LT(Received(), kRows);

  // After a restart the rest goes, each row once and in order.
  StartAgent();
  Cycle();
  EXPECT_EQ(Received(), kRows);
  EXPECT_EQ(Arrivals().size(), static_cast<std::size_t>(kRows));
  ExpectAscendingArrivals();
}

TEST_F(WaitingRequestTest, AStopIsAnsweredWhileAContinueWaitsForACycleStuckOnTheCentralServer) {
  AddOutgoing(300);
  StartCentral({"--delay-ms", "20"});
  RunService();
  agent->Central.ConnServer.timeouts.exchange = 20s;

  StartCycle();
  WaitFor([&] { return Received() >= 50; }, "the first batch");
  ::kill(central->pid(), SIGSTOP);  // the next answer never comes until the time-out
  agent->Controller(3);
  WaitFor([&] { return agent->Status() == service::TCurrentStatus::csContinuePending; }, "the continue to begin");
  const auto t0 = std::chrono::steady_clock::now();
  agent->Controller(1);
  service_main.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << "the stop waited behind the continue";
  EXPECT_EQ(cycle.wait_for(0s), std::future_status::timeout) << "the cycle should still be waiting for the central";
  ::kill(central->pid(), SIGCONT);
  cycle.wait();
  const Lines log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Retomou o Serviço"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Parou o Serviço"), 1);
}

}  // namespace
