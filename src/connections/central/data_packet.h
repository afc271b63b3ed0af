// The binary data packet of client datasets and providers: metadata, rows, deltas and error
// packets alike.
//
// Layout (little-endian): a 24-byte header (magic 96 19 E0 BD, version, column and row counts);
// per field its name, type word, attribute flags and properties; the dataset's own properties;
// then the rows: a status byte, two bits per field (null, not changed) and the values of the
// fields that are neither.
//
// Cells are kept as the raw bytes the packet stores, so a packet reads and writes back byte for
// byte; typed access is on top (see the conversions at the end).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace central::packet {

inline constexpr std::uint32_t kMagic = 0xBDE01996;

// Field types (bits 16-21 of a type word).
enum DsType : std::uint32_t {
  dsINT = 1,
  dsUINT = 2,
  dsBOOL = 3,
  dsFLOATIEEE = 4,
  dsBCD = 5,
  dsDATE = 6,
  dsTIME = 7,
  dsTIMESTAMP = 8,
  dsZSTRING = 9,
  dsUNICODE = 10,
  dsBYTES = 11,
  dsFMTBCD = 18,
};

inline constexpr std::uint32_t kVarying = 0x00400000;
inline constexpr std::uint32_t kArray = 0x00800000;
inline constexpr std::uint32_t kIncludeInDelta = 0x80000000;

// Header properties.
inline constexpr std::uint32_t kMetadataIncluded = 1;
inline constexpr std::uint32_t kContainsMetaLength = 2;

// Row status.
enum RowStatus : std::uint8_t { kUnmodified = 0, kOriginal = 1, kDeleted = 2, kInserted = 4, kModified = 8 };

// Provider flags (PROVFLAGS).
enum ProviderFlags : std::uint8_t { pfInUpdate = 1, pfInWhere = 2, pfInKey = 4, pfHidden = 8 };

// Every BCD or FMTBcd value in a row is a whole TBcd, whatever size the field declares.
inline constexpr std::size_t kBcdStoredSize = 18;

constexpr std::uint32_t TypeWord(std::uint32_t ds_type, std::uint32_t size, std::uint32_t flags = 0) {
  return flags | (ds_type << 16) | size;
}
constexpr std::uint32_t DsTypeOf(std::uint32_t word) { return (word >> 16) & 0x3F; }
constexpr std::uint32_t SizeOf(std::uint32_t word) { return word & 0xFFFF; }

// A field property or dataset parameter. `value` is the raw value: fixed-size bytes, or the data
// of a varying value without its length prefix, or for an array its Int32 count and elements.
struct Attribute {
  std::string name;
  std::uint32_t type_word = 0;
  std::string value;
};

Attribute IntAttribute(std::string name, std::int32_t v);      // 4-byte INT (WIDTH, DECIMALS)
Attribute ByteAttribute(std::string name, std::uint8_t v);     // 1-byte INT (PROVFLAGS)
Attribute UIntAttribute(std::string name, std::uint32_t v);    // 4-byte UINT (DATASET_DELTA)
Attribute TextAttribute(std::string name, std::string_view v); // ZSTRING, 2-byte length with NUL

struct FieldDesc {
  std::string name;
  std::uint32_t type_word = 0;
  std::uint16_t attributes = 0;  // HIDDEN 1, READONLY 2, REQUIRED 4, LINK 8
  std::vector<Attribute> props;

  std::uint32_t Type() const { return DsTypeOf(type_word); }
  bool Varying() const { return (type_word & kVarying) != 0; }
  const Attribute* Prop(std::string_view name) const;
  std::optional<std::int64_t> IntProp(std::string_view name) const;
  std::string TextProp(std::string_view name) const;  // "" when absent
};

enum class CellState : std::uint8_t { kValue, kNull, kNotChanged };

// The bytes of one value. Values up to 24 bytes (every fixed-size one, a whole TBcd included)
// live inside the object: a batch of rows costs no allocation per value.
class RawValue {
 public:
  RawValue() = default;
  RawValue(std::string_view v) { assign(v); }
  RawValue(const std::string& v) : RawValue(std::string_view(v)) {}
  RawValue(const char* v) : RawValue(std::string_view(v)) {}
  RawValue(const RawValue& o) : RawValue(o.view()) {}
  RawValue(RawValue&& o) noexcept { *this = std::move(o); }
  RawValue& operator=(const RawValue& o) {
    if (this != &o) assign(o.view());
    return *this;
  }
  RawValue& operator=(RawValue&& o) noexcept {
    size_ = o.size_;
    heap_ = std::move(o.heap_);
    std::memcpy(inline_, o.inline_, sizeof inline_);
    o.size_ = 0;
    return *this;
  }
  void assign(std::string_view v) {
    size_ = v.size();
    char* dest = inline_;
    if (size_ > kInline) {
      heap_.reset(new char[size_]);
      dest = heap_.get();
    } else {
      heap_.reset();
    }
    if (size_) std::memcpy(dest, v.data(), size_);
  }
  const char* data() const { return size_ > kInline ? heap_.get() : inline_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char operator[](std::size_t i) const { return data()[i]; }
  std::string_view view() const { return {data(), size_}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  friend bool operator==(const RawValue& a, const RawValue& b) { return a.view() == b.view(); }

 private:
  static constexpr std::size_t kInline = 24;
  std::size_t size_ = 0;
  char inline_[kInline] = {};
  std::unique_ptr<char[]> heap_;
};

struct Cell {
  CellState state = CellState::kNull;
  RawValue raw;
  static Cell Null() { return {}; }
  static Cell Value(std::string_view raw) { return {CellState::kValue, RawValue(raw)}; }
  bool operator==(const Cell&) const = default;
};

struct Row {
  std::uint8_t status = kUnmodified;
  std::vector<Cell> cells;
};

struct DataPacket {
  std::uint16_t major = 1, minor = 0;
  std::uint32_t properties = kMetadataIncluded;
  std::vector<FieldDesc> fields;
  std::vector<Attribute> params;
  std::vector<Row> rows;

  int FieldIndex(std::string_view name) const;  // -1 when absent (names compare case-insensitively)
  const Attribute* Param(std::string_view name) const;
};

// ProtocolError (protocol_error.h) on anything malformed, truncated or unsupported.
DataPacket Read(std::string_view bytes);
std::string Write(const DataPacket& p);

// ---- typed values --------------------------------------------------------------------------

// Cells of INT / UINT fields: `size` bytes little-endian; IntOf sign-extends when `is_signed`.
std::string IntRaw(std::int64_t v, std::size_t size);
std::int64_t IntOf(std::string_view raw, bool is_signed);
// Cells of UNICODE fields: UTF-16LE.
std::string WideRaw(std::string_view utf8);
std::string WideText(std::string_view raw);

// Int64 of a value x 10000 to a TBcd of the given precision with 4 places, digits right-aligned.
std::string CurrencyToBcd(std::int64_t scaled, int precision = 15);
// A TBcd to value x 10000; more than 4 places are rounded half away from zero. ProtocolError on
// a malformed TBcd or one out of range.
std::int64_t BcdToCurrency(std::string_view raw);
// A TBcd as text ("-12.5", "0").
std::string BcdToString(std::string_view raw);

// Decimal text of value x 10000 ("12.5", "-0.0001", "3").
std::string CurrencyToString(std::int64_t scaled);

// TDateTime (days since 30/12/1899) <-> the packet's forms, which count days the way a
// TTimeStamp does: 01/01/0001 is day 1, so 30/12/1899 is day 693594. DATE holds that day number,
// TIMESTAMP that day number x 86 400 000 plus the milliseconds of the day.
inline constexpr std::int64_t kDateDelta = 693594;
inline constexpr double kMsPerDay = 86400000.0;

}  // namespace central::packet
