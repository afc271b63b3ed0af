#include <stdexcept>
#include "fb_test_env.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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

std::string Host() { return Env("TAVRIMONDO_FB_HOST", "localhost"); }
std::string AdminPassword() { return Env("TAVRIMONDO_FB_PASSWORD", "tallowfin"); }
std::string DatabaseDir() { return Env("TAVRIMONDO_STATE_DIR", "/tmp/tavrimondo-fb") + "/db/"; }

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
