// Byte-exact encodings of the DataSnap wire and of data packets, and how the readers treat
// malformed or hostile input.
#include <gtest/gtest.h>

#include <string>

#include "connections/central/data_packet.h"
#include "connections/central/dbx_connection.h"
#include "connections/central/dbx_value.h"
#include "connections/central/json_stream.h"
#include "connections/central/ole_variant.h"

using namespace central;
namespace pk = central::packet;

namespace {

// "61 01 f4" -> bytes; quoted text inserts its ASCII bytes: "04 'NAME'".
std::string Hex(std::string_view spec) {
  std::string out;
  for (std::size_t i = 0; i < spec.size();) {
    char c = spec[i];
    if (c == ' ') {
      ++i;
    } else if (c == '\'') {
      std::size_t end = spec.find('\'', i + 1);
      out.append(spec.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      out += static_cast<char>(std::stoi(std::string(spec.substr(i, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::string Int(std::int64_t v) {
  std::string s;
  dbx::AppendInt(s, v);
  return s;
}
std::string Str(std::string_view v) {
  std::string s;
  dbx::AppendString(s, v);
  return s;
}
std::string Dbl(double v) {
  std::string s;
  dbx::AppendDouble(s, v);
  return s;
}

}  // namespace

// ---- DBX values ----------------------------------------------------------------------------

TEST(DbxValue, IntegersBooleansAndDoubles) {
  const struct {
    std::int64_t v;
    const char* bytes;
  } ints[] = {{0, "60"},         {1, "61 01"},          {500, "62 01 f4"},
              {-1, "21 01"},     {-2147483648LL, "24 80 00 00 00"}, {INT64_MAX, "68 7f ff ff ff ff ff ff ff"},
              {INT64_MIN, "28 80 00 00 00 00 00 00 00"}};
  for (const auto& c : ints) {
    const std::string bytes = Hex(c.bytes);
    EXPECT_EQ(Int(c.v), bytes) << c.v;
    dbx::ValueReader r(bytes);
    EXPECT_EQ(r.ReadInt(), c.v);
    EXPECT_TRUE(r.AtEnd());
  }
  std::string b;
  dbx::AppendBool(b, true);
  dbx::AppendBool(b, false);
  EXPECT_EQ(b, Hex("60 20"));
  EXPECT_EQ(Dbl(0.0), Hex("60"));
  EXPECT_EQ(Dbl(1.0), Hex("62 3f f0"));
  EXPECT_EQ(Dbl(-2.0), Hex("21 c0"));
  const std::string negative = Dbl(-1234.5625);
  dbx::ValueReader r(negative);
  EXPECT_EQ(r.ReadDouble(), -1234.5625);
}

TEST(DbxValue, StringsSwitchToUtf16AtTheFirstCharacterAboveFE) {
  const struct {
    const char* utf8;
    const char* bytes;
  } cases[] = {
      {"", "20"},
      {"dspItems", "28 'dspItems'"},
      {"a\xC3\xA7\xC3\xA3o", "24 61 e7 e3 6f"},          // "ação": Latin-1 bytes
      {"\xC3\xBE", "21 fe"},                               // U+00FE still Latin-1
      {"\xC3\xBF", "23 ff 00 ff"},                         // U+00FF switches
      {"a\xE2\x82\xAC" "b", "26 61 ff 20 ac 00 62"},       // "a€b": the rest goes UTF-16BE
  };
  for (const auto& c : cases) {
    const std::string bytes = Hex(c.bytes);
    EXPECT_EQ(Str(c.utf8), bytes) << c.utf8;
    dbx::ValueReader r(bytes);
    EXPECT_EQ(r.ReadString(), c.utf8);
  }
  std::string long_text(40, 'x');
  EXPECT_EQ(Str(long_text), Hex("10 00 28") + long_text);
  std::string huge(70000, 'y');  // more than one segment: 50 FF FF ... then 10 ...
  std::string enc = Str(huge);
  EXPECT_EQ(enc.substr(0, 3), Hex("50 ff ff"));
  dbx::ValueReader r(enc);
  EXPECT_EQ(r.ReadString(), huge);
}

TEST(DbxValue, WorkedExampleOpenRow) {
  std::vector<DbxParameter> params = {{26, 1, "ProviderName"}, {6, 1, "Count"},      {6, 2, "RecsOut"},
                                      {6, 1, "Options"},       {26, 1, "CommandText"}, {33, 3, "ParamReader"},
                                      {33, 3, "OwnerDataStream"}, {35, 4, "ReturnParameter"}};
  std::vector<DbxValue> in = {DbxValue::String("dspItems"), DbxValue::Int(500), DbxValue::Int(99), DbxValue::Int(1),
                              DbxValue::String(""), DbxValue::Null(),
                              DbxValue::Bytes(ole::ToStream(ole::Variant::Empty())), DbxValue::Int(7)};
  std::string row = EncodeInputRow(params, in, nullptr);
  // Out and Return parameters go as null whatever the caller put there.
  EXPECT_EQ(row, Hex("28 'dspItems' 62 01 f4 c0 61 01 20 c0 10 00 05 02 00 00 00 00 c0"));
  EXPECT_EQ(row.size(), 26u);
}

TEST(DbxValue, LargeStreamGoesInPartsWithTheMoreHeader) {
  std::vector<DbxParameter> params = {{26, 1, "P"}, {35, 1, "Delta"}};
  std::string big(kRowRoom + 5000, 'z');
  std::map<int, std::string> rests;
  std::string row = EncodeInputRow(params, {DbxValue::String("P"), DbxValue::Bytes(big)}, &rests);
  dbx::ValueReader r(row);
  r.ReadString();
  auto first = r.ReadBytes();
  EXPECT_TRUE(first.more);
  EXPECT_EQ(first.data + rests.at(1), big);
  EXPECT_LE(row.size(), kRowRoom + 8);
}

// ---- variant streams and packed parameters --------------------------------------------------

TEST(OleVariant, StreamsOfUnassignedNullAndPackets) {
  EXPECT_EQ(ole::ToStream(ole::Variant::Empty()), Hex("02 00 00 00 00"));
  EXPECT_EQ(ole::ToStream(ole::Variant::Null()), Hex("02 01 00 00 00"));
  EXPECT_EQ(ole::ToStream(ole::Variant::Bytes("AB")), Hex("03 02 00 00 00 00 00 00 00 'AB'"));
  EXPECT_TRUE(ole::FromStream(Hex("03 00 00 00 00 00 00 00 00")).IsNull());  // empty packet reads as Null
  EXPECT_TRUE(ole::FromStream(Hex("01")).IsEmpty());
  EXPECT_EQ(ole::FromStream(Hex("03 02 00 00 00 00 00 00 00 'AB'")).str, "AB");
  ole::Variant cur = ole::FromStream(Hex("02 06 00 00 00 d0 e3 01 00 00 00 00 00"));
  EXPECT_EQ(cur.vtype, ole::varCurrency);
  EXPECT_EQ(cur.integer, 123856);
}

TEST(OleVariant, PackedIntegerParameter) {
  ole::Variant packed = ole::PackParams({{"CODIGO", ole::Variant::Integer(7), ole::ftInteger, ole::ptInput, 0, 0, 0}});
  std::string expected = Hex(
      "02 0c 20 00 00 01 00 00 00 00 00 00 00 00 00 00 00"    // array of variant [0..0]
      " 0c 20 00 00 01 00 00 00 00 00 00 00 06 00 00 00"      // the parameter, [0..6]
      " 08 00 00 00 06 00 00 00 43 00 4f 00 44 00 49 00 47 00 4f 00"  // Name "CODIGO"
      " 03 00 00 00 07 00 00 00"                               // Value, varInteger
      " 03 00 00 00 03 00 00 00"                               // ftInteger
      " 03 00 00 00 01 00 00 00"                               // ptInput
      " 03 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00");
  EXPECT_EQ(ole::ToStream(packed), expected);
  auto back = ole::UnpackParams(ole::FromStream(expected));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].name, "CODIGO");
  EXPECT_EQ(back[0].value.vtype, ole::varInteger);
  EXPECT_EQ(back[0].value.integer, 7);
  EXPECT_TRUE(ole::PackParams({}).IsNull());
}

// ---- the message stream ---------------------------------------------------------------------

TEST(JsonStream, BinaryBlocksAreCountedNotScanned) {
  // The block holds braces, quotes and a NUL; N is padded with blanks as the server writes it.
  std::string raw = std::string("{\"]\0\"}", 6);
  JValue v = ParseMessage("{\"result\":[{\"data\":[6        ," + raw + "]}]}");
  const JValue* d = v.Find("result")->At(0).Find("data");
  ASSERT_TRUE(d && d->Is(JValue::Kind::kBlob));
  EXPECT_EQ(d->text, raw);
  EXPECT_EQ(d->blob_count, 6);
  JValue last = ParseMessage("{\"data\":[-3,abc]}");
  EXPECT_EQ(last.Find("data")->blob_count, -3);
  EXPECT_EQ(last.Find("data")->text, "abc");

  std::string padded;
  AppendDataObject(padded, "xyz", /*last=*/true, /*pad=*/true);
  EXPECT_EQ(padded, "{\"data\":[-3       ,xyz]}");
}

TEST(JsonStream, StringsAreLatin1WithEscapes) {
  std::string out;
  AppendJsonString(out, "S\xC3\xA3o \"x\"\n\xE2\x82\xAC");  // São "x" \n €
  EXPECT_EQ(out, "\"S\xE3o \\\"x\\\"\\u000a\\u20ac\"");
  JValue v = ParseMessage("{\"m\":" + out + "}");
  EXPECT_EQ(v.Find("m")->text, "S\xC3\xA3o \"x\"\n\xE2\x82\xAC");
}

TEST(JsonStream, ErrorObjectWithOrWithoutItsOuterBrace) {
  const std::string one = "{\"error\":{\"name\":\"Exception\",\"code\":5,\"message\":\"Remote error: boom\"}";
  for (const std::string& stream : {one + one, one + "}" + one + "}"}) {
    MemorySource src(stream);
    StreamReader in(src);
    for (int i = 0; i < 2; ++i) {
      JValue v = ReadMessage(in);
      EXPECT_EQ(v.Find("error")->Find("message")->text, "Remote error: boom");
    }
  }
}

// ---- data packets ---------------------------------------------------------------------------

namespace {

pk::DataPacket TwoFieldPacket() {
  pk::DataPacket p;
  p.properties = pk::kMetadataIncluded | pk::kContainsMetaLength;
  p.fields = {{"ID", pk::TypeWord(pk::dsINT, 4), 0, {}},
              {"NAME", pk::TypeWord(pk::dsZSTRING, 1, pk::kVarying), 0, {pk::IntAttribute("WIDTH", 20)}}};
  p.rows = {{pk::kUnmodified, {pk::Cell::Value(Hex("01 00 00 00")), pk::Cell::Value("A")}}};
  return p;
}

const char* kTwoFieldBytes =
    "96 19 e0 bd 01 00 00 00 18 00 00 00 02 00 01 00 00 00 03 00 00 00 40 00"
    " 02 'ID' 04 00 01 00 00 00 00 00"
    " 04 'NAME' 01 00 49 00 00 00 01 00 05 'WIDTH' 04 00 01 00 14 00 00 00"
    " 00 00"
    " 00 00 01 00 00 00 01 'A'";

}  // namespace

TEST(DataPacket, HeaderFieldsAndOneRow) {
  EXPECT_EQ(pk::Write(TwoFieldPacket()), Hex(kTwoFieldBytes));
  pk::DataPacket p = pk::Read(Hex(kTwoFieldBytes));
  ASSERT_EQ(p.fields.size(), 2u);
  EXPECT_EQ(p.fields[1].IntProp("WIDTH"), 20);
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_EQ(p.rows[0].cells[1].raw, "A");
  EXPECT_EQ(pk::Write(p), Hex(kTwoFieldBytes));
}

TEST(DataPacket, NullAndNotChangedBits) {
  pk::DataPacket p;
  p.properties = pk::kMetadataIncluded;
  for (const char* n : {"A", "B", "C", "D", "E"}) p.fields.push_back({n, pk::TypeWord(pk::dsINT, 2), 0, {}});
  const pk::Cell two = pk::Cell::Value(Hex("02 00"));
  p.rows = {{pk::kModified, {pk::Cell::Null(), two, {pk::CellState::kNotChanged, {}}, two, {pk::CellState::kNotChanged, {}}}}};
  std::string bytes = pk::Write(p);
  // Field k: byte k/4, bit (k%4)*2 null, +1 not changed.
  EXPECT_EQ(bytes.substr(bytes.size() - 7), Hex("08 21 02 02 00 02 00"));
  pk::DataPacket back = pk::Read(bytes);
  EXPECT_EQ(back.rows[0].cells, p.rows[0].cells);
}

TEST(DataPacket, AttributesAndTheDeltaParameter) {
  EXPECT_EQ(pk::IntAttribute("WIDTH", 15).value, Hex("0f 00 00 00"));
  EXPECT_EQ(pk::IntAttribute("WIDTH", 15).type_word, 0x00010004u);
  EXPECT_EQ(pk::ByteAttribute("PROVFLAGS", 7).type_word, 0x00010001u);
  pk::DataPacket p;
  p.params = {pk::UIntAttribute("DATASET_DELTA", 1)};
  p.fields = {{"V", pk::TypeWord(pk::dsFLOATIEEE, 8), 0, {pk::TextAttribute("SUBTYPE", "Money")}}};
  std::string bytes = pk::Write(p);
  EXPECT_NE(bytes.find(Hex("07 'SUBTYPE' 02 00 49 00 06 00 'Money' 00")), std::string::npos);
  EXPECT_NE(bytes.find(Hex("0d 'DATASET_DELTA' 04 00 02 00 01 00 00 00")), std::string::npos);
  pk::DataPacket back = pk::Read(bytes);
  EXPECT_EQ(back.fields[0].TextProp("SUBTYPE"), "Money");
  EXPECT_NE(back.Param("DATASET_DELTA"), nullptr);
}

TEST(DataPacket, BcdValuesAreWholeTBcdsAndExact) {
  EXPECT_EQ(pk::CurrencyToBcd(125000), Hex("0f 04 00 00 00 00 01 25 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(pk::CurrencyToBcd(-1), Hex("0f 84 00 00 00 00 00 00 00 10 00 00 00 00 00 00 00 00"));
  for (std::int64_t v : {0LL, 1LL, -1LL, 125000LL, 999999999999999LL, -999999999999999LL, 123456789012345LL}) {
    EXPECT_EQ(pk::BcdToCurrency(pk::CurrencyToBcd(v)), v) << v;
  }
  EXPECT_THROW(pk::CurrencyToBcd(1000000000000000LL), std::out_of_range);  // 16 digits in BCD(15,4)
  EXPECT_EQ(pk::BcdToString(pk::CurrencyToBcd(-125000)), "-12.5");
  EXPECT_EQ(pk::CurrencyToString(-1), "-0.0001");
  // A BCD(15,4) field declares 10 bytes but every value occupies 18: a row after it must still line up.
  pk::DataPacket p;
  p.fields = {{"Q", pk::TypeWord(pk::dsBCD, 10), 0, {}}, {"N", pk::TypeWord(pk::dsINT, 4), 0, {}}};
  p.rows = {{pk::kInserted, {pk::Cell::Value(pk::CurrencyToBcd(5)), pk::Cell::Value(Hex("2a 00 00 00"))}},
            {pk::kInserted, {pk::Cell::Value(pk::CurrencyToBcd(6)), pk::Cell::Value(Hex("2b 00 00 00"))}}};
  pk::DataPacket back = pk::Read(pk::Write(p));
  EXPECT_EQ(back.rows[1].cells[1].raw, Hex("2b 00 00 00"));
}

TEST(DataPacket, ErrorPacketFieldsRead) {
  // ERROR_RECORDNO 1, ERROR_RESPONSE 2, ERROR_MESSAGE (UNICODE) "Não", ERROR_CONTEXT "",
  // ERROR_CATEGORY 1, ERROR_CODE 0, then the delta's field X, null.
  std::string bytes = Hex(
      "96 19 e0 bd 01 00 00 00 18 00 00 00 07 00 01 00 00 00 01 00 00 00 00 00"
      " 0e 'ERROR_RECORDNO' 04 00 01 00 00 00 00 00"
      " 0e 'ERROR_RESPONSE' 04 00 01 00 00 00 00 00"
      " 0d 'ERROR_MESSAGE' 02 00 4a 00 00 00 00 00"
      " 0d 'ERROR_CONTEXT' 01 00 49 00 00 00 00 00"
      " 0e 'ERROR_CATEGORY' 04 00 01 00 00 00 00 00"
      " 0a 'ERROR_CODE' 04 00 01 00 00 00 00 00"
      " 01 'X' 04 00 01 00 00 00 00 00"
      " 00 00"
      " 00 00 10 01 00 00 00 02 00 00 00 06 00 4e 00 e3 00 6f 00 00 01 00 00 00 00 00 00 00");
  pk::DataPacket p = pk::Read(bytes);
  ASSERT_EQ(p.rows.size(), 1u);
  EXPECT_EQ(p.FieldIndex("ERROR_MESSAGE"), 2);
  EXPECT_EQ(p.rows[0].cells[2].raw, Hex("4e 00 e3 00 6f 00"));
  EXPECT_EQ(p.rows[0].cells[6].state, pk::CellState::kNull);
}

// ---- hostile input --------------------------------------------------------------------------

TEST(HostileInput, MessagesFailCleanly) {
  const std::string cases[] = {
      "",
      "x",
      "{\"result\":[",
      "{\"result\":[1,2",
      "{\"data\":[99999999999,",           // absurd length: refused before any byte arrives
      "{\"data\":[-9223372036854775808,",  // the most negative count
      "{\"data\":[5,ab",                   // block cut short
      "{\"data\":[abc,]}",
      "{\"a\":tru}",
      "{\"a\":\"\\uZZZZ\"}",
      "{\"a\":1" + std::string(100, '0') + "}",
      std::string(5000, '[') ,
      "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}",
      "{\"a\":\"unterminated",
  };
  for (const std::string& c : cases) EXPECT_THROW(ParseMessage(c), ProtocolError) << c.substr(0, 40);
  ReadLimits small;
  small.max_message = 64;
  EXPECT_THROW(ParseMessage("{\"a\":\"" + std::string(100, 'x') + "\"}", small), ProtocolError);
}

TEST(HostileInput, VariantStreamsFailCleanly) {
  const std::string cases[] = {
      Hex(""), Hex("09"), Hex("02 00"),
      Hex("02 08 00 00 00 ff ff ff 7f 41 00"),                         // string longer than the stream
      Hex("02 0c 20 00 00 e8 03 00 00"),                               // 1000 dimensions
      Hex("02 0c 20 00 00 01 00 00 00 00 00 00 00 ff ff ff 7f"),       // 2^31 elements announced
      Hex("02 0c 20 00 00 01 00 00 00 05 00 00 00 00 00 00 00"),       // high below low
      Hex("02 11 20 00 00 01 00 00 00 00 00 00 00 03 00 00 00 ff 00 00 00 41"),  // block size wrong
      Hex("03 ff ff ff ff ff ff ff 7f 00"),                            // packet larger than the stream
      Hex("02 0e 00 00 00"),                                           // decimal variant: unsupported
  };
  for (const std::string& c : cases) EXPECT_THROW(ole::FromStream(c), ProtocolError);
  std::string deep = Hex("02");
  for (int i = 0; i < 1000; ++i) deep += Hex("0c 40 00 00");  // varByRef|varVariant, nested
  EXPECT_THROW(ole::FromStream(deep), ProtocolError);
  EXPECT_THROW(ole::UnpackParams(ole::Variant::Integer(3)), ProtocolError);
}

TEST(HostileInput, PacketsAndRowsFailCleanly) {
  const std::string good = Hex(kTwoFieldBytes);
  std::vector<std::string> cases = {
      "", Hex("96 19 e0 bd"), Hex("00 00 00 00") + good.substr(4), "<?xml version=\"1.0\"?><DATAPACKET/>",
      good.substr(0, good.size() - 1),  // last value cut
  };
  std::string version = good;
  version[4] = 9;
  cases.push_back(version);
  std::string many_rows = good;
  many_rows[18] = '\xff';  // 255 rows announced, 1 present
  many_rows[19] = '\xff';
  cases.push_back(many_rows);
  std::string long_value = good;
  long_value[long_value.size() - 2] = '\xff';  // NAME claims 255 bytes
  cases.push_back(long_value);
  std::string varying_width = good;
  varying_width[good.find("NAME") + 4] = 3;  // a 3-byte length prefix does not exist
  cases.push_back(varying_width);
  for (const std::string& c : cases) EXPECT_THROW(pk::Read(c), ProtocolError) << c.size();

  std::vector<DbxParameter> params = {{6, 1, "A"}, {26, 1, "B"}, {33, 1, "C"}};
  for (const std::string& row : {Hex("29 01 02 03 04 05 06 07 08 09"), Hex("61"), Hex("61 01 10 ff ff"),
                                 Hex("61 01 20 10 00"), Hex("61 01 20 20 20"), Hex("61 01 20 08 00 00 00 01")}) {
    EXPECT_THROW(DecodeRow(params, row, nullptr), ProtocolError);
  }
  EXPECT_THROW(pk::BcdToCurrency(Hex("40 04 00")), ProtocolError);
  EXPECT_THROW(pk::BcdToCurrency(Hex("0f 04 fa 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")), ProtocolError);
}
