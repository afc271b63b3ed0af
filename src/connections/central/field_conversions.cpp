#include "connections/central/field_conversions.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/text.h"
#include "platform/os.h"

namespace central::fields {

using packet::Cell;
using packet::CellState;
using packet::FieldDesc;

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Day numbers as a TTimeStamp counts them (01/01/0001 is day 1) of the first and last day a
// date may take.
constexpr std::int64_t kFirstDay = 1;
constexpr std::int64_t kLastDay = 3652059;  // 31/12/9999
// 01/01/1970 in the same count.
constexpr std::int64_t kUnixDay = 719163;

[[noreturn]] void Unsupported(const FieldDesc& f, const char* what) {
  throw EConvertError("Field " + f.name + " has the type " + packet::TypeName(f.Type()) + ", which cannot be " + what);
}

bool IsBcd(const FieldDesc& f) { return f.Type() == packet::dsBCD || f.Type() == packet::dsFMTBCD; }
bool IsFloat(const FieldDesc& f) { return f.Type() == packet::dsFLOATIEEE || f.Type() == packet::dsSINGLE; }
bool IsText(const FieldDesc& f) { return f.Type() == packet::dsZSTRING || f.Type() == packet::dsUNICODE; }
bool IsIntField(const FieldDesc& f) { return f.Type() == packet::dsINT || f.Type() == packet::dsUINT; }

std::size_t IntSize(const FieldDesc& f) {
  std::size_t size = packet::SizeOf(f.type_word);
  if (size != 1 && size != 2 && size != 4 && size != 8)
    throw EConvertError("Field " + f.name + " is an integer of " + std::to_string(size) + " bytes, which is not valid");
  return size;
}

std::int64_t IntValue(const FieldDesc& f, std::string_view raw) {
  if (f.Type() == packet::dsUINT && raw.size() == 8 && (static_cast<unsigned char>(raw[7]) & 0x80))
    throw EConvertError("The value of field " + f.name + " is out of the range of a 64-bit integer");
  return packet::IntOf(raw, f.Type() == packet::dsINT);
}

double FloatValue(const FieldDesc& f, std::string_view raw) {
  if (raw.size() == 8) {
    double d;
    std::memcpy(&d, raw.data(), 8);
    return d;
  }
  if (raw.size() == 4) {
    float v;
    std::memcpy(&v, raw.data(), 4);
    return v;
  }
  throw EConvertError("Field " + f.name + " is a float of " + std::to_string(raw.size()) + " bytes, which is not valid");
}

std::string FloatRaw(const FieldDesc& f, double d) {
  std::string s(packet::SizeOf(f.type_word) == 4 ? 4 : 8, '\0');
  if (s.size() == 4) {
    float v = static_cast<float>(d);
    std::memcpy(s.data(), &v, 4);
  } else {
    std::memcpy(s.data(), &d, 8);
  }
  return s;
}

std::optional<std::int64_t> ParseInt64(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
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

// ---- calendar ----------------------------------------------------------------------------------

struct Civil {
  std::int64_t y, m, d;
};

// Days since 01/01/1970 <-> the civil date (H. Hinnant's algorithms).
Civil CivilFromDays(std::int64_t days) {
  std::int64_t z = days + 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {m <= 2 ? y + 1 : y, m, d};
}

std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  std::int64_t yoe = y - era * 400;
  std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(std::int64_t y, std::int64_t m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// A TDateTime as milliseconds counted the way the packets' TIMESTAMP counts them (day 1 is
// 01/01/0001), rounded to the millisecond; EConvertError outside the years 1 to 9999.
std::int64_t PacketMs(const FieldDesc& f, TDateTime t) {
  double ms = std::round((t + static_cast<double>(packet::kDateDelta)) * packet::kMsPerDay);
  if (!(ms >= static_cast<double>(kFirstDay * kMsPerDay) && ms < static_cast<double>((kLastDay + 1) * kMsPerDay)))
    throw EConvertError("The date and time for field " + f.name + " is outside the years 1 to 9999");
  return static_cast<std::int64_t>(ms);
}

TDateTime FromPacketMs(std::int64_t ms) {
  return static_cast<double>(ms) / packet::kMsPerDay - static_cast<double>(packet::kDateDelta);
}

std::string FormatPacketMs(std::int64_t ms) {
  std::int64_t day = ms / kMsPerDay, tod = ms % kMsPerDay;
  Civil c = CivilFromDays(day - kUnixDay);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", int(c.d), int(c.m), int(c.y), int(tod / 3600000),
                int(tod / 60000 % 60), int(tod / 1000 % 60));
  return buf;
}

SqlTimeStamp ReadSqlTimeStamp(const FieldDesc& f, std::string_view raw) {
  if (raw.size() < 16) throw EConvertError("Field " + f.name + " holds a malformed SQL time stamp");
  auto u16 = [&](int at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(raw[at]) | (static_cast<unsigned char>(raw[at + 1]) << 8));
  };
  SqlTimeStamp t;
  t.year = static_cast<std::int16_t>(u16(0));
  t.month = u16(2);
  t.day = u16(4);
  t.hour = u16(6);
  t.minute = u16(8);
  t.second = u16(10);
  t.fractions = static_cast<std::uint32_t>(packet::IntOf(raw.substr(12, 4), false));
  return t;
}

// The milliseconds of a SQL time stamp; an all-zero stamp is the zero date, as the platform
// reads it.
std::int64_t SqlTimeStampMs(const FieldDesc& f, const SqlTimeStamp& t) {
  if (t.year == 0 && t.month == 0 && t.day == 0 && t.hour == 0 && t.minute == 0 && t.second == 0 && t.fractions == 0)
    return packet::kDateDelta * kMsPerDay;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
      t.minute > 59 || t.second > 59 || t.fractions > 999)
    throw EConvertError("Field " + f.name + " holds an invalid SQL time stamp");
  std::int64_t day = DaysFromCivil(t.year, t.month, t.day) + kUnixDay;
  return day * kMsPerDay + ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.fractions;
}

std::int64_t CheckedMs(const FieldDesc& f, std::int64_t ms) {
  if (ms < kFirstDay * kMsPerDay || ms >= (kLastDay + 1) * kMsPerDay)
    throw EConvertError("Field " + f.name + " holds a date outside the years 1 to 9999");
  return ms;
}

// The time stamp of a cell of a date or time field, in milliseconds.
std::int64_t CellMs(const FieldDesc& f, std::string_view raw) {
  if ((f.Type() == packet::dsDATE || f.Type() == packet::dsTIME) && raw.size() != 4)
    throw EConvertError("Field " + f.name + " is a date or time of " + std::to_string(raw.size()) + " bytes, which is not valid");
  return CheckedMs(f, [&]() -> std::int64_t {
  switch (f.Type()) {
    case packet::dsDATE:
      return packet::IntOf(raw, true) * kMsPerDay;
    case packet::dsTIME: {
      std::int64_t tod = packet::IntOf(raw, true);
      if (tod < 0 || tod >= kMsPerDay) throw EConvertError("Field " + f.name + " holds an invalid time of day");
      return packet::kDateDelta * kMsPerDay + tod;
    }
    case packet::dsTIMESTAMP: {
      double d = FloatValue(f, raw);
      if (!std::isfinite(d) || std::fabs(d) > 1e15)
        throw EConvertError("Field " + f.name + " holds an invalid date and time");
      return std::llround(d);
    }
    case packet::dsDATETIME:
      return SqlTimeStampMs(f, ReadSqlTimeStamp(f, raw));
    default:
      Unsupported(f, "read as a date and time");
  }
  }());
}

bool IsDateField(const FieldDesc& f) {
  return f.Type() == packet::dsDATE || f.Type() == packet::dsTIME || f.Type() == packet::dsTIMESTAMP ||
         f.Type() == packet::dsDATETIME;
}

std::string FormatDouble(double d) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, p);
}

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

void CheckWidth(const FieldDesc& f, std::size_t length) {
  auto width = f.IntProp("WIDTH");
  if (width && *width > 0 && static_cast<std::int64_t>(length) > *width)
    throw EConvertError("Value too long for field " + f.name + " (" + std::to_string(*width) + " characters)");
}

// A BCD field's precision and scale: WIDTH and DECIMALS; a field that declares neither is
// BCD(15,4), the layout of stock quantities.
std::pair<int, int> BcdLayout(const FieldDesc& f) {
  auto width = f.IntProp("WIDTH");
  auto decimals = f.IntProp("DECIMALS");
  if (!width && !decimals) return {15, 4};
  std::int64_t p = width.value_or(32), s = decimals.value_or(0);
  if (p < 1 || p > 32 || s < 0 || s > p)
    throw EConvertError("Field " + f.name + " declares an invalid precision " + std::to_string(p) + " and scale " +
                        std::to_string(s));
  return {static_cast<int>(p), static_cast<int>(s)};
}

}  // namespace

std::string SqlTimeStampRaw(const SqlTimeStamp& t) {
  std::string s;
  for (std::uint16_t v : {static_cast<std::uint16_t>(t.year), t.month, t.day, t.hour, t.minute, t.second})
    s += packet::IntRaw(v, 2);
  s += packet::IntRaw(t.fractions, 4);
  return s;
}

// ---- reading -----------------------------------------------------------------------------------

std::string AsString(const FieldDesc& f, const Cell& c) {
  if (c.state != CellState::kValue) return "";
  switch (f.Type()) {
    case packet::dsZSTRING: {
      std::string_view s = c.raw.view();
      s = s.substr(0, s.find('\0'));
      return IsAscii(s) ? std::string(s) : os::AnsiToUtf8(s);
    }
    case packet::dsUNICODE:
      return packet::WideText(c.raw);
    case packet::dsINT:
      return std::to_string(IntValue(f, c.raw));
    case packet::dsUINT:
      return std::to_string(static_cast<std::uint64_t>(packet::IntOf(c.raw, false)));
    case packet::dsBOOL:
      return packet::IntOf(c.raw, false) ? "True" : "False";
    case packet::dsFLOATIEEE:
    case packet::dsSINGLE:
      return FormatDouble(FloatValue(f, c.raw));
    case packet::dsBCD:
    case packet::dsFMTBCD:
      return packet::BcdToString(c.raw);
    default:
      if (IsDateField(f)) return FormatPacketMs(CellMs(f, c.raw));
      Unsupported(f, "read as text");
  }
}

std::int64_t AsLargeInt(const FieldDesc& f, const Cell& c) {
  if (c.state != CellState::kValue) return 0;
  if (IsIntField(f)) return IntValue(f, c.raw);
  if (f.Type() == packet::dsBOOL) return packet::IntOf(c.raw, false) ? 1 : 0;
  if (IsText(f)) {
    std::string s = AsString(f, c);
    auto v = ParseInt64(s);
    if (!v) throw EConvertError("'" + s + "' is not a valid integer value for field " + f.name);
    return *v;
  }
  if (IsBcd(f)) {
    std::int64_t s = packet::BcdToCurrency(c.raw);
    if (s % 10000) throw EConvertError("Field " + f.name + " holds no integer value");
    return s / 10000;
  }
  Unsupported(f, "read as an integer");
}

std::int64_t AsCurrency(const FieldDesc& f, const Cell& c) {
  if (c.state != CellState::kValue) return 0;
  if (IsBcd(f)) return packet::BcdToCurrency(c.raw);
  if (IsFloat(f)) {
    double d = FloatValue(f, c.raw) * 10000.0;
    if (!(std::fabs(d) < 9.2e18)) throw EConvertError("The value of field " + f.name + " is out of the currency range");
    return std::llround(d);
  }
  if (IsText(f)) {
    std::string s = AsString(f, c);
    auto v = ParseCurrency(s);
    if (!v) throw EConvertError("'" + s + "' is not a valid currency value for field " + f.name);
    return *v;
  }
  std::int64_t v = AsLargeInt(f, c);
  if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000)
    throw EConvertError("The value of field " + f.name + " is out of the currency range");
  return v * 10000;
}

TDateTime AsDateTime(const FieldDesc& f, const Cell& c) {
  if (c.state != CellState::kValue) return 0;
  return FromPacketMs(CellMs(f, c.raw));
}

// ---- writing -----------------------------------------------------------------------------------

namespace {

Cell StringCell(const FieldDesc& f, const std::string& v);
Cell CurrencyCell(const FieldDesc& f, std::int64_t scaled);
Cell IntegerCell(const FieldDesc& f, std::int64_t v);


Cell StringCell(const FieldDesc& f, const std::string& v) {
  switch (f.Type()) {
    case packet::dsZSTRING: {
      // The text goes in the ANSI code page; a character it lacks would arrive as '?', another
      // text than the one sent (a product code "A?O" names another product).
      std::string a = IsAscii(v) ? v : os::Utf8ToAnsi(v);
      if (a.find('\0') != std::string::npos || (!IsAscii(v) && os::AnsiToUtf8(a) != v))
        throw EConvertError("Field " + f.name + ": the text \"" + text::SanitizeUtf8(v) +
                            "\" holds characters that the field's code page cannot represent");
      CheckWidth(f, a.size());
      return Cell::Value(a);
    }
    case packet::dsUNICODE: {
      std::string raw = packet::WideRaw(v);
      CheckWidth(f, raw.size() / 2);
      return Cell::Value(raw);
    }
    case packet::dsBCD:
    case packet::dsFMTBCD:
    case packet::dsFLOATIEEE:
    case packet::dsSINGLE: {
      auto c = ParseCurrency(v);
      if (!c) throw EConvertError("'" + v + "' is not a valid number for field " + f.name);
      return CurrencyCell(f, *c);
    }
    default: {
      if (IsIntField(f)) {
        auto i = ParseInt64(v);
        if (!i) throw EConvertError("'" + v + "' is not a valid integer value for field " + f.name);
        return IntegerCell(f, *i);
      }
      Unsupported(f, "written as text");
    }
  }
}

Cell IntegerCell(const FieldDesc& f, std::int64_t v) {
  if (IsIntField(f)) {
    std::size_t size = IntSize(f);
    const bool is_unsigned = f.Type() == packet::dsUINT;
    if (size < 8) {
      std::int64_t lo = is_unsigned ? 0 : -(std::int64_t(1) << (8 * size - 1));
      std::int64_t hi = is_unsigned ? (std::int64_t(1) << (8 * size)) - 1 : (std::int64_t(1) << (8 * size - 1)) - 1;
      if (v < lo || v > hi) throw EConvertError(std::to_string(v) + " is out of range for field " + f.name);
    } else if (is_unsigned && v < 0) {
      throw EConvertError(std::to_string(v) + " is out of range for field " + f.name);
    }
    return Cell::Value(packet::IntRaw(v, size));
  }
  if (IsText(f)) return StringCell(f, std::to_string(v));
  if (IsBcd(f) || IsFloat(f)) {
    if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000)
      throw EConvertError(std::to_string(v) + " is out of range for field " + f.name);
    return CurrencyCell(f, v * 10000);
  }
  Unsupported(f, "written as an integer");
}

Cell CurrencyCell(const FieldDesc& f, std::int64_t scaled) {
  if (IsBcd(f)) {
    auto [precision, places] = BcdLayout(f);
    try {
      return Cell::Value(packet::ScaledToBcd(scaled, precision, places));
    } catch (const std::out_of_range& e) {
      throw EConvertError(packet::CurrencyToString(scaled) + " does not fit field " + f.name + " (" +
                          std::to_string(precision) + " digits, " + std::to_string(places) + " decimal places): " +
                          e.what());
    }
  }
  if (IsFloat(f)) {
    // A float holds most values only approximately: the value must read back exactly as sent.
    std::string raw = FloatRaw(f, static_cast<double>(scaled) / 10000.0);
    double back = FloatValue(f, raw) * 10000.0;
    if (!(std::fabs(back) < 9.2e18) || std::llround(back) != scaled)
      throw EConvertError(packet::CurrencyToString(scaled) + " cannot be held exactly by field " + f.name + " (" +
                          packet::TypeName(f.Type()) + " of " + std::to_string(raw.size()) + " bytes)");
    return Cell::Value(raw);
  }
  if (IsText(f)) return StringCell(f, packet::CurrencyToString(scaled));
  if (IsIntField(f)) {
    if (scaled % 10000)
      throw EConvertError(packet::CurrencyToString(scaled) + " is not an integer value for field " + f.name);
    return IntegerCell(f, scaled / 10000);
  }
  Unsupported(f, "written as a number");
}

Cell DateTimeCell(const FieldDesc& f, TDateTime v) {
  if (!IsDateField(f)) Unsupported(f, "written as a date and time");
  std::int64_t ms = PacketMs(f, v);
  switch (f.Type()) {
    case packet::dsTIMESTAMP: {
      double d = static_cast<double>(ms);
      std::string raw(8, '\0');
      std::memcpy(raw.data(), &d, 8);
      return Cell::Value(raw);
    }
    case packet::dsDATE:
      return Cell::Value(packet::IntRaw(ms / kMsPerDay, 4));
    case packet::dsTIME:
      return Cell::Value(packet::IntRaw(ms % kMsPerDay, 4));
    default: {  // dsDATETIME
      std::int64_t day = ms / kMsPerDay, tod = ms % kMsPerDay;
      Civil c = CivilFromDays(day - kUnixDay);
      SqlTimeStamp t;
      t.year = static_cast<std::int16_t>(c.y);
      t.month = static_cast<std::uint16_t>(c.m);
      t.day = static_cast<std::uint16_t>(c.d);
      t.hour = static_cast<std::uint16_t>(tod / 3600000);
      t.minute = static_cast<std::uint16_t>(tod / 60000 % 60);
      t.second = static_cast<std::uint16_t>(tod / 1000 % 60);
      t.fractions = static_cast<std::uint32_t>(tod % 1000);
      return Cell::Value(SqlTimeStampRaw(t));
    }
  }
}

// A value as its field stores it: a field of fixed size holds exactly that many bytes, text
// shorter than that padded with NULs as the platform stores it.
Cell Fit(const FieldDesc& f, Cell c) {
  if (f.Varying() || c.state != CellState::kValue) return c;
  const std::size_t size = packet::StoredSize(f);
  if (c.raw.size() == size) return c;
  if (IsText(f)) {
    if (c.raw.size() > size)
      throw EConvertError("Value too long for field " + f.name + " (" + std::to_string(size) + " bytes)");
    std::string padded = c.raw.str();
    padded.resize(size, '\0');
    return Cell::Value(padded);
  }
  throw EConvertError("Field " + f.name + " declares " + std::to_string(size) + " bytes, which a value of the type " +
                      packet::TypeName(f.Type()) + " cannot have");
}

}  // namespace

Cell FromString(const FieldDesc& f, const std::string& v) { return Fit(f, StringCell(f, v)); }
Cell FromLargeInt(const FieldDesc& f, std::int64_t v) { return Fit(f, IntegerCell(f, v)); }
Cell FromCurrency(const FieldDesc& f, std::int64_t scaled) { return Fit(f, CurrencyCell(f, scaled)); }
Cell FromDateTime(const FieldDesc& f, TDateTime v) { return Fit(f, DateTimeCell(f, v)); }

}  // namespace central::fields
