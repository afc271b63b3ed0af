// Client datasets on the central server's providers: parameters, fields of the current row, a
// change log of inserted and edited rows, and applying it.
//
// Memory stays bounded by what is pending: an inserted row lives only in the change log and is
// dropped as soon as the server has stored it, so a dataset that sends millions of rows holds at
// most one batch at a time. Rows fetched on open stay until Close.
//
// Thread-safety: none; see provider_connection.h.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"
#include "connections/central/data_packet.h"
#include "connections/central/field_conversions.h"
#include "connections/central/provider_connection.h"

namespace central {

class TClientDataSet;

class TParam {
 public:
  TParam(std::string name, ole::FieldType type, ole::ParamType param_type = ole::ptInput)
      : Name(std::move(name)), DataType(type), ParamType(param_type) {}
  std::string Name;
  ole::FieldType DataType;
  ole::ParamType ParamType;
  ole::Variant Value = ole::Variant::Null();

  // Makes the parameter a 32-bit integer one, whatever it was declared as.
  void SetAsInteger(std::int32_t v);
  void SetAsString(const std::string& v);
};

class TParams {
 public:
  void Add(TParam p) { items_.push_back(std::move(p)); }
  // Throws std::out_of_range when there is no such parameter.
  TParam& ParamByName(const std::string& name);
  const std::vector<TParam>& Items() const { return items_; }

 private:
  std::vector<TParam> items_;
};

// A field of the dataset's current row (or of the row being inserted or edited). The
// conversions are those of field_conversions.h.
class TField {
 public:
  TField(TClientDataSet& ds, int index) : ds_(&ds), index_(index) {}
  const std::string& FieldName() const;
  bool IsNull() const;

  std::string AsString() const;  // "" for null
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  std::int64_t AsCurrency() const;  // value x 10000, exact
  TDateTime AsDateTime() const;

  // Writing needs the dataset in insert or edit state.
  void SetAsString(const std::string& v);
  void SetAsInteger(std::int32_t v) { SetAsLargeInt(v); }
  void SetAsLargeInt(std::int64_t v);
  void SetAsCurrency(std::int64_t scaled);  // value x 10000
  void SetAsDateTime(TDateTime v);
  void Clear();

 private:
  const packet::FieldDesc& Desc() const;
  const packet::Cell& Get() const;
  void Put(packet::Cell c);
  TClientDataSet* ds_;
  int index_;
};

enum class TUpdateKind { ukModify, ukInsert, ukDelete };
enum class TReconcileAction { raSkip, raAbort, raMerge, raCorrect, raCancel, raRefresh };

// A row the provider rejected; what() is the provider's error text, cut to text::kOutsideTextLimit
// bytes (every rejected row becomes a line of the log).
class EReconcileError : public std::runtime_error {
 public:
  EReconcileError(const std::string& message, std::int32_t code)
      : std::runtime_error(text::CapText(message)), code_(code) {}
  std::int32_t ErrorCode() const { return code_; }

 private:
  std::int32_t code_;
};

using TReconcileErrorEvent =
    std::function<void(TClientDataSet& DataSet, const EReconcileError& E, TUpdateKind UpdateKind, TReconcileAction& Action)>;

class TClientDataSet {
 public:
  TClientDataSet(std::string name, TDSProviderConnection& remote_server, std::string provider_name);

  const std::string Name;
  TDSProviderConnection& RemoteServer;
  std::string ProviderName;
  std::int32_t PacketRecords = 500;
  TParams Params;
  TReconcileErrorEvent OnReconcileError;
  // Where an exception thrown by OnReconcileError goes (the application's exception handling);
  // the reconciliation then ends as with abort and ApplyUpdates returns as usual. When unset the
  // exception leaves ApplyUpdates (after the change log has been settled).
  std::function<void(const std::exception& e)> OnHandlerException;

  bool Active() const { return active_; }
  // Fetches the field definitions and the first packet of rows from the provider. A packet with
  // more rows than PacketRecords asked for is refused (ProtocolError), as is any packet the
  // client cannot read; the connection is then closed, as after any broken answer.
  void Open();
  // Drops the rows and every pending change, and tells the provider to reset (when it was open).
  void Close();
  bool IsEmpty() const;
  TField FieldByName(const std::string& name);

  void Insert();
  void Edit();
  void Post();
  void Cancel();
  // Pending changes (inserted or edited rows).
  int ChangeCount() const { return static_cast<int>(changes_.size()); }

  // Sends the pending changes; returns the provider's error count. With nothing pending it
  // returns 0 without contacting the server. Changes the server stored leave the change log;
  // rejected ones stay pending and are passed to OnReconcileError one by one. When the error
  // count exceeds MaxErrors the provider rolled the whole apply back, so every change of it
  // stays pending: dropping the rows it did not complain about would lose them.
  int ApplyUpdates(int MaxErrors);
  // The pending changes as the delta packet ApplyUpdates sends: inserted rows with status 4,
  // edited rows as a pair (1: as fetched, 8: the changed fields, the others "not changed").
  std::string DeltaPacket() const;

 private:
  friend class TField;
  enum class State { kInactive, kBrowse, kInsert, kEdit };
  struct Change {
    TUpdateKind kind;
    std::size_t row = 0;                 // edited row
    packet::Cells original;  // edited row as fetched
    packet::Cells values;
    std::vector<bool> changed;
  };
  void CheckActive() const;
  // Reads a packet from the provider; ProtocolError closes the connection.
  packet::DataPacket ReadPacket(const std::string& bytes, std::uint32_t max_rows);

  bool active_ = false;
  State state_ = State::kInactive;
  packet::DataPacket meta_;  // field definitions and dataset properties; no rows
  std::vector<packet::Row> rows_;
  packet::Cells buffer_;
  std::vector<bool> written_;
  std::vector<Change> changes_;
  ole::Variant owner_data_;
};

}  // namespace central
