// OleVariant values as the provider interface streams them through DataSnap stream parameters.
//
// A stream starts with one kind byte: 01 Empty, 02 a variant written by the variant streamer
// (Int32 LE VType, then the value), 03 a data packet (Int64 LE size, then the raw bytes; this is
// how every data packet, delta and error packet travels). Kind 01 is never written: the server
// cannot read it, so Unassigned goes as 02 00 00 00 00.
//
// Packed dataset parameters are a variant array of variant arrays
// [Name, Value, DataType, ParamType, Size, Precision, Scale].
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace central::ole {

enum VarType : std::uint16_t {
  varEmpty = 0,
  varNull = 1,
  varSmallint = 2,
  varInteger = 3,
  varSingle = 4,
  varDouble = 5,
  varCurrency = 6,
  varDate = 7,
  varOleStr = 8,
  varBoolean = 11,
  varVariant = 12,
  varShortInt = 16,
  varByte = 17,
  varWord = 18,
  varLongWord = 19,
  varArray = 0x2000,
  varByRef = 0x4000,
};

struct Variant {
  std::uint16_t vtype = varEmpty;
  std::int64_t integer = 0;  // integer kinds; currency as value x 10000; boolean as 0 / 1
  double real = 0;           // single, double, date
  std::string str;           // OleStr as UTF-8; raw element block of a scalar array (bytes for 0x2011)
  // Arrays: bounds per dimension (none: one dimension from 0) and, for arrays of variant, the
  // elements in storage order.
  std::vector<std::int32_t> low, high;
  std::vector<Variant> elements;

  static Variant Empty() { return {}; }
  static Variant Null() {
    Variant v;
    v.vtype = varNull;
    return v;
  }
  static Variant Integer(std::int32_t i) {
    Variant v;
    v.vtype = varInteger;
    v.integer = i;
    return v;
  }
  static Variant String(std::string s) {
    Variant v;
    v.vtype = varOleStr;
    v.str = std::move(s);
    return v;
  }
  // A byte array (varArray | varByte) holding a data packet.
  static Variant Bytes(std::string b);
  // A one-dimensional array of variants, indexed from 0.
  static Variant Array(std::vector<Variant> items);

  bool IsEmpty() const { return vtype == varEmpty; }
  bool IsNull() const { return vtype == varNull; }
  bool IsByteArray() const { return vtype == (varArray | varByte); }
  bool IsVariantArray() const { return vtype == (varArray | varVariant); }
  bool IsIntegerKind() const;
};

// DSUtil VariantToStream: byte arrays as kind 03, anything else as kind 02. Given a temporary,
// a byte array's bytes become the stream in place instead of being copied.
std::string ToStream(const Variant& v);
std::string ToStream(Variant&& v);
// DSUtil StreamToVariant; a kind 03 packet of size 0 reads back as Null. ProtocolError on any
// malformed, truncated or implausible input. Given a temporary, a packet's bytes stay where
// they are: the value is never held twice.
Variant FromStream(std::string_view bytes);
Variant FromStream(std::string&& bytes);

// ---- packed dataset parameters -------------------------------------------------------------

// Field type ordinals used in packed parameters.
enum FieldType : std::int32_t { ftUnknown = 0, ftString = 1, ftSmallint = 2, ftInteger = 3, ftWideString = 24, ftLargeint = 25 };
enum ParamType : std::int32_t { ptUnknown = 0, ptInput = 1, ptOutput = 2, ptInputOutput = 3, ptResult = 4 };

struct PackedParam {
  std::string name;
  Variant value;
  std::int32_t data_type = ftUnknown;
  std::int32_t param_type = ptInput;
  std::int32_t size = 0, precision = 0, scale = 0;
};

// Null when there are no parameters.
Variant PackParams(const std::vector<PackedParam>& params);
// Reads 4 or 7 elements per parameter; Null or Empty gives no parameters. An attribute that is
// not a 32-bit integer is a ProtocolError.
std::vector<PackedParam> UnpackParams(const Variant& packed);

}  // namespace central::ole
