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

#include <bit>
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

// A vector that keeps up to N elements inside the object: the cells of a row, the properties of
// a field. Only what the packet code needs of std::vector.
template <class T, std::size_t N>
class InlineVector {
 public:
  static constexpr std::size_t kInline = N;

  InlineVector() noexcept {}  // user-provided: value-initialization does not zero the inline room
  explicit InlineVector(std::size_t n) { resize(n); }
  InlineVector(std::initializer_list<T> items) {
    reserve(items.size());
    for (const T& t : items) push_back(t);
  }
  InlineVector(const InlineVector& o) {
    reserve(o.size_);
    for (const T& t : o) push_back(t);
  }
  InlineVector(InlineVector&& o) noexcept { take(o); }
  InlineVector& operator=(const InlineVector& o) {
    if (this != &o) {
      clear();
      reserve(o.size_);
      for (const T& t : o) push_back(t);
    }
    return *this;
  }
  InlineVector& operator=(InlineVector&& o) noexcept {
    if (this != &o) {
      destroy();
      take(o);
    }
    return *this;
  }
  ~InlineVector() { destroy(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    T* grown = static_cast<T*>(::operator new(n * sizeof(T)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (grown + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (!inline_data()) ::operator delete(data_);
    data_ = grown;
    capacity_ = n;
  }
  void push_back(T t) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    new (data_ + size_) T(std::move(t));
    ++size_;
  }
  // An element made in place from its members.
  template <class... A>
  T& emplace_back(A&&... a) {
    if (size_ == capacity_) reserve(capacity_ * 2);
    return append(std::forward<A>(a)...);
  }
  // The same within the capacity reserved beforehand (the caller checked).
  template <class... A>
  T& append(A&&... a) {
    T* t = new (data_ + size_) T{std::forward<A>(a)...};
    ++size_;
    return *t;
  }
  void resize(std::size_t n) {
    reserve(n);
    for (std::size_t i = size_; i > n; --i) data_[i - 1].~T();
    for (std::size_t i = size_; i < n; ++i) new (data_ + i) T();
    size_ = n;
  }
  void resize(std::size_t n, const T& fill) {
    reserve(n);
    for (std::size_t i = size_; i > n; --i) data_[i - 1].~T();
    for (std::size_t i = size_; i < n; ++i) new (data_ + i) T(fill);
    size_ = n;
  }
  void clear() {
    for (T *d = data_, *p = d + size_; p != d;) (--p)->~T();
    size_ = 0;
  }
  friend bool operator==(const InlineVector& a, const InlineVector& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i)
      if (!(a[i] == b[i])) return false;
    return true;
  }

 private:
  T* inline_cells() { return reinterpret_cast<T*>(inline_); }
  bool inline_data() const { return data_ == reinterpret_cast<const T*>(inline_); }
  void destroy() {
    clear();
    if (!inline_data()) ::operator delete(data_);
    data_ = inline_cells();
    capacity_ = kInline;
  }
  // Leaves `o` empty; this one must hold nothing.
  void take(InlineVector& o) {
    if (!o.inline_data()) {
      data_ = std::exchange(o.data_, o.inline_cells());
      capacity_ = std::exchange(o.capacity_, kInline);
      size_ = std::exchange(o.size_, 0);
      return;
    }
    for (std::size_t i = 0; i < o.size_; ++i) {
      new (data_ + i) T(std::move(o[i]));
      o[i].~T();
    }
    size_ = std::exchange(o.size_, 0);
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_ = inline_cells();
  std::size_t size_ = 0, capacity_ = kInline;
};

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
  FieldDesc() noexcept {}  // user-provided: a field made in place is not zeroed first
  FieldDesc(std::string n, std::uint32_t t, std::uint16_t a = 0, InlineVector<Attribute, 2> p = {})
      : name(std::move(n)), type_word(t), attributes(a), props(std::move(p)) {}

  std::string name;
  std::uint32_t type_word = 0;
  std::uint16_t attributes = 0;  // HIDDEN 1, READONLY 2, REQUIRED 4, LINK 8
  InlineVector<Attribute, 2> props;

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
  RawValue() noexcept : buf_{} {}
  RawValue(std::string_view v) : buf_{} { assign(v); }
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
  struct Overread {};
  RawValue(Overread, const char* src, std::size_t n) : size_(static_cast<std::uint32_t>(n)) {
    if (n <= kInline) {
      std::memcpy(buf_, src, kInline);
    } else {
      char* heap = new char[n];
      std::memcpy(heap, src, n);
      std::memcpy(buf_, &heap, sizeof heap);
    }
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
  // The bytes, or where they are when they do not fit. Every constructor sets all of it (an
  // overreading one from the packet's bytes, the others zeroed first), so a move copies it whole.
  char buf_[kInline];
};

struct Cell {
  Cell() noexcept {}
  Cell(CellState s, RawValue r = {}) noexcept : state(s), raw(std::move(r)) {}
  // A value made in place from the packet's bytes (see RawValue::Overread).
  Cell(CellState s, RawValue::Overread o, const char* src, std::size_t n) : state(s), raw(o, src, n) {}

  CellState state = CellState::kNull;
  RawValue raw;
  static Cell Null() { return {}; }
  static Cell Value(std::string_view raw) { return {CellState::kValue, RawValue(raw)}; }
  bool operator==(const Cell&) const = default;
};

// The cells of a row, in field order. A row of up to four fields keeps its cells inside the
// object, so reading a packet costs no allocation per row.
using Cells = InlineVector<Cell, 4>;

struct Row {
  Row() noexcept {}  // user-provided: a row made in place is not zeroed first
  Row(std::uint8_t s, Cells c) : status(s), cells(std::move(c)) {}
  std::uint8_t status = kUnmodified;
  Cells cells;
};

struct DataPacket {
  std::uint16_t major = 1, minor = 0;
  std::uint32_t properties = kMetadataIncluded;
  std::vector<FieldDesc> fields;
  InlineVector<Attribute, 2> params;
  std::vector<Row> rows;

  int FieldIndex(std::string_view name) const;  // -1 when absent (names compare case-insensitively)
  const Attribute* Param(std::string_view name) const;
};

// What one packet may cost. Its bytes alone do not bound the memory it takes: a row of 65,535
// null fields is 16 KB on the wire and 65,535 cells in memory. Fields, properties and cells are
// counted together, each by the room it takes (a field as 8 cells, a property as 3, a row as
// its cells but 4 at least), and a packet may not hold more rows than were asked for.
struct PacketLimits {
  std::uint32_t max_rows = UINT32_MAX;
  std::size_t max_cells = 1u << 16;  // about 2 MB of cells
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
namespace detail {
std::int64_t BcdToCurrencySlow(std::string_view raw);
[[noreturn, gnu::cold]] void BadBcd(const char* what);
}  // namespace detail

// A TBcd to value x 10000; more than 4 places are rounded half away from zero. ProtocolError on
// a malformed TBcd or one out of range. Inline: the usual layouts take the fast path below.
inline std::int64_t BcdToCurrency(std::string_view raw) {
  if (raw.size() < 2) detail::BadBcd("Malformed BCD value");
  const int precision = static_cast<unsigned char>(raw[0]);
  const unsigned char sp = static_cast<unsigned char>(raw[1]);
  const int places = sp & 0x3F;
  if (sp & 0x40) detail::BadBcd("Special BCD values are not supported");
  if (precision > 2 * static_cast<int>(raw.size() - 2) || places > precision) detail::BadBcd("Malformed BCD value");
  const unsigned char* nib = reinterpret_cast<const unsigned char*>(raw.data()) + 2;
  const int int_digits = precision - places;
  if (precision <= 16 && places <= 4 && int_digits <= 14 && raw.size() >= 10) {
    // The usual case (BCD(15,4) and the like), which runs for every stock value read: the
    // digits' 8 bytes at once. No overflow is possible and nothing is rounded.
    std::uint64_t x;
    std::memcpy(&x, nib, 8);
    if constexpr (std::endian::native == std::endian::little) x = __builtin_bswap64(x);
    if (precision == 0) return 0;
    x >>= 4 * (16 - precision);  // only the value's digits, right-aligned
    // A nibble above 9 carries into the next one when 6 is added to each.
    const std::uint64_t sixes = 0x6666666666666666ULL;
    if (((x + sixes) ^ x ^ sixes) & 0x1111111111111110ULL) detail::BadBcd("Malformed BCD digit");
    if ((x >> 60) > 9) detail::BadBcd("Malformed BCD digit");
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) * 10 + (x & 0x0F0F0F0F0F0F0F0FULL);        // 8 x 0..99
    x = ((x >> 8) & 0x00FF00FF00FF00FFULL) * 100 + (x & 0x00FF00FF00FF00FFULL);       // 4 x 0..9999
    x = ((x >> 16) & 0x0000FFFF0000FFFFULL) * 10000 + (x & 0x0000FFFF0000FFFFULL);    // 2 x 0..99999999
    std::uint64_t v = (x >> 32) * 100000000ULL + (x & 0xFFFFFFFFULL);
    static constexpr std::uint64_t kScale[] = {10000, 1000, 100, 10, 1};
    v *= kScale[places];
    return (sp & 0x80) ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  }
  return detail::BcdToCurrencySlow(raw);
}

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
