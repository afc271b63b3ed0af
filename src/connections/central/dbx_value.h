// One value of a DBX parameter row, as the DataSnap TCP/IP driver writes it.
//
// Every value starts with a header byte: 0x80 null (written C0); 0x20|n a tiny value of n bytes;
// 0x10 + BE16 a big value; 0x40 on a number means "not negative", on a string or byte value
// "another segment follows". Integers carry their magnitude big-endian in as few bytes as
// possible (0 is 60, 500 is 62 01 F4, -1 is 21 01). Strings are Latin-1 bytes until the first
// character above U+00FE, where an FF byte switches the rest to UTF-16BE.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace central::dbx {

// DBX data types that the provider interface uses.
enum DataType : int {
  kAnsiString = 1,
  kBoolean = 4,
  kInt16 = 5,
  kInt32 = 6,
  kDouble = 7,
  kUInt16 = 12,
  kUInt32 = 13,
  kInt64 = 18,
  kWideString = 26,
  kInt8 = 28,
  kUInt8 = 29,
  kBinaryBlob = 33,
  kVariant = 35,
};

// Parameter directions.
enum Direction : int { kIn = 1, kOut = 2, kInOut = 3, kReturn = 4 };

inline constexpr unsigned char kNullHeader = 0xC0;
inline constexpr std::size_t kMaxSegment = 65535;

bool IsIntegerType(int data_type);
bool IsStringType(int data_type);
bool IsStreamType(int data_type);

void AppendNull(std::string& out);
void AppendInt(std::string& out, std::int64_t v);
void AppendBool(std::string& out, bool v);
void AppendDouble(std::string& out, double v);
void AppendString(std::string& out, std::string_view utf8);
// A byte value. `more` writes the 50 header: the rest follows through more_blob.
void AppendBytes(std::string& out, std::string_view bytes, bool more = false);

// Reads the values of a row in order. Malformed or truncated input raises ProtocolError.
class ValueReader {
 public:
  explicit ValueReader(std::string_view row) : row_(row) {}
  explicit ValueReader(std::string&&) = delete;  // the reader keeps a view: the row must outlive it
  bool AtEnd() const { return pos_ >= row_.size(); }
  // True (and the null consumed) when the next value is null.
  bool TakeNull();
  std::int64_t ReadInt();
  bool ReadBool();
  double ReadDouble();
  std::string ReadString();  // as UTF-8
  struct Bytes {
    std::string data;
    bool more = false;  // the rest must be fetched with more_blob
  };
  Bytes ReadBytes();

 private:
  unsigned char Header();
  std::string_view Take(std::size_t n);
  std::string_view row_;
  std::size_t pos_ = 0;
};

}  // namespace central::dbx
