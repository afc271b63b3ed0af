#include <stdexcept>
#include "fb_test_env.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>

#include "settings/text_file.h"
#include "test_util.h"

namespace fbtest {

namespace {

std::string Env(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return v && *v ? v : def;
}

// Runs the SQL as SYSDBA on the server's security database (ALTER USER acts on the server).
void AlterSysdba(const std::string& door, const std::string& from, const std::string& to) {
  localdb::TFDPhysFBDriverLink link;
  link.VendorLib = "";
  localdb::TFDConnection conn(link, {"User_Name=SYSDBA", "Password=" + from, "Protocol=TCPIP", "Server=" + Host(),
                                     "CharacterSet=ISO8859_1", "Database=" + door});
  localdb::TFDTransaction tx(conn, false);
  conn.SetConnected(true);
  localdb::TFDQuery q("AlterUser", conn, tx, "ALTER USER SYSDBA PASSWORD '" + to + "'");
  q.ExecSQL();
  conn.SetConnected(false);
}

}  // namespace

int ServerVersion() {
  const std::string v = Env("TAVRIMONDO_FB_VERSION", "3");
  if (v != "3" && v != "4") throw std::runtime_error("TAVRIMONDO_FB_VERSION is \"" + v + "\": 3 or 4");
  return std::stoi(v);
}
std::string Host() { return Env("TAVRIMONDO_FB_HOST", ServerVersion() == 4 ? "localhost/3051" : "localhost"); }
std::string AdminPassword() { return Env("TAVRIMONDO_FB_PASSWORD", "tallowfin"); }
std::string StateDir() {
  return Env("TAVRIMONDO_STATE_DIR", ServerVersion() == 4 ? "/tmp/tavrimondo-fb4" : "/tmp/tavrimondo-fb");
}
std::string DatabaseDir() { return StateDir() + "/db/"; }
int Port() {
  const std::string host = Host();
  const auto slash = host.find('/');
  return slash == std::string::npos ? 3050 : std::stoi(host.substr(slash + 1));
}

std::string HostByAddress() { return Port() == 3050 ? "127.0.0.1" : "127.0.0.1/" + std::to_string(Port()); }

namespace {

// Says which server a test process talks to, and makes sure it is the one meant: a run meant for
// 4.0 that reached 3.0 would pass without testing anything new.
class ServerReport : public ::testing::Environment {
 public:
  void SetUp() override {
    std::cout << "[ Firebird ] server " << Host() << " (TAVRIMONDO_FB_VERSION=" << ServerVersion()
              << "), databases in " << DatabaseDir() << std::endl;
  }
};
[[maybe_unused]] ::testing::Environment* const kServerReport = ::testing::AddGlobalTestEnvironment(new ServerReport);

// Once per process, on the first database made: the engine's own version.
void CheckEngine(const std::string& db) {
  static bool checked = false;
  if (checked) return;
  checked = true;
  // Asked through isql, not the client library in this process: a test may yet set the process's
  // locale before its own first connection, which the library reads only once.
  const std::string cmd = "echo \"SET HEADING OFF; SELECT RDB\\$GET_CONTEXT('SYSTEM', 'ENGINE_VERSION') FROM "
                          "RDB\\$DATABASE;\" | isql-fb -q -user SYSDBA -password '" + AdminPassword() + "' '" + Host() +
                          ":" + db + "' 2>&1";
  std::string version;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) version += buf;
    ::pclose(p);
  }
  version.erase(0, version.find_first_not_of(" \n"));
  version.erase(version.find_last_not_of(" \n") + 1);
  std::cout << "[ Firebird ] engine " << version << " at " << Host() << std::endl;
  if (version.rfind(std::to_string(ServerVersion()) + ".", 0) != 0)
    throw std::runtime_error("The Firebird server at " + Host() + " is " + version + ", not the " +
                             std::to_string(ServerVersion()) + ".x that TAVRIMONDO_FB_VERSION names");
}

}  // namespace

StoreDb::StoreDb(const std::string& charset) {
  static std::atomic<int> counter{0};
  path_ = DatabaseDir() + "store-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".fdb";
  std::filesystem::remove(path_);
  std::string cmd = std::string("TAVRIMONDO_FB_PASSWORD='") + AdminPassword() + "' " TAVRIMONDO_FIREBIRD_SH
                    " create-store-db '" + path_ + "' " + charset + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    throw std::runtime_error("Cannot create a store database on the Firebird server at " + Host() + " (" + path_ +
                             "). Is it running? Start it with scripts/firebird.sh start; TAVRIMONDO_FB_HOST and "
                             "TAVRIMONDO_STATE_DIR say where it is.");
  }
  CheckEngine(path_);
}

StoreDb::~StoreDb() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

Admin::Admin(const std::string& db_path, const std::string& password)
    : conn_(link_, {"User_Name=SYSDBA", "Password=" + password, "Protocol=TCPIP", "Server=" + Host(),
                    "CharacterSet=ISO8859_1", "Database=" + db_path}),
      tx_(conn_, false) {
  link_.VendorLib = "";
  conn_.SetConnected(true);
}

void Admin::Exec(const std::string& sql) {
  localdb::TFDQuery q("Admin", conn_, tx_, sql);
  q.ExecSQL();
}

std::string Admin::Scalar(const std::string& sql) {
  localdb::TFDQuery q("Admin", conn_, tx_, sql);
  q.Open();
  std::string v = q.IsEmpty() ? "" : localdb::TField(q, 0).AsString();
  q.Close();
  return v;
}

std::vector<std::string> Admin::Column(const std::string& sql) {
  localdb::TFDQuery q("Admin", conn_, tx_, sql);
  std::vector<std::string> out;
  for (q.Open(); !q.Eof(); q.Next()) out.push_back(localdb::TField(q, 0).AsString());
  q.Close();
  return out;
}

SysdbaPassword::SysdbaPassword(const std::string& password) : current_(password) {
  AlterSysdba(door_.path(), AdminPassword(), password);
}

SysdbaPassword::~SysdbaPassword() {
  try {
    AlterSysdba(door_.path(), current_, AdminPassword());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "Could not put the SYSDBA password back (restart with scripts/firebird.sh stop/start): "
                  << e.what();
  }
}

std::vector<std::string> LogMessages(const std::string& app_dir) {
  std::vector<std::string> out;
  static const std::regex log_name(R"(Tavrimondo_\d{6}\.LOG)");
  for (auto& entry : std::filesystem::directory_iterator(app_dir)) {
    auto name = entry.path().filename().string();
    if (!std::regex_match(name, log_name)) continue;
    const std::string bytes = testutil::ReadFile(entry.path().string());
    const settings::DetectedEncoding enc = settings::DetectFileEncoding(bytes);
    const std::string text = settings::DecodeText(std::string_view(bytes).substr(enc.bom_size), enc.encoding);
    static const std::regex stamp(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d - )");
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      std::smatch m;
      if (std::regex_search(line, m, stamp))
        out.push_back(m.suffix());
      else if (!out.empty())
        out.back() += "\r\n" + line;  // continuation of a message with line breaks
      pos = end + 2;
    }
  }
  return out;
}

}  // namespace fbtest

namespace fbtest {

CentralDb::CentralDb() {
  static std::atomic<int> counter{0};
  path_ = DatabaseDir() + "central-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".fdb";
  std::filesystem::remove(path_);
  std::string cmd = "TAVRIMONDO_FB_PASSWORD='" + AdminPassword() + "' TAVRIMONDO_FB_HOST='" + Host() + "' '" +
                    TAVRIMONDO_CREATE_CENTRAL_DB + "' '" + path_ + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0)
    throw std::runtime_error("Cannot create a central database at " + path_ + "; is the Firebird server running?");
}

CentralDb::~CentralDb() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

}  // namespace fbtest
