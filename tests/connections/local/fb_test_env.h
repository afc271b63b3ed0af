// The real Firebird server the database tests talk to, and scratch store databases on it.
//
// The server is started outside the tests (scripts/firebird.sh start [3|4]). Which one and where:
//   TAVRIMONDO_FB_VERSION   the server's major version, 3 (default) or 4; the defaults below follow it
//   TAVRIMONDO_FB_HOST      host name as the agent's "Servidor" setting would hold it (default
//                           localhost, for 4 localhost/3051)
//   TAVRIMONDO_STATE_DIR    the script's state dir; databases are created in its db/ folder
//                           (default /tmp/tavrimondo-fb, for 4 /tmp/tavrimondo-fb4)
//   TAVRIMONDO_FB_PASSWORD  the SYSDBA password the server was started with (default tallowfin)
// A server that cannot be reached fails the tests with a message saying so; it never skips them.
// Every test process says once which server it runs on, and fails when the server that answers
// is not of the version named.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "connections/local/local_connection.h"

namespace fbtest {

std::string Host();
std::string AdminPassword();
std::string StateDir();     // scripts/firebird.sh's state folder for the server: its PID file, its db/
std::string DatabaseDir();  // ends in '/'
int ServerVersion();        // the major version the tests expect: 3 or 4
int Port();                 // the server's TCP port, as Host() names it (3050 when it does not)
std::string HostByAddress();  // the same server named another way: 127.0.0.1, with its port

// A fresh store database (PADRAO, PRODUTOS, RPL_LOGESTOQUE_ENV), removed at the end; its default
// character set is ISO8859_1 unless another is named.
class StoreDb {
 public:
  explicit StoreDb(const std::string& charset = "");
  ~StoreDb();
  StoreDb(const StoreDb&) = delete;
  StoreDb& operator=(const StoreDb&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A fresh central database of the stand-in central server (FILIAIS, LOGESTOQUEREC), removed at
// the end.
class CentralDb {
 public:
  CentralDb();
  ~CentralDb();
  CentralDb(const CentralDb&) = delete;
  CentralDb& operator=(const CentralDb&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A connection of the database layer, for preparing and checking data beside the agent's.
class Admin {
 public:
  explicit Admin(const std::string& db_path, const std::string& password = AdminPassword());
  void Exec(const std::string& sql);
  // The first column of the first row as text ("" when there is no row).
  std::string Scalar(const std::string& sql);
  // The first column of every row, as text.
  std::vector<std::string> Column(const std::string& sql);
  localdb::TFDConnection& connection() { return conn_; }

 private:
  localdb::TFDPhysFBDriverLink link_;
  localdb::TFDConnection conn_;
  localdb::TFDTransaction tx_;
};

// Sets the SYSDBA password over TCP for as long as it lives, then puts the test password back.
// Changing it affects every connection to the server: tests using this run under the CTest
// resource lock that every test of the server takes.
class SysdbaPassword {
 public:
  explicit SysdbaPassword(const std::string& password);
  ~SysdbaPassword();

 private:
  StoreDb door_;  // any database serves to reach the server; created while the password is known
  std::string current_;
};

// The activity log's lines in the test's application directory, as UTF-8, time stamps removed.
std::vector<std::string> LogMessages(const std::string& app_dir);

}  // namespace fbtest
