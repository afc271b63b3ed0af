// ConfiguraConexaoLocal and the loading of the client library, against the real server.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "connections/local/local_connection.h"
#include "fb_test_env.h"
#include "settings/app_dir.h"
#include "test_util.h"

using localdb::ConfiguraConexaoLocal;
using localdb::FbDriverManager;
using localdb::LocalConnection;

namespace {

const char* const kRefused =
    "Your user name and password are not defined. Ask your database administrator to set up a Firebird login.";

class ConfiguraConexaoLocalTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::SetAppDirectoryOverride(app.path()); }
  void TearDown() override { settings::SetAppDirectoryOverride(""); }

  void WriteSettings(const std::string& servidor, const std::string& caminho, const std::string& extra = "") {
    testutil::WriteFile(app / "kordane.ini",
                        "[Kordane]\r\nServidor=" + servidor + "\r\nCaminho=" + caminho + "\r\n" + extra);
  }
  std::vector<std::string> Log() { return fbtest::LogMessages(app.path()); }
  std::string Entry(LocalConnection& c, const std::string& name) { return c.ConnQuelbrant.Params.Values(name); }
  std::int32_t StoreCode(LocalConnection& c) {
    c.TBPadrao.Open();
    std::int32_t code = c.TBPadrao.FieldByName("CODIGOLOJA").AsInteger();
    c.TBPadrao.Close();
    return code;
  }

  testutil::TempDir app;
  fbtest::StoreDb db;
};

TEST_F(ConfiguraConexaoLocalTest, FirstPasswordConnectsAndRewritesTheDefinitionInPlace) {
  WriteSettings(fbtest::Host(), db.path());
  LocalConnection c;
  ConfiguraConexaoLocal(c);

  EXPECT_TRUE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Log(), std::vector<std::string>{"Conectou no Servidor Local"});
  EXPECT_EQ(c.ConnQuelbrant.Params.Entries(),
            (std::vector<std::string>{"User_Name=SYSDBA", "Password=tallowfin", "Protocol=TCPIP",
                                      "Server=" + fbtest::Host(), "CharacterSet=ISO8859_1", "PageSize=8192",
                                      "Database=" + db.path(), "DriverID=FB"}));
}

// Failures other than a refused password: nothing is logged, nothing is raised, and the
// connection stays closed for the cycle to try again.
TEST_F(ConfiguraConexaoLocalTest, OtherFailuresLogNothingAndLeaveTheConnectionClosed) {
  struct Case {
    const char* what;
    std::string settings;  // whole file; empty: no file at all
  };
  const Case cases[] = {
      {"server unreachable", "[Kordane]\r\nServidor=127.0.0.1/3999\r\nCaminho=" + db.path() + "\r\n"},
      {"database file missing", "[Kordane]\r\nServidor=" + fbtest::Host() + "\r\nCaminho=" + fbtest::DatabaseDir() +
                                    "missing.fdb\r\n"},
      {"no settings file: localhost and the built-in path", ""},
      {"client library missing", "[Kordane]\r\nServidor=" + fbtest::Host() + "\r\nCaminho=" + db.path() +
                                     "\r\nVendorLib=/nonexistent/libfbclient.so.2\r\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    testutil::TempDir dir;
    settings::SetAppDirectoryOverride(dir.path());
    if (!k.settings.empty()) testutil::WriteFile(dir / "kordane.ini", k.settings);
    FbDriverManager fresh;  // so that the library-missing case really loads
    LocalConnection c(fresh);
    ConfiguraConexaoLocal(c);
    EXPECT_FALSE(c.ConnQuelbrant.Connected());
    EXPECT_EQ(Entry(c, "Password"), "tallowfin");  // no second attempt
    EXPECT_TRUE(fbtest::LogMessages(dir.path()).empty());
  }
}

TEST_F(ConfiguraConexaoLocalTest, ConnectFailuresCarryTheClientLibrarysText) {
  LocalConnection c;
  c.ConnQuelbrant.Params.Set(c.ConnQuelbrant.Params.IndexOfName("Server"), "Server=127.0.0.1/3999");
  c.ConnQuelbrant.Params.Set(c.ConnQuelbrant.Params.IndexOfName("Database"), "Database=" + db.path());
  c.FDPhysFBDriverLink1.VendorLib = "";
  try {
    c.ConnQuelbrant.SetConnected(true);
    FAIL() << "connected to nothing";
  } catch (const localdb::EFirebirdError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to complete network request to host \"127.0.0.1\".\r\nFailed to establish a connection.");
    EXPECT_TRUE(e.HasCode(335544721));
  }
}

TEST_F(ConfiguraConexaoLocalTest, ADatabasePathWithAccentsReachesTheServerAndItsMessageIntact) {
  // The client library parses the name in the process's character set; a POSIX process starts in
  // the ASCII "C" locale, where no accent fits (on Windows the ANSI code page serves).
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  struct Restore {
    std::string locale;
    ~Restore() { std::setlocale(LC_CTYPE, locale.c_str()); }
  } restore{saved};
  LocalConnection c;
  std::string path = fbtest::DatabaseDir() + "Loja São João.fdb";
  c.ConnQuelbrant.Params.Set(c.ConnQuelbrant.Params.IndexOfName("Server"), "Server=" + fbtest::Host());
  c.ConnQuelbrant.Params.Set(c.ConnQuelbrant.Params.IndexOfName("Database"), "Database=" + path);
  c.ConnQuelbrant.Params.Set(c.ConnQuelbrant.Params.IndexOfName("Password"), "Password=" + fbtest::AdminPassword());
  c.FDPhysFBDriverLink1.VendorLib = "";
  try {
    c.ConnQuelbrant.SetConnected(true);
    FAIL() << "opened a database that does not exist";
  } catch (const localdb::EFirebirdError& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + path + "\""), std::string::npos) << e.what();
  }
}

TEST_F(ConfiguraConexaoLocalTest, MissingLibraryNamesTheFileTriedAndNeverMentionsPassword) {
  FbDriverManager fresh;
  localdb::TFDPhysFBDriverLink link(fresh);
  link.VendorLib = "/nonexistent/libfbclient.so.2";
  bool created = false;
  link.OnDriverCreated = [&](localdb::TFDPhysFBDriverLink&) { created = true; };
  try {
    link.Driver();
    FAIL() << "loaded a missing library";
  } catch (const localdb::ClientLibraryError& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("\"/nonexistent/libfbclient.so.2\""), std::string::npos) << m;
    EXPECT_EQ(m.find("assword"), std::string::npos) << m;
  }
  EXPECT_FALSE(created);
  EXPECT_FALSE(fresh.Loaded());
}

TEST_F(ConfiguraConexaoLocalTest, TheFirstSuccessfulLoadStaysAndRunsDriverCreatedOnce) {
  // No VendorLib key: the default names load; the handler then reads "Vendorlib" with its own
  // default, which changes nothing, as the library is never loaded again.
  WriteSettings(fbtest::Host(), db.path());
  FbDriverManager fresh;
  LocalConnection c(fresh);
  ConfiguraConexaoLocal(c);
  ASSERT_TRUE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(fresh.LoadedFile(), localdb::DefaultClientLibraries().front());
  EXPECT_EQ(c.FDPhysFBDriverLink1.VendorLib, app.path() + "fbclient.dll");

  // A later change of the setting has no effect until the process starts again.
  WriteSettings(fbtest::Host(), db.path(), "VendorLib=/nonexistent/lib.so\r\n");
  ConfiguraConexaoLocal(c);
  EXPECT_TRUE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(c.FDPhysFBDriverLink1.VendorLib, "/nonexistent/lib.so");  // assigned, not reloaded
  EXPECT_EQ(Log().size(), 2u);
}

// These change the server's SYSDBA password: the whole test binary runs under one CTest lock.
TEST_F(ConfiguraConexaoLocalTest, SecondPasswordWhenTheFirstIsRefused) {
  WriteSettings(fbtest::Host(), db.path());
  LocalConnection c;
  {
    fbtest::SysdbaPassword pw("rivulo");
    ConfiguraConexaoLocal(c);
    EXPECT_TRUE(c.ConnQuelbrant.Connected());
    EXPECT_EQ(Entry(c, "Password"), "rivulo");
    EXPECT_EQ(Log(), std::vector<std::string>{"Conectou no Servidor Local"});

    // The cycles reconnect with the password that worked.
    c.ConnQuelbrant.SetConnected(false);
    c.ConnQuelbrant.SetConnected(true);
    EXPECT_TRUE(c.ConnQuelbrant.Connected());
  }

  // Called while connected (continue after pause): closes, rereads the settings and starts again
  // with the first password.
  fbtest::StoreDb other;
  fbtest::Admin(other.path()).Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 42)");
  WriteSettings(fbtest::Host(), other.path());
  ConfiguraConexaoLocal(c);
  EXPECT_TRUE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Entry(c, "Password"), "tallowfin");
  EXPECT_EQ(Entry(c, "Database"), other.path());
  EXPECT_EQ(StoreCode(c), 42);
  EXPECT_EQ(Log().size(), 2u);
}

TEST_F(ConfiguraConexaoLocalTest, BothPasswordsRefusedLogsTheSecondRefusalOnly) {
  WriteSettings(fbtest::Host(), db.path());
  LocalConnection c;
  fbtest::SysdbaPassword pw("neither-of-them");
  ConfiguraConexaoLocal(c);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Entry(c, "Password"), "rivulo");
  // Named with the server and database, as every failed connection is.
  const auto refused = [&](const std::string& server) {
    // The error's closing full stop goes: the line goes on after it.
    const std::string error(kRefused, std::strlen(kRefused) - 1);
    return messages::Format(messages::kLocalConnectFailed, {server + ":" + db.path(), error}).str();
  };
  EXPECT_EQ(Log(), std::vector<std::string>{refused(fbtest::Host())});

  // An empty "Servidor" still goes through the server, which checks the password; opening the
  // file in-process would let any password in. It means the server on the default port, so only
  // when that is the server under test.
  if (fbtest::Port() != 3050) return;
  WriteSettings("", db.path());
  ConfiguraConexaoLocal(c);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Log(), (std::vector<std::string>{refused(fbtest::Host()), refused("")}));
}

}  // namespace
