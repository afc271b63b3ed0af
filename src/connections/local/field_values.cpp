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

// A decimal text ("  -12.5 ") as an integer and a negative decimal exponent.
bool ParseDecimal(std::string s, std::int64_t& v, int& scale) {
  auto b = s.find_first_not_of(' ');
  auto e = s.find_last_not_of(' ');
  if (b == std::string::npos) return false;
  s = s.substr(b, e - b + 1);
  std::size_t i = 0;
  bool neg = false;
  if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
  v = 0;
  scale = 0;
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v)) return false;
    digits = true;
    if (point) --scale;
  }
  if (!digits) return false;
  if (neg) v = -v;
  return true;
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
      std::int64_t x;
      int scale;
      if (!ParseDecimal(v.text, x, scale))
        throw EDatabaseError("Field " + field + ": '" + v.text + "' is not a valid integer");
      return Rescale(x, scale, 0, field);
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
      std::int64_t x;
      int scale;
      if (!ParseDecimal(v.text, x, scale))
        throw EDatabaseError("Field " + field + ": '" + v.text + "' is not a valid number");
      return Rescale(x, scale, -4, field);
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
