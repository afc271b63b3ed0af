// The store's Firebird database: a connection, its transactions and its statements.
//
// A small database layer in the manner of the one the agent's components are modelled on:
//   TFDPhysFBDriverLink  which client library to load (loaded once per process)
//   TFDConnection        an ordered name=value connection definition and Connected
//   TFDTransaction       read-committed, started on demand and ended when its last statement ends
//   TFDQuery             a fixed SQL text with :NAME parameters; a forward-only, streaming cursor
//
// Texts are UTF-8 here and ISO8859_1 on the wire; a text that ISO8859_1 cannot hold raises
// EDatabaseError instead of being sent altered. Every failure is an exception derived from
// EDatabaseError (Firebird's own messages come as EFirebirdError).
//
// Thread-safety: none of these objects locks. Callers on several threads serialise their use,
// e.g. with LocalConnection::Lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connections/local/db_errors.h"
#include "connections/local/fb_client.h"

namespace localdb {

class TFDConnection;
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

// A read-committed transaction of one connection.
class TFDTransaction {
 public:
  TFDTransaction(TFDConnection& connection, bool read_only);
  ~TFDTransaction();
  TFDTransaction(const TFDTransaction&) = delete;
  TFDTransaction& operator=(const TFDTransaction&) = delete;

  bool ReadOnly() const { return read_only_; }
  bool Active() const { return handle_ != 0; }
  TFDConnection& Connection() { return connection_; }

  // Explicit control; a transaction started here is not ended by its statements.
  void StartTransaction();
  void Commit();
  void Rollback();

  // ---- used by statements --------------------------------------------------------------
  // A statement begins to use the transaction; starts it when none is active.
  isc_tr_handle* Acquire();
  // The statement is done. When no statement uses a transaction that was started on demand, it
  // is committed, or rolled back when any of its statements failed.
  void Release(bool success);
  // Makes the work done so far permanent while statements still hold cursors in it.
  void CommitRetaining();
  // Started on demand and used by more than one statement right now.
  bool SharedOnDemand() const { return auto_started_ && users_ > 1; }
  isc_tr_handle* Handle() { return &handle_; }

  // Ends the transaction at disconnect: commit, or roll back when the commit fails. Never throws.
  void EndAtDisconnect();

 private:
  void Start();
  void Finish(bool commit);

  TFDConnection& connection_;
  bool read_only_;
  isc_tr_handle handle_ = 0;
  bool auto_started_ = false;
  bool failed_ = false;
  int users_ = 0;
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

  TFDPhysFBDriverLink& driver_link_;
  const FbApi* api_ = nullptr;
  isc_db_handle handle_ = 0;
  std::vector<TFDTransaction*> transactions_;
  std::vector<TFDQuery*> queries_;
};

// A statement parameter. Assigning a value gives the parameter that value's type.
class TFDParam {
 public:
  enum class DataType { kUnknown, kLargeint, kString };

  explicit TFDParam(std::string name, DataType type = DataType::kUnknown) : Name(std::move(name)), type_(type) {}

  std::string Name;
  // When set, an empty text is sent as this text instead.
  std::optional<std::string> EmptyTextMeans;

  void SetAsString(std::string value);
  void SetAsLargeInt(std::int64_t value);
  void Clear();  // null
  bool IsNull() const { return null_; }
  DataType Type() const { return type_; }
  const std::string& AsString() const { return text_; }
  std::int64_t AsLargeInt() const { return int_; }

 private:
  DataType type_;
  bool null_ = true;
  std::string text_;
  std::int64_t int_ = 0;
};

// The value of one column in the query's current row. Null reads as "" or 0.
class TField {
 public:
  TField(const TFDQuery& query, int index) : query_(&query), index_(index) {}

  std::string FieldName() const;
  bool IsNull() const;
  std::string AsString() const;
  std::int32_t AsInteger() const;  // raises when the value does not fit 32 bits
  std::int64_t AsLargeInt() const;
  // Fixed point with four decimal places: the value times 10 000, exactly (no floating point);
  // further decimals are rounded half away from zero.
  std::int64_t AsCurrency() const;

 private:
  const TFDQuery* query_;
  int index_;
};

// A fixed SQL statement with :NAME parameters, run in one transaction.
class TFDQuery {
 public:
  TFDQuery(std::string name, TFDConnection& connection, TFDTransaction& transaction, std::string sql);
  ~TFDQuery();
  TFDQuery(const TFDQuery&) = delete;
  TFDQuery& operator=(const TFDQuery&) = delete;

  const std::string& Name() const { return name_; }
  // The statement as written, lines joined by line breaks.
  const std::string& SQL() const { return sql_; }

  TFDParam& ParamByName(const std::string& name);

  // Runs the SELECT and stands on the first row. Nothing when open already.
  void Open();
  // Ends the cursor; its transaction ends with it when nothing else uses it. Never throws.
  void Close();
  // Runs a statement without a result set. Its transaction is committed when it succeeds (also
  // when other statements still hold cursors in it) and, when started for it, rolled back when
  // it fails.
  void ExecSQL();

  bool Active() const { return active_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return row_number_ == 0; }  // also when closed
  // Back to the first row; a cursor already past it is run again.
  void First();
  void Next();

  TField FieldByName(const std::string& name) const;
  int FieldCount() const;

 private:
  friend class TField;
  friend class TFDConnection;
  struct Sqlda;
  struct Statement;

  void Prepare(isc_tr_handle* tr);
  void BindParams();
  bool FetchInto(Sqlda& row);  // false at the end
  void EndCursor(bool success);
  void DropStatement();  // at disconnect
  // The row the fields read; raises when there is none, naming the field asked for.
  const Sqlda& CurrentRow(int field) const;

  std::string name_;
  TFDConnection& connection_;
  TFDTransaction& transaction_;
  std::string sql_;
  std::string wire_sql_;                 // :NAME replaced by ?
  std::vector<std::string> param_order_;  // parameter name of each ?
  std::vector<TFDParam> params_;

  std::unique_ptr<Statement> stmt_;
  bool active_ = false;
  bool cursor_open_ = false;  // the server-side cursor, which ends before the last row is read
  bool eof_ = true;
  bool have_next_ = false;
  std::int64_t row_number_ = 0;
};

}  // namespace localdb
