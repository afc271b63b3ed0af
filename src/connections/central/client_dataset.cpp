#include "connections/central/client_dataset.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "platform/os.h"

namespace central {

using packet::Cell;
using packet::CellState;
using packet::FieldDesc;

// ---- parameters ----------------------------------------------------------------------------

void TParam::SetAsInteger(std::int32_t v) {
  DataType = ole::ftInteger;
  Value = ole::Variant::Integer(v);
}

void TParam::SetAsString(const std::string& v) {
  if (DataType != ole::ftWideString) DataType = ole::ftString;
  Value = ole::Variant::String(v);
}

TParam& TParams::ParamByName(const std::string& name) {
  for (TParam& p : items_)
    if (text::EqualsIgnoreCase(p.Name, name)) return p;
  throw std::out_of_range("Parameter '" + name + "' not found");
}

// ---- fields --------------------------------------------------------------------------------

const std::string& TField::FieldName() const { return Desc().name; }
const FieldDesc& TField::Desc() const { return ds_->meta_.fields[static_cast<std::size_t>(index_)]; }

const Cell& TField::Get() const {
  static const Cell kNull{};
  const auto& ds = *ds_;
  if (ds.state_ == TClientDataSet::State::kInsert || ds.state_ == TClientDataSet::State::kEdit)
    return ds.buffer_[static_cast<std::size_t>(index_)];
  if (ds.rows_.empty()) return kNull;
  return ds.rows_.front().cells[static_cast<std::size_t>(index_)];
}

void TField::Put(Cell c) {
  auto& ds = *ds_;
  if (ds.state_ != TClientDataSet::State::kInsert && ds.state_ != TClientDataSet::State::kEdit)
    throw std::logic_error("Dataset " + ds.Name + " not in edit or insert mode");
  ds.buffer_[static_cast<std::size_t>(index_)] = std::move(c);
  ds.written_[static_cast<std::size_t>(index_)] = true;
}

bool TField::IsNull() const { return Get().state != CellState::kValue; }
std::string TField::AsString() const { return fields::AsString(Desc(), Get()); }
std::int64_t TField::AsLargeInt() const { return fields::AsLargeInt(Desc(), Get()); }
std::int64_t TField::AsCurrency() const { return fields::AsCurrency(Desc(), Get()); }
TDateTime TField::AsDateTime() const { return fields::AsDateTime(Desc(), Get()); }

std::int32_t TField::AsInteger() const {
  std::int64_t v = AsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("Value of field " + FieldName() + " out of integer range");
  return static_cast<std::int32_t>(v);
}

void TField::SetAsString(const std::string& v) { Put(fields::FromString(Desc(), v)); }
void TField::SetAsLargeInt(std::int64_t v) { Put(fields::FromLargeInt(Desc(), v)); }
void TField::SetAsCurrency(std::int64_t scaled) { Put(fields::FromCurrency(Desc(), scaled)); }
void TField::SetAsDateTime(TDateTime v) { Put(fields::FromDateTime(Desc(), v)); }
void TField::Clear() { Put(Cell::Null()); }

// ---- the dataset ---------------------------------------------------------------------------

TClientDataSet::TClientDataSet(std::string name, TDSProviderConnection& remote_server, std::string provider_name)
    : Name(std::move(name)), RemoteServer(remote_server), ProviderName(std::move(provider_name)) {}

void TClientDataSet::CheckActive() const {
  if (!active_) throw std::logic_error(Name + ": Cannot perform this operation on a closed dataset");
}

void TClientDataSet::Open() {
  if (active_) return;
  std::vector<ole::PackedParam> packed;
  for (const TParam& p : Params.Items())
    packed.push_back({p.Name, p.Value, p.DataType, p.ParamType, 0, 0, 0});
  owner_data_ = ole::Variant::Empty();
  auto answer = RemoteServer.AS_GetRecords(ProviderName, PacketRecords, /*grMetaData*/ 1, "", ole::PackParams(packed),
                                           owner_data_);
  if (!answer.Result.IsByteArray()) throw ProtocolError(Name + ": the provider " + ProviderName + " sent no data packet");
  packet::DataPacket p =
      ReadPacket(answer.Result.str, PacketRecords > 0 ? static_cast<std::uint32_t>(PacketRecords) : UINT32_MAX);
  answer.Result = ole::Variant();  // its bytes are read: not kept beside the rows
  if (p.fields.empty()) throw ProtocolError(Name + ": the provider " + ProviderName + " sent no field definitions");
  rows_ = std::move(p.rows);
  p.rows.clear();
  meta_ = std::move(p);
  changes_.clear();
  active_ = true;
  state_ = State::kBrowse;
}

packet::DataPacket TClientDataSet::ReadPacket(const std::string& bytes, std::uint32_t max_rows) {
  packet::PacketLimits limits;
  limits.max_rows = max_rows;
  try {
    return packet::Read(bytes, limits);
  } catch (const ProtocolError& e) {
    // A server that sends what cannot be read is not talked to further on this connection.
    RemoteServer.SQLConnection.SetConnected(false);
    throw ProtocolError(Name + ": the provider " + ProviderName + " sent a data packet that cannot be read: " + e.what());
  }
}

void TClientDataSet::Close() {
  if (!active_) return;
  // The local state goes first: a failing reset call must not leave a half-closed dataset.
  active_ = false;
  state_ = State::kInactive;
  rows_.clear();
  changes_.clear();
  buffer_.clear();
  bool reset = meta_.Param("NO_RESET_CALL") == nullptr;
  meta_ = {};
  if (reset) RemoteServer.AS_GetRecords(ProviderName, 0, /*grReset*/ 2, "", ole::Variant::Empty(), owner_data_);
}

bool TClientDataSet::IsEmpty() const {
  if (!active_) return true;
  if (!rows_.empty()) return false;
  for (const Change& c : changes_)
    if (c.kind == TUpdateKind::ukInsert) return false;
  return state_ != State::kInsert;
}

TField TClientDataSet::FieldByName(const std::string& name) {
  CheckActive();
  int i = meta_.FieldIndex(name);
  if (i < 0) throw std::out_of_range(Name + ": Field '" + name + "' not found");
  return TField(*this, i);
}

void TClientDataSet::Insert() {
  CheckActive();
  if (state_ != State::kBrowse) Post();
  buffer_.clear();
  buffer_.resize(meta_.fields.size());
  written_.assign(meta_.fields.size(), false);
  state_ = State::kInsert;
}

void TClientDataSet::Edit() {
  CheckActive();
  if (state_ == State::kEdit || state_ == State::kInsert) return;
  if (rows_.empty()) throw std::logic_error(Name + ": Cannot edit an empty dataset");
  buffer_ = rows_.front().cells;
  written_.assign(meta_.fields.size(), false);
  state_ = State::kEdit;
}

void TClientDataSet::Cancel() {
  if (state_ == State::kInsert || state_ == State::kEdit) state_ = State::kBrowse;
}

void TClientDataSet::Post() {
  CheckActive();
  if (state_ == State::kInsert) {
    changes_.push_back({TUpdateKind::ukInsert, 0, {}, std::move(buffer_), written_});
  } else if (state_ == State::kEdit) {
    Change* existing = nullptr;
    for (Change& c : changes_)
      if (c.kind == TUpdateKind::ukModify && c.row == 0) existing = &c;
    if (!existing) {
      changes_.push_back({TUpdateKind::ukModify, 0, rows_.front().cells, {}, std::vector<bool>(written_.size(), false)});
      existing = &changes_.back();
    }
    for (std::size_t i = 0; i < written_.size(); ++i) existing->changed[i] = existing->changed[i] || written_[i];
    existing->values = buffer_;
    rows_.front().cells = std::move(buffer_);
  }
  buffer_.clear();
  state_ = State::kBrowse;
}

std::string TClientDataSet::DeltaPacket() const {
  packet::DataPacket d;
  d.major = meta_.major;
  d.minor = meta_.minor;
  d.properties = packet::kMetadataIncluded | packet::kContainsMetaLength;
  d.fields = meta_.fields;
  d.params.push_back(packet::UIntAttribute("DATASET_DELTA", 1));
  for (const auto& a : meta_.params)
    if (a.type_word & packet::kIncludeInDelta) d.params.push_back(a);
  for (const Change& c : changes_) {
    if (c.kind == TUpdateKind::ukInsert) {
      d.rows.push_back({packet::kInserted, c.values});
      continue;
    }
    d.rows.push_back({packet::kOriginal, c.original});
    packet::Row now{packet::kModified, c.values};
    for (std::size_t i = 0; i < now.cells.size(); ++i)
      if (!c.changed[i]) now.cells[i] = Cell{CellState::kNotChanged, {}};
    d.rows.push_back(std::move(now));
  }
  return packet::Write(d);
}

int TClientDataSet::ApplyUpdates(int MaxErrors) {
  CheckActive();
  if (state_ != State::kBrowse) Post();
  if (changes_.empty()) return 0;
  auto answer = RemoteServer.AS_ApplyUpdates(ProviderName, ole::Variant::Bytes(DeltaPacket()), MaxErrors, owner_data_);

  struct Rejected {
    std::int64_t record;  // 1-based change number in the delta
    std::string message;
    std::int32_t response, code;
  };
  std::vector<Rejected> rejected;
  if (answer.Result.IsByteArray()) {
    // One error row at most per change sent.
    packet::DataPacket errors = ReadPacket(answer.Result.str, static_cast<std::uint32_t>(changes_.size()));
    answer.Result = ole::Variant();
    int recno = errors.FieldIndex("ERROR_RECORDNO"), response = errors.FieldIndex("ERROR_RESPONSE"),
        message = errors.FieldIndex("ERROR_MESSAGE"), code = errors.FieldIndex("ERROR_CODE");
    if (recno < 0 || message < 0) throw ProtocolError(Name + ": malformed reconcile error packet");
    // Every string type the server may use for the texts converts alike.
    auto int32_of = [&](int field, const packet::Row& row) {
      std::int64_t v = fields::AsLargeInt(errors.fields[field], row.cells[field]);
      if (v < INT32_MIN || v > INT32_MAX) throw ProtocolError(Name + ": reconcile error packet value out of range");
      return static_cast<std::int32_t>(v);
    };
    for (const packet::Row& row : errors.rows) {
      Rejected r;
      r.record = fields::AsLargeInt(errors.fields[recno], row.cells[recno]);
      r.message = fields::AsString(errors.fields[message], row.cells[message]);
      r.response = response >= 0 ? int32_of(response, row) : 2;
      r.code = code >= 0 ? int32_of(code, row) : 0;
      rejected.push_back(std::move(r));
    }
  }
  if (answer.ErrorCount == 0 && !rejected.empty()) {
    // A count of 0 reads as "everything stored": with rejected rows beside it, it cannot be true.
    RemoteServer.SQLConnection.SetConnected(false);
    throw ProtocolError(Name + ": the provider " + ProviderName + " reported no errors but rejected " +
                        std::to_string(rejected.size()) + " row(s)");
  }

  // A rejected row that names no change sent cannot be matched: nothing is taken for stored then.
  bool unmatched = false;
  for (const Rejected& r : rejected) unmatched = unmatched || r.record < 1 || r.record > static_cast<std::int64_t>(changes_.size());
  const bool rolled_back = (MaxErrors >= 0 && answer.ErrorCount > MaxErrors) ||
                           (answer.ErrorCount > 0 && rejected.empty()) || unmatched;
  std::vector<Change> kept;
  std::vector<TUpdateKind> kinds;
  for (const Rejected& r : rejected)
    kinds.push_back(r.record >= 1 && r.record <= static_cast<std::int64_t>(changes_.size())
                        ? changes_[static_cast<std::size_t>(r.record - 1)].kind
                        : TUpdateKind::ukInsert);
  if (!rolled_back) {
    for (std::size_t i = 0; i < changes_.size(); ++i) {
      bool is_rejected = false;
      for (const Rejected& r : rejected) is_rejected = is_rejected || r.record == static_cast<std::int64_t>(i + 1);
      if (is_rejected) kept.push_back(std::move(changes_[i]));
    }
    changes_ = std::move(kept);
  }
  changes_.shrink_to_fit();

  for (std::size_t i = 0; i < rejected.size(); ++i) {
    // rrSkip is recorded as 1; every other response aborts the series.
    TReconcileAction action = rejected[i].response == 1 ? TReconcileAction::raSkip : TReconcileAction::raAbort;
    if (OnReconcileError) {
      try {
        OnReconcileError(*this, EReconcileError(rejected[i].message, rejected[i].code), kinds[i], action);
      } catch (const std::exception& e) {
        if (!OnHandlerException) throw;
        OnHandlerException(e);
        break;
      }
    }
    if (action == TReconcileAction::raAbort) break;
  }
  return answer.ErrorCount;
}

}  // namespace central
