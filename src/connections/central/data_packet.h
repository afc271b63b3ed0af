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
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
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
  dsADT = 12,
  dsARRAY = 13,
  dsEMBEDDEDTBL = 14,
  dsREF = 15,
  dsBIGDECIMAL = 16,
  dsDATETIME = 17,  // SQL time stamp: 16 bytes (see SqlTimeStamp in field_conversions.h)
  dsFMTBCD = 18,
  dsSINGLE = 27,
  dsDATETIMEOFFSET = 36,
};

// "BCD (5)", "an unknown type (40)": the type of a type word as an error message names it.
std::string TypeName(std::uint32_t ds_type);

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

struct FieldDesc;
// Bytes of a fixed-size field's value in a row (a whole TBcd for BCD and FMTBcd).
std::size_t StoredSize(const FieldDesc& f);

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

// The bytes of one value. Values up to 20 bytes (every fixed-size one, a whole TBcd and a SQL
// time stamp included) live inside the object: a batch of rows costs no allocation per value.
class RawValue {
 public:
  RawValue() noexcept {}  // user-provided: a value-initialized cell does not zero its buffer
  RawValue(std::string_view v) { assign(v); }
  RawValue(const std::string& v) : RawValue(std::string_view(v)) {}
  RawValue(const char* v) : RawValue(std::string_view(v)) {}
  RawValue(const RawValue& o) : RawValue(o.view()) {}
  RawValue(RawValue&& o) noexcept : size_(o.size_) {
    std::memcpy(buf_, o.buf_, sizeof buf_);
    o.size_ = 0;
  }
  RawValue& operator=(const RawValue& o) {
    if (this != &o) assign(o.view());
    return *this;
  }
  RawValue& operator=(RawValue&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_;
      std::memcpy(buf_, o.buf_, sizeof buf_);
      o.size_ = 0;
    }
    return *this;
  }
  ~RawValue() { release(); }
  void assign(std::string_view v) {
    if (v.size() > UINT32_MAX) throw std::length_error("Value too large");
    char* old = size_ > kInline ? heap() : nullptr;
    char* dest = buf_;
    if (v.size() > kInline) {
      dest = new char[v.size()];
      std::memcpy(buf_, &dest, sizeof dest);
    }
    if (!v.empty()) std::memcpy(dest, v.data(), v.size());
    delete[] old;
    size_ = static_cast<std::uint32_t>(v.size());
  }
  // assign() for a reader that may read past the value: `src` has at least kInline readable
  // bytes. Small values then copy as one fixed-size move instead of a call.
  void assign_overread(const char* src, std::size_t n) {
    if (n > kInline || size_ > kInline) return assign(std::string_view(src, n));
    std::memcpy(buf_, src, kInline);
    size_ = static_cast<std::uint32_t>(n);
  }
  static constexpr std::size_t kInline = 20;

  const char* data() const { return size_ > kInline ? heap() : buf_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char operator[](std::size_t i) const { return data()[i]; }
  std::string_view view() const { return {data(), size_}; }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  friend bool operator==(const RawValue& a, const RawValue& b) { return a.view() == b.view(); }

 private:
  char* heap() const {
    char* p;
    std::memcpy(&p, buf_, sizeof p);
    return p;
  }
  void release() {
    if (size_ > kInline) delete[] heap();
    size_ = 0;
  }
  std::uint32_t size_ = 0;
  char buf_[kInline] = {};  // the bytes, or where they are when they do not fit
};

struct Cell {
  CellState state = CellState::kNull;
  RawValue raw;
  static Cell Null() { return {}; }
  static Cell Value(std::string_view raw) { return {CellState::kValue, RawValue(raw)}; }
  bool operator==(const Cell&) const = default;
};

// The cells of a row, in field order. A row of up to kInline fields keeps its cells inside the
// object, so reading a packet costs no allocation per row.
class Cells {
 public:
  static constexpr std::size_t kInline = 6;

  Cells() noexcept {}  // user-provided: a value-initialized row does not zero its inline room
  explicit Cells(std::size_t n) { resize(n); }
  Cells(std::initializer_list<Cell> cells) {
    reserve(cells.size());
    for (const Cell& c : cells) push_back(c);
  }
  Cells(const Cells& o) {
    reserve(o.size_);
    for (const Cell& c : o) push_back(c);
  }
  Cells(Cells&& o) noexcept { take(o); }
  Cells& operator=(const Cells& o) {
    if (this != &o) {
      clear();
      reserve(o.size_);
      for (const Cell& c : o) push_back(c);
    }
    return *this;
  }
  Cells& operator=(Cells&& o) noexcept {
    if (this != &o) {
      destroy();
      take(o);
    }
    return *this;
  }
  ~Cells() { destroy(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Cell* begin() { return data(); }
  Cell* end() { return data() + size_; }
  const Cell* begin() const { return data(); }
  const Cell* end() const { return data() + size_; }
  Cell& operator[](std::size_t i) { return data()[i]; }
  const Cell& operator[](std::size_t i) const { return data()[i]; }

  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    Cell* grown = static_cast<Cell*>(::operator new(n * sizeof(Cell)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (grown + i) Cell(std::move(data()[i]));
      data()[i].~Cell();
    }
    if (heap_) ::operator delete(heap_);
    heap_ = grown;
    capacity_ = n;
  }
  void push_back(Cell c) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    new (data() + size_) Cell(std::move(c));
    ++size_;
  }
  void resize(std::size_t n) {
    reserve(n);
    Cell* d = data();
    for (std::size_t i = size_; i > n; --i) d[i - 1].~Cell();
    for (std::size_t i = size_; i < n; ++i) new (d + i) Cell();
    size_ = n;
  }
  void resize(std::size_t n, const Cell& fill) {
    reserve(n);
    Cell* d = data();
    for (std::size_t i = size_; i > n; --i) d[i - 1].~Cell();
    for (std::size_t i = size_; i < n; ++i) new (d + i) Cell(fill);
    size_ = n;
  }
  void clear() {
    for (Cell *d = data(), *p = d + size_; p != d;) (--p)->~Cell();
    size_ = 0;
  }
  friend bool operator==(const Cells& a, const Cells& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i)
      if (!(a[i] == b[i])) return false;
    return true;
  }

 private:
  Cell* data() { return heap_ ? heap_ : reinterpret_cast<Cell*>(inline_); }
  const Cell* data() const { return heap_ ? heap_ : reinterpret_cast<const Cell*>(inline_); }
  void destroy() {
    clear();
    if (heap_) ::operator delete(heap_);
    heap_ = nullptr;
    capacity_ = kInline;
  }
  // Leaves `o` empty; this one must hold nothing.
  void take(Cells& o) {
    if (o.heap_) {
      heap_ = std::exchange(o.heap_, nullptr);
      capacity_ = std::exchange(o.capacity_, kInline);
      size_ = std::exchange(o.size_, 0);
      return;
    }
    for (std::size_t i = 0; i < o.size_; ++i) {
      new (data() + i) Cell(std::move(o[i]));
      o[i].~Cell();
    }
    size_ = std::exchange(o.size_, 0);
  }

  std::size_t size_ = 0, capacity_ = kInline;
  Cell* heap_ = nullptr;
  alignas(Cell) unsigned char inline_[kInline * sizeof(Cell)];
};

struct Row {
  std::uint8_t status = kUnmodified;
  Cells cells;
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

// What one packet may cost. Its bytes alone do not bound the memory it takes: a row of 65,535
// null fields is 16 KB on the wire and 65,535 cells in memory. Fields, properties and cells are
// counted together, and a packet may not hold more rows than were asked for.
struct PacketLimits {
  std::uint32_t max_rows = UINT32_MAX;
  std::size_t max_cells = 1u << 16;  // fields + properties + rows x fields
};

// ProtocolError (protocol_error.h) on anything malformed, truncated, unsupported or beyond the
// limits.
DataPacket Read(std::string_view bytes, const PacketLimits& limits = {});
std::string Write(const DataPacket& p);

// ---- typed values --------------------------------------------------------------------------

// Cells of INT / UINT fields: `size` bytes little-endian; IntOf sign-extends when `is_signed`.
std::string IntRaw(std::int64_t v, std::size_t size);
std::int64_t IntOf(std::string_view raw, bool is_signed);
// Cells of UNICODE fields: UTF-16LE.
std::string WideRaw(std::string_view utf8);
std::string WideText(std::string_view raw);

// Int64 of a value x 10000 to a TBcd of `precision` digits (1..32) with `places` decimal places,
// all `precision` digits written (leading zeros included). std::out_of_range when the value has
// more integer digits than the field holds, or more decimal places (nothing is rounded away);
// std::invalid_argument for a precision or places out of range.
std::string ScaledToBcd(std::int64_t scaled, int precision, int places);
// BCD(precision, 4), the layout of stock quantities.
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
