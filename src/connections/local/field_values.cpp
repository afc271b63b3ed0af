#include "connections/local/field_values.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "connections/local/db_errors.h"
#include "connections/local/sqlda.h"
#include "connections/local/statement.h"

namespace localdb {

// UTF-8 to the connection's character set, refusing to alter what ISO8859_1 cannot hold: a
// product code sent as "A??o" would silently become another product.
std::string ToWire(const std::string& utf8, const std::string& what) {
  bool lossy = false;
  std::string out = text::Utf8ToLatin1(utf8, &lossy);
  if (lossy)
    throw EDatabaseError(what + ": the text \"" + text::SanitizeUtf8(utf8) +
                         "\" holds characters that the character set ISO8859_1 cannot represent");
  return out;
}

namespace {

std::int64_t Pow10(int n) {
  std::int64_t r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

// v * 10^scale expressed with `target` decimals (scale and target are negative decimal
// exponents); rounds half away from zero when decimals are dropped.
std::int64_t Rescale(std::int64_t v, int scale, int target, const std::string& field) {
  if (scale == target) return v;
  if (scale > target) {
    int n = scale - target;
    if (n > 18) throw EDatabaseError("Field " + field + ": value out of range");
    std::int64_t r;
    if (__builtin_mul_overflow(v, Pow10(n), &r)) throw EDatabaseError("Field " + field + ": value out of range");
    return r;
  }
  int n = target - scale;
  if (n > 18) return 0;
  std::int64_t d = Pow10(n);
  std::int64_t q = v / d, rem = v % d;
  if (rem * 2 >= d) ++q;
  if (rem * 2 <= -d) --q;
  return q;
}

// A decimal text as the server writes numbers ("  -12.5 ", "1.5E+3", "-0.000100"): significant
// digits without leading or trailing zeros, times ten to `exponent`. Firebird 4's INT128 and
// DECFLOAT arrive this way (see TFDConnection::BindNewTypes), with up to 38 and 34 digits.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

bool ParseDecimal(std::string_view s, Decimal& d) {
  auto b = s.find_first_not_of(' ');
  auto e = s.find_last_not_of(' ');
  if (b == std::string_view::npos) return false;
  s = s.substr(b, e - b + 1);
  std::size_t i = 0;
  d = Decimal{};
  if (s[i] == '+' || s[i] == '-') d.negative = s[i++] == '-';
  bool digits = false, point = false;
  long long exponent = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    const char c = s[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    digits = true;
    if (point) --exponent;
    if (c != '0' || !d.digits.empty()) d.digits.push_back(c);
    if (d.digits.size() > 100) return false;  // far beyond any column's 38 digits
  }
  if (!digits) return false;
  if (i < s.size()) {  // the exponent
    ++i;
    bool negative_exponent = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative_exponent = s[i++] == '-';
    if (i == s.size()) return false;
    long long x = 0;
    for (; i < s.size(); ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      x = std::min(x * 10 + (s[i] - '0'), 100000LL);  // DECFLOAT(34) stops at 6144
    }
    exponent += negative_exponent ? -x : x;
  }
  while (!d.digits.empty() && d.digits.back() == '0') {
    d.digits.pop_back();
    ++exponent;
  }
  if (d.digits.empty()) exponent = 0;
  d.exponent = static_cast<int>(exponent);
  return true;
}

enum class Fit { kExact, kOutOfRange, kInexact };

// The decimal as an integer count of 10^target (target 0 or -4). Digits below that are rounded
// half away from zero when `round`, and make the value kInexact otherwise.
Fit ToScaled(const Decimal& d, int target, bool round, std::int64_t& out) {
  out = 0;
  if (d.digits.empty()) return Fit::kExact;
  std::string kept = d.digits;
  long long shift = static_cast<long long>(d.exponent) - target;
  bool up = false;
  if (shift < 0) {
    if (!round) return Fit::kInexact;
    const long long drop = -shift;
    if (drop > static_cast<long long>(kept.size())) return Fit::kExact;  // below half a unit: 0
    up = kept[kept.size() - drop] >= '5';
    kept.resize(kept.size() - drop);
    shift = 0;
  }
  if (static_cast<long long>(kept.size()) + shift > 19) return Fit::kOutOfRange;
  kept.append(static_cast<std::size_t>(shift), '0');
  std::int64_t v = 0;
  for (char c : kept)
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v)) return Fit::kOutOfRange;
  if (up && __builtin_add_overflow(v, 1, &v)) return Fit::kOutOfRange;
  out = d.negative ? -v : v;
  return Fit::kExact;
}

std::string FormatScaled(std::int64_t v, int scale) {
  unsigned long long magnitude = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  std::string digits = std::to_string(magnitude);
  if (scale >= 0) return (v < 0 ? "-" : "") + digits + std::string(scale, '0');
  std::size_t n = static_cast<std::size_t>(-scale);
  if (digits.size() <= n) digits.insert(0, n - digits.size() + 1, '0');
  std::string whole = digits.substr(0, digits.size() - n), frac = digits.substr(digits.size() - n);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return (v < 0 ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

struct Value {
  enum Kind { kNull, kScaled, kText, kDouble, kBool, kOther, kMalformed } kind = kNull;
  std::int64_t scaled = 0;
  int scale = 0;
  std::string text;  // UTF-8
  double d = 0;
  bool b = false;
  int type = 0;
};

Value Scaled(std::int64_t x, int scale) {
  Value out;
  out.kind = Value::kScaled;
  out.scaled = x;
  out.scale = scale;
  return out;
}

Value ReadVar(const XSQLVAR& v) {
  Value out;
  int type = v.sqltype & ~1;
  out.type = type;
  if ((v.sqltype & 1) && v.sqlind && *v.sqlind < 0) return out;
  const char* p = v.sqldata;
  switch (type) {
    case SQL_SHORT: {
      std::int16_t x;
      std::memcpy(&x, p, 2);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_LONG: {
      std::int32_t x;
      std::memcpy(&x, p, 4);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_INT64: {
      std::int64_t x;
      std::memcpy(&x, p, 8);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_TEXT: {
      std::string s(p, v.sqllen);
      // Fixed-length texts are padded with blanks by the server; the value is without them.
      while (!s.empty() && s.back() == ' ') s.pop_back();
      out.kind = Value::kText;
      out.text = text::Latin1ToUtf8(s);
      break;
    }
    case SQL_VARYING: {
      ISC_USHORT len;
      std::memcpy(&len, p, 2);
      // The length comes with the value: never read beyond the column's buffer.
      if (v.sqllen < 0 || len > static_cast<ISC_USHORT>(v.sqllen)) {
        out.kind = Value::kMalformed;
        break;
      }
      out.kind = Value::kText;
      out.text = text::Latin1ToUtf8(std::string_view(p + 2, len));
      break;
    }
    case SQL_FLOAT: {
      float f;
      std::memcpy(&f, p, 4);
      out.kind = Value::kDouble;
      out.d = f;
      break;
    }
    case SQL_DOUBLE: {
      std::memcpy(&out.d, p, 8);
      out.kind = Value::kDouble;
      break;
    }
    case SQL_BOOLEAN:
      out.kind = Value::kBool;
      out.b = *p != 0;
      break;
    default:
      out.kind = Value::kOther;
  }
  out.type = type;
  return out;
}

[[noreturn]] void Malformed(const std::string& field) {
  throw EDatabaseError("Field " + field + ": the value is longer than its column");
}

}  // namespace

std::string TField::FieldName() const { return query_->FieldNameAt(index_); }

bool TField::IsNull() const { return ReadVar(query_->CurrentRow(index_).da()->sqlvar[index_]).kind == Value::kNull; }

std::string ColumnAsString(const XSQLVAR& var, const std::string& field) {
  Value v = ReadVar(var);
  switch (v.kind) {
    case Value::kNull:
      return {};
    case Value::kScaled:
      return FormatScaled(v.scaled, v.scale);
    case Value::kText:
      return v.text;
    case Value::kDouble: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", v.d);
      return buf;
    }
    case Value::kBool:
      return v.b ? "True" : "False";
    case Value::kMalformed:
      Malformed(field);
    default:
      throw EDatabaseError("Field " + field + ": type " + std::to_string(v.type) + " cannot be read as text");
  }
}

std::int64_t ColumnAsLargeInt(const XSQLVAR& var, const std::string& field) {
  Value v = ReadVar(var);
  switch (v.kind) {
    case Value::kNull:
      return 0;
    case Value::kScaled:
      return Rescale(v.scaled, v.scale, 0, field);
    case Value::kText: {
      Decimal d;
      if (!ParseDecimal(v.text, d)) throw EDatabaseError("Field " + field + ": '" + v.text + "' is not a valid integer");
      std::int64_t x;
      if (ToScaled(d, 0, true, x) != Fit::kExact)
        throw EDatabaseError("Field " + field + ": " + v.text + " is out of the range of a 64-bit integer");
      return x;
    }
    case Value::kDouble:
      if (!(std::fabs(v.d) < 9.2e18)) throw EDatabaseError("Field " + field + ": value out of range");
      return std::llround(v.d);
    case Value::kBool:
      return v.b ? 1 : 0;
    case Value::kMalformed:
      Malformed(field);
    default:
      throw EDatabaseError("Field " + field + ": type " + std::to_string(v.type) + " cannot be read as a number");
  }
}

std::string_view TField::BytesView(std::string& scratch) const {
  const XSQLVAR& v = query_->CurrentRow(index_).da()->sqlvar[index_];
  const int type = v.sqltype & ~1;
  if ((v.sqltype & 1) && v.sqlind && *v.sqlind < 0) return {};
  if (type == SQL_TEXT) return std::string_view(v.sqldata, static_cast<std::size_t>(std::max<ISC_SHORT>(v.sqllen, 0)));
  if (type == SQL_VARYING) {
    ISC_USHORT len;
    std::memcpy(&len, v.sqldata, 2);
    if (v.sqllen < 0 || len > static_cast<ISC_USHORT>(v.sqllen)) Malformed(FieldName());
    return std::string_view(v.sqldata + 2, len);
  }
  scratch = AsString();
  return scratch;
}

std::string TField::AsBytes() const {
  std::string scratch;
  const std::string_view bytes = BytesView(scratch);
  return bytes.data() == scratch.data() ? scratch : std::string(bytes);
}

std::string TField::AsString() const { return ColumnAsString(query_->CurrentRow(index_).da()->sqlvar[index_], FieldName()); }
std::int64_t TField::AsLargeInt() const {
  return ColumnAsLargeInt(query_->CurrentRow(index_).da()->sqlvar[index_], FieldName());
}
std::int64_t TField::AsCurrency() const {
  return ColumnAsCurrency(query_->CurrentRow(index_).da()->sqlvar[index_], FieldName());
}

std::int32_t TField::AsInteger() const {
  std::int64_t x = AsLargeInt();
  if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
    throw EDatabaseError("Field " + FieldName() + ": value " + std::to_string(x) + " does not fit a 32-bit integer");
  return static_cast<std::int32_t>(x);
}

std::int64_t ColumnAsCurrency(const XSQLVAR& var, const std::string& field) {
  Value v = ReadVar(var);
  switch (v.kind) {
    case Value::kNull:
      return 0;
    case Value::kScaled:
      return Rescale(v.scaled, v.scale, -4, field);
    case Value::kText: {
      // Exactly, or not at all: a number held as text (Firebird 4's INT128 and DECFLOAT among
      // them) goes out as it stands, and one with more decimals than the stock's four cannot go.
      Decimal d;
      if (!ParseDecimal(v.text, d)) throw EDatabaseError("Field " + field + ": '" + v.text + "' is not a valid number");
      std::int64_t x;
      switch (ToScaled(d, -4, false, x)) {
        case Fit::kExact:
          return x;
        case Fit::kInexact:
          throw EDatabaseError("Field " + field + ": " + v.text + " has more than four decimal places");
        case Fit::kOutOfRange:
          break;
      }
      throw EDatabaseError("Field " + field + ": " + v.text + " is out of range for four decimal places");
    }
    case Value::kDouble:
      if (!(std::fabs(v.d) < 9.2e14)) throw EDatabaseError("Field " + field + ": value out of range");
      return std::llround(v.d * 10000.0);
    case Value::kBool:
      return v.b ? 10000 : 0;
    case Value::kMalformed:
      Malformed(field);
    default:
      throw EDatabaseError("Field " + field + ": type " + std::to_string(v.type) + " cannot be read as a number");
  }
}

}  // namespace localdb
