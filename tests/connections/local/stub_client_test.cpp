// The Windows build's library loading, error texts and password fallback, against a stand-in
// fbclient.dll (stub_fbclient/), as no Windows Firebird client is at hand where the tests run.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <regex>

#include "common/text.h"
#include "connections/local/local_connection.h"
#include "platform/library.h"
#include "platform/os.h"
#include "settings/app_dir.h"
#include "test_util.h"

using localdb::ConfiguraConexaoLocal;
using localdb::FbDriverManager;
using localdb::LocalConnection;

namespace {

const char* const kRefused =
    "Your user name and password are not defined. Ask your database administrator to set up a Firebird login.";

std::wstring Wide(const std::string& s) {
  std::u16string u = text::Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}

// The stub client, copied once into a folder of this process's own: the build folder may lie below
// one that every user can write (a clone in /tmp), where the client would rightly be refused.
std::string StubPath() {
  static testutil::TempDir folder;
  static const std::string path = [] {
    const std::string built = settings::ExtractFilePath(os::ExeName()) + "stub\\fbclient.dll";
    const std::string copy = folder / "fbclient.dll";
    if (!::CopyFileW(Wide(built).c_str(), Wide(copy).c_str(), FALSE)) return built;
    return copy;
  }();
  return path;
}

// Every user may write the folder (under Wine: the mode's "other" bits, which it keeps).
void SetEveryoneMayWrite(const std::string& folder) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)",
                                                                     SDDL_REVISION_1, &sd, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring w = Wide(folder);
  while (!w.empty() && w.back() == L'\\') w.pop_back();
  ::SetNamedSecurityInfoW(w.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, dacl, nullptr);
  ::LocalFree(sd);
}

class StubClientTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::SetAppDirectoryOverride(app.path()); }
  void TearDown() override { settings::SetAppDirectoryOverride(""); }

  void WriteSettings(const std::string& caminho, const std::string& vendor_lib) {
    testutil::WriteFile(app / "kordane.ini",
                        "[Kordane]\r\nServidor=localhost\r\nCaminho=" + caminho + "\r\nVendorLib=" + vendor_lib + "\r\n");
  }

  // The activity log's messages, time stamps removed, as UTF-8 (the log is in the ANSI code page).
  std::vector<std::string> Log() {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(app.path())) {
      if (e.path().filename().string().rfind("Tavrimondo_", 0) != 0 || e.path().extension() != ".LOG") continue;
      std::string bytes = os::AnsiToUtf8(testutil::ReadFile(e.path().string()));
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

// A client others could have changed never loads, nor is it looked for in a folder they may
// write; what it is named by must be a full local path or a file name.
TEST_F(StubClientTest, AClientOthersCanChangeIsNeverLoadedAndANamedOneMustBeLocal) {
  testutil::TempDir open;
  const std::string planted = open / "fbclient.dll";
  ASSERT_TRUE(::CopyFileW(Wide(StubPath()).c_str(), Wide(planted).c_str(), FALSE));
  SetEveryoneMayWrite(open.path());
  FbDriverManager search({planted});
  EXPECT_THROW(search.Load("", nullptr), localdb::ClientLibraryError);
  EXPECT_EQ(::GetModuleHandleW(Wide(planted).c_str()), nullptr) << "it was loaded";
  ASSERT_EQ(search.Refused().size(), 1u);
  EXPECT_TRUE(text::EqualsIgnoreCase(search.Refused()[0].path, planted));

  // Outside System32 a client loads its runtime libraries and plugins from its own folder: one
  // file there that others can change is enough to refuse it.
  testutil::TempDir firebird;
  const std::string client = firebird / "fbclient.dll";
  ASSERT_TRUE(::CopyFileW(Wide(StubPath()).c_str(), Wide(client).c_str(), FALSE));
  ASSERT_TRUE(::CreateDirectoryW(Wide(firebird / "plugins").c_str(), nullptr));
  testutil::WriteFile(firebird / "plugins\\engine12.dll", "");
  SetEveryoneMayWrite(firebird / "plugins\\engine12.dll");
  FbDriverManager whole({client});
  EXPECT_THROW(whole.Load("", nullptr), localdb::ClientLibraryError);
  ASSERT_EQ(whole.Refused().size(), 1u);
  EXPECT_NE(os::DescribeUntrusted(whole.Refused()[0].untrusted).find("engine12.dll (by every user)"), std::string::npos)
      << os::DescribeUntrusted(whole.Refused()[0].untrusted);
  ::SetFileAttributesW(Wide(firebird / "plugins\\engine12.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
  std::filesystem::remove(firebird / "plugins\\engine12.dll");
  FbDriverManager judged({client});
  judged.Load("", nullptr);
  EXPECT_TRUE(judged.Loaded()) << "the same client, its folder kept for the administrators";

  for (const std::string bad : {"C:fbclient.dll", "\\\\server\\share\\fbclient.dll", "\\fbclient.dll",
                                "C:\\Firebird\\..\\fbclient.dll", "\\\\?\\C:\\fbclient.dll"}) {
    FbDriverManager named(std::vector<std::string>{});
    try {
      named.Load(bad, nullptr);
      FAIL() << "loaded " << bad;
    } catch (const localdb::ClientLibraryError& e) {
      EXPECT_NE(std::string(e.what()).find("named by VendorLib in the settings: "), std::string::npos) << e.what();
    }
  }
  for (const std::string good : {"C:\\Program Files\\Firebird\\fbclient.dll", "fbclient.dll", "firebird\\fbclient.dll"})
    EXPECT_EQ(os::LibraryPathProblem(good), "") << good;
}

TEST_F(StubClientTest, BothRefusedLogsTheSecondRefusalOnly) {
  WriteSettings("C:\\refuse-all.fdb", StubPath());
  LocalConnection c(fresh);
  ConfiguraConexaoLocal(c);
  EXPECT_FALSE(c.ConnQuelbrant.Connected());
  EXPECT_EQ(Log(), std::vector<std::string>{
                       messages::Format(messages::kLocalConnectFailed,
                                        {"localhost:C:\\refuse-all.fdb", std::string(kRefused).substr(0, std::strlen(kRefused) - 1)})
                           .str()});
}

}  // namespace
