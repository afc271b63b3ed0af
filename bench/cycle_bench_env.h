// What the cycle benchmarks share: store databases holding a backlog of outgoing rows (made once
// and kept in the state dir), fresh central databases, the stand-in central server as a child
// process, and the agent set up the way a service start leaves it.
//
// Needs the Firebird server (scripts/firebird.sh start); TAVRIMONDO_FB_HOST, TAVRIMONDO_STATE_DIR
// and TAVRIMONDO_FB_PASSWORD say where it is, as for the tests.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "central_child.h"
#include "connections/local/local_connection.h"
#include "service/tavrimondo_client.h"
#include "settings/app_dir.h"

namespace cyclebench {

constexpr int kLoja = 7;

inline std::string Env(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return v && *v ? v : def;
}
inline std::string Host() { return Env("TAVRIMONDO_FB_HOST", "localhost"); }
inline std::string Password() { return Env("TAVRIMONDO_FB_PASSWORD", "tallowfin"); }
inline std::string DbDir() { return Env("TAVRIMONDO_STATE_DIR", "/tmp/tavrimondo-fb") + "/db/"; }

inline void PointAt(localdb::LocalConnection& c, const std::string& path) {
  auto& p = c.ConnQuelbrant.Params;
  p.Set(p.IndexOfName("Server"), "Server=" + Host());
  p.Set(p.IndexOfName("Database"), "Database=" + path);
  p.Set(p.IndexOfName("Password"), "Password=" + Password());
  c.FDPhysFBDriverLink1.VendorLib = "";
}

// The path of a store database whose outgoing log holds SEQUENCIAL 1..rows, less every multiple
// of `gap_every` when that is not 0 (values rolled back by the store's programs), and whose store
// row names branch kLoja; made on first use, kept for later runs.
inline std::string EnsureStore(std::int64_t rows, std::int64_t gap_every = 0) {
  const std::string path = DbDir() + "cycle-bench-" + std::to_string(rows) +
                           (gap_every ? "-gaps-" + std::to_string(gap_every) : std::string()) + ".fdb";
  if (!std::filesystem::exists(path)) {
    std::string cmd = "TAVRIMONDO_FB_PASSWORD='" + Password() + "' TAVRIMONDO_FB_HOST='" + Host() +
                      "' " TAVRIMONDO_FIREBIRD_SH " create-store-db '" + path + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create " + path);
  }
  localdb::LocalConnection c;
  PointAt(c, path);
  c.ConnQuelbrant.SetConnected(true);
  auto scalar = [&](const std::string& sql) {
    localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura, sql);
    q.Open();
    std::int64_t v = localdb::TField(q, 0).AsLargeInt();
    q.Close();
    return v;
  };
  auto exec = [&](const std::string& sql) {
    localdb::TFDQuery q("X", c.ConnQuelbrant, c.TransEscrita, sql);
    q.ExecSQL();
  };
  if (scalar("SELECT COUNT(*) FROM PADRAO") == 0)
    exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, " + std::to_string(kLoja) + ")");
  const std::int64_t expected = rows - (gap_every ? rows / gap_every : 0);
  const std::int64_t highest = gap_every && rows % gap_every == 0 ? rows - 1 : rows;
  if (scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV") == expected &&
      scalar("SELECT COALESCE(MAX(SEQUENCIAL), 0) FROM RPL_LOGESTOQUE_ENV") == highest)
    return path;
  // Built anew from SEQUENCIAL 1, rows of 1,000 products at a time.
  exec("DELETE FROM RPL_LOGESTOQUE_ENV");
  const std::int64_t blocks = (rows + 999) / 1000;
  exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) "
       "WITH RECURSIVE N AS (SELECT 1 AS I FROM RDB$DATABASE UNION ALL SELECT I + 1 FROM N WHERE I < 1000) "
       "SELECT (B.I - 1) * 1000 + A.I, 'PRODUTO-' || B.I || '-' || A.I, A.I + B.I / 10000.0 FROM N B CROSS JOIN N A "
       "WHERE B.I <= " + std::to_string(blocks) + " AND (B.I - 1) * 1000 + A.I <= " + std::to_string(rows) +
       (gap_every ? " AND MOD((B.I - 1) * 1000 + A.I, " + std::to_string(gap_every) + ") <> 0" : std::string()));
  if (scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV") != expected ||
      scalar("SELECT MAX(SEQUENCIAL) FROM RPL_LOGESTOQUE_ENV") != highest)
    throw std::runtime_error("the backlog in " + path + " is not as asked");
  return path;
}

// A fresh central database with the stand-in server on it, both removed at the end.
class Central {
 public:
  explicit Central(const std::string& dir) {
    static std::atomic<int> n{0};
    path_ = DbDir() + "cycle-bench-central-" + std::to_string(::getpid()) + "-" + std::to_string(n++) + ".fdb";
    std::filesystem::remove(path_);
    std::string cmd = "TAVRIMONDO_FB_PASSWORD='" + Password() + "' TAVRIMONDO_FB_HOST='" + Host() +
                      "' " TAVRIMONDO_CREATE_CENTRAL_DB " '" + path_ + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot create a central database at " + path_);
    std::filesystem::create_directories(dir);
    server_ = std::make_unique<central_child::Server>(
        TAVRIMONDO_CENTRAL_EXE, dir,
        std::vector<std::string>{"--firebird", path_, "--firebird-server", Host(), "--firebird-password", Password(),
                                 "--branch", std::to_string(kLoja)});
    server_->Start();
  }
  ~Central() {
    server_.reset();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  std::uint16_t port() const { return server_->port(); }
  const std::string& path() const { return path_; }
  // How many rows of the branch the central database holds, and its index.
  std::int64_t Received() {
    return Scalar("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA = " + std::to_string(kLoja));
  }
  std::int64_t Index() {
    return Scalar("SELECT COALESCE(RPL_INDICEESTOQUE, -1) FROM FILIAIS WHERE CODIGO = " + std::to_string(kLoja));
  }
  // The central server as it is once it has every row up to `index`.
  void SetIndex(std::int64_t index) {
    localdb::LocalConnection c;
    PointAt(c, path_);
    c.ConnQuelbrant.SetConnected(true);
    localdb::TFDQuery q("X", c.ConnQuelbrant, c.TransEscrita,
                        "UPDATE OR INSERT INTO FILIAIS (CODIGO, RPL_INDICEESTOQUE) VALUES (" + std::to_string(kLoja) +
                            ", " + std::to_string(index) + ") MATCHING (CODIGO)");
    q.ExecSQL();
  }

 private:
  std::int64_t Scalar(const std::string& sql) {
    localdb::LocalConnection c;
    PointAt(c, path_);
    c.ConnQuelbrant.SetConnected(true);
    localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura, sql);
    q.Open();
    std::int64_t v = localdb::TField(q, 0).AsLargeInt();
    q.Close();
    return v;
  }
  std::string path_;
  std::unique_ptr<central_child::Server> server_;
};

// The agent after a service start, on the store at `store_path` and the central server at `port`;
// its settings file and activity log live in `app_dir` (ends in '/').
class Agent {
 public:
  Agent(const std::string& app_dir, const std::string& store_path, std::uint16_t port) {
    std::filesystem::create_directories(app_dir);
    settings::SetAppDirectoryOverride(app_dir);
    std::ofstream(app_dir + "kordane.ini") << "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" << Host()
                                           << "\r\nCaminho=" << store_path << "\r\nMonitorarComando=0\r\n";
    client_ = std::make_unique<TTavrimondoClient>(loop_);
    auto& params = client_->Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(port);
    bool started = true;
    client_->ServiceStart(started);
    if (!started) throw std::runtime_error("the agent did not start");
  }
  ~Agent() {
    client_.reset();
    settings::SetAppDirectoryOverride("");
  }
  void Cycle() { client_->Timer1Timer(); }
  TTavrimondoClient& client() { return *client_; }

 private:
  replication::MainLoop loop_;
  std::unique_ptr<TTavrimondoClient> client_;
};

}  // namespace cyclebench
