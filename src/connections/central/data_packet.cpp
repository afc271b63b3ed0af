#include "connections/central/data_packet.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "common/text.h"
#include "connections/central/protocol_error.h"

namespace central::packet {
namespace {

void PutLE(std::string& out, std::uint64_t v, std::size_t n) {
  char b[8];
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  out.append(b, n);
}

class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  std::size_t Left() const { return b_.size() - pos_; }
  std::size_t Pos() const { return pos_; }
  std::string_view Take(std::size_t n, const char* what) {
    if (n > Left()) throw ProtocolError(std::string("Data packet ends in the middle of ") + what);
    auto s = b_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  std::uint64_t LE(std::size_t n, const char* what) {
    std::string_view s = Take(n, what);
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(s[i]);
    return v;
  }
  std::string_view Span(std::size_t from) const { return b_.substr(from, pos_ - from); }
  const unsigned char* Here() const { return reinterpret_cast<const unsigned char*>(b_.data()) + pos_; }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
};

bool ValidPrefix(std::uint32_t n) { return n == 1 || n == 2 || n == 4; }

// One varying value: its length prefix (1, 2 or 4 bytes, from the type word's size) and the data.
std::string_view ReadVarying(Reader& r, std::uint32_t type_word, const char* what) {
  std::uint32_t prefix = SizeOf(type_word);
  if (!ValidPrefix(prefix)) throw ProtocolError(std::string("Invalid length size in ") + what);
  std::uint64_t len = r.LE(prefix, what);
  return r.Take(static_cast<std::size_t>(len > r.Left() ? r.Left() + 1 : len), what);
}

void WriteVarying(std::string& out, std::uint32_t type_word, std::string_view data, const std::string& name) {
  std::uint32_t prefix = SizeOf(type_word);
  if (!ValidPrefix(prefix)) throw std::invalid_argument("Invalid length size for " + name);
  if (prefix < 4 && data.size() >= (std::uint64_t(1) << (8 * prefix)))
    throw std::invalid_argument("Value too long for " + name);
  PutLE(out, data.size(), prefix);
  out.append(data);
}

// A copy of `bytes` made where the compiler cannot see how short it is: it would otherwise inline
// the copy of a name (at most 255 bytes) as a rep movs, whose start-up costs more than the copy.
#if defined(__clang__)
[[gnu::noinline]]
#else
[[gnu::noipa]]
#endif
std::string Copy(std::string_view bytes) {
  return std::string(bytes);
}

std::string ReadName(Reader& r) {
  std::size_t n = static_cast<std::size_t>(r.LE(1, "a name"));
  return Copy(r.Take(n, "a name"));
}

void WriteName(std::string& out, const std::string& name) {
  if (name.size() > 255) throw std::invalid_argument("Name too long for a data packet: " + name);
  out += static_cast<char>(name.size());
  out += name;
}

Attribute ReadAttribute(Reader& r) {
  Attribute a;
  a.name = ReadName(r);
  a.type_word = static_cast<std::uint32_t>(r.LE(4, "a property"));
  if (a.type_word & kArray) {
    std::size_t from = r.Pos();
    std::uint32_t count = static_cast<std::uint32_t>(r.LE(4, "a property"));
    if (count > r.Left()) throw ProtocolError("Data packet property array longer than the packet");
    for (std::uint32_t i = 0; i < count; ++i) {
      if (a.type_word & kVarying) ReadVarying(r, a.type_word, "a property");
      else r.Take(SizeOf(a.type_word), "a property");
    }
    a.value.assign(r.Span(from));
  } else if (a.type_word & kVarying) {
    a.value.assign(ReadVarying(r, a.type_word, "a property"));
  } else {
    a.value.assign(r.Take(SizeOf(a.type_word), "a property"));
  }
  return a;
}

void WriteAttribute(std::string& out, const Attribute& a) {
  WriteName(out, a.name);
  PutLE(out, a.type_word, 4);
  if ((a.type_word & kVarying) && !(a.type_word & kArray)) WriteVarying(out, a.type_word, a.value, a.name);
  else out += a.value;
}


std::string HexWord(std::uint32_t w) {
  static const char* d = "0123456789ABCDEF";
  std::string s = "0x";
  for (int i = 28; i >= 0; i -= 4) s += d[(w >> i) & 15];
  return s;
}

// Fields whose values this reader cannot find the end of (nested tables, arrays, objects).
void CheckField(const FieldDesc& f) {
  if (f.type_word & (kArray | 0x01000000 | 0x02000000 | 0x04000000) || f.Type() == dsADT ||
      f.Type() == dsARRAY || f.Type() == dsEMBEDDEDTBL || f.Type() == dsREF)
    throw ProtocolError("The data packet's field " + f.name + " has the type " + TypeName(f.Type()) +
                        " (type word " + HexWord(f.type_word) + "), which this client cannot read");
  if (f.Varying() ? !ValidPrefix(SizeOf(f.type_word)) : StoredSize(f) == 0)
    throw ProtocolError("The data packet's field " + f.name + " has an invalid size (type word " + HexWord(f.type_word) + ")");
}

[[noreturn]] void Truncated(const char* what) {
  throw ProtocolError(std::string("Data packet ends in the middle of ") + what);
}

// How a row stores a field's value: `prefix` bytes of length before varying data, or `size`
// bytes.
struct FieldLayout {
  std::uint32_t size;
  std::uint32_t prefix;
};

// The layouts of a packet's fields; up to 32 without an allocation.
class Layouts {
 public:
  explicit Layouts(const std::vector<FieldDesc>& fields) {
    if (fields.size() > kInline) heap_.resize(fields.size());
    data_ = fields.size() > kInline ? heap_.data() : inline_;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const bool varying = fields[k].Varying();
      data_[k].prefix = varying ? SizeOf(fields[k].type_word) : 0;
      data_[k].size = varying ? 0 : static_cast<std::uint32_t>(StoredSize(fields[k]));
    }
  }
  Layouts(const Layouts&) = delete;
  Layouts& operator=(const Layouts&) = delete;
  const FieldLayout& operator[](std::size_t k) const { return data_[k]; }

 private:
  static constexpr std::size_t kInline = 32;
  FieldLayout inline_[kInline];  // only the packet's fields are set
  std::vector<FieldLayout> heap_;
  FieldLayout* data_;
};

// Fields, properties and cells counted against the packet's allowance, each by the room it takes
// in memory as a number of cells.
constexpr std::size_t kFieldCost = 8;
constexpr std::size_t kPropertyCost = 3;

class CellBudget {
 public:
  explicit CellBudget(std::size_t max) : max_(max) {}
  void Take(std::size_t n) {
    if (n > max_ - used_)
      throw ProtocolError("The data packet's fields, properties and values take more room than the " +
                          std::to_string(max_) + " cells a packet may hold");
    used_ += n;
  }

 private:
  std::size_t max_, used_ = 0;
};

}  // namespace

std::size_t StoredSize(const FieldDesc& f) {
  if (f.Type() == dsBCD || f.Type() == dsFMTBCD) return kBcdStoredSize;
  return SizeOf(f.type_word);
}

std::string TypeName(std::uint32_t t) {
  static const char* const kNames[] = {"UNKNOWN", "INT", "UINT", "BOOL", "FLOATIEEE", "BCD", "DATE", "TIME",
                                       "TIMESTAMP", "ZSTRING", "UNICODE", "BYTES", "ADT", "ARRAY", "EMBEDDEDTBL",
                                       "REF", "BIGDECIMAL", "DATETIME", "FMTBCD"};
  std::string name = t < sizeof kNames / sizeof kNames[0] ? kNames[t]
                     : t == dsSINGLE                       ? "SINGLE"
                     : t == dsDATETIMEOFFSET               ? "DATETIMEOFFSET"
                                                           : "unknown";
  return name + " (" + std::to_string(t) + ")";
}

Attribute IntAttribute(std::string name, std::int32_t v) {
  Attribute a{std::move(name), TypeWord(dsINT, 4), {}};
  PutLE(a.value, static_cast<std::uint32_t>(v), 4);
  return a;
}
Attribute ByteAttribute(std::string name, std::uint8_t v) {
  return Attribute{std::move(name), TypeWord(dsINT, 1), std::string(1, static_cast<char>(v))};
}
Attribute UIntAttribute(std::string name, std::uint32_t v) {
  Attribute a{std::move(name), TypeWord(dsUINT, 4), {}};
  PutLE(a.value, v, 4);
  return a;
}
Attribute TextAttribute(std::string name, std::string_view v) {
  Attribute a{std::move(name), TypeWord(dsZSTRING, 2, kVarying), std::string(v)};
  a.value += '\0';  // the length counts the terminating NUL
  return a;
}

const Attribute* FieldDesc::Prop(std::string_view n) const {
  for (const auto& a : props)
    if (text::EqualsIgnoreCase(a.name, n)) return &a;
  return nullptr;
}

std::optional<std::int64_t> FieldDesc::IntProp(std::string_view n) const {
  const Attribute* a = Prop(n);
  if (!a || (a->type_word & (kVarying | kArray)) || a->value.empty() || a->value.size() > 8) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = a->value.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(a->value[i]);
  std::size_t bits = a->value.size() * 8;
  if (DsTypeOf(a->type_word) == dsINT && bits < 64 && ((v >> (bits - 1)) & 1)) v |= ~std::uint64_t(0) << bits;
  return static_cast<std::int64_t>(v);
}

std::string FieldDesc::TextProp(std::string_view n) const {
  const Attribute* a = Prop(n);
  if (!a || !(a->type_word & kVarying)) return "";
  std::string s = a->value;
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

int DataPacket::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (text::EqualsIgnoreCase(fields[i].name, name)) return static_cast<int>(i);
  return -1;
}

const Attribute* DataPacket::Param(std::string_view name) const {
  for (const auto& a : params)
    if (text::EqualsIgnoreCase(a.name, name)) return &a;
  return nullptr;
}

DataPacket Read(std::string_view bytes, const PacketLimits& limits) {
  if (!bytes.empty() && bytes[0] == '<') throw ProtocolError("XML data packets are not supported");
  Reader r(bytes);
  if (r.LE(4, "the header") != kMagic) throw ProtocolError("Not a data packet (wrong magic number)");
  DataPacket p;
  p.major = static_cast<std::uint16_t>(r.LE(2, "the header"));
  p.minor = static_cast<std::uint16_t>(r.LE(2, "the header"));
  if (p.major < 1 || p.major > 3) throw ProtocolError("Unsupported data packet version " + std::to_string(p.major));
  std::uint32_t header_size = static_cast<std::uint32_t>(r.LE(4, "the header"));
  std::uint16_t columns = static_cast<std::uint16_t>(r.LE(2, "the header"));
  std::uint32_t row_count = static_cast<std::uint32_t>(r.LE(4, "the header"));
  p.properties = static_cast<std::uint32_t>(r.LE(4, "the header"));
  r.LE(2, "the header");
  if (header_size < 24) throw ProtocolError("Invalid data packet header size");
  r.Take(header_size - 24, "the header");
  if (p.properties & 0x8000) throw ProtocolError("XML data packets are not supported");

  if (!(p.properties & kMetadataIncluded)) {
    if (row_count != 0) throw ProtocolError("Data packet has rows but no field definitions");
    return p;
  }
  if (row_count > limits.max_rows)
    throw ProtocolError("The data packet holds " + std::to_string(row_count) + " rows, more than the " +
                        std::to_string(limits.max_rows) + " asked for");
  CellBudget budget(limits.max_cells);
  // Every field takes at least 9 bytes, which bounds what the count may claim.
  p.fields.reserve(std::min<std::size_t>(columns, r.Left() / 9));
  for (std::uint16_t c = 0; c < columns; ++c) {
    budget.Take(kFieldCost);
    FieldDesc& f = p.fields.emplace_back();
    f.name = ReadName(r);
    f.type_word = static_cast<std::uint32_t>(r.LE(4, "a field definition"));
    f.attributes = static_cast<std::uint16_t>(r.LE(2, "a field definition"));
    std::uint16_t nprops = static_cast<std::uint16_t>(r.LE(2, "a field definition"));
    // Every property takes at least 5 bytes, which bounds what the count may claim.
    f.props.reserve(std::min<std::size_t>(nprops, r.Left() / 5));
    for (std::uint16_t i = 0; i < nprops; ++i) {
      budget.Take(kPropertyCost);
      f.props.push_back(ReadAttribute(r));
    }
    CheckField(f);
  }
  std::uint16_t nparams = static_cast<std::uint16_t>(r.LE(2, "the dataset properties"));
  for (std::uint16_t i = 0; i < nparams; ++i) {
    budget.Take(kPropertyCost);
    p.params.push_back(ReadAttribute(r));
  }

  const std::size_t nfields = p.fields.size();
  const std::size_t bit_bytes = (nfields + 3) / 4;
  const Layouts layout(p.fields);
  // Every row holds room for kInline cells at least.
  budget.Take(static_cast<std::size_t>(std::min<std::uint64_t>(
      std::uint64_t(row_count) * std::max(nfields, Cells::kInline), limits.max_cells + std::uint64_t(1))));
  // Every row takes at least its status and bit bytes, which bounds what the count may claim.
  p.rows.reserve(std::min<std::size_t>(row_count, r.Left() / (1 + bit_bytes)));
  const unsigned char* at = r.Here();
  const unsigned char* const end = at + r.Left();
  for (std::uint32_t n = 0; n < row_count; ++n) {
    if (static_cast<std::size_t>(end - at) < 1 + bit_bytes) Truncated("a row");
    Row& row = p.rows.emplace_back();
    row.status = *at++;
    const unsigned char* bits = at;
    at += bit_bytes;
    Cells& cells = row.cells;
    cells.reserve(nfields);  // every cell below is appended within it
    for (std::size_t k = 0; k < nfields; ++k) {
      const unsigned b = bits[k >> 2] >> ((k & 3) * 2);
      if (b & 3) {
        cells.append((b & 1) ? CellState::kNull : CellState::kNotChanged);
        continue;
      }
      std::size_t size = layout[k].size;
      if (layout[k].prefix) {
        if (static_cast<std::size_t>(end - at) < layout[k].prefix) Truncated("a row");
        std::uint64_t len = 0;
        for (std::size_t i = layout[k].prefix; i-- > 0;) len = (len << 8) | at[i];
        at += layout[k].prefix;
        if (len > static_cast<std::size_t>(end - at)) Truncated("a row");
        size = static_cast<std::size_t>(len);
      } else if (size > static_cast<std::size_t>(end - at)) {
        Truncated("a row");
      }
      if (static_cast<std::size_t>(end - at) >= RawValue::kInline)
        cells.append(CellState::kValue, RawValue::Overread{}, reinterpret_cast<const char*>(at), size);
      else
        cells.append(CellState::kValue, std::string_view(reinterpret_cast<const char*>(at), size));
      at += size;
    }
  }
  return p;
}

std::string Write(const DataPacket& p) {
  const std::size_t nfields = p.fields.size();
  const std::size_t bit_bytes = (nfields + 3) / 4;
  const Layouts layout(p.fields);
  // The rows' exact size, checking every value against its field.
  std::size_t rows_size = 0;
  for (const Row& row : p.rows) {
    if (row.cells.size() != nfields) throw std::invalid_argument("Row does not match the field list");
    rows_size += 1 + bit_bytes;
    for (std::size_t k = 0; k < nfields; ++k) {
      const Cell& c = row.cells[k];
      if (c.state != CellState::kValue) continue;
      const std::uint32_t prefix = layout[k].prefix;
      if (prefix) {
        if (!ValidPrefix(prefix)) throw std::invalid_argument("Invalid length size for " + p.fields[k].name);
        if (prefix < 4 && c.raw.size() >= (std::uint64_t(1) << (8 * prefix)))
          throw std::invalid_argument("Value too long for " + p.fields[k].name);
        rows_size += prefix;
      } else if (c.raw.size() != layout[k].size) {
        throw std::invalid_argument("Value of the wrong size for " + p.fields[k].name);
      }
      rows_size += c.raw.size();
    }
  }
  // One allocation for the whole packet: the metadata's size closely estimated, and room for a
  // variant stream's header, so that the packet becomes a stream without a copy.
  std::size_t estimate = 24 + 2;
  for (const FieldDesc& f : p.fields) {
    estimate += 9 + f.name.size();
    for (const Attribute& a : f.props) estimate += 9 + a.name.size() + a.value.size();
  }
  for (const Attribute& a : p.params) estimate += 9 + a.name.size() + a.value.size();
  std::string out;
  out.reserve(estimate + rows_size + 16);
  PutLE(out, kMagic, 4);
  PutLE(out, p.major, 2);
  PutLE(out, p.minor, 2);
  PutLE(out, 24, 4);
  PutLE(out, nfields, 2);
  PutLE(out, p.rows.size(), 4);
  PutLE(out, p.properties, 4);
  PutLE(out, 0, 2);  // first-row offset, filled in below
  if (p.properties & kMetadataIncluded) {
    for (const FieldDesc& f : p.fields) {
      WriteName(out, f.name);
      PutLE(out, f.type_word, 4);
      PutLE(out, f.attributes, 2);
      PutLE(out, f.props.size(), 2);
      for (const Attribute& a : f.props) WriteAttribute(out, a);
    }
    PutLE(out, p.params.size(), 2);
    for (const Attribute& a : p.params) WriteAttribute(out, a);
  }
  if ((p.properties & kContainsMetaLength) && out.size() <= 0xFFFF) {
    out[22] = static_cast<char>(out.size() & 0xFF);
    out[23] = static_cast<char>(out.size() >> 8);
  }
  const std::size_t at = out.size();
  out.resize(at + rows_size);
  unsigned char* w = reinterpret_cast<unsigned char*>(out.data()) + at;
  unsigned char* const end = w + rows_size;
  for (const Row& row : p.rows) {
    *w++ = row.status;
    // One pass: the values are written after the bit bytes, each bit byte once its four fields
    // are known.
    unsigned char* bits = w;
    w += bit_bytes;
    unsigned acc = 0;
    const Cell* cells = row.cells.begin();
    for (std::size_t k = 0; k < nfields; ++k) {
      const Cell& c = cells[k];
      if (c.state != CellState::kValue) {
        acc |= (c.state == CellState::kNull ? 1u : 2u) << ((k & 3) * 2);
      } else {
        const std::size_t n = c.raw.size();
        switch (layout[k].prefix) {
          case 0: break;
          case 1: *w++ = static_cast<unsigned char>(n); break;
          case 2:
            w[0] = static_cast<unsigned char>(n);
            w[1] = static_cast<unsigned char>(n >> 8);
            w += 2;
            break;
          default:
            for (int i = 0; i < 4; ++i) *w++ = static_cast<unsigned char>(n >> (8 * i));
        }
        if (n <= RawValue::kInline && static_cast<std::size_t>(end - w) >= RawValue::kInline)
          std::memcpy(w, c.raw.data(), RawValue::kInline);  // one fixed-size move; the excess is overwritten next
        else
          std::memcpy(w, c.raw.data(), n);
        w += n;
      }
      if ((k & 3) == 3) {
        bits[k >> 2] = static_cast<unsigned char>(acc);
        acc = 0;
      }
    }
    if (nfields & 3) bits[nfields >> 2] = static_cast<unsigned char>(acc);
  }
  return out;
}

// ---- typed values ----------------------------------------------------------------------------

std::string IntRaw(std::int64_t v, std::size_t size) {
  std::string s;
  PutLE(s, static_cast<std::uint64_t>(v), size);
  return s;
}

std::int64_t IntOf(std::string_view raw, bool is_signed) {
  std::uint64_t v = 0;
  for (std::size_t i = raw.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(raw[i]);
  const std::size_t bits = raw.size() * 8;
  if (is_signed && bits > 0 && bits < 64 && ((v >> (bits - 1)) & 1)) v |= ~std::uint64_t(0) << bits;
  return static_cast<std::int64_t>(v);
}

std::string WideRaw(std::string_view utf8) {
  std::string raw;
  for (char16_t c : text::Utf8ToUtf16(utf8)) PutLE(raw, c, 2);
  return raw;
}

std::string WideText(std::string_view raw) {
  std::u16string u;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
    u += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
  while (!u.empty() && u.back() == 0) u.pop_back();
  return text::Utf16ToUtf8(u);
}

// ---- TBcd ----------------------------------------------------------------------------------

std::string ScaledToBcd(std::int64_t scaled, int precision, int places) {
  if (precision < 1 || precision > 32) throw std::invalid_argument("Invalid BCD precision " + std::to_string(precision));
  if (places < 0 || places > precision) throw std::invalid_argument("Invalid BCD places " + std::to_string(places));
  std::uint64_t mag = scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  // The digits of the value with `places` decimals: fewer places than 4 must drop only zeros.
  int shift = places - 4;  // decimal zeros appended (> 0) or dropped (< 0)
  for (; shift < 0; ++shift) {
    if (mag % 10) throw std::out_of_range("more than " + std::to_string(places) + " decimal places");
    mag /= 10;
  }
  std::string raw(kBcdStoredSize, '\0');
  raw[0] = static_cast<char>(precision);
  raw[1] = static_cast<char>((scaled < 0 ? 0x80 : 0) | places);
  for (int i = precision - 1; i >= 0; --i) {
    unsigned d = 0;
    if (shift > 0) {
      --shift;
    } else {
      d = static_cast<unsigned>(mag % 10);
      mag /= 10;
    }
    unsigned char& b = reinterpret_cast<unsigned char&>(raw[2 + i / 2]);
    b |= (i % 2 == 0) ? (d << 4) : d;
  }
  if (mag != 0 || shift > 0)
    throw std::out_of_range("more than " + std::to_string(precision - places) + " integer digits");
  return raw;
}

std::string CurrencyToBcd(std::int64_t scaled, int precision) { return ScaledToBcd(scaled, precision, 4); }

namespace {

struct BcdDigits {
  bool negative;
  int places;
  std::string digits;  // one char '0'..'9' per nibble
};

BcdDigits Digits(std::string_view raw) {
  if (raw.size() < 2) throw ProtocolError("Malformed BCD value");
  int precision = static_cast<unsigned char>(raw[0]);
  unsigned char sp = static_cast<unsigned char>(raw[1]);
  BcdDigits d{(sp & 0x80) != 0, sp & 0x3F, {}};
  if (sp & 0x40) throw ProtocolError("Special BCD values are not supported");
  if (precision > 2 * static_cast<int>(raw.size() - 2) || d.places > precision) throw ProtocolError("Malformed BCD value");
  for (int i = 0; i < precision; ++i) {
    unsigned char b = static_cast<unsigned char>(raw[2 + i / 2]);
    unsigned n = (i % 2 == 0) ? b >> 4 : b & 15;
    if (n > 9) throw ProtocolError("Malformed BCD digit");
    d.digits += static_cast<char>('0' + n);
  }
  return d;
}

}  // namespace

namespace detail {

std::int64_t BcdToCurrencySlow(std::string_view raw) {
  if (raw.size() < 2) throw ProtocolError("Malformed BCD value");
  const int precision = static_cast<unsigned char>(raw[0]);
  const unsigned char sp = static_cast<unsigned char>(raw[1]);
  const int places = sp & 0x3F;
  if (sp & 0x40) throw ProtocolError("Special BCD values are not supported");
  if (precision > 2 * static_cast<int>(raw.size() - 2) || places > precision) throw ProtocolError("Malformed BCD value");
  const unsigned char* nib = reinterpret_cast<const unsigned char*>(raw.data()) + 2;
  const int int_digits = precision - places;
  auto digit = [&](int i) -> unsigned {
    if (i >= precision) return 0;
    unsigned n = (i % 2 == 0) ? nib[i / 2] >> 4 : nib[i / 2] & 15;
    if (n > 9) throw ProtocolError("Malformed BCD digit");
    return n;
  };
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + ((sp & 0x80) ? 1 : 0);
  unsigned __int128 v = 0;
  for (int i = 0; i < int_digits + 4; ++i) {
    v = v * 10 + digit(i);
    if (v > limit) throw ProtocolError("BCD value out of range");
  }
  for (int i = int_digits + 4; i < precision; ++i) digit(i);  // validate the rest
  if (places > 4 && digit(int_digits + 4) >= 5) ++v;
  if (v > limit) throw ProtocolError("BCD value out of range");
  return (sp & 0x80) ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v)) : static_cast<std::int64_t>(v);
}

void BadBcd(const char* what) { throw ProtocolError(what); }

}  // namespace detail

std::string BcdToString(std::string_view raw) {
  BcdDigits d = Digits(raw);
  std::string ip = d.digits.substr(0, d.digits.size() - d.places);
  std::string fp = d.digits.substr(d.digits.size() - d.places);
  ip.erase(0, ip.find_first_not_of('0') == std::string::npos ? ip.size() : ip.find_first_not_of('0'));
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  if (ip.empty()) ip = "0";
  std::string s;
  if (d.negative && (ip != "0" || !fp.empty())) s += '-';
  s += ip;
  if (!fp.empty()) {
    s += '.';
    s += fp;
  }
  return s;
}

std::string CurrencyToString(std::int64_t scaled) {
  std::uint64_t mag = scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  std::string s;
  if (scaled < 0) s += '-';
  s += std::to_string(mag / 10000);
  std::string frac = std::to_string(mag % 10000);
  frac.insert(0, 4 - frac.size(), '0');
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  if (!frac.empty()) s += "." + frac;
  return s;
}

}  // namespace central::packet
