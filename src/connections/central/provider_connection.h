// The connection to the central DataSnap server (`TSQLConnection`) and the provider calls made
// through it (`TDSProviderConnection`).
//
// Thread-safety: none; calls into one connection and its datasets must not overlap.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "connections/central/dbx_connection.h"
#include "connections/central/ole_variant.h"

namespace central {

// An ordered name=value list whose entries are found by name and replaced in place.
class TStrings {
 public:
  TStrings() = default;
  TStrings(std::initializer_list<std::string> lines) : lines_(lines) {}
  int Count() const { return static_cast<int>(lines_.size()); }
  std::string& operator[](int i) { return lines_.at(static_cast<std::size_t>(i)); }
  const std::string& operator[](int i) const { return lines_.at(static_cast<std::size_t>(i)); }
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  // Index of the entry named `name` (case ignored), or -1.
  int IndexOfName(const std::string& name) const;
  // The value after '=' of the named entry; "" when there is none.
  std::string Values(const std::string& name) const;
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

class TSQLConnection {
 public:
  TSQLConnection();
  ~TSQLConnection();

  std::string ConnectionName = "DataSnapCONNECTION";
  std::string DriverName = "DataSnap";
  bool LoginPrompt = false;
  TStrings Params;
  // How long connecting and each exchange may take (tests shorten them).
  Timeouts timeouts;

  bool Connected() const { return session_.IsOpen(); }
  // true: a new TCP connection to HostName and Port of Params as they are now; false: closes.
  // Setting the value it already has does nothing. Closing never throws and never opens a
  // connection: what is said on the way out goes only to a connection that is still open.
  void SetConnected(bool value);
  // How the next connection reaches the server (tests and fuzzing talk through memory).
  void SetConnector(Connector connector) { session_.SetConnector(std::move(connector)); }

  // The open session; connects first when closed.
  DbxConnection& Session();
  // Counts openings, so that commands prepared on an earlier session are never reused.
  std::uint64_t SessionId() const { return session_id_; }
  // Called before each close with the session, which may already have been closed by a
  // failure (then nothing can be sent). Whatever it throws is dropped.
  void AddBeforeClose(std::function<void(DbxConnection&)> f) { before_close_.push_back(std::move(f)); }

 private:
  DbxConnection session_;
  std::uint64_t session_id_ = 0;
  std::vector<std::function<void(DbxConnection&)>> before_close_;
};

class TDSProviderConnection {
 public:
  explicit TDSProviderConnection(TSQLConnection& connection, std::string server_class = "TServerMethods1");

  std::string ServerClassName;
  TSQLConnection& SQLConnection;

  struct GetRecordsAnswer {
    std::int32_t RecsOut = 0;
    ole::Variant Result;
  };
  GetRecordsAnswer AS_GetRecords(const std::string& provider, std::int32_t count, std::int32_t options,
                                 const std::string& command_text, const ole::Variant& params, ole::Variant& owner_data);

  struct ApplyAnswer {
    std::int32_t ErrorCount = 0;
    ole::Variant Result;  // Null when every change was applied, else the error packet
  };
  // ErrorCount is read as the server sent it: missing, negative or outside 32 bits, it is a
  // ProtocolError, never a count that could read as 0. The delta is taken by value so that a
  // temporary's bytes are streamed without a copy.
  ApplyAnswer AS_ApplyUpdates(const std::string& provider, ole::Variant delta, std::int32_t max_errors,
                              ole::Variant& owner_data);

 private:
  DbxCommand& Command(const std::string& method, std::size_t expected_params);
  // Runs a call; a reply that cannot be read (ProtocolError) closes the connection.
  template <class F>
  auto Reading(F&& f) -> decltype(f());
  std::map<std::string, DbxCommand> commands_;
  std::uint64_t prepared_on_ = 0;  // session the commands belong to
};

}  // namespace central
