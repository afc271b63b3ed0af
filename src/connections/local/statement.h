// Statements: a fixed SQL text with :NAME parameters, run in one transaction, read through a
// forward-only cursor that streams its rows.
//
// Thread-safety: none; see local_database.h.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connections/local/fb_client.h"
#include "connections/local/field_values.h"

namespace localdb {

class TFDConnection;
class TFDTransaction;
struct Sqlda;

// A statement parameter. Assigning a value gives the parameter that value's type.
class TFDParam {
 public:
  enum class DataType { kUnknown, kLargeint, kString, kBytes };

  explicit TFDParam(std::string name, DataType type = DataType::kUnknown) : Name(std::move(name)), type_(type) {}

  std::string Name;
  // When set, an empty text is sent as this text instead.
  std::optional<std::string> EmptyTextMeans;

  void SetAsString(std::string value);
  // Bytes sent as they are, in the character set OCTETS: the statement casts them to what it
  // compares them with, so that no character is lost to the connection's character set.
  void SetAsBytes(std::string value);
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
  // Another text for the statement (closed and prepared again at its next use). Parameters that
  // keep their name keep what they were given.
  void SetSQL(std::string sql);

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
  // Moves to the next row. A row the server cannot deliver (a value it cannot convert) raises
  // here, when the cursor would stand on it, never earlier: every row before it can be read.
  void Next();
  // Whether the last failure of Open() or Next() came from fetching a row, not from running the
  // statement.
  bool FetchFailed() const { return fetch_failed_; }

  TField FieldByName(const std::string& name) const;
  int FieldCount() const;

 private:
  friend class TField;
  friend class TFDConnection;
  struct Statement;

  void ParseSql();
  void Prepare(isc_tr_handle* tr);
  void BindParams();
  bool FetchInto(Sqlda& row);  // false at the end
  // The row after the current one; a failure is kept for the Next() that would reach it.
  void FetchAhead();
  void EndCursor(bool success);
  void DropStatement();  // at disconnect
  // The row the fields read; raises when there is none, naming the field asked for.
  const Sqlda& CurrentRow(int field) const;
  // The name of a column of the result set.
  std::string FieldNameAt(int field) const;

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
  std::exception_ptr next_failure_;  // fetching the row after the current one failed
  bool fetch_failed_ = false;
  std::int64_t row_number_ = 0;
};

}  // namespace localdb
