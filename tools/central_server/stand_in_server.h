// The stand-in central server: a DataSnap TCP/IP server with the server class TServerMethods1 and
// the providers DPIndice, DPLogEstoqueRec and DPFiliais, for tests and for trying the agent
// without the real central server. Faults can be injected to test the agent's handling of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "central_store.h"
#include "platform/net.h"

namespace central_server {

struct Options {
  std::string bind = "0.0.0.0";
  std::uint16_t port = 2507;
  std::string port_file;  // the port actually bound is written here (port 0 picks a free one)
  std::string dump_file;  // rewritten after every change with what the store holds
  std::vector<std::int32_t> branches;  // branch rows created at start

  // The central database on a Firebird server; without a path the store lives in memory only.
  std::string firebird_path;
  std::string firebird_server = "localhost";
  std::string firebird_user = "SYSDBA";
  std::string firebird_password;  // default: $TAVRIMONDO_FB_PASSWORD

  // Faults. The texts (--reject-message, --index-text, --connect-error) may be given as "@PATH", to
  // take a file's bytes.
  std::set<std::string> reject_products;      // CODIGOPRODUTO values rejected
  std::set<std::int64_t> reject_sequences;    // SEQUENCIALLOJAORIGEM values rejected
  std::optional<std::string> reject_message;  // text for rejected rows (default: names the row)
  bool reject_stamp = false;                  // DPFiliais refuses every change
  bool no_branch_row = false;                 // DPFiliais answers no row
  enum class IndexFault { kNone, kText, kNull, kNoRow } index_fault = IndexFault::kNone;
  std::string index_text;                     // with kText
  int delay_ms = 0;                           // before every answer
  std::string drop_method;                    // never answer this method
  std::string close_method;                   // close the connection in the middle of this answer
  std::string garbage_method;                 // answer this method with garbage
  std::optional<std::string> connect_error;   // refuse every connect with this error text
  bool mute = false;                          // accept connections, never answer anything
  bool filters = false;                       // answer the handshake as a server with transport filters
  std::size_t inline_limit = 30720;           // bytes of an output value sent inline

  // Parses command-line arguments; throws std::invalid_argument with a usage hint.
  static Options Parse(const std::vector<std::string>& args);
};

class StandInServer {
 public:
  StandInServer(Options options, CentralStore& store);
  ~StandInServer();
  // Binds and writes the port file; throws net::NetError.
  void Start();
  std::uint16_t Port() const { return port_; }
  // Serves until Stop; one thread per connection.
  void Run();
  void Stop();

 private:
  class Session;
  void Dump();

  Options options_;
  CentralStore& store_;
  net::Listener listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex dump_mu_;
};

void Log(const std::string& line);
// Benchmarks silence the log.
void SetLogEnabled(bool on);
// The wall clock (UTC) in the packets' time-stamp unit: milliseconds, 01/01/0001 being day 1.
std::int64_t NowTimeStampMs();

}  // namespace central_server
