// The values of a data packet's cells as the agent reads and writes them, for every field type a
// provider may declare: integers of each size, text in the ANSI code page or UTF-16, IEEE floats
// (currency included), BCD and FMTBcd of any precision and scale, dates, times, time stamps held
// as milliseconds and SQL time stamps.
//
// Nothing is changed silently: a value the field cannot hold (too many digits or decimals, a
// character its code page lacks, an integer out of its range) and a field type this client does
// not know are EConvertError naming the field.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "connections/central/data_packet.h"

namespace central {

// Days since 30/12/1899, fraction = time of day.
using TDateTime = double;

// A field conversion failed (wrong type, out of range, too long); what() names the field.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace fields {

// A DATETIME (17) value: 16 bytes, little-endian; Fractions are milliseconds.
struct SqlTimeStamp {
  std::int16_t year = 0;
  std::uint16_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint32_t fractions = 0;
};
std::string SqlTimeStampRaw(const SqlTimeStamp& t);

// Reading: a null (or not changed) cell reads as "" or 0.
std::string AsString(const packet::FieldDesc& f, const packet::Cell& c);
std::int64_t AsLargeInt(const packet::FieldDesc& f, const packet::Cell& c);
std::int64_t AsCurrency(const packet::FieldDesc& f, const packet::Cell& c);  // value x 10000, exact
TDateTime AsDateTime(const packet::FieldDesc& f, const packet::Cell& c);

// Writing: the cell that holds the value.
packet::Cell FromString(const packet::FieldDesc& f, const std::string& v);
packet::Cell FromLargeInt(const packet::FieldDesc& f, std::int64_t v);
packet::Cell FromCurrency(const packet::FieldDesc& f, std::int64_t scaled);  // value x 10000
packet::Cell FromDateTime(const packet::FieldDesc& f, TDateTime v);

}  // namespace fields
}  // namespace central
