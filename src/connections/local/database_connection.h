// The connection to one Firebird database: which client library it loads, its ordered name=value
// definition, and attaching and detaching.
//
// Thread-safety: none; see local_database.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connections/local/db_errors.h"
#include "connections/local/fb_client.h"

namespace localdb {

class TFDTransaction;
class TFDQuery;

// Which client library a connection loads; shared by the connections that use it.
class TFDPhysFBDriverLink {
 public:
  explicit TFDPhysFBDriverLink(FbDriverManager& manager = FbDriverManager::Process());

  // Empty: the platform's default names in order; a value: the only file tried.
  std::string VendorLib;
  // Runs right after the library has been loaded, never after a failed load.
  std::function<void(TFDPhysFBDriverLink& Sender)> OnDriverCreated;

  // The client library, loaded by the first call that succeeds.
  const FbApi& Driver();
  FbDriverManager& Manager() { return manager_; }

 private:
  FbDriverManager& manager_;
};

// An ordered list of name=value entries; names match without regard to ASCII case.
class TConnectionParams {
 public:
  TConnectionParams() = default;
  TConnectionParams(std::initializer_list<std::string> entries) : entries_(entries) {}

  int Count() const { return static_cast<int>(entries_.size()); }
  const std::string& operator[](int index) const { return entries_.at(index); }
  // Replaces the entry at `index` in place, so the order never changes.
  void Set(int index, std::string entry) { entries_.at(index) = std::move(entry); }
  // Index of the first entry named `name`, or -1.
  int IndexOfName(const std::string& name) const;
  // The value of the entry named `name`; empty when there is none.
  std::string Values(const std::string& name) const;
  void Add(std::string entry) { entries_.push_back(std::move(entry)); }
  const std::vector<std::string>& Entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
};

// A connection to one database, described by its connection definition.
class TFDConnection {
 public:
  TFDConnection(TFDPhysFBDriverLink& driver_link, TConnectionParams params);
  ~TFDConnection();
  TFDConnection(const TFDConnection&) = delete;
  TFDConnection& operator=(const TFDConnection&) = delete;

  // The connection definition; read at every connect, kept across closings.
  TConnectionParams Params;
  // The transaction used by statements that name none.
  TFDTransaction* Transaction = nullptr;

  bool Connected() const { return handle_ != 0; }
  // Counts the attachments made: what is learnt of the server lasts while this stays the same.
  std::uint64_t Attachments() const { return attachments_; }
  // true: attach with the definition as it is now (nothing when connected already).
  // false: end the transactions (commit), close every statement and detach. Never throws: a
  // connection whose server went away is closed all the same.
  void SetConnected(bool value);

  // Seconds a connect attempt may take before it fails.
  static constexpr int kConnectTimeoutSeconds = 15;

  // ---- used by transactions and statements -------------------------------------------------
  const FbApi& Api() const { return *api_; }
  isc_db_handle* Handle() { return &handle_; }
  void Register(TFDTransaction* t);
  void Unregister(TFDTransaction* t);
  void Register(TFDQuery* q);
  void Unregister(TFDQuery* q);
  // Throws when not connected, naming the statement that needed the connection.
  void CheckConnected(const std::string& who) const;
  // Raises the status vector's error as EFirebirdError.
  [[noreturn]] void RaiseStatus(const ISC_STATUS* status) const;

 private:
  void Connect();
  void Disconnect();
  void BindNewTypes();
  // isc_dsql_token_unk_err: the statement holds a word the server does not know.
  static constexpr std::int64_t kTokenUnknown = 335544634;

  TFDPhysFBDriverLink& driver_link_;
  const FbApi* api_ = nullptr;
  isc_db_handle handle_ = 0;
  std::uint64_t attachments_ = 0;
  std::vector<TFDTransaction*> transactions_;
  std::vector<TFDQuery*> queries_;
};

}  // namespace localdb
