// The replication cycle end to end: the agent's own service object and cycle, a store database on
// the real Firebird server, and the stand-in central server process on a central database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

#include "cycle_fixture.h"

namespace {


class CycleTest : public cycletest::CycleFixture {};

using Lines = std::vector<std::string>;

TEST_F(CycleTest, InitialIndexSendsEverythingInBatchesOf50AndStamps) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('SEM', 0)");  // zero stock: not loaded
  AddOutgoing(120);
  StartCentral();
  StartAgent(/*verbose=*/true);
  Cycle();
  EXPECT_EQ(Applies(), (Lines{"50", "50", "20"}));
  EXPECT_EQ(ReceivedCount(), "120");
  EXPECT_EQ(CentralValue("SELECT RPL_INDICEESTOQUE FROM FILIAIS WHERE CODIGO = 7"), "120");
  EXPECT_EQ(CentralValue("SELECT ESTOQUEATUAL FROM LOGESTOQUEREC WHERE SEQUENCIALLOJAORIGEM = 7"), "7.25");
  EXPECT_NE(Stamp(), "");
  EXPECT_EQ(Log(), (Lines{"Iniciou o envio de registros", "Finalizou o envio de 120 registro(s)"}));
  EXPECT_FALSE(agent->Central.ConnServer.Connected());
  EXPECT_FALSE(agent->Local.ConnQuelbrant.Connected());
  EXPECT_TRUE(agent->Timer1->Enabled());

  // The next cycle finds the index at 120: nothing to send, no load again, and a quiet log.
  Cycle();
  EXPECT_EQ(Applies().size(), 3u);
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "120");
  EXPECT_EQ(Log().size(), 2u);
}

struct Batches {
  int rows;
  Lines applies;
};

class BatchBoundaryTest : public CycleTest, public ::testing::WithParamInterface<Batches> {};

TEST_P(BatchBoundaryTest, EveryRowSentInBatchesOf50) {
  AddOutgoing(GetParam().rows);
  StartCentral();
  StartAgent();
  Cycle();
  // With a multiple of 50 the final apply has nothing pending and does not reach the server.
  EXPECT_EQ(Applies(), GetParam().applies);
  EXPECT_EQ(ReceivedCount(), std::to_string(GetParam().rows));
  EXPECT_NE(Stamp(), "");
  EXPECT_TRUE(Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, BatchBoundaryTest,
                         ::testing::Values(Batches{50, {"50"}}, Batches{49, {"49"}}, Batches{101, {"50", "50", "1"}}),
                         [](const auto& info) { return std::to_string(info.param.rows); });

TEST_F(CycleTest, RejectedFirstBatchStopsReadingResendsOnceAndDoesNotStamp) {
  AddOutgoing(120);
  StartCentral({"--reject-seq", "3", "--reject-message", "produto bloqueado"});
  StartAgent(/*verbose=*/true);
  Cycle();
  // The batch of 50 is refused, the final apply sends the same 50 again, rows 51.. wait.
  EXPECT_EQ(Applies(), (Lines{"50", "50"}));
  EXPECT_EQ(ReceivedCount(), "0");
  EXPECT_EQ(Stamp(), "");
  const std::string rejected = messages::Format(messages::kRowsRejected, {"produto bloqueado"}).str();
  EXPECT_EQ(Log(), (Lines{"Iniciou o envio de registros", rejected, rejected, "Finalizou o envio de 50 registro(s)"}));
}

TEST_F(CycleTest, IndexTextDecidesTheInitialLoadAndTheRowsSent) {
  struct Case {
    std::vector<std::string> fault;
    bool loads;
  } cases[] = {{{"--index-text", "0"}, true},  {{"--index-null"}, true},       {{"--index-none"}, true},
               {{"--index-text", "00"}, false}, {{"--index-text", " 0"}, false}, {{"--index-text", "0.0"}, false}};
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', -2.5)");
  int expected_rows = 0;
  for (const auto& c : cases) {
    StartCentral(c.fault);
    StartAgent();
    Cycle();
    if (c.loads) expected_rows += 2;
    EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), std::to_string(expected_rows)) << c.fault[0];
    agent.reset();
    central.reset();
    // Each case stands for a central server met for the first time, not for one that lost what
    // an earlier load sent.
    std::filesystem::remove(app / "Tavrimondo_Estado.txt");
  }
}

TEST_F(CycleTest, RowsAboveTheIndexOnlyInAscendingOrder) {
  AddOutgoing(30);
  StartCentral({"--index-text", "25"});
  StartAgent();
  Cycle();
  EXPECT_EQ(ReceivedCount(), "5");
  EXPECT_EQ(CentralValue("SELECT MIN(SEQUENCIALLOJAORIGEM) FROM LOGESTOQUEREC"), "26");
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "30");  // no initial load
}

TEST_F(CycleTest, IdleCycleStampsAndLogsNothingEvenWhenVerbose) {
  // The store's generator has given 99 values, all of them at the central server.
  GeneratorAt(99);
  StartCentral({"--index-text", "99"});
  StartAgent(/*verbose=*/true);
  Cycle();
  EXPECT_TRUE(Applies().empty());
  EXPECT_NE(Stamp(), "");
  EXPECT_TRUE(Log().empty());
}

TEST_F(CycleTest, RejectedStampIsOneLineAndTheCycleEnds) {
  GeneratorAt(99);
  StartCentral({"--index-text", "99", "--reject-stamp", "--reject-message", "filial bloqueada"});
  StartAgent();
  Cycle();
  EXPECT_EQ(Log(), (Lines{messages::Format(messages::kStampRejected, {"filial bloqueada"}).str()}));
  EXPECT_FALSE(agent->Central.ConnServer.Connected());
}

TEST_F(CycleTest, AnUnreachableCentralIsLoggedOnceWhileItLastsAndItsMendingOnce) {
  StartCentral();
  StartAgent();  // the start connects
  const std::string where = "127.0.0.1:" + std::to_string(central->port());
  central.reset();  // nobody listens there any more
  // The connection the start opened is found dropped by the cycle's first exchange: a failure for
  // the event log, after which the connection is closed.
  EXPECT_THROW(Cycle(), std::exception);
  Cycle();
  Cycle();
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u) << "a cycle every ten seconds, one line while it lasts";
  EXPECT_EQ(log[0].rfind("Falha ao conectar no Servidor Central (" + where + "): Cannot connect to " + where, 0), 0u)
      << log[0];
  EXPECT_FALSE(agent->Local.ConnQuelbrant.Connected());
  EXPECT_TRUE(agent->Timer1->Enabled());

  StartCentral();
  PointAtCentral(central->port());
  Cycle();
  ASSERT_EQ(Log().size(), 2u);
  EXPECT_EQ(Log()[1].rfind("Reconectou no Servidor Central (127.0.0.1:" + std::to_string(central->port()) +
                               "), que falhava desde ",
                           0),
            0u)
      << Log()[1];
}

TEST_F(CycleTest, FailureWhileReadingEscapesForTheEventLogAfterClosingEverything) {
  StartCentral({"--index-text", "5"});
  StartAgent();
  Store("DROP TABLE RPL_LOGESTOQUE_ENV");
  EXPECT_THROW(Cycle(), std::exception);
  EXPECT_TRUE(Log().empty());  // not the activity log's
  EXPECT_FALSE(agent->Central.ConnServer.Connected());
  EXPECT_FALSE(agent->Local.ConnQuelbrant.Connected());
  EXPECT_TRUE(agent->Timer1->Enabled());
}

// The record next to the executable after a sent, an idle and two failed cycles (one that cannot
// connect, one that fails while reading, which escapes for the event log): written in every case.
TEST_F(CycleTest, TheRecordAfterASentAnIdleAndAFailedCycle) {
  using Json = nlohmann::json;
  auto record = [&] { return Json::parse(testutil::ReadFile(app / "Tavrimondo_cycle.json")); };
  AddOutgoing(120);
  StartCentral();
  StartAgent();

  Cycle();
  Json j = record();
  EXPECT_EQ(j["last_cycle"]["outcome"], "sent");
  EXPECT_EQ(j["last_cycle"]["rows_read"], 120);
  EXPECT_EQ(j["last_cycle"]["rows_accepted"], 120);
  EXPECT_EQ(j["last_cycle"]["rows_rejected"], 0);
  EXPECT_EQ(j["last_cycle"]["index_before"], "");
  EXPECT_EQ(j["last_cycle"]["index_after"], "120");
  EXPECT_EQ(j["last_cycle"]["error"], "");
  EXPECT_NE(j["summary"].get<std::string>().find("sent 120 rows, index none -> 120."), std::string::npos) << j["summary"];

  Cycle();
  j = record();
  EXPECT_EQ(j["last_cycle"]["outcome"], "idle");
  EXPECT_EQ(j["last_cycle"]["index_before"], "120");
  EXPECT_EQ(j["last_cycle"]["rows_read"], 0);

  const std::uint16_t port = central->port();
  central.reset();
  StartAgent(false, port);  // nobody listens there any more
  Cycle();
  j = record();
  EXPECT_EQ(j["last_cycle"]["outcome"], "failed");
  // The connection's failure; the start has logged it, and no cycle within the hour logs it again.
  EXPECT_EQ(j["last_cycle"]["error"].get<std::string>().rfind("Cannot connect to 127.0.0.1:", 0), 0u);
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(j["counters"]["cycles"], 1);             // a new service object counts anew

  StartCentral({"--index-text", "5"});
  StartAgent();
  Store("DROP TABLE RPL_LOGESTOQUE_ENV");
  EXPECT_THROW(Cycle(), std::exception);
  j = record();
  EXPECT_EQ(j["last_cycle"]["outcome"], "failed");
  EXPECT_EQ(j["last_cycle"]["index_before"], "5");
  EXPECT_NE(j["last_cycle"]["error"].get<std::string>().find("RPL_LOGESTOQUE_ENV"), std::string::npos) << j["last_cycle"];
  EXPECT_EQ(j["counters"]["failed"], 1);
  EXPECT_EQ(j["counters"]["consecutive_failures"], 1);
}

}  // namespace
