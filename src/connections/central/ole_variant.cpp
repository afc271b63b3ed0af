#include "connections/central/ole_variant.h"

#include <cstring>

#include "common/text.h"
#include "connections/central/protocol_error.h"

namespace central::ole {
namespace {

constexpr std::size_t kMaxDepth = 16;
constexpr std::int32_t kMaxDims = 8;
// The values one stream may hold, arrays and their elements counted alike. A value costs far more
// to hold than its few bytes in the stream (an empty one takes four), so a count bounded only by
// the stream's size would let a 4 MB answer take over a hundred MB.
constexpr std::size_t kMaxNodes = 65536;

// Bytes per element of the array element types streamed as one raw block; 0 for the others.
std::size_t RawSize(std::uint16_t t) {
  switch (t) {
    case varShortInt: case varByte: return 1;
    case varSmallint: case varBoolean: case varWord: return 2;
    case varInteger: case varSingle: case varLongWord: return 4;
    case varDouble: case varCurrency: case varDate: return 8;
    default: return 0;
  }
}

void PutLE(std::string& out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void WriteScalar(std::string& out, const Variant& v) {
  switch (v.vtype) {
    case varSingle: {
      float f = static_cast<float>(v.real);
      std::uint32_t b;
      std::memcpy(&b, &f, 4);
      PutLE(out, b, 4);
      return;
    }
    case varDouble: case varDate: {
      std::uint64_t b;
      std::memcpy(&b, &v.real, 8);
      PutLE(out, b, 8);
      return;
    }
    case varBoolean:
      PutLE(out, v.integer ? 0xFFFF : 0, 2);
      return;
    default:
      PutLE(out, static_cast<std::uint64_t>(v.integer), RawSize(v.vtype));
  }
}

void WriteVariant(std::string& out, const Variant& v, std::size_t depth) {
  if (depth > kMaxDepth) throw std::invalid_argument("Variant nested too deeply");
  PutLE(out, v.vtype, 4);
  if (v.vtype == varEmpty || v.vtype == varNull) return;
  if (v.vtype == varOleStr) {
    std::u16string u = text::Utf8ToUtf16(v.str);
    PutLE(out, u.size(), 4);
    for (char16_t c : u) PutLE(out, c, 2);
    return;
  }
  if (v.vtype & varArray) {
    std::uint16_t elem = v.vtype & 0x0FFF;
    if (v.low.empty()) {
      // Made here without bounds: one dimension from 0.
      std::size_t count = RawSize(elem) ? v.str.size() / RawSize(elem) : v.elements.size();
      PutLE(out, 1, 4);
      PutLE(out, 0, 4);
      PutLE(out, static_cast<std::uint32_t>(static_cast<std::int64_t>(count) - 1), 4);
    } else {
      PutLE(out, static_cast<std::uint32_t>(v.low.size()), 4);
      for (auto b : v.low) PutLE(out, static_cast<std::uint32_t>(b), 4);
      for (auto b : v.high) PutLE(out, static_cast<std::uint32_t>(b), 4);
    }
    if (RawSize(elem)) {
      PutLE(out, v.str.size(), 4);
      out += v.str;
    } else {
      for (const Variant& e : v.elements) WriteVariant(out, e, depth + 1);
    }
    return;
  }
  if (!RawSize(v.vtype)) throw std::invalid_argument("Variant type cannot be streamed: " + std::to_string(v.vtype));
  WriteScalar(out, v);
}

class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  std::size_t Left() const { return b_.size() - pos_; }
  std::string_view Take(std::size_t n) {
    if (n > Left()) throw ProtocolError("Variant stream ends early");
    auto s = b_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  std::uint64_t LE(std::size_t n) {
    std::string_view s = Take(n);
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(s[i]);
    return v;
  }
  std::int64_t Signed(std::size_t n) {
    std::uint64_t v = LE(n);
    if (n < 8 && (v >> (8 * n - 1)) & 1) v |= ~std::uint64_t(0) << (8 * n);
    return static_cast<std::int64_t>(v);
  }

  Variant Read(std::size_t depth) {
    if (depth > kMaxDepth) throw ProtocolError("Variant stream nested too deeply");
    if (++nodes_ > kMaxNodes) throw ProtocolError("The variant stream holds more than " + std::to_string(kMaxNodes) + " values");
    Variant v;
    std::uint32_t t = static_cast<std::uint32_t>(LE(4));
    if (t == (varByRef | varVariant)) return Read(depth + 1);
    if (t > 0xFFFF) throw ProtocolError("Unknown variant type in stream: " + std::to_string(t));
    v.vtype = static_cast<std::uint16_t>(t);
    if (t == varEmpty || t == varNull) return v;
    if (t == varOleStr) {
      std::uint32_t n = static_cast<std::uint32_t>(LE(4));
      if (n > Left() / 2) throw ProtocolError("Variant string longer than its stream");
      std::u16string u(n, u'\0');
      for (auto& c : u) c = static_cast<char16_t>(LE(2));
      v.str = text::Utf16ToUtf8(u);
      return v;
    }
    if (t & varArray) {
      if (t & ~std::uint32_t(varArray | 0x0FFF)) throw ProtocolError("Unknown variant array type in stream");
      std::uint16_t elem = t & 0x0FFF;
      std::int64_t dims = static_cast<std::int32_t>(LE(4));
      if (dims < 1 || dims > kMaxDims) throw ProtocolError("Variant array with an implausible dimension count");
      v.low.resize(dims);
      v.high.resize(dims);
      for (auto& b : v.low) b = static_cast<std::int32_t>(LE(4));
      for (auto& b : v.high) b = static_cast<std::int32_t>(LE(4));
      std::uint64_t count = 1;
      for (std::int64_t d = 0; d < dims; ++d) {
        std::int64_t extent = std::int64_t(v.high[d]) - v.low[d] + 1;
        if (extent < 0) throw ProtocolError("Variant array with negative bounds");
        count *= static_cast<std::uint64_t>(extent);
        if (count > Left()) throw ProtocolError("Variant array larger than its stream");
      }
      if (std::size_t size = RawSize(elem)) {
        std::uint32_t bytes = static_cast<std::uint32_t>(LE(4));
        if (bytes != count * size) throw ProtocolError("Variant array block of the wrong size");
        v.str.assign(Take(bytes));
        return v;
      }
      if (elem != varVariant) throw ProtocolError("Unsupported variant array element type " + std::to_string(elem));
      if (count > Left() / 4) throw ProtocolError("Variant array larger than its stream");
      if (count > kMaxNodes - nodes_)
        throw ProtocolError("The variant stream holds more than " + std::to_string(kMaxNodes) + " values");
      v.elements.reserve(count);
      for (std::uint64_t i = 0; i < count; ++i) v.elements.push_back(Read(depth + 1));
      return v;
    }
    switch (t) {
      case varSingle: {
        std::uint32_t b = static_cast<std::uint32_t>(LE(4));
        float f;
        std::memcpy(&f, &b, 4);
        v.real = f;
        return v;
      }
      case varDouble: case varDate: {
        std::uint64_t b = LE(8);
        std::memcpy(&v.real, &b, 8);
        return v;
      }
      case varBoolean:
        v.integer = LE(2) != 0;
        return v;
      case varSmallint: case varInteger: case varCurrency: case varShortInt:
        v.integer = Signed(RawSize(v.vtype));
        return v;
      case varByte: case varWord: case varLongWord:
        v.integer = static_cast<std::int64_t>(LE(RawSize(v.vtype)));
        return v;
      default:
        throw ProtocolError("Unsupported variant type in stream: " + std::to_string(t));
    }
  }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
  std::size_t nodes_ = 0;
};

}  // namespace

Variant Variant::Bytes(std::string b) {
  Variant v;
  v.vtype = varArray | varByte;  // one dimension from 0: no bounds kept
  v.str = std::move(b);
  return v;
}

Variant Variant::Array(std::vector<Variant> items) {
  Variant v;
  v.vtype = varArray | varVariant;
  v.low = {0};
  v.high = {static_cast<std::int32_t>(items.size()) - 1};
  v.elements = std::move(items);
  return v;
}

bool Variant::IsIntegerKind() const {
  switch (vtype) {
    case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord: return true;
    default: return false;
  }
}

namespace {

std::string PacketHeader(std::size_t size) {
  std::string h(1, '\x03');
  PutLE(h, size, 8);
  return h;
}

}  // namespace

std::string ToStream(const Variant& v) {
  std::string out;
  if (v.IsByteArray()) {
    out.reserve(9 + v.str.size());
    out += PacketHeader(v.str.size());
    out += v.str;
    return out;
  }
  out += '\x02';
  WriteVariant(out, v, 0);
  return out;
}

std::string ToStream(Variant&& v) {
  if (!v.IsByteArray()) return ToStream(static_cast<const Variant&>(v));
  std::string out = std::move(v.str);
  out.insert(0, PacketHeader(out.size()));
  return out;
}

Variant FromStream(std::string&& bytes) {
  if (bytes.size() < 9 || bytes[0] != '\x03') return FromStream(std::string_view(bytes));
  Reader r(std::string_view(bytes).substr(1));
  std::uint64_t size = r.LE(8);
  if (size > r.Left()) throw ProtocolError("Data packet larger than its stream");
  if (size == 0) return Variant::Null();
  bytes.erase(0, 9);
  bytes.resize(static_cast<std::size_t>(size));
  return Variant::Bytes(std::move(bytes));
}

Variant FromStream(std::string_view bytes) {
  if (bytes.empty()) throw ProtocolError("Empty variant stream");
  Reader r(bytes.substr(1));
  switch (static_cast<unsigned char>(bytes[0])) {
    case 1:
      return Variant::Empty();
    case 2:
      return r.Read(0);
    case 3: {
      std::uint64_t size = r.LE(8);
      if (size > r.Left()) throw ProtocolError("Data packet larger than its stream");
      if (size == 0) return Variant::Null();
      return Variant::Bytes(std::string(r.Take(static_cast<std::size_t>(size))));
    }
    default:
      throw ProtocolError("Unknown variant stream kind " + std::to_string(static_cast<unsigned char>(bytes[0])));
  }
}

Variant PackParams(const std::vector<PackedParam>& params) {
  if (params.empty()) return Variant::Null();
  std::vector<Variant> items;
  for (const PackedParam& p : params) {
    items.push_back(Variant::Array({Variant::String(p.name), p.value, Variant::Integer(p.data_type),
                                    Variant::Integer(p.param_type), Variant::Integer(p.size),
                                    Variant::Integer(p.precision), Variant::Integer(p.scale)}));
  }
  return Variant::Array(std::move(items));
}

std::vector<PackedParam> UnpackParams(const Variant& packed) {
  std::vector<PackedParam> out;
  if (packed.IsNull() || packed.IsEmpty()) return out;
  if (!packed.IsVariantArray()) throw ProtocolError("Packed parameters are not a variant array");
  auto int_of = [](const Variant& v) -> std::int32_t {
    if (!v.IsIntegerKind()) throw ProtocolError("Packed parameter attribute is not an integer");
    if (v.integer < INT32_MIN || v.integer > INT32_MAX) throw ProtocolError("Packed parameter attribute out of range");
    return static_cast<std::int32_t>(v.integer);
  };
  for (const Variant& item : packed.elements) {
    if (!item.IsVariantArray() || item.elements.size() < 4) throw ProtocolError("Malformed packed parameter");
    const auto& e = item.elements;
    if (e[0].vtype != varOleStr) throw ProtocolError("Packed parameter without a name");
    PackedParam p;
    p.name = e[0].str;
    p.value = e[1];
    p.data_type = int_of(e[2]);
    p.param_type = int_of(e[3]);
    if (e.size() > 4) p.size = int_of(e[4]);
    if (e.size() > 5) p.precision = int_of(e[5]);
    if (e.size() > 6) p.scale = int_of(e[6]);
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace central::ole
