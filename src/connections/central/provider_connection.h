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
  // Setting the value it already has does nothing.
  void SetConnected(bool value);

  // The open session; connects first when closed.
  DbxConnection& Session();
  // Counts openings, so that commands prepared on an earlier session are never reused.
  std::uint64_t SessionId() const { return session_id_; }
  // Called before each close, while the session can still send.
  void AddBeforeClose(std::function<void()> f) { before_close_.push_back(std::move(f)); }

 private:
  DbxConnection session_;
  std::uint64_t session_id_ = 0;
  std::vector<std::function<void()>> before_close_;
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
  ApplyAnswer AS_ApplyUpdates(const std::string& provider, const ole::Variant& delta, std::int32_t max_errors,
                              ole::Variant& owner_data);

 private:
  DbxCommand& Command(const std::string& method, std::size_t expected_params);
  std::map<std::string, DbxCommand> commands_;
  std::uint64_t prepared_on_ = 0;  // session the commands belong to
};

}  // namespace central
