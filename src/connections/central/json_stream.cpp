#include "connections/central/json_stream.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"

namespace central {

std::size_t MemorySource::Read(char* buffer, std::size_t capacity) {
  std::size_t n = std::min(capacity, bytes_.size());
  std::memcpy(buffer, bytes_.data(), n);
  bytes_.remove_prefix(n);
  return n;
}

bool StreamReader::Fill() {
  if (pos_ < end_) return true;
  pos_ = 0;
  end_ = source_.Read(buf_.data(), buf_.size());
  return end_ > 0;
}

int StreamReader::Peek() {
  if (!Fill()) return -1;
  return static_cast<unsigned char>(buf_[pos_]);
}

unsigned char StreamReader::Get() {
  if (!Fill()) throw ProtocolError("The connection ended in the middle of a message");
  ++consumed_;
  return static_cast<unsigned char>(buf_[pos_++]);
}

void StreamReader::ReadExact(std::string& out, std::size_t n) {
  while (n > 0) {
    if (!Fill()) throw ProtocolError("The connection ended in the middle of a binary block");
    std::size_t take = std::min(n, end_ - pos_);
    out.append(buf_.data() + pos_, take);
    pos_ += take;
    consumed_ += take;
    n -= take;
  }
}

const JValue* JValue::Find(std::string_view key) const {
  for (const auto& [k, v] : members)
    if (k == key) return &v;
  return nullptr;
}

std::int64_t JValue::AsInt() const {
  if (kind != Kind::kNumber) throw ProtocolError("Expected a number in the message");
  const std::string& s = text;
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  if (i == s.size()) throw ProtocolError("Expected an integer in the message, got " + s);
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') throw ProtocolError("Expected an integer in the message, got " + s);
    unsigned d = static_cast<unsigned>(s[i] - '0');
    if (v > (UINT64_MAX - d) / 10) throw ProtocolError("Integer out of range in the message: " + s);
    v = v * 10 + d;
  }
  const std::uint64_t limit = neg ? std::uint64_t(INT64_MAX) + 1 : std::uint64_t(INT64_MAX);
  if (v > limit) throw ProtocolError("Integer out of range in the message: " + s);
  return neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
}

std::int32_t JValue::AsInt32() const {
  std::int64_t v = AsInt();
  if (v < INT32_MIN || v > INT32_MAX) throw ProtocolError("Integer out of range in the message: " + text);
  return static_cast<std::int32_t>(v);
}

const std::string& JValue::AsString() const {
  if (kind != Kind::kString) throw ProtocolError("Expected a string in the message");
  return text;
}

const JValue& JValue::At(std::size_t i) const {
  if (kind != Kind::kArray || i >= items.size()) throw ProtocolError("Missing element in the message");
  return items[i];
}

namespace {

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class Parser {
 public:
  Parser(StreamReader& in, const ReadLimits& limits) : in_(in), limits_(limits), start_(in.Consumed()) {}

  JValue Message() {
    // Blanks and the stray closing brace of an earlier error object come before the next message.
    for (;;) {
      int c = in_.Peek();
      if (c < 0) throw ProtocolError("The connection ended before a message");
      if (IsBlank(c) || c == '}') {
        in_.Get();
        start_ = in_.Consumed();
        continue;
      }
      break;
    }
    if (in_.Peek() != '{') throw ProtocolError("Unexpected byte " + Hex(in_.Peek()) + " where a message should begin");
    return Object(0, /*top=*/true);
  }

 private:
  static std::string Hex(int c) {
    static const char* d = "0123456789ABCDEF";
    std::string s = "0x";
    s += d[(c >> 4) & 15];
    s += d[c & 15];
    return s;
  }

  unsigned char Next() {
    unsigned char c = in_.Get();
    if (in_.Consumed() - start_ > limits_.max_message) TooLong();
    return c;
  }

  [[noreturn]] void TooLong() const {
    throw ProtocolError("The server's message is longer than " + std::to_string(limits_.max_message) + " bytes");
  }

  // Every value read costs a node: counted against the message's allowance.
  void CountValue() {
    if (++values_ > limits_.max_values)
      throw ProtocolError("The server's message holds more than " + std::to_string(limits_.max_values) + " values");
  }

  void SkipBlanks() {
    while (IsBlank(in_.Peek())) Next();
  }

  void Expect(char want) {
    SkipBlanks();
    unsigned char c = Next();
    if (c != static_cast<unsigned char>(want))
      throw ProtocolError(std::string("Expected '") + want + "' in the message, got " + Hex(c));
  }

  JValue Value(std::size_t depth) {
    if (depth > limits_.max_depth) throw ProtocolError("Message nested too deeply");
    CountValue();
    SkipBlanks();
    int c = in_.Peek();
    if (c < 0) throw ProtocolError("The connection ended in the middle of a message");
    JValue v;
    switch (c) {
      case '{':
        return Object(depth, false);
      case '[': {
        Next();
        v.kind = JValue::Kind::kArray;
        SkipBlanks();
        if (in_.Peek() == ']') {
          Next();
          return v;
        }
        for (;;) {
          v.items.push_back(Value(depth + 1));
          SkipBlanks();
          unsigned char d = Next();
          if (d == ']') return v;
          if (d != ',') throw ProtocolError("Expected ',' or ']' in the message, got " + Hex(d));
        }
      }
      case '"':
        v.kind = JValue::Kind::kString;
        v.text = String();
        return v;
      case 't':
        Word("true");
        v.kind = JValue::Kind::kBool;
        v.boolean = true;
        return v;
      case 'f':
        Word("false");
        v.kind = JValue::Kind::kBool;
        return v;
      case 'n':
        Word("null");
        return v;
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          v.kind = JValue::Kind::kNumber;
          v.text = Number();
          return v;
        }
        throw ProtocolError("Unexpected byte " + Hex(c) + " in the message");
    }
  }

  void Word(const char* w) {
    for (const char* p = w; *p; ++p)
      if (Next() != static_cast<unsigned char>(*p)) throw ProtocolError(std::string("Malformed literal, expected ") + w);
  }

  std::string Number() {
    std::string s;
    for (;;) {
      int c = in_.Peek();
      if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E')) break;
      s += static_cast<char>(Next());
      if (s.size() > 40) throw ProtocolError("Number too long in the message");
    }
    return s;
  }

  unsigned HexDigits() {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = Next();
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else throw ProtocolError("Malformed \\u escape in the message");
    }
    return v;
  }

  std::string String() {
    Next();  // the opening quote
    std::string out;
    for (;;) {
      unsigned char c = Next();
      if (c == '"') return out;
      if (c != '\\') {
        text::AppendUtf8(out, c);  // byte = char
        continue;
      }
      unsigned char e = Next();
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          char32_t cp = HexDigits();
          if (cp >= 0xD800 && cp <= 0xDBFF && in_.Peek() == '\\') {
            Next();
            if (Next() != 'u') throw ProtocolError("Malformed surrogate pair in the message");
            char32_t lo = HexDigits();
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else {
              text::AppendUtf8(out, text::kReplacement);
              cp = lo;
            }
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = text::kReplacement;
          text::AppendUtf8(out, cp);
          break;
        }
        default:
          throw ProtocolError("Unknown escape in a string of the message");
      }
    }
  }

  // After `"data":` the value `[N,<N raw bytes>]`.
  JValue Blob() {
    Expect('[');
    SkipBlanks();
    JValue count;
    count.kind = JValue::Kind::kNumber;
    count.text = Number();
    std::int64_t n = count.AsInt();
    while (in_.Peek() == ' ') Next();
    if (Next() != ',') throw ProtocolError("Malformed binary block in the message");
    std::uint64_t size = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    if (size > limits_.max_blob) throw ProtocolError("Binary block too large: " + std::to_string(size) + " bytes");
    if (in_.Consumed() - start_ + size > limits_.max_message) TooLong();
    CountValue();
    JValue v;
    v.kind = JValue::Kind::kBlob;
    v.blob_count = n;
    in_.ReadExact(v.text, static_cast<std::size_t>(size));
    Expect(']');
    return v;
  }

  JValue Object(std::size_t depth, bool top) {
    if (depth > limits_.max_depth) throw ProtocolError("Message nested too deeply");
    if (top) CountValue();  // members are counted as values
    Next();  // '{'
    JValue v;
    v.kind = JValue::Kind::kObject;
    SkipBlanks();
    if (in_.Peek() == '}') {
      Next();
      return v;
    }
    for (;;) {
      SkipBlanks();
      if (in_.Peek() != '"') throw ProtocolError("Expected a member name in the message");
      std::string key = String();
      Expect(':');
      SkipBlanks();
      JValue member;
      if ((key == "data" || key == "metadata" || key == "callback") && in_.Peek() == '[') member = Blob();
      else member = Value(depth + 1);
      v.members.push_back(JMember{std::move(key), std::move(member)});
      if (top && v.members.size() == 1 && v.members[0].first == "error") return v;
      SkipBlanks();
      unsigned char d = Next();
      if (d == '}') return v;
      if (d != ',') throw ProtocolError("Expected ',' or '}' in the message, got " + Hex(d));
    }
  }

  StreamReader& in_;
  const ReadLimits& limits_;
  std::uint64_t start_;
  std::size_t values_ = 0;
};

}  // namespace

JValue ReadMessage(StreamReader& in, const ReadLimits& limits) { return Parser(in, limits).Message(); }

JValue ParseMessage(std::string_view bytes, const ReadLimits& limits) {
  MemorySource src(bytes);
  StreamReader in(src);
  return ReadMessage(in, limits);
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  static const char* hex = "0123456789abcdef";
  auto unit = [&](unsigned u) {
    out += "\\u";
    for (int s = 12; s >= 0; s -= 4) out += hex[(u >> s) & 15];
  };
  out += '"';
  text::ForEachCodePoint(utf8, [&](char32_t cp) {
    if (cp == '"') out += "\\\"";
    else if (cp == '\\') out += "\\\\";
    else if (cp >= 32 && cp <= 255) out += static_cast<char>(cp);
    else if (cp > 0xFFFF) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  });
  out += '"';
}

void AppendDataObject(std::string& out, std::string_view bytes, bool last, bool pad) {
  std::string n;
  if (last && !bytes.empty()) n += '-';
  n += std::to_string(bytes.size());
  if (pad && n.size() < 9) n.append(9 - n.size(), ' ');
  out += "{\"data\":[";
  out += n;
  out += ',';
  out.append(bytes.data(), bytes.size());
  out += "]}";
}

}  // namespace central
