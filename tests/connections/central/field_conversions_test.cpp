// The client's field conversions, one table per direction: every field type a central server
// may declare, the values the agent writes and reads, and the values a field cannot hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "connections/central/field_conversions.h"
#include "hex.h"

using namespace central;
using centraltest::Hex;
namespace pk = central::packet;

namespace {

pk::FieldDesc Field(const char* name, std::uint32_t type, std::uint32_t size, decltype(pk::FieldDesc::props) props = {},
                    std::uint32_t flags = 0) {
  return {name, pk::TypeWord(type, size, flags), 0, std::move(props)};
}
pk::FieldDesc Bcd(std::uint32_t type, int precision, int scale) {
  return Field("ESTOQUEATUAL", type, 10, {pk::IntAttribute("WIDTH", precision), pk::IntAttribute("DECIMALS", scale)});
}
pk::FieldDesc Text(std::uint32_t type, int width) {
  return Field("CODIGOPRODUTO", type, type == pk::dsUNICODE ? 2 : 1, {pk::IntAttribute("WIDTH", width)}, pk::kVarying);
}

std::string Raw(double d) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &d, 8);
  return s;
}
std::string Raw(float f) {
  std::string s(4, '\0');
  std::memcpy(s.data(), &f, 4);
  return s;
}

// 15/03/2024 10:20:30.456: 45366 days after 30/12/1899, 738960 counted from 01/01/0001 as day 1.
const TDateTime kStamp = 45366 + 37230456.0 / 86400000.0;
const std::string kSqlStamp = Hex("e8 07 03 00 0f 00 0a 00 14 00 1e 00 c8 01 00 00");
const std::string kMsStamp = Raw(738960.0 * 86400000.0 + 37230456.0);
const std::string kDate = Hex("90 46 0b 00");

using Write = std::function<pk::Cell(const pk::FieldDesc&)>;
Write Currency(std::int64_t scaled) {
  return [=](const pk::FieldDesc& f) { return fields::FromCurrency(f, scaled); };
}
Write String(std::string v) {
  return [=](const pk::FieldDesc& f) { return fields::FromString(f, v); };
}
Write Integer(std::int64_t v) {
  return [=](const pk::FieldDesc& f) { return fields::FromLargeInt(f, v); };
}
Write DateTime(TDateTime v) {
  return [=](const pk::FieldDesc& f) { return fields::FromDateTime(f, v); };
}

TEST(FieldConversions, Writing) {
  const struct {
    const char* what;
    pk::FieldDesc field;
    Write write;
    std::string raw;    // the cell's bytes, or
    const char* error;  // part of the EConvertError's message
  } cases[] = {
      {"SQL time stamp (17)", Field("RPL_ULTIMAATUALIZACAO", pk::dsDATETIME, 16), DateTime(kStamp), kSqlStamp, nullptr},
      {"date-time in ms", Field("RPL_ULTIMAATUALIZACAO", pk::dsTIMESTAMP, 8), DateTime(kStamp), kMsStamp, nullptr},
      {"date", Field("RPL_ULTIMAATUALIZACAO", pk::dsDATE, 4), DateTime(kStamp), kDate, nullptr},
      {"a date before the year 1", Field("RPL_ULTIMAATUALIZACAO", pk::dsDATETIME, 16), DateTime(-700000), "",
       "outside the years 1 to 9999"},
      {"BCD(9,2): the field's own width and decimals", Bcd(pk::dsBCD, 9, 2), Currency(125000),
       Hex("09 02 00 00 01 25 00") + std::string(11, '\0'), nullptr},
      {"BCD(18,6), negative", Bcd(pk::dsBCD, 18, 6), Currency(-15000),
       Hex("12 86 00 00 00 00 00 01 50 00 00") + std::string(7, '\0'), nullptr},
      {"FMTBcd(15,4)", Bcd(pk::dsFMTBCD, 15, 4), Currency(125000),
       Hex("0f 04 00 00 00 00 01 25 00 00 00 00 00 00 00 00 00 00"), nullptr},
      {"BCD declaring neither width nor decimals: (15,4)", Field("ESTOQUEATUAL", pk::dsBCD, 10), Currency(125000),
       Hex("0f 04 00 00 00 00 01 25 00 00 00 00 00 00 00 00 00 00"), nullptr},
      {"BCD(9,2) given 4 decimals", Bcd(pk::dsBCD, 9, 2), Currency(123456), "",
       "12.3456 does not fit field ESTOQUEATUAL (9 digits, 2 decimal places)"},
      {"BCD(4,2) given 3 integer digits", Bcd(pk::dsBCD, 4, 2), Currency(1234500), "",
       "does not fit field ESTOQUEATUAL"},
      {"BCD declaring 40 digits", Bcd(pk::dsBCD, 40, 2), Currency(1), "", "ESTOQUEATUAL declares an invalid precision"},
      {"currency as a double", Field("ESTOQUEATUAL", pk::dsFLOATIEEE, 8, {pk::TextAttribute("SUBTYPE", "Money")}),
       Currency(125000), Raw(12.5), nullptr},
      {"a double that cannot hold the value exactly", Field("ESTOQUEATUAL", pk::dsFLOATIEEE, 8), Currency(INT64_MAX), "",
       "cannot be held exactly by field ESTOQUEATUAL"},
      {"a single", Field("ESTOQUEATUAL", pk::dsSINGLE, 4), Currency(1000), Raw(0.1f), nullptr},
      {"a single that cannot hold the value exactly", Field("ESTOQUEATUAL", pk::dsSINGLE, 4), Currency(123456789),
       "", "cannot be held exactly"},
      {"text in the ANSI code page", Text(pk::dsZSTRING, 20), String("S\xC3\xA3o \xE2\x82\xAC"), Hex("53 e3 6f 20 80"),
       nullptr},
      {"text the code page cannot hold: never '?'", Text(pk::dsZSTRING, 20), String("\xE6\x97\xA5"), "",
       "CODIGOPRODUTO: the text \"\xE6\x97\xA5\" holds characters that the field's code page cannot represent"},
      {"text longer than the width", Text(pk::dsZSTRING, 3), String("ABCD"), "", "Value too long for field CODIGOPRODUTO"},
      {"text into a field of fixed size: padded", Field("CODIGOPRODUTO", pk::dsZSTRING, 6), String("P01"),
       Hex("'P01' 00 00 00"), nullptr},
      {"text longer than a field of fixed size", Field("CODIGOPRODUTO", pk::dsZSTRING, 2), String("P01"), "",
       "Value too long for field CODIGOPRODUTO (2 bytes)"},
      {"a float declaring 5 bytes", Field("ESTOQUEATUAL", pk::dsFLOATIEEE, 5), Currency(125000), "",
       "Field ESTOQUEATUAL declares 5 bytes, which a value of the type FLOATIEEE (4) cannot have"},
      {"UTF-16 text holds anything", Text(pk::dsUNICODE, 20), String("\xE6\x97\xA5"), Hex("e5 65"), nullptr},
      {"an integer out of a 16-bit field", Field("CODIGOLOJA", pk::dsINT, 2), Integer(40000), "",
       "40000 is out of range for field CODIGOLOJA"},
      {"text into a 64-bit integer", Field("SEQUENCIALLOJAORIGEM", pk::dsINT, 8), String("10"),
       Hex("0a 00 00 00 00 00 00 00"), nullptr},
      {"a type this client does not know", Field("DATAHORA", pk::dsDATETIMEOFFSET, 20), DateTime(kStamp), "",
       "Field DATAHORA has the type DATETIMEOFFSET (36)"},
      {"a type number no one knows", Field("ESTOQUEATUAL", 40, 8), Currency(1), "",
       "Field ESTOQUEATUAL has the type unknown (40)"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    try {
      pk::Cell c = k.write(k.field);
      EXPECT_EQ(k.error, nullptr) << "no error";
      EXPECT_EQ(c.state, pk::CellState::kValue);
      EXPECT_EQ(c.raw.str(), k.raw);
    } catch (const EConvertError& e) {
      ASSERT_NE(k.error, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(k.error), std::string::npos) << e.what();
    }
  }
}

TEST(FieldConversions, Reading) {
  using Read = std::function<std::string(const pk::FieldDesc&, const pk::Cell&)>;
  const Read text = [](const pk::FieldDesc& f, const pk::Cell& c) { return fields::AsString(f, c); };
  const Read currency = [](const pk::FieldDesc& f, const pk::Cell& c) {
    return std::to_string(fields::AsCurrency(f, c));
  };
  const Read integer = [](const pk::FieldDesc& f, const pk::Cell& c) {
    return std::to_string(fields::AsLargeInt(f, c));
  };
  const struct {
    const char* what;
    pk::FieldDesc field;
    std::string raw;
    Read read;
    const char* result;  // the value read, or
    const char* error;   // part of the EConvertError's message
  } cases[] = {
      {"SQL time stamp", Field("DATAHORA", pk::dsDATETIME, 16), kSqlStamp, text, "15/03/2024 10:20:30", nullptr},
      {"an all-zero SQL time stamp: the zero date", Field("DATAHORA", pk::dsDATETIME, 16), std::string(16, '\0'), text,
       "30/12/1899 00:00:00", nullptr},
      {"a SQL time stamp in month 13", Field("DATAHORA", pk::dsDATETIME, 16),
       Hex("e8 07 0d 00 0f 00 0a 00 14 00 1e 00 00 00 00 00"), text, nullptr, "DATAHORA holds an invalid SQL time stamp"},
      {"date-time in ms", Field("DATAHORA", pk::dsTIMESTAMP, 8), kMsStamp, text, "15/03/2024 10:20:30", nullptr},
      {"date-time that is not a number", Field("DATAHORA", pk::dsTIMESTAMP, 8), Raw(std::nan("")), text, nullptr,
       "DATAHORA holds an invalid date and time"},
      {"date", Field("DATAHORA", pk::dsDATE, 4), kDate, text, "15/03/2024 00:00:00", nullptr},
      {"BCD(9,2)", Bcd(pk::dsBCD, 9, 2), Hex("09 02 00 00 01 25 00") + std::string(11, '\0'), currency, "125000",
       nullptr},
      {"an unsigned 64-bit integer beyond the signed range", Field("N", pk::dsUINT, 8), Hex("00 00 00 00 00 00 00 80"),
       integer, nullptr, "out of the range of a 64-bit integer"},
      {"a type this client does not know", Field("DATAHORA", pk::dsDATETIMEOFFSET, 20), std::string(20, '\0'), text,
       nullptr, "Field DATAHORA has the type DATETIMEOFFSET (36), which cannot be read as text"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    try {
      std::string got = k.read(k.field, pk::Cell::Value(k.raw));
      ASSERT_NE(k.result, nullptr) << "no error, read " << got;
      EXPECT_EQ(got, k.result);
    } catch (const EConvertError& e) {
      ASSERT_NE(k.error, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(k.error), std::string::npos) << e.what();
    }
  }
}

TEST(FieldConversions, TheBranchStampCopiesDataHoraExactlyWhateverItsType) {
  // RPL_ULTIMAATUALIZACAO gets DATAHORA's value: read as a date and time, written back.
  const struct {
    pk::FieldDesc field;
    std::string raw;
  } cases[] = {{Field("DATAHORA", pk::dsDATETIME, 16), kSqlStamp},
               {Field("DATAHORA", pk::dsTIMESTAMP, 8), kMsStamp},
               {Field("DATAHORA", pk::dsDATE, 4), kDate}};
  for (const auto& k : cases) {
    TDateTime t = fields::AsDateTime(k.field, pk::Cell::Value(k.raw));
    EXPECT_EQ(fields::FromDateTime(k.field, t).raw.str(), k.raw) << pk::TypeName(k.field.Type());
  }
}

}  // namespace
