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

// ---- value conversions ---------------------------------------------------------------------

namespace {

std::uint64_t LE(std::string_view raw) {
  std::uint64_t v = 0;
  for (std::size_t i = raw.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(raw[i]);
  return v;
}

std::string ToLE(std::uint64_t v, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::int64_t SignedLE(std::string_view raw) {
  std::uint64_t v = LE(raw);
  std::size_t bits = raw.size() * 8;
  if (bits < 64 && bits > 0 && ((v >> (bits - 1)) & 1)) v |= ~std::uint64_t(0) << bits;
  return static_cast<std::int64_t>(v);
}

double DoubleOf(std::string_view raw) {
  double d = 0;
  if (raw.size() == 8) std::memcpy(&d, raw.data(), 8);
  else if (raw.size() == 4) {
    float f;
    std::memcpy(&f, raw.data(), 4);
    d = f;
  }
  return d;
}

std::string RawDouble(double d) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &d, 8);
  return s;
}

bool IsBcd(const FieldDesc& f) { return f.Type() == packet::dsBCD || f.Type() == packet::dsFMTBCD; }
bool IsText(const FieldDesc& f) { return f.Type() == packet::dsZSTRING || f.Type() == packet::dsUNICODE; }
bool IsIntField(const FieldDesc& f) { return f.Type() == packet::dsINT || f.Type() == packet::dsUINT; }

std::optional<std::int64_t> ParseInt64(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  s.remove_prefix(i);
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// Decimal text with at most 4 places to value x 10000, exactly.
std::optional<std::int64_t> ParseCurrency(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool neg = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  std::size_t dot = s.find_first_of(".,");
  std::string_view ip = s.substr(0, dot), fp = dot == std::string_view::npos ? "" : s.substr(dot + 1);
  if ((ip.empty() && fp.empty()) || fp.size() > 4) return std::nullopt;
  unsigned __int128 v = 0;
  for (char c : ip) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > static_cast<unsigned __int128>(INT64_MAX)) return std::nullopt;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    char c = i < fp.size() ? fp[i] : '0';
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > static_cast<unsigned __int128>(INT64_MAX)) return std::nullopt;
  return neg ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
}

// TDateTime <-> the packets' milliseconds (see kDateDelta), rounded to the millisecond.
std::int64_t PacketMs(TDateTime t) {
  return static_cast<std::int64_t>(std::llround((t + packet::kDateDelta) * packet::kMsPerDay));
}

std::string FormatDateTime(TDateTime t) {
  std::int64_t ms = PacketMs(t);
  std::int64_t day = ms / 86400000 - (ms % 86400000 < 0 ? 1 : 0);
  std::int64_t tod = ms - day * 86400000;
  std::int64_t days = day - (packet::kDateDelta + 25569);  // days since 01/01/1970
  // Civil date from days since 1970-01-01 (H. Hinnant's algorithm).
  std::int64_t z = days + 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", int(d), int(m), int(y), int(tod / 3600000),
                int(tod / 60000 % 60), int(tod / 1000 % 60));
  return buf;
}

std::string FormatDouble(double d) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, p);
}

}  // namespace

const std::string& TField::FieldName() const { return Desc().name; }
const FieldDesc& TField::Desc() const { return ds_->meta_.fields[static_cast<std::size_t>(index_)]; }

const Cell& TField::Get() const {
  static const Cell kNull;
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

std::string TField::AsString() const {
  const Cell& c = Get();
  if (c.state != CellState::kValue) return "";
  const FieldDesc& f = Desc();
  switch (f.Type()) {
    case packet::dsZSTRING: {
      std::string s = c.raw;
      while (!s.empty() && s.back() == '\0') s.pop_back();
      return os::AnsiToUtf8(s);
    }
    case packet::dsUNICODE: {
      std::u16string u;
      for (std::size_t i = 0; i + 1 < c.raw.size(); i += 2)
        u += static_cast<char16_t>(static_cast<unsigned char>(c.raw[i]) | (static_cast<unsigned char>(c.raw[i + 1]) << 8));
      while (!u.empty() && u.back() == 0) u.pop_back();
      return text::Utf16ToUtf8(u);
    }
    case packet::dsINT:
      return std::to_string(SignedLE(c.raw));
    case packet::dsUINT:
      return std::to_string(LE(c.raw));
    case packet::dsBOOL:
      return LE(c.raw) ? "True" : "False";
    case packet::dsFLOATIEEE:
      return FormatDouble(DoubleOf(c.raw));
    case packet::dsBCD:
    case packet::dsFMTBCD:
      return packet::BcdToString(c.raw);
    case packet::dsDATE:
    case packet::dsTIME:
    case packet::dsTIMESTAMP:
      return FormatDateTime(AsDateTime());
    default:
      throw EConvertError("Field " + f.name + " cannot be read as text");
  }
}

std::int64_t TField::AsLargeInt() const {
  const Cell& c = Get();
  if (c.state != CellState::kValue) return 0;
  const FieldDesc& f = Desc();
  if (f.Type() == packet::dsINT) return SignedLE(c.raw);
  if (f.Type() == packet::dsUINT) return static_cast<std::int64_t>(LE(c.raw));
  if (IsText(f)) {
    auto v = ParseInt64(AsString());
    if (!v) throw EConvertError("'" + AsString() + "' is not a valid integer value");
    return *v;
  }
  if (IsBcd(f)) {
    std::int64_t s = packet::BcdToCurrency(c.raw);
    if (s % 10000) throw EConvertError("Field " + f.name + " holds no integer value");
    return s / 10000;
  }
  throw EConvertError("Field " + f.name + " cannot be read as an integer");
}

std::int32_t TField::AsInteger() const {
  std::int64_t v = AsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("Value of field " + FieldName() + " out of integer range");
  return static_cast<std::int32_t>(v);
}

std::int64_t TField::AsCurrency() const {
  const Cell& c = Get();
  if (c.state != CellState::kValue) return 0;
  const FieldDesc& f = Desc();
  if (IsBcd(f)) return packet::BcdToCurrency(c.raw);
  if (f.Type() == packet::dsFLOATIEEE) return std::llround(DoubleOf(c.raw) * 10000.0);
  if (IsText(f)) {
    auto v = ParseCurrency(AsString());
    if (!v) throw EConvertError("'" + AsString() + "' is not a valid currency value");
    return *v;
  }
  std::int64_t v = AsLargeInt();
  if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000) throw EConvertError("Value of field " + f.name + " out of currency range");
  return v * 10000;
}

TDateTime TField::AsDateTime() const {
  const Cell& c = Get();
  if (c.state != CellState::kValue) return 0;
  const FieldDesc& f = Desc();
  switch (f.Type()) {
    case packet::dsDATE:
      return static_cast<double>(SignedLE(c.raw) - packet::kDateDelta);
    case packet::dsTIME:
      return static_cast<double>(SignedLE(c.raw)) / packet::kMsPerDay;
    case packet::dsTIMESTAMP:
      return DoubleOf(c.raw) / packet::kMsPerDay - packet::kDateDelta;
    default:
      throw EConvertError("Field " + f.name + " cannot be read as a date and time");
  }
}

void TField::SetAsString(const std::string& v) {
  const FieldDesc& f = Desc();
  auto width = f.IntProp("WIDTH");
  switch (f.Type()) {
    case packet::dsZSTRING: {
      std::string a = os::Utf8ToAnsi(v);
      if (width && *width > 0 && static_cast<std::int64_t>(a.size()) > *width)
        throw EConvertError("Value too long for field " + f.name + " (" + std::to_string(*width) + " characters)");
      return Put(Cell::Value(std::move(a)));
    }
    case packet::dsUNICODE: {
      std::u16string u = text::Utf8ToUtf16(v);
      if (width && *width > 0 && static_cast<std::int64_t>(u.size()) > *width)
        throw EConvertError("Value too long for field " + f.name + " (" + std::to_string(*width) + " characters)");
      std::string raw;
      for (char16_t ch : u) raw += ToLE(ch, 2);
      return Put(Cell::Value(std::move(raw)));
    }
    case packet::dsBCD:
    case packet::dsFMTBCD:
    case packet::dsFLOATIEEE: {
      auto c = ParseCurrency(v);
      if (!c) throw EConvertError("'" + v + "' is not a valid number for field " + f.name);
      return SetAsCurrency(*c);
    }
    default: {
      if (IsIntField(f)) {
        auto i = ParseInt64(v);
        if (!i) throw EConvertError("'" + v + "' is not a valid integer value for field " + f.name);
        return SetAsLargeInt(*i);
      }
      throw EConvertError("Field " + f.name + " cannot be written as text");
    }
  }
}

void TField::SetAsLargeInt(std::int64_t v) {
  const FieldDesc& f = Desc();
  if (IsIntField(f)) {
    std::size_t size = packet::SizeOf(f.type_word);
    if (size == 0 || size > 8) throw EConvertError("Invalid integer field " + f.name);
    if (size < 8) {
      std::int64_t lo = f.Type() == packet::dsUINT ? 0 : -(std::int64_t(1) << (8 * size - 1));
      std::int64_t hi = f.Type() == packet::dsUINT ? (std::int64_t(1) << (8 * size)) - 1 : (std::int64_t(1) << (8 * size - 1)) - 1;
      if (v < lo || v > hi) throw EConvertError(std::to_string(v) + " is out of range for field " + f.name);
    } else if (f.Type() == packet::dsUINT && v < 0) {
      throw EConvertError(std::to_string(v) + " is out of range for field " + f.name);
    }
    return Put(Cell::Value(ToLE(static_cast<std::uint64_t>(v), size)));
  }
  if (IsText(f)) return SetAsString(std::to_string(v));
  if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000) throw EConvertError("Value out of range for field " + f.name);
  SetAsCurrency(v * 10000);
}

void TField::SetAsCurrency(std::int64_t scaled) {
  const FieldDesc& f = Desc();
  if (IsBcd(f)) {
    auto width = f.IntProp("WIDTH");
    int precision = width && *width >= 5 && *width <= 32 ? static_cast<int>(*width) : 15;
    try {
      return Put(Cell::Value(packet::CurrencyToBcd(scaled, precision)));
    } catch (const std::out_of_range&) {
      throw EConvertError(packet::CurrencyToString(scaled) + " is out of range for field " + f.name);
    }
  }
  if (f.Type() == packet::dsFLOATIEEE) return Put(Cell::Value(RawDouble(static_cast<double>(scaled) / 10000.0)));
  if (IsText(f)) return SetAsString(packet::CurrencyToString(scaled));
  if (IsIntField(f)) {
    if (scaled % 10000) throw EConvertError(packet::CurrencyToString(scaled) + " is not an integer value for field " + f.name);
    return SetAsLargeInt(scaled / 10000);
  }
  throw EConvertError("Field " + f.name + " cannot be written as a number");
}

void TField::SetAsDateTime(TDateTime v) {
  const FieldDesc& f = Desc();
  std::int64_t ms = PacketMs(v);
  switch (f.Type()) {
    case packet::dsTIMESTAMP:
      return Put(Cell::Value(RawDouble(static_cast<double>(ms))));
    case packet::dsDATE:
      return Put(Cell::Value(ToLE(static_cast<std::uint64_t>(ms / 86400000), 4)));
    case packet::dsTIME:
      return Put(Cell::Value(ToLE(static_cast<std::uint64_t>(ms % 86400000), 4)));
    default:
      throw EConvertError("Field " + f.name + " cannot be written as a date and time");
  }
}

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
  packet::DataPacket p = packet::Read(answer.Result.str);
  if (p.fields.empty()) throw ProtocolError(Name + ": the provider " + ProviderName + " sent no field definitions");
  rows_ = std::move(p.rows);
  p.rows.clear();
  meta_ = std::move(p);
  changes_.clear();
  active_ = true;
  state_ = State::kBrowse;
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
  buffer_.assign(meta_.fields.size(), Cell::Null());
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

std::string TClientDataSet::BuildDelta() const {
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
  auto answer = RemoteServer.AS_ApplyUpdates(ProviderName, ole::Variant::Bytes(BuildDelta()), MaxErrors, owner_data_);

  struct Rejected {
    std::int64_t record;  // 1-based change number in the delta
    std::string message;
    std::int32_t response, code;
  };
  std::vector<Rejected> rejected;
  if (answer.Result.IsByteArray()) {
    packet::DataPacket errors = packet::Read(answer.Result.str);
    int recno = errors.FieldIndex("ERROR_RECORDNO"), response = errors.FieldIndex("ERROR_RESPONSE"),
        message = errors.FieldIndex("ERROR_MESSAGE"), code = errors.FieldIndex("ERROR_CODE");
    if (recno < 0 || message < 0) throw ProtocolError(Name + ": malformed reconcile error packet");
    // The error packet is read through a scratch dataset so that every string type converts alike.
    std::swap(meta_.fields, errors.fields);
    auto restore = [&] { std::swap(meta_.fields, errors.fields); };
    State saved_state = state_;
    std::vector<packet::Row> saved_rows;
    std::swap(rows_, saved_rows);
    try {
      for (auto& row : errors.rows) {
        rows_.assign(1, std::move(row));
        Rejected r;
        r.record = TField(*this, recno).AsLargeInt();
        r.message = TField(*this, message).AsString();
        r.response = response >= 0 ? TField(*this, response).AsInteger() : 2;
        r.code = code >= 0 ? TField(*this, code).AsInteger() : 0;
        rejected.push_back(std::move(r));
      }
    } catch (...) {
      std::swap(rows_, saved_rows);
      restore();
      state_ = saved_state;
      throw;
    }
    std::swap(rows_, saved_rows);
    restore();
    state_ = saved_state;
  }

  const bool rolled_back = (MaxErrors >= 0 && answer.ErrorCount > MaxErrors) ||
                           (answer.ErrorCount > 0 && rejected.empty());
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
