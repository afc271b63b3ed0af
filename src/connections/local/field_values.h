// Values crossing the connection: a column of a query's current row read as the agent's types,
// and texts converted to the connection's character set ISO8859_1.
//
// Thread-safety: none; see local_database.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace localdb {

class TFDQuery;

// UTF-8 to the connection's character set. A text that ISO8859_1 cannot hold raises
// EDatabaseError naming `what`, instead of being sent altered.
std::string ToWire(const std::string& utf8, const std::string& what);

// The value of one column in the query's current row. Null reads as "" or 0.
class TField {
 public:
  TField(const TFDQuery& query, int index) : query_(&query), index_(index) {}

  std::string FieldName() const;
  bool IsNull() const;
  std::string AsString() const;
  // A text column's bytes as the server sent them (a CHAR with its padding), without any
  // conversion: for a column cast to the character set OCTETS. Other columns read as AsString().
  std::string AsBytes() const;
  // The same without a copy: a view of the row's buffer, valid until the query moves on. Only for
  // CHAR and VARCHAR columns; others are read as AsBytes() into `scratch`, which the view then shows.
  std::string_view BytesView(std::string& scratch) const;
  std::int32_t AsInteger() const;  // raises when the value does not fit 32 bits
  std::int64_t AsLargeInt() const;
  // Fixed point with four decimal places: the value times 10 000, exactly (no floating point).
  // Further decimals of a scaled integer or a float are rounded half away from zero; a number
  // held as text (Firebird 4's INT128 and DECFLOAT among them) is taken only when it fits exactly.
  std::int64_t AsCurrency() const;

 private:
  const TFDQuery* query_;
  int index_;
};

}  // namespace localdb
