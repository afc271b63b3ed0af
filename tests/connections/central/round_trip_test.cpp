// The client against the real stand-in central server, started as a process on a free loopback
// port, and against a scripted in-process server where exact bytes matter.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "connections/central/central_connection.h"
#include "platform/net.h"
#include "platform/os.h"
#include "central_fixture.h"
#include "connections/central/dbx_value.h"
#include "hex.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "test_util.h"

using namespace central;
using namespace centraltest;

namespace {

TEST_F(CentralTest, BatchesAreStoredAndTheIndexFollowsThem) {
  Start({"--branch", "7"});
  EXPECT_EQ(Index(7), "");  // a null index reads as empty text
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 120; ++i) {
    PostRow(i, 7, "P" + std::to_string(i), i * 10000 + 1234);
    if (i % 50 == 0) {
      ASSERT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
      EXPECT_EQ(c.CDSLogEstoqueRec.ChangeCount(), 0);  // accepted rows are not kept
    }
  }
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  EXPECT_EQ(StoredRows(), 120);
  EXPECT_NE(server->Dump().find("row 7 1 P1 1.1234\n"), std::string::npos);
  EXPECT_NE(server->Dump().find("row 7 120 P120 120.1234\n"), std::string::npos);
  EXPECT_EQ(Index(7), "120");

  // A batch sent again is stored once, and the index never goes back.
  for (int i = 1; i <= 50; ++i) PostRow(i, 7, "P" + std::to_string(i), 5);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  EXPECT_EQ(StoredRows(), 120);
  EXPECT_EQ(Index(7), "120");

  // Nothing pending: 0 without contacting the server, even with the server unreachable.
  c.ConnServer.SetConnected(false);
  PointAt(1);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  EXPECT_FALSE(c.ConnServer.Connected());
  EXPECT_TRUE(rejections.empty());
}

TEST_F(CentralTest, RejectedRowRollsTheApplyBackAndEveryRowStaysPending) {
  Start({"--branch", "7", "--reject-seq", "10", "--reject-message", "Linha recusada: ação\nsegunda linha"});
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 50; ++i) PostRow(i, 7, "P", 10000);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 1);
  ASSERT_EQ(rejections.size(), 1u);
  EXPECT_EQ(rejections[0].dataset, "CDSLogEstoqueRec");
  EXPECT_EQ(rejections[0].message, "Linha recusada: a\xC3\xA7\xC3\xA3o\nsegunda linha");
  // The server stored none of the batch, so none of it may leave the change log.
  EXPECT_EQ(c.CDSLogEstoqueRec.ChangeCount(), 50);
  EXPECT_EQ(StoredRows(), 0);
  EXPECT_EQ(Index(7), "");
  // The next apply sends them all again and the row is rejected and reported again.
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 1);
  EXPECT_EQ(rejections.size(), 2u);
  c.CDSLogEstoqueRec.Close();  // drops what is pending
  EXPECT_EQ(c.CDSLogEstoqueRec.ChangeCount(), 0);
}

TEST_F(CentralTest, AFailingReconcileHandlerGoesToTheSinkAndEndsTheSeries) {
  Start({"--branch", "7", "--reject-seq", "3"});
  c.SetReconcileErrorHandler([](TClientDataSet&, const EReconcileError&, TUpdateKind, TReconcileAction&) {
    throw std::runtime_error("log file locked");
  });
  std::vector<std::string> sunk;
  c.SetHandlerExceptionSink([&](const std::exception& e) { sunk.push_back(e.what()); });
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 5; ++i) PostRow(i, 7, "P", 1);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 1);  // returns as usual
  EXPECT_EQ(sunk, std::vector<std::string>{"log file locked"});
  EXPECT_EQ(c.CDSLogEstoqueRec.ChangeCount(), 5);
  // Without a sink the failure leaves ApplyUpdates, the change log settled all the same.
  c.SetHandlerExceptionSink(nullptr);
  EXPECT_THROW(c.CDSLogEstoqueRec.ApplyUpdates(0), std::runtime_error);
  EXPECT_EQ(c.CDSLogEstoqueRec.ChangeCount(), 5);
}

TEST_F(CentralTest, BranchRowStamp) {
  Start({"--branch", "7"});
  TClientDataSet& f = c.CdsFiliais;
  f.Params.ParamByName("CODIGO").SetAsInteger(7);
  f.Open();
  ASSERT_FALSE(f.IsEmpty());
  f.Edit();
  f.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(f.FieldByName("DATAHORA").AsDateTime());
  f.Post();
  EXPECT_EQ(f.ApplyUpdates(0), 0);
  std::smatch m;
  std::string dump = server->Dump();
  ASSERT_TRUE(std::regex_search(dump, m, std::regex("ultima=(\\d+) datahora=(\\d+)"))) << dump;
  EXPECT_EQ(m[1], m[2]);  // copied to the millisecond
  EXPECT_TRUE(rejections.empty());
}

TEST_F(CentralTest, RejectedStampIsReportedAndStaysPending) {
  Start({"--branch", "7", "--reject-stamp"});
  TClientDataSet& f = c.CdsFiliais;
  f.Params.ParamByName("CODIGO").SetAsInteger(7);
  f.Open();
  f.Edit();
  f.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(45000.5);
  f.Post();
  EXPECT_EQ(f.ApplyUpdates(0), 1);
  ASSERT_EQ(rejections.size(), 1u);
  EXPECT_EQ(rejections[0].dataset, "CdsFiliais");
  EXPECT_EQ(rejections[0].message, "Branch stamp rejected");
  EXPECT_EQ(f.ChangeCount(), 1);
}

TEST_F(CentralTest, NoBranchRow) {
  Start({"--branch", "7", "--no-branch-row"});
  c.CdsFiliais.Params.ParamByName("CODIGO").SetAsInteger(7);
  c.CdsFiliais.Open();
  EXPECT_TRUE(c.CdsFiliais.IsEmpty());
  EXPECT_EQ(c.CdsFiliais.FieldByName("DATAHORA").AsString(), "");
}

TEST_F(CentralTest, IndexAnswersAreReadAsText) {
  const struct {
    std::vector<std::string> args;
    const char* text;
    bool empty;
  } cases[] = {{{"--index-text", "00"}, "00", false},
               {{"--index-text", "0"}, "0", false},
               {{"--index-text", ""}, "", false},
               {{"--index-null"}, "", false},
               {{"--index-none"}, "", true}};
  for (const auto& k : cases) {
    Start(k.args);
    EXPECT_EQ(Index(7), k.text);
    EXPECT_EQ(c.CDSIndice.IsEmpty(), k.empty);
    c.CDSIndice.Close();
    c.ConnServer.SetConnected(false);
    server.reset();
  }
}

TEST_F(CentralTest, ValuesLargerThanOneRowTravelInChunksBothWays) {
  // A 100-byte inline limit makes every packet from the server come in chunks; 1,000 rows make
  // a delta larger than a parameter row, which the server fetches from the client.
  Start({"--branch", "7", "--inline-limit", "100"});
  EXPECT_EQ(Index(7), "");
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 1000; ++i) PostRow(i, 7, "PRODUTO-" + std::to_string(i), -i);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  EXPECT_EQ(StoredRows(), 1000);
  EXPECT_NE(server->Dump().find("row 7 999 PRODUTO-999 -0.0999\n"), std::string::npos);
  EXPECT_EQ(Index(7), "1000");
}

TEST_F(CentralTest, CloseMakesTheResetCallOnlyWhenOpen) {
  Start({"--branch", "7"});
  c.CDSIndice.Close();  // closed already: no call
  Index(7);
  c.CDSIndice.Close();
  c.CDSIndice.Close();
  std::string log = server->Log();
  std::size_t first = log.find("reset of DPIndice");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("reset of DPIndice", first + 1), std::string::npos);
}

TEST_F(CentralTest, RemoteErrorKeepsTheConnectionUsable) {
  Start({"--branch", "7"});
  TClientDataSet bad("CdsBad", c.DSPServer, "DPNaoExiste");
  try {
    bad.Open();
    FAIL() << "no error";
  } catch (const RemoteError& e) {
    EXPECT_STREQ(e.what(), "Remote error: Provider DPNaoExiste not found");
  }
  EXPECT_TRUE(c.ConnServer.Connected());
  EXPECT_EQ(Index(7), "");
}

TEST_F(CentralTest, BrokenOrSilentServersFailTheCallAndCloseTheConnection) {
  const struct {
    std::vector<std::string> args;
    bool fails_on_connect;
  } cases[] = {{{"--mute"}, true},
               {{"--drop", "execute"}, false},
               {{"--close-on", "execute"}, false},
               {{"--garbage-on", "prepare"}, false},
               {{"--delay-ms", "2500"}, true}};  // longer than the exchange time-out
  for (const auto& k : cases) {
    Start(k.args);
    c.ConnServer.timeouts = kShort;
    SCOPED_TRACE(k.args[0]);
    if (k.fails_on_connect) {
      EXPECT_THROW(c.ConnServer.SetConnected(true), std::exception);
    } else {
      c.ConnServer.SetConnected(true);
      EXPECT_THROW(Index(7), std::exception);
    }
    EXPECT_FALSE(c.ConnServer.Connected());
    server.reset();
  }
}

TEST_F(CentralTest, ServerWithTransportFiltersIsRefusedClearly) {
  Start({"--filters"});
  try {
    c.ConnServer.SetConnected(true);
    FAIL() << "no error";
  } catch (const ProtocolError& e) {
    EXPECT_NE(std::string(e.what()).find("transport filters"), std::string::npos);
  }
}

// ---- ConfiguraConexaoCentral ----------------------------------------------------------------

class ConfiguraTest : public CentralTest {
 protected:
  void SetUp() override { settings::SetAppDirectoryOverride(dir.path()); }
  void TearDown() override { settings::SetAppDirectoryOverride(""); }
  void Settings(const std::string& text) { testutil::WriteFile(dir / "kordane.ini", text); }
  std::string LogText() {
    std::string f = dir / settings::ActivityLog::FileNameFor(os::Now());
    return testutil::Exists(f) ? testutil::ReadFile(f) : "";
  }
  int LogLines() {
    std::string t = LogText();
    int n = 0;
    for (char ch : t) n += ch == '\n';
    return n;
  }
};

TEST_F(ConfiguraTest, ConnectsToTheConfiguredHost) {
  Start({"--branch", "7"});
  Settings("[Kordane]\r\nServidorCentral=127.0.0.1\r\n");
  ConfiguraConexaoCentral(c);
  EXPECT_TRUE(c.ConnServer.Connected());
  EXPECT_EQ(c.ConnServer.Params[5], "HostName=127.0.0.1");
  EXPECT_NE(LogText().find(" - Conectou no Servidor Central\r\n"), std::string::npos);
  // Called again while connected: a new connection.
  auto before = c.ConnServer.SessionId();
  ConfiguraConexaoCentral(c);
  EXPECT_TRUE(c.ConnServer.Connected());
  EXPECT_GT(c.ConnServer.SessionId(), before);
  EXPECT_EQ(LogLines(), 2);
}

TEST_F(ConfiguraTest, FailuresLogOneLineWithTheMessage) {
  // Nothing listens on the port the listener below releases.
  std::uint16_t dead;
  {
    net::Listener l = net::Listener::Listen("127.0.0.1", 0);
    dead = l.Port();
  }
  c.ConnServer.Params[c.ConnServer.Params.IndexOfName("Port")] = "Port=" + std::to_string(dead);
  c.ConnServer.timeouts = kShort;
  const struct {
    const char* ini;
    const char* host_entry;
  } cases[] = {{"[Kordane]\r\nServidorCentral=127.0.0.1\r\n", "HostName=127.0.0.1"},
               {"[Kordane]\r\nServidorCentral=\r\n", "HostName="}};
  int lines = 0;
  for (const auto& k : cases) {
    Settings(k.ini);
    ConfiguraConexaoCentral(c);
    EXPECT_FALSE(c.ConnServer.Connected());
    EXPECT_EQ(c.ConnServer.Params[5], k.host_entry);
    EXPECT_EQ(LogLines(), ++lines);
  }
  EXPECT_EQ(LogText().find("Conectou"), std::string::npos);
  EXPECT_NE(LogText().find("Falha ao conectar no Servidor Central (127.0.0.1:" + std::to_string(dead) +
                           "): Cannot connect to 127.0.0.1:" + std::to_string(dead)),
            std::string::npos)
      << LogText();
  EXPECT_NE(LogText().find("host name is empty"), std::string::npos);
}

TEST_F(ConfiguraTest, NoSettingsFileMeansLocalhost) {
  c.ConnServer.timeouts = kShort;
  ConfiguraConexaoCentral(c);
  EXPECT_EQ(c.ConnServer.Params[5], "HostName=localhost");
  EXPECT_EQ(c.ConnServer.Params.Values("Port"), "2507");
  EXPECT_EQ(LogLines(), 1);
}

TEST(CentralConnectionTest, ParametersAndDatasetsAsDeclared) {
  CentralConnection c;
  const std::vector<std::string> expected = {"DriverUnit=Data.DBXDataSnap", "CommunicationProtocol=tcp/ip",
                                             "DatasnapContext=datasnap/",   "DriverAssemblyLoader=",
                                             "DriverName=DataSnap",         "HostName=localhost",
                                             "Port=2507",                   "Filters={}"};
  EXPECT_EQ(c.ConnServer.Params.Lines(), expected);
  EXPECT_EQ(c.DSPServer.ServerClassName, "TServerMethods1");
  // CODIGO is declared as text on CDSIndice; assigning an integer makes it an integer parameter.
  TParam& p = c.CDSIndice.Params.ParamByName("CODIGO");
  EXPECT_EQ(p.DataType, ole::ftString);
  p.SetAsInteger(42);
  EXPECT_EQ(p.DataType, ole::ftInteger);
  EXPECT_EQ(p.Value.vtype, ole::varInteger);
}

}  // namespace
