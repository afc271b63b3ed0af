// The Windows build's library loading, error texts and password fallback, against a stand-in
// fbclient.dll (stub_fbclient/), as no Windows Firebird client is at hand where the tests run.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "common/text.h"
#include "connections/local/local_connection.h"
#include "platform/os.h"
#include "settings/app_dir.h"
#include "test_util.h"

using localdb::ConfiguraConexaoLocal;
using localdb::FbDriverManager;
using localdb::LocalConnection;

namespace {

const char* const kRefused =
    "Your user name and password are not defined. Ask your database administrator to set up a Firebird login.";

std::string StubPath() { return settings::ExtractFilePath(os::ExeName()) + "stub\\fbclient.dll"; }

class StubClientTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::SetAppDirectoryOverride(app.path()); }
  void TearDown() override { settings::SetAppDirectoryOverride(""); }

  void WriteSettings(const std::string& caminho, const std::string& vendor_lib) {
    testutil::WriteFile(app / "kordane.ini",
                        "[Kordane]\r\nServidor=localhost\r\nCaminho=" + caminho + "\r\nVendorLib=" + vendor_lib + "\r\n");
  }

  // The activity log's messages, time stamps removed.
  std::vector<std::string> Log() {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(app.path())) {
      if (e.path().filename().string().rfind("Tavrimondo_", 0) != 0) continue;
      std::string bytes = testutil::ReadFile(e.path().string());
      static const std::regex line(R"((\d\d/\d\d/\d{4} \d\d:\d\d:\d\d) - ([^\r]*)\r\n)");
      for (std::sregex_iterator it(bytes.begin(), bytes.end(), line), end; it != end; ++it) out.push_back((*it)[2]);
    }
    return out;
  }

  testutil::TempDir app;
  FbDriverManager fresh;  // each test loads from scratch
};

TEST_F(StubClientTest, WithoutALibraryTheMessageNamesBothDefaultNames) {
  localdb::TFDPhysFBDriverLink link(fresh);
  link.VendorLib = "";
  try {
    link.Driver();
    FAIL() << "found a client library";
  } catch (const localdb::ClientLibraryError& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("\"fbclient.dll\""), std::string::npos) << m;
    EXPECT_NE(m.find("\"fbembed.dll\""), std::string::npos) << m;
    EXPECT_EQ(text::ToLowerAscii(m).find("password"), std::string::npos) << m;
  }
}

TEST_F(StubClientTest, ANamedLibraryThatIsMissingLogsNothing) {
  WriteSettings("C:\\LOJA\\KORDANE.FDB", "C:\\nowhere\\fbclient.dll");
  LocalConnection c(fresh);
  ConfiguraConexaoLocal(c);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
  EXPECT_FALSE(fresh.Loaded());
  EXPECT_TRUE(Log().empty());
}

TEST_F(StubClientTest, SecondPasswordAfterTheFirstIsRefused) {
  WriteSettings("C:\\LOJA\\KORDANE.FDB", StubPath());
  LocalConnection c(fresh);
  ConfiguraConexaoLocal(c);
  EXPECT_TRUE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(c.ConnQuelbrant.Params.Values("Password"), "rivulo");
  EXPECT_EQ(Log(), std::vector<std::string>{"Conectou no Servidor Local"});
  EXPECT_EQ(fresh.LoadedFile(), StubPath());
  c.ConnQuelbrant.SetConnected(false);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
}

TEST_F(StubClientTest, ALibraryWithoutTheEntryPointsIsPassedOver) {
  // kernel32.dll loads everywhere and has no isc_* entry point.
  FbDriverManager search({"kernel32.dll", "C:\\nowhere\\fbclient.dll", StubPath()});
  search.Load("", nullptr);
  EXPECT_EQ(search.LoadedFile(), StubPath());
  FbDriverManager none({"kernel32.dll", "C:\\nowhere\\fbclient.dll"});
  try {
    none.Load("", nullptr);
    FAIL() << "found a client library";
  } catch (const localdb::ClientLibraryError& e) {
    std::string m = e.what();
    // A bare name is loaded by full path only: from the program's folder, then from System32.
    EXPECT_NE(m.find("\"" + app / "kernel32.dll\": "), std::string::npos) << m;
    EXPECT_NE(m.find("\"" + os::SystemLibrary("kernel32.dll") + "\": it lacks the function isc_attach_database"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find("\"C:\\nowhere\\fbclient.dll\": "), std::string::npos) << m;
  }
}

TEST_F(StubClientTest, BothRefusedLogsTheSecondRefusalOnly) {
  WriteSettings("C:\\refuse-all.fdb", StubPath());
  LocalConnection c(fresh);
  ConfiguraConexaoLocal(c);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Log(), std::vector<std::string>{kRefused});
}

}  // namespace
