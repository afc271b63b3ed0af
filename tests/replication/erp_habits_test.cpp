// The cycle beside ERP programs as stores run them: transactions that commit with COMMIT RETAIN and
// go on for the day, cashiers who leave a sale open for minutes, inserts refused and left open,
// values drawn by hand, long statements; ERP transactions that change a product while the agent
// sends its stock again; product codes in WIN1252 and UTF8 that ISO8859_1 cannot carry; rows
// deleted at the top, a restored backup and a generator put right again. Whatever they do, the
// central server ends with the store's stock. Real Firebird server, real stand-in central server.
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "common/text.h"
#include "cycle_fixture.h"
#include "platform/os.h"
#include "replication/replication_state.h"

namespace {

using cycletest::ErpTransaction;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

class ErpTest : public cycletest::CycleFixture {
 protected:
  void SetUp() override {
    CycleFixture::SetUp();
    for (const char* p : {"A", "B", "C", "D", "E"})
      Store(std::string("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('") + p + "', 10)");
  }
  // The agent, started on a store whose initial load has reached the central server.
  void StartLoaded() {
    StartCentral();
    StartAgent();
    Cycle();
    Cycle();
    ASSERT_EQ(CentralIndex(), "5");
    ClearLog();
  }
  replication::ReplicationState State() { return replication::StateFile(app / replication::kStateFileName).Read(); }
  std::string Generator() {
    return StoreValue("SELECT TRIM(RDB$GENERATOR_NAME) FROM RDB$RELATION_FIELDS "
                      "WHERE RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND RDB$FIELD_NAME = 'SEQUENCIAL'");
  }
  void Sale(const std::string& product, int stock) {
    ErpTransaction t(store.path());
    t.Sale(product, stock);
    t.Commit();
  }
  // A value lost to a rolled-back insert.
  void RolledBack() {
    ErpTransaction t(store.path());
    t.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('NADA', 0)");
    t.Rollback();
  }
  std::int64_t Highest() { return std::stoll(StoreValue("SELECT MAX(SEQUENCIAL) FROM RPL_LOGESTOQUE_ENV")); }
  // Cycles until the central index reaches the store's highest row; how many it took (at most `max`).
  int CyclesToCatchUp(int max) {
    for (int n = 1; n <= max; ++n) {
      Cycle();
      if (CentralIndex() == std::to_string(Highest())) return n;
    }
    return max + 1;
  }
};

// The agent's looks at the monitoring tables tell a transaction that inserts from one that only
// did long ago: it needs one earlier look to compare with, which a running agent always has.
TEST_F(ErpTest, EachKindOfErpTransactionHoldsAGapOnlyAsLongAsItMayStillWriteIt) {
  struct Case {
    const char* what;
    int cycles;  // cycles until the rows above the gap reach the central server
  };
  StartLoaded();
  // One earlier look, as a running agent has had: a gap passed at once.
  RolledBack();
  Sale("A", 9);
  ASSERT_EQ(CyclesToCatchUp(1), 1);

  {
    // A hard-committing writer, then idle in a new transaction.
    ErpTransaction till(store.path());
    till.Sale("B", 8);
    till.Commit();
    ErpTransaction next_sale(store.path());
    next_sale.Exec("SELECT COUNT(*) FROM PRODUTOS");
    RolledBack();
    Sale("C", 7);
    EXPECT_EQ(CyclesToCatchUp(5), 1) << "a hard-committing writer";
  }
  {
    // A soft commit after an insert, then idle for the rest of the day.
    ErpTransaction till(store.path());
    till.Sale("B", 6);
    till.CommitRetaining();
    RolledBack();  // an earlier look must know the till: one gap to look at
    Sale("C", 5);
    Cycle();
    RolledBack();
    Sale("C", 4);
    EXPECT_EQ(CyclesToCatchUp(5), 1) << "a soft commit, then idle";
    till.Commit();
  }
  {
    // An insert refused by a foreign key, left open: its value is a gap that nothing fills.
    Store("ALTER TABLE RPL_LOGESTOQUE_ENV ADD CONSTRAINT FK_PRODUTO FOREIGN KEY (CODIGOPRODUTO) REFERENCES PRODUTOS (CODIGO)");
    ErpTransaction till(store.path());
    EXPECT_ANY_THROW(till.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('SEM', 1)"));
    Sale("D", 3);
    EXPECT_LE(CyclesToCatchUp(5), 3) << "an insert refused by a foreign key, left open";
    till.Rollback();
    Store("ALTER TABLE RPL_LOGESTOQUE_ENV DROP CONSTRAINT FK_PRODUTO");
  }
  {
    // A value drawn by GEN_ID and inserted later: passed at once, and watched.
    ErpTransaction late(store.path());
    const std::string v =
        fbtest::Admin(store.path()).Scalar("SELECT GEN_ID(" + Generator() + ", 1) FROM RDB$DATABASE");
    Sale("E", 2);
    EXPECT_EQ(CyclesToCatchUp(5), 1) << "GEN_ID only";
    late.Exec("UPDATE PRODUTOS SET ESTOQUEATUAL = 1 WHERE CODIGO = 'E'");
    late.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + v + ", 'E', 1)");
    late.Commit();
    ClearLog();
    Cycle();
    EXPECT_EQ(Log(), (Lines{"SEQUENCIAL " + v +
                            " (produto E) apareceu depois de liberado e ficou abaixo do índice do Servidor Central; o "
                            "estoque atual do produto foi reenviado"}));
  }
  {
    // A statement running: it holds the gap below it, up to the valve.
    agent->Replication.gaps.limits.pass_after = 4s;  // 30 minutes in a store
    ErpTransaction locker(store.path());
    locker.Exec("UPDATE PRODUTOS SET DESCRICAO = 'ocupado' WHERE CODIGO = 'A'");
    ErpTransaction waiting(store.path(), /*lock_wait_seconds=*/30);
    waiting.Sale("C", 12);  // its row: a value below the next ones
    auto blocked = std::async(std::launch::async, [&] {
      waiting.Exec("UPDATE PRODUTOS SET DESCRICAO = 'venda' WHERE CODIGO = 'A'");  // waits for the locker
    });
    std::this_thread::sleep_for(300ms);
    Sale("D", 11);
    const auto start = std::chrono::steady_clock::now();
    const std::string before = CentralIndex();
    for (int i = 0; i < 4; ++i) Cycle();
    EXPECT_EQ(CentralIndex(), before) << "a running statement holds the gap";
    while (std::chrono::steady_clock::now() - start < 4500ms) std::this_thread::sleep_for(100ms);
    ClearLog();
    EXPECT_EQ(CyclesToCatchUp(1), 1) << "passed at the valve";
    const Lines log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(" aguardou mais de 4 segundos por transações do banco local e foi liberado"), std::string::npos)
        << log[0];
    EXPECT_NE(log[0].find("retido por: transação "), std::string::npos) << log[0];
    locker.Rollback();
    blocked.get();
    waiting.Commit();
    Cycle();
  }
  Cycle();
  Cycle();
  ExpectCentralEqualsStore();
}

TEST_F(ErpTest, ACashiersSaleLeftOpenForMinutesHoldsNoOneAndItsProductGoesOnceWhenItCommits) {
  StartLoaded();
  ErpTransaction cashier(store.path());
  cashier.Sale("A", 3);  // its row is the lowest value from here on
  for (int cycle = 0; cycle < 18; ++cycle) {  // three minutes of cycles while the other tills sell
    Sale("B", 20 - cycle);
    Cycle();
  }
  EXPECT_EQ(CentralStock("B"), "3") << "the other tills' rows went while the cashier's sale was open";
  cashier.Commit();
  ClearLog();
  Cycle();
  Cycle();
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("(produto A) apareceu depois de liberado"), std::string::npos) << log[0];
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOPRODUTO = 'A'"), "2")
      << "the load's row and one re-log; the late row itself stays below the index";
  ExpectCentralEqualsStore();
}

TEST_F(ErpTest, ARelogBesideAnOpenChangeOfTheProductEndsWithTheCommittedStock) {
  StartLoaded();
  // A value passed without a row, which a late row of A will fill: the agent sends A again.
  const std::string v = fbtest::Admin(store.path()).Scalar("SELECT GEN_ID(" + Generator() + ", 1) FROM RDB$DATABASE");
  Sale("B", 9);
  Cycle();
  ASSERT_EQ(CentralIndex(), std::to_string(Highest()));
  Store("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + v + ", 'A', 10)");

  // Meanwhile the ERP changes A and logs it, and commits only after the agent's re-log read A.
  ErpTransaction erp(store.path());
  erp.Sale("A", 4);
  Cycle();  // the re-log of A, with the stock committed now (10), above the ERP's row
  erp.Commit();
  for (int i = 0; i < 4; ++i) Cycle();
  EXPECT_EQ(CentralStock("A"), "4");
  ExpectCentralEqualsStore();
}

// The central server keeps codes as a Windows server does, in Windows-1252.
TEST(ErpCodes, CodesOutsideIso88591ArriveAsTheStoreWroteThemAndOneThatCannotGoIsNamed) {
  struct Case {
    const char* charset;
    const char* hex;       // the code's bytes in the database
    const char* utf8;      // the code
    bool sendable;         // Windows-1252 holds it
  } cases[] = {
      {"WIN1252", "4180", "A\xE2\x82\xAC", true},              // A€
      {"WIN1252", "93419497", "\xE2\x80\x9C" "A\xE2\x80\x9D\xE2\x80\x94", true},  // “A”—
      {"UTF8", "41E282AC", "A\xE2\x82\xAC", true},
      {"UTF8", "41E697A5", "A\xE6\x97\xA5", false},            // A日
      {"ISO8859_1", "41E7", "A\xC3\xA7", true},                // Aç
      {"NONE", "4180", "A\xE2\x82\xAC", true},                 // read as Windows-1252
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.charset) + " " + c.hex);
    // A fixture of its own per case: the store database's character set is fixed at creation.
    testutil::TempDir app;
    fbtest::StoreDb store(c.charset);
    fbtest::CentralDb central_db;
    settings::SetAppDirectoryOverride(app.path());
    fbtest::Admin db(store.path());
    db.Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 7)");
    const std::string code = std::string("CAST(CAST(x'") + c.hex +
                             "' AS VARCHAR(20) CHARACTER SET OCTETS) AS VARCHAR(20) CHARACTER SET " + c.charset + ")";
    for (const std::string& p : {std::string("'P1'"), std::string("'P2'"), code, std::string("'P4'")})
      db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + p + ", 1)");
    std::filesystem::create_directories(app / "central");
    central_child::Server central(TAVRIMONDO_CENTRAL_EXE, app / "central/",
                                  {"--firebird", central_db.path(), "--firebird-server", fbtest::Host(),
                                   "--firebird-password", fbtest::AdminPassword(), "--branch", "7"});
    central.Start();
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + store.path() + "\r\n");
    replication::MainLoop loop;
    {
      TTavrimondoClient agent(loop);
      auto& params = agent.Central.ConnServer.Params;
      params[params.IndexOfName("Port")] = "Port=" + std::to_string(central.port());
      bool started = true;
      agent.ServiceStart(started);
      agent.Timer1Timer();
      agent.Timer1Timer();
    }
    fbtest::Admin central_admin(central_db.path());
    const std::string received = central_admin.Scalar("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7");
    const std::vector<std::string> log = fbtest::LogMessages(app.path());
    if (c.sendable) {
      EXPECT_EQ(received, "4") << testing::PrintToString(log);
      const std::string hex = central_admin.Scalar(
          "SELECT CAST(CODIGOPRODUTO AS VARCHAR(20) CHARACTER SET OCTETS) FROM LOGESTOQUEREC WHERE SEQUENCIALLOJAORIGEM = 3");
      bool ok = false;
      EXPECT_EQ(os::CodePageToUtf8(1252, text::Utf8ToLatin1(hex), &ok), c.utf8);
    } else {
      EXPECT_EQ(received, "2") << "the rows before it go, it and the rows after it wait";
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back().rfind(std::string("SEQUENCIAL 3 (produto ") + c.utf8 + ") não pode ser enviado", 0), 0u)
          << log.back();
    }
    settings::SetAppDirectoryOverride("");
  }
}

TEST_F(ErpTest, ARowTheServerCannotDeliverIsNamedAndTheRowsBeforeItGo) {
  // A WIN1252 code read as ISO8859_1 fails the fetch; here a stock the server cannot convert does
  // the same to a row of its own: a computed column that divides by zero for one product.
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ADD FATOR INTEGER DEFAULT 1");
  StartLoaded();
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ALTER ESTOQUEATUAL TO ESTOQUE_GRAVADO");
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ADD ESTOQUEATUAL COMPUTED BY (ESTOQUE_GRAVADO / FATOR)");
  for (int i = 0; i < 4; ++i)
    Store("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUE_GRAVADO, FATOR) VALUES ('P" + std::to_string(i) +
          "', 1, " + (i == 2 ? "0" : "1") + ")");
  Cycle();
  EXPECT_EQ(CentralIndex(), "7") << "the two rows before it";
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("SEQUENCIAL 8 não pode ser lido do banco local: ", 0), 0u) << log[0];
  EXPECT_NE(log[0].find("; os registros seguintes aguardam"), std::string::npos) << log[0];
  Store("UPDATE RPL_LOGESTOQUE_ENV SET FATOR = 1 WHERE SEQUENCIAL = 8");
  Cycle();
  EXPECT_EQ(CentralIndex(), "9");
}

TEST_F(ErpTest, AnIndexThatIsNotAPlainIntegerIsRefusedAndNothingGoes) {
  StartLoaded();
  Sale("A", 1);
  StartCentral({"--index-text", "1E3"});
  Cycle();
  EXPECT_EQ(Log(), (Lines{"O Servidor Central informou para a loja o índice \"1E3\", que não é um número inteiro: nenhum "
                          "registro é enviado até que ele seja corrigido no Servidor Central"}));
  EXPECT_EQ(ReceivedCount(), "5");
}

TEST_F(ErpTest, AColumnThatRefusesTheAgentsInsertsIsNamed) {
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ADD USUARIO VARCHAR(20) NOT NULL");
  StartCentral();
  StartAgent();
  Cycle();
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("A tabela RPL_LOGESTOQUE_ENV do banco local tem coluna obrigatória sem valor padrão (USUARIO): ",
                         0),
            0u)
      << log[0];
  EXPECT_EQ(ReceivedCount(), "0") << "nothing goes without the load";
  Cycle();
  EXPECT_EQ(Log().size(), 1u) << "said once, then hourly";
}

TEST_F(ErpTest, DeletedNewestRowsRaiseNoAlarmARestoreDoesAndTheGeneratorPutRightSendsWhatWasWritten) {
  StartLoaded();
  Sale("A", 9);
  Cycle();
  ASSERT_EQ(CentralIndex(), "6");
  // A cancelled sale: the ERP deletes its newest row.
  Store("DELETE FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL = 6");
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 10 WHERE CODIGO = 'A'");
  fbtest::Admin(central_db.path()).Exec("UPDATE FILIAIS SET RPL_ULTIMAATUALIZACAO = NULL WHERE CODIGO = 7");
  Cycle();
  Cycle();
  EXPECT_TRUE(Log().empty());
  EXPECT_NE(Stamp(), "") << "the branch row is stamped";
  Sale("A", 10);
  Cycle();
  EXPECT_EQ(CentralStock("A"), "10");

  // The store database restored from an older backup: the central server has rows it lacks.
  fbtest::Admin(central_db.path()).Exec("UPDATE FILIAIS SET RPL_INDICEESTOQUE = 1000, RPL_ULTIMAATUALIZACAO = NULL WHERE CODIGO = 7");
  Cycle();
  Sale("B", 4);  // 8: below the index, never read while the generator is below it
  Sale("C", 3);  // 9
  Cycle();
  Lines log = Log();
  ASSERT_EQ(log.size(), 1u) << "once, not every cycle";
  EXPECT_EQ(log[0], "O índice do Servidor Central para a loja (1000) está acima do gerador de SEQUENCIAL do banco local (" +
                        Generator() +
                        ", em 7; maior SEQUENCIAL 7): o banco parece restaurado de um backup antigo, e os registros "
                        "novos não serão enviados até que o SEQUENCIAL passe do índice. Para voltar a enviar, ajuste o "
                        "gerador para que o próximo SEQUENCIAL passe do índice: ALTER TABLE RPL_LOGESTOQUE_ENV ALTER "
                        "SEQUENCIAL RESTART WITH " + RestartWith(1001));
  EXPECT_EQ(Stamp(), "");

  // The technician runs the command the line gives.
  ClearLog();
  Store("ALTER TABLE RPL_LOGESTOQUE_ENV ALTER SEQUENCIAL RESTART WITH " + RestartWith(1001));
  Sale("D", 2);  // 1001
  Cycle();
  Cycle();
  log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "O SEQUENCIAL do banco local passou do índice do Servidor Central (1000) de novo: o estoque atual de "
                    "2 produto(s) dos 2 registro(s) gravados abaixo dele enquanto isso (SEQUENCIAL 8 a 1000) foi "
                    "reenviado");
  ExpectCentralEqualsStore();
  EXPECT_FALSE(State().restored_highest);
}

}  // namespace
