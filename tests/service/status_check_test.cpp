// The status check against a store database on the real Firebird server and the stand-in central
// server process: what it finds, its verdict, its JSON form, and that it changes nothing. The
// service manager's answer is the one seam (the daemon tests ask the real one).
#include "service/status_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fb_test_env.h"
#include "server_process.h"
#include "replication/cycle_record.h"
#include "service/tavrimondo_client.h"
#include "settings/app_dir.h"
#include "test_util.h"

namespace {

namespace status = service::status;
using Json = nlohmann::json;

constexpr int kLoja = 7;

service::host::ServiceQuery Service(const char* state, bool installed = true, bool known = true) {
  service::host::ServiceQuery q;
  q.known = known;
  q.installed = installed;
  q.state = known ? state : "";
  q.pid = std::string(state) == "stopped" ? 0 : 4321;
  if (!known) q.error = "Access is denied.";
  return q;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& what) {
  for (const auto& l : lines)
    if (l.find(what) != std::string::npos) return true;
  return false;
}

class StatusCheckTest : public ::testing::Test {
 protected:
  testutil::TempDir app;
  fbtest::StoreDb store;
  fbtest::CentralDb central_db;
  std::unique_ptr<testutil::ServerProcess> central;
  std::uint16_t central_port = 0;
  service::host::ServiceQuery service_state = Service("running");

  void SetUp() override {
    settings::SetAppDirectoryOverride(app.path());
    Store("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, " + std::to_string(kLoja) + ")");
    WriteSettings(store.path());
  }
  void TearDown() override {
    central.reset();
    settings::SetAppDirectoryOverride("");
  }

  void WriteSettings(const std::string& caminho, const std::string& extra = "") {
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + caminho + "\r\nVendorLib=\r\n" + extra);
  }
  void StartCentral(std::vector<std::string> faults = {}) {
    std::vector<std::string> args = {"--firebird", central_db.path(), "--firebird-server", fbtest::Host(),
                                     "--firebird-password", fbtest::AdminPassword(), "--branch", std::to_string(kLoja)};
    args.insert(args.end(), faults.begin(), faults.end());
    std::filesystem::create_directories(app / "central");
    central = std::make_unique<testutil::ServerProcess>(TAVRIMONDO_CENTRAL_EXE, app / "central", args);
    central_port = central->port();
  }
  // A port nobody listens on any more.
  void CentralDown() {
    StartCentral();
    central.reset();
  }

  status::StatusResult Check() {
    status::Options o;
    o.central_port = central_port;
    o.query_service = [this](const service::host::RecordedService&) { return service_state; };
    return status::Gather(o);
  }

  void Store(const std::string& sql) { fbtest::Admin(store.path()).Exec(sql); }
  std::string StoreValue(const std::string& sql) { return fbtest::Admin(store.path()).Scalar(sql); }
  std::string CentralValue(const std::string& sql) { return fbtest::Admin(central_db.path()).Scalar(sql); }
  void AddOutgoing(int n) {
    fbtest::Admin db(store.path());
    for (int i = 1; i <= n; ++i)
      db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P" + std::to_string(i) + "', " +
              std::to_string(i) + ".5)");
  }
  // One cycle of the agent's own service object, which writes the cycle record.
  void AgentCycle() {
    replication::MainLoop loop;
    TTavrimondoClient agent(loop);
    auto& params = agent.Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(central_port);
    bool started = true;
    agent.ServiceStart(started);
    agent.Timer1Timer();
  }
  // The agent's folder, without the stand-in server's files.
  std::vector<std::string> AppFiles() {
    std::vector<std::string> names;
    for (auto& f : std::filesystem::directory_iterator(app.path()))
      if (f.is_regular_file() && f.path().filename().string().rfind("central", 0) != 0)
        names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(StatusCheckTest, HealthyStoreWithABacklogCountsItAndSaysSoInTextAndJson) {
  AddOutgoing(30);
  StartCentral();
  AgentCycle();  // sends the 30 rows: the central index is 30
  AddOutgoing(12);
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kHealthy) << status::FormatText(r);
  EXPECT_TRUE(r.attention.empty());
  EXPECT_TRUE(r.library_loaded);
  EXPECT_TRUE(r.local_connected);
  EXPECT_EQ(r.store_code, kLoja);
  EXPECT_EQ(r.outgoing_rows, 42);
  EXPECT_EQ(r.highest_sequencial, 42);
  EXPECT_TRUE(r.central_connected);
  EXPECT_EQ(r.index, "30");
  EXPECT_EQ(r.rows_waiting, 12);
  EXPECT_FALSE(r.index_above_local);

  const std::string text = status::FormatText(r);
  for (const char* expected : {"Result: HEALTHY (exit code 0)\n", "  Store code:          7\n",
                               "  Outgoing log:        42 rows, highest SEQUENCIAL 42\n", "  Index for the store: 30\n",
                               "  Rows waiting:        12\n", "  MonitorarComando  0  (default)  verbose logging off\n",
                               "  Rows:                30 read, 30 accepted, 0 rejected\n", "  Index:               none -> 30\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

  // The JSON form parsed back holds the same.
  const Json j = Json::parse(status::FormatJson(r));
  EXPECT_EQ(j["exit_code"], 0);
  EXPECT_EQ(j["result"], "healthy");
  EXPECT_EQ(j["local"]["store_code"], kLoja);
  EXPECT_EQ(j["local"]["outgoing_rows"], 42);
  EXPECT_EQ(j["local"]["highest_sequencial"], 42);
  EXPECT_EQ(j["central"]["index"], "30");
  EXPECT_EQ(j["central"]["rows_waiting"], 12);
  EXPECT_EQ(j["central"]["port"], central_port);
  EXPECT_EQ(j["settings"]["values"]["Caminho"]["value"], store.path());
  EXPECT_EQ(j["settings"]["values"]["Caminho"]["default"], false);
  EXPECT_EQ(j["settings"]["values"]["VendorLib"]["default"], false);  // present, though empty
  EXPECT_EQ(j["settings"]["values"]["MonitorarComando"]["default"], true);
  EXPECT_EQ(j["service"]["state"], "running");
  EXPECT_EQ(j["record"]["content"]["last_cycle"]["outcome"], "sent");
  EXPECT_EQ(j["record"]["content"]["counters"]["rows_sent"], 30);
  EXPECT_EQ(j["activity_log"]["last_lines"].size(), 3u);  // the start's two connections and its line
}

TEST_F(StatusCheckTest, CentralDownNeedsAttentionWithItsError) {
  AddOutgoing(3);
  CentralDown();
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_FALSE(r.central_connected);
  ASSERT_FALSE(r.central_error.empty());
  EXPECT_TRUE(Mentions(r.attention, "The central server cannot be used: " + r.central_error)) << status::FormatText(r);
  EXPECT_EQ(r.outgoing_rows, 3);            // the local side is still told
  EXPECT_EQ(r.rows_waiting, std::nullopt);  // but not what waits above an index nobody gave
  EXPECT_EQ(Json::parse(status::FormatJson(r))["central"]["error"], r.central_error);
}

TEST_F(StatusCheckTest, UnreachableLocalDatabaseNeedsAttention) {
  StartCentral();
  WriteSettings(fbtest::DatabaseDir() + "nao-existe.fdb");
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_FALSE(r.local_connected);
  EXPECT_NE(r.local_error.find("nao-existe.fdb"), std::string::npos) << r.local_error;
  EXPECT_TRUE(Mentions(r.attention, "The local database cannot be used: ")) << status::FormatText(r);
  EXPECT_TRUE(r.central_connected);
  EXPECT_FALSE(r.index_read);  // the store code comes from the local database
  EXPECT_NE(status::FormatText(r).find("not read (the store code comes from the local database)"), std::string::npos);
}

TEST_F(StatusCheckTest, IndexAboveTheLocalHighestIsFlagged) {
  AddOutgoing(30);
  StartCentral({"--index-text", "500"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_TRUE(r.index_above_local);
  EXPECT_EQ(r.rows_waiting, 0);
  EXPECT_TRUE(Mentions(r.attention, "(500) is above what the local database has numbered (generator RDB$1 at 30, "
                                    "highest SEQUENCIAL 30): the store database was restored or replaced"))
      << status::FormatText(r);
  EXPECT_EQ(Json::parse(status::FormatJson(r))["central"]["index_above_local"], true);
}

TEST_F(StatusCheckTest, AnIndexNoCycleCanUseIsFlagged) {
  AddOutgoing(3);
  StartCentral({"--index-text", "12abc"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_FALSE(r.rows_waiting_error.empty());
  EXPECT_TRUE(Mentions(r.attention, "The rows above the central server's index for store 7 (\"12abc\") cannot be selected"))
      << status::FormatText(r);
  EXPECT_TRUE(r.local_error.empty());  // the local database itself is fine
}

TEST_F(StatusCheckTest, ChangesNothingWhereACycleWouldLoadSendAndStamp) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 0)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('C', -1.5)");
  AddOutgoing(4);
  StartCentral();  // no index for the store yet: a cycle would seed, send and stamp
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kHealthy) << status::FormatText(r);
  EXPECT_EQ(r.index, "");
  EXPECT_EQ(r.rows_waiting, 4);
  EXPECT_EQ(r.initial_load_rows, 2);
  EXPECT_TRUE(Mentions(r.notes, "the next cycle first seeds the outgoing log with the stock of every product (2 rows)"));
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "4");
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC"), "0");
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM FILIAIS WHERE RPL_ULTIMAATUALIZACAO IS NOT NULL"), "0");
  EXPECT_EQ(AppFiles(), std::vector<std::string>{"kordane.ini"});  // no log line, no record
}

// -status -audit: the differences listed, in text and JSON, and nothing written anywhere: not the
// store, not the central server, not the agent's files.
TEST_F(StatusCheckTest, TheAuditListsTheDifferencesAndChangesNothing) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 4)");
  StartCentral();
  AgentCycle();  // the initial load, sent
  AgentCycle();  // the audit that follows it: nothing differs
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 2.5 WHERE CODIGO = 'A'");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('C', 0)");
  auto snapshot = [&] {
    std::vector<std::string> s = {StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"),
                                  CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC")};
    for (const std::string& f : AppFiles()) s.push_back(f + ":" + testutil::ReadFile(app / f));
    return s;
  };
  const std::vector<std::string> before = snapshot();

  status::Options o;
  o.central_port = central_port;
  o.query_service = [this](const service::host::RecordedService&) { return service_state; };
  o.audit = true;
  o.audit_pacing.pause = std::chrono::milliseconds(1);
  o.audit_pacing.step_rows = 1;
  const status::StatusResult r = status::Gather(o);
  EXPECT_EQ(snapshot(), before);
  ASSERT_TRUE(r.audit) << r.audit_error;
  EXPECT_EQ(r.audit->products, 3);
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_TRUE(Mentions(r.attention, "2 of 3 products have a stock on the central server that is not the store's"));
  const std::string text = status::FormatText(r);
  EXPECT_NE(text.find("  Differences:         product: store / central server\n    A: 2.5 / 3\n    C: 0 / never sent\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  Last audit:          "), std::string::npos) << text;
  const Json j = Json::parse(status::FormatJson(r));
  EXPECT_EQ(j["audit"]["differing"], 2);
  EXPECT_EQ(j["audit"]["differences"][0], (Json{{"product", "A"}, {"store", "2.5"}, {"central", "3"}}));
  EXPECT_EQ(j["audit"]["differences"][1]["central"], nullptr);

  // Without an index there is nothing to compare with yet.
  StartCentral({"--index-null"});
  o.central_port = central_port;
  const status::StatusResult fresh = status::Gather(o);
  EXPECT_FALSE(fresh.audit);
  EXPECT_TRUE(Mentions(fresh.unknown, "The stock audit could not be done: the central server has no index for the store yet"));
}

// An initial load the central server has not stored yet is not run again, and the check says so.
TEST_F(StatusCheckTest, AnInitialLoadStillWaitingIsReportedInsteadOfAnotherToCome) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 4)");
  StartCentral({"--reject-seq", "1"});
  AgentCycle();  // seeds the log with two rows, which the central server refuses
  const status::StatusResult r = Check();
  EXPECT_EQ(r.load_mark, 2) << status::FormatText(r);
  EXPECT_FALSE(r.initial_load_rows);
  EXPECT_TRUE(Mentions(r.notes, "the initial load already written (up to SEQUENCIAL 2) is still waiting to be sent"));
  EXPECT_EQ(Json::parse(status::FormatJson(r))["local"]["load_mark"], 2);
}

TEST_F(StatusCheckTest, TheServiceAndTheLastCycleDecideBetweenHealthyAttentionAndCannotTell) {
  AddOutgoing(30);
  StartCentral({"--index-text", "30"});
  const struct {
    service::host::ServiceQuery service;
    int exit_code;
    const char* says;
  } cases[] = {
      {Service("running"), status::kHealthy, ""},
      {Service("paused"), status::kHealthy, "The service is paused; its cycles go on all the same."},
      {Service("stopped"), status::kNeedsAttention, "The service is not running, so nothing replicates."},
      {Service("stopped", /*installed=*/false), status::kNeedsAttention, "The service is not installed"},
      {Service("", true, /*known=*/false), status::kCannotTell, "The service's state cannot be found out: Access is denied."},
  };
  for (const auto& c : cases) {
    service_state = c.service;
    const status::StatusResult r = Check();
    EXPECT_EQ(r.ExitCode(), c.exit_code) << c.says << "\n" << status::FormatText(r);
    EXPECT_NE(status::FormatText(r).find(c.says), std::string::npos) << c.says;
  }

  // A failed last cycle needs attention even when everything answers now.
  service_state = Service("running");
  CentralDown();
  AgentCycle();
  StartCentral({"--index-text", "30"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_TRUE(Mentions(r.attention, "The last cycle failed (")) << status::FormatText(r);
}

// A record no cycle has replaced for long means a hung agent, whatever its process looks like; a
// record someone crafted shows nothing but its known fields, and nothing that steers a terminal.
TEST_F(StatusCheckTest, AStaleRecordNeedsAttentionAndAHostileOneIsShownHarmlessly) {
  AddOutgoing(30);
  StartCentral({"--index-text", "30"});
  const std::string then = replication::FormatIsoTime(std::chrono::system_clock::now() - std::chrono::minutes(10));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  testutil::WriteFile(app / "Tavrimondo_cycle.json",
                      "{\"format\": 1, \"written\": \"" + then + "\", \"junk\": " + deep +
                          ", \"summary\": \"a\\r\\nb\", \"service\": {\"state\": \"running\", \"pid\": 1, \"extra\": " + deep +
                          "}, \"last_cycle\": {\"end\": \"" + then +
                          "\", \"duration_ms\": 120, \"outcome\": \"idle\", \"index_before\": \"30\\u001b[2J\\u001b[32mHEALTHY\", "
                          "\"index_after\": \"30\\u202e\", \"error\": \"\", \"held\": " + deep + "}}");
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_TRUE(Mentions(r.attention, "No cycle completed since ")) << status::FormatText(r);
  EXPECT_TRUE(Mentions(r.attention, "ago), though the service runs: it may be hung.")) << status::FormatText(r);

  const std::string text = status::FormatText(r);
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xE2\x80\xAE"), std::string::npos) << "no bidi override";
  EXPECT_NE(text.find("  Index:               30 [2J [32mHEALTHY -> 30\n"), std::string::npos) << text;

  const Json j = Json::parse(status::FormatJson(r));
  const Json& record = j["record"]["content"];
  EXPECT_FALSE(record.contains("junk"));
  EXPECT_FALSE(record["service"].contains("extra"));
  EXPECT_FALSE(record["last_cycle"].contains("held")) << "not a known object where it stands: dropped";
  EXPECT_EQ(record["last_cycle"]["index_before"], "30\x1B[2J\x1B[32mHEALTHY");
}

TEST_F(StatusCheckTest, RowsHeldBehindAGapAreShownAndNeedAttentionAfterTenMinutes) {
  AddOutgoing(2);
  StartCentral({"--index-text", "2"});
  // A program of the store holds value 3 open; 4 is committed above it.
  fbtest::Admin erp(store.path());
  localdb::TFDTransaction tx(erp.connection(), false);
  tx.StartTransaction();
  localdb::TFDQuery("ERP", erp.connection(), tx, "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('X', 1)")
      .ExecSQL();
  AddOutgoing(1);
  AgentCycle();
  status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kHealthy) << status::FormatText(r);
  EXPECT_TRUE(Mentions(r.notes, "1 row waits behind SEQUENCIAL 3 since ")) << status::FormatText(r);
  EXPECT_NE(status::FormatText(r).find("  Held:                1 row waits behind SEQUENCIAL 3"), std::string::npos);
  EXPECT_TRUE(Mentions(r.notes, "which an open transaction of the local database may still write: transação "));

  // Held for more than ten minutes: someone should look at that transaction.
  const std::string path = app / replication::kCycleRecordFileName;
  Json record = Json::parse(testutil::ReadFile(path));
  record["last_cycle"]["held"]["since"] =
      replication::FormatIsoTime(std::chrono::system_clock::now() - std::chrono::minutes(11));
  testutil::WriteFile(path, record.dump());
  r = Check();
  EXPECT_EQ(r.ExitCode(), status::kNeedsAttention);
  EXPECT_TRUE(Mentions(r.attention, "1 row waits behind SEQUENCIAL 3")) << status::FormatText(r);
  tx.Rollback();
}

TEST_F(StatusCheckTest, SecondPasswordIsUsedAsTheServiceWouldAndNothingIsLogged) {
  AddOutgoing(2);
  CentralDown();
  fbtest::SysdbaPassword changed(localdb::kSecondPassword);
  const status::StatusResult r = Check();
  EXPECT_TRUE(r.local_connected) << r.local_error;
  EXPECT_TRUE(r.local_second_password);
  EXPECT_EQ(r.outgoing_rows, 2);
  EXPECT_TRUE(fbtest::LogMessages(app.path()).empty());
}

}  // namespace
