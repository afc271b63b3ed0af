#include "connections/central/dbx_value.h"

#include <cstring>

#include "common/text.h"
#include "connections/central/protocol_error.h"

namespace central::dbx {

bool IsIntegerType(int t) {
  return t == kInt16 || t == kInt32 || t == kInt64 || t == kUInt16 || t == kUInt32 || t == kInt8 || t == kUInt8;
}
bool IsStringType(int t) { return t == kAnsiString || t == kWideString; }
bool IsStreamType(int t) { return t == kBinaryBlob || t == kVariant; }

void AppendNull(std::string& out) { out += static_cast<char>(kNullHeader); }

namespace {

void AppendMagnitude(std::string& out, unsigned char sign_bit, std::uint64_t mag) {
  unsigned char bytes[8];
  int n = 0;
  while (mag != 0) {
    bytes[n++] = static_cast<unsigned char>(mag & 0xFF);
    mag >>= 8;
  }
  out += static_cast<char>(0x20 | sign_bit | n);
  while (n > 0) out += static_cast<char>(bytes[--n]);
}

// A value of `len` bytes whose header says whether another segment follows.
void AppendSegmentHeader(std::string& out, std::size_t len, bool more) {
  unsigned char m = more ? 0x40 : 0;
  if (len <= 31) {
    out += static_cast<char>(0x20 | m | len);
  } else {
    out += static_cast<char>(0x10 | m);
    out += static_cast<char>(len >> 8);
    out += static_cast<char>(len & 0xFF);
  }
}

}  // namespace

void AppendInt(std::string& out, std::int64_t v) {
  if (v >= 0) AppendMagnitude(out, 0x40, static_cast<std::uint64_t>(v));
  else AppendMagnitude(out, 0, 0 - static_cast<std::uint64_t>(v));
}

void AppendBool(std::string& out, bool v) { out += static_cast<char>(v ? 0x60 : 0x20); }

void AppendDouble(std::string& out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  unsigned char be[8];
  for (int i = 0; i < 8; ++i) be[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  int len = 8;
  while (len > 0 && be[len - 1] == 0) --len;  // trailing zero bytes are cut off
  out += static_cast<char>(0x20 | ((bits >> 63) ? 0 : 0x40) | len);
  out.append(reinterpret_cast<const char*>(be), len);
}

void AppendString(std::string& out, std::string_view utf8) {
  // Plain ASCII that fits one tiny segment (provider names, numbers) is written as it is.
  if (!utf8.empty() && utf8.size() <= 31) {
    bool ascii = true;
    for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      out += static_cast<char>(0x20 | utf8.size());
      out.append(utf8);
      return;
    }
  }
  std::string bytes;
  bool wide = false;
  text::ForEachCodePoint(utf8, [&](char32_t cp) {
    if (!wide && cp <= 0xFE) {
      bytes += static_cast<char>(cp);
      return;
    }
    if (!wide) {
      bytes += '\xFF';
      wide = true;
    }
    auto unit = [&](unsigned u) {
      bytes += static_cast<char>(u >> 8);
      bytes += static_cast<char>(u & 0xFF);
    };
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  });
  if (bytes.empty()) {
    out += '\x20';
    return;
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    std::size_t n = rest.size() > kMaxSegment ? kMaxSegment : rest.size();
    AppendSegmentHeader(out, n, n < rest.size());
    out.append(rest.substr(0, n));
    rest.remove_prefix(n);
  }
}

void AppendBytes(std::string& out, std::string_view bytes, bool more) {
  if (bytes.empty() && !more) {
    out += '\x20';
    return;
  }
  if (bytes.size() > kMaxSegment) throw std::length_error("A byte value segment holds at most 65535 bytes");
  out += static_cast<char>(more ? 0x50 : 0x10);
  out += static_cast<char>(bytes.size() >> 8);
  out += static_cast<char>(bytes.size() & 0xFF);
  out.append(bytes);
}

unsigned char ValueReader::Header() {
  if (pos_ >= row_.size()) throw ProtocolError("Parameter row ends before all its values");
  return static_cast<unsigned char>(row_[pos_++]);
}

std::string_view ValueReader::Take(std::size_t n) {
  if (n > row_.size() - pos_) throw ProtocolError("Parameter row ends in the middle of a value");
  std::string_view v = row_.substr(pos_, n);
  pos_ += n;
  return v;
}

std::size_t ValueReader::Length(unsigned char header, const char* what) {
  if (header & 0x20) return header & 0x1F;
  if (!(header & 0x10)) throw ProtocolError(std::string("Malformed ") + what + " value");
  std::string_view l = Take(2);
  return (static_cast<unsigned char>(l[0]) << 8) | static_cast<unsigned char>(l[1]);
}

bool ValueReader::TakeNull() {
  if (pos_ < row_.size() && (static_cast<unsigned char>(row_[pos_]) & 0x80)) {
    ++pos_;
    return true;
  }
  return false;
}

std::int64_t ValueReader::ReadInt() {
  unsigned char h = Header();
  if (h & 0x80) throw ProtocolError("Unexpected null integer");
  if (!(h & 0x20) || (h & 0x1F) > 8) throw ProtocolError("Malformed integer value");
  std::uint64_t mag = 0;
  for (unsigned char b : Take(h & 0x1F)) mag = (mag << 8) | b;
  if (h & 0x40) {
    if (mag > std::uint64_t(INT64_MAX)) throw ProtocolError("Integer value out of range");
    return static_cast<std::int64_t>(mag);
  }
  if (mag > std::uint64_t(INT64_MAX) + 1) throw ProtocolError("Integer value out of range");
  return static_cast<std::int64_t>(0 - mag);
}

bool ValueReader::ReadBool() {
  unsigned char h = Header();
  if (h == 0x60) return true;
  if (h == 0x20) return false;
  throw ProtocolError("Malformed boolean value");
}

double ValueReader::ReadDouble() {
  unsigned char h = Header();
  if (!(h & 0x20) || (h & 0x1F) > 8) throw ProtocolError("Malformed double value");
  std::string_view b = Take(h & 0x1F);
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 8; ++i) bits = (bits << 8) | (i < b.size() ? static_cast<unsigned char>(b[i]) : 0);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string ValueReader::ReadString() {
  std::string bytes;
  for (;;) {
    unsigned char h = Header();
    if (h & 0x80) throw ProtocolError("Unexpected null string");
    bytes.append(Take(Length(h, "string")));
    if (!(h & 0x40)) break;
  }
  std::string out;
  std::size_t ff = bytes.find('\xFF');
  out = text::Latin1ToUtf8(std::string_view(bytes).substr(0, ff));
  if (ff != std::string::npos) {
    std::string_view wide = std::string_view(bytes).substr(ff + 1);
    if (wide.size() % 2) throw ProtocolError("Malformed wide string value");
    std::u16string u;
    for (std::size_t i = 0; i < wide.size(); i += 2)
      u += static_cast<char16_t>((static_cast<unsigned char>(wide[i]) << 8) | static_cast<unsigned char>(wide[i + 1]));
    out += text::Utf16ToUtf8(u);
  }
  return out;
}

ValueReader::Bytes ValueReader::ReadBytes() {
  unsigned char h = Header();
  if (h & 0x80) throw ProtocolError("Unexpected null byte value");
  Bytes b;
  b.more = (h & 0x40) != 0;
  b.data.assign(Take(Length(h, "byte")));
  return b;
}

}  // namespace central::dbx
