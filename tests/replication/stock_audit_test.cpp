// The stock audit in the agent's own cycle: a stock changed without a row is found and sent again,
// a row still waiting is left to go, an ERP transaction open beside the audit never leaves the
// central server with an older stock, and the reading is paced in short transactions. Real
// Firebird server, real stand-in central server; both ways of reading (one scan of the log, and a
// lookup per product where the log has an index on CODIGOPRODUTO).
#include <unistd.h>

#include <chrono>
#include <ctime>

#include <nlohmann/json.hpp>

#include "cycle_fixture.h"
#include "replication/cycle_record.h"
#include "replication/replication_state.h"

namespace {

using cycletest::ErpTransaction;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

class AuditTest : public cycletest::CycleFixture, public ::testing::WithParamInterface<bool> {
 protected:
  std::int64_t now = std::time(nullptr);
  std::vector<std::string> pauses;  // what each pause between two steps saw (see OpenTransactionsOfTheAgent)

  bool ByIndex() const { return GetParam(); }
  void SetUp() override {
    CycleFixture::SetUp();
    if (ByIndex()) Store("CREATE INDEX IX_LOG_PRODUTO ON RPL_LOGESTOQUE_ENV (CODIGOPRODUTO)");
  }
  void StartAgent() {
    CycleFixture::StartAgent();
    agent->Replication.clock = [this] { return now; };
    agent->Replication.audit_pacing.pause = 1ms;
  }
  // The next audit hour comes before the next cycle.
  void AuditHourPasses() { now += 25 * 3600; }
  // Products with their stock, and the central server holding all of them (the initial load sent,
  // and the audit that follows it done).
  void LoadedStore(const std::vector<std::pair<std::string, int>>& products) {
    for (const auto& [code, stock] : products)
      Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('" + code + "', " + std::to_string(stock) + ")");
    StartCentral();
    StartAgent();
    Cycle();  // the load
    Cycle();  // sent: the audit that follows a load
    ASSERT_EQ(CentralIndex(), std::to_string(products.size()));
    ClearLog();
  }
  // The transactions the agent's connections hold open now, seen from another connection.
  std::string OpenTransactionsOfTheAgent() {
    return StoreValue("SELECT COUNT(*) FROM MON$TRANSACTIONS T JOIN MON$ATTACHMENTS A ON A.MON$ATTACHMENT_ID = "
                      "T.MON$ATTACHMENT_ID WHERE A.MON$REMOTE_PID = " +
                      std::to_string(::getpid()) + " AND A.MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
  }
  std::string CentralRows(const std::string& product) {
    return CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7 AND CODIGOPRODUTO = '" + product + "'");
  }
  // The activity log's audit lines, the time the audit took cut off its summary.
  Lines AuditLines() {
    Lines out;
    for (std::string l : Log()) {
      if (l.rfind("Auditoria do estoque", 0) != 0 && l.rfind("A auditoria", 0) != 0) continue;
      const std::size_t took = l.rfind(", em ");
      if (took != std::string::npos && l.find("reenviado(s)") != std::string::npos) l.erase(took);
      out.push_back(l);
    }
    return out;
  }
  nlohmann::json LastAudit() { return nlohmann::json::parse(agent->Record.Json())["last_audit"]; }

  void ErpSaleBesideTheAudit(bool commit_during) {
    LoadedStore({{"A", 10}, {"B", 5}});
    Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 12 WHERE CODIGO = 'A'");  // differs: 12 against 10
    auto sale = std::make_unique<ErpTransaction>(store.path());
    sale->Sale("A", 15);
    agent->Replication.audit_pacing.step_rows = 1;
    agent->Replication.audit_pacing.wait = [&](std::chrono::milliseconds) {
      if (commit_during && sale) {
        sale->Commit();
        sale.reset();
      }
    };
    AuditHourPasses();
    Cycle();
    ASSERT_EQ(AuditLines().size() > 0, true) << testing::PrintToString(Log());
    if (sale) sale->Commit();
    sale.reset();
    for (int i = 0; i < 6 && CentralStock("A") != "15"; ++i) Cycle();
    EXPECT_EQ(CentralStock("A"), "15") << testing::PrintToString(Log());
    ExpectCentralEqualsStore();
  }
};

INSTANTIATE_TEST_SUITE_P(Log, AuditTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ByIndex" : "Scanned"; });

TEST_P(AuditTest, AStockChangedWithoutARowIsSentAgainAndTheCentralServerEndsEqual) {
  LoadedStore({{"A", 3}, {"B", 5}, {"C", 8}});
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 7.25 WHERE CODIGO = 'A'");  // a fix in SQL, no row
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('NOVO', 0)");  // never logged
  Cycle();
  EXPECT_TRUE(AuditLines().empty()) << "not due before the audit hour";

  AuditHourPasses();
  Cycle();
  EXPECT_EQ(AuditLines(),
            (Lines{"Auditoria do estoque: 4 produto(s) lido(s), 2 diferente(s) do Servidor Central, 2 reenviado(s)",
                   "Auditoria do estoque: produto A com estoque 7,25 no banco local; o Servidor Central recebeu 3",
                   "Auditoria do estoque: produto NOVO com estoque 0 no banco local; nunca foi enviado ao Servidor "
                   "Central"}));
  const nlohmann::json audit = LastAudit();
  EXPECT_EQ(audit["products"], 4);
  EXPECT_EQ(audit["differing"], 2);
  EXPECT_EQ(audit["relogged"], 2);
  EXPECT_EQ(audit["error"], "");
  const replication::ReplicationState state = replication::StateFile(app / replication::kStateFileName).Read();
  ASSERT_TRUE(state.last_audit);
  EXPECT_EQ(state.last_audit->differing, 2);
  EXPECT_EQ(state.audit_since, now);

  Cycle();
  ExpectCentralEqualsStore();
  EXPECT_EQ(CentralStock("A"), "7.25");
  EXPECT_EQ(CentralRows("B"), "1") << "an equal product is left alone";

  // Equal now: the next audit finds nothing, and comes only with the next audit hour.
  ClearLog();
  Cycle();
  EXPECT_TRUE(AuditLines().empty());
  AuditHourPasses();
  Cycle();
  EXPECT_EQ(AuditLines(),
            (Lines{"Auditoria do estoque: 4 produto(s) lido(s), 0 diferente(s) do Servidor Central, 0 reenviado(s)"}));
}

TEST_P(AuditTest, AProductWhoseNewerRowWaitsAboveTheIndexIsNotSentAgain) {
  LoadedStore({{"A", 3}, {"B", 5}});
  // A till's sale still open holds the value below B's new row: B's row waits above the index.
  ErpTransaction till(store.path());
  till.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('A', 2)");
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 9 WHERE CODIGO = 'B'");
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('B', 9)");
  AuditHourPasses();
  Cycle();
  ASSERT_EQ(CentralIndex(), "2") << "B's row is held behind the till's value";
  EXPECT_EQ(AuditLines(),
            (Lines{"Auditoria do estoque: 2 produto(s) lido(s), 0 diferente(s) do Servidor Central, 0 reenviado(s)"}));

  till.Rollback();
  Cycle();
  ExpectCentralEqualsStore();
  EXPECT_EQ(CentralRows("B"), "2") << "the load's row and the sale's, nothing more";
}

// An ERP sale of a product that differs, open while the audit reads: committed between two of its
// steps, or only after the audit wrote the product's row. Either way the central server ends with
// the committed stock.
TEST_P(AuditTest, AnErpSaleCommittedBetweenTwoStepsOfTheAuditEndsWithTheCommittedStock) {
  ErpSaleBesideTheAudit(true);
}
TEST_P(AuditTest, AnErpSaleOpenThroughTheAuditEndsWithTheCommittedStock) { ErpSaleBesideTheAudit(false); }

TEST_P(AuditTest, TheReadingIsSplitIntoStepsThatEachEndTheirTransaction) {
  std::vector<std::pair<std::string, int>> products;
  for (int i = 1; i <= 30; ++i) products.push_back({"P" + std::to_string(i), i});
  LoadedStore(products);
  AddOutgoing(120);  // P1..P120 once more, with the stock i + 0.25
  Cycle();
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 1.25 WHERE CODIGO = 'P1'");  // as P1's last row says
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 99 WHERE CODIGO = 'P30'");
  agent->Replication.audit_pacing.step_rows = 10;
  agent->Replication.audit_pacing.step = 1h;  // the rows alone end a step, however slow the machine
  agent->Replication.audit_pacing.wait = [&](std::chrono::milliseconds) { pauses.push_back(OpenTransactionsOfTheAgent()); };
  AuditHourPasses();
  Cycle();
  // The products in 3 steps; the log's 150 rows in 15 more, unless each product is looked up.
  EXPECT_EQ(pauses.size(), ByIndex() ? 2u : 17u);
  EXPECT_EQ(pauses, Lines(pauses.size(), "0")) << "a transaction left open between two steps";
  // Every product but P1 was logged with i + 0.25 last; the first 20 by code are named.
  const Lines lines = AuditLines();
  ASSERT_EQ(lines.size(), 21u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "Auditoria do estoque: 30 produto(s) lido(s), 29 diferente(s) do Servidor Central, 29 reenviado(s)");
  EXPECT_EQ(lines[1], "Auditoria do estoque: produto P10 com estoque 10 no banco local; o Servidor Central recebeu 10,25");
  Cycle();
  ExpectCentralEqualsStore();
}

TEST_P(AuditTest, AnAuditThatCannotFinishSaysWhyAndIsTriedAgainAnHourLater) {
  LoadedStore({{"A", 3}, {"B", 5}});
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 4 WHERE CODIGO = 'A'");
  agent->Replication.audit_pacing.step_rows = 1;
  bool cut = false;
  agent->Replication.audit_pacing.wait = [&](std::chrono::milliseconds) {
    if (cut) return;
    cut = true;  // the store's server drops the agent's connection in the middle of the audit
    Store("DELETE FROM MON$ATTACHMENTS WHERE MON$REMOTE_PID = " + std::to_string(::getpid()) +
          " AND MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
  };
  AuditHourPasses();
  Cycle();
  const Lines lines = AuditLines();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(Log());
  EXPECT_EQ(lines[0].rfind("A auditoria do estoque não terminou (1 produto(s) lido(s)): ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("; será tentada de novo em 1 hora"), std::string::npos) << lines[0];
  EXPECT_NE(LastAudit()["error"], "");

  ClearLog();
  Cycle();
  EXPECT_TRUE(AuditLines().empty()) << "not again within the hour";
  now += 3601;
  Cycle();
  EXPECT_EQ(AuditLines().size(), 2u) << testing::PrintToString(Log());
  Cycle();
  ExpectCentralEqualsStore();
}

TEST_P(AuditTest, AuditoriaHoraMovesTheAuditAndMinusOneTurnsItOff) {
  LoadedStore({{"A", 3}});
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 4 WHERE CODIGO = 'A'");
  auto setting = [&](const std::string& value) {
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + store.path() + "\r\nAuditoriaHora=" + value + "\r\n");
  };
  setting("-1");
  AuditHourPasses();
  Cycle();
  EXPECT_TRUE(AuditLines().empty());
  setting("25");
  Cycle();
  EXPECT_EQ(Log().at(0), "AuditoriaHora=25 não é uma hora (0 a 23, ou -1 para não auditar): a auditoria do estoque é "
                         "feita às 3 horas");
  EXPECT_EQ(AuditLines().size(), 2u) << "the default hour has passed";
}

}  // namespace
