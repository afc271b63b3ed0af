// libFuzzer target for the local ISC value readers: one column as the Firebird client library
// fills it (type, scale, length, null indicator, the value's bytes in a buffer of the size the
// column's description gives), read as text, as an integer and as a currency value. A value that
// cannot be read must end in EDatabaseError; anything else is a finding.
#include <cstdint>
#include <cstring>
#include <vector>

#include "connections/local/db_errors.h"
#include "connections/local/sqlda.h"

using namespace localdb;

namespace {

const short kTypes[] = {SQL_TEXT, SQL_VARYING, SQL_SHORT, SQL_LONG, SQL_INT64, SQL_FLOAT, SQL_DOUBLE, SQL_BOOLEAN,
                        SQL_TIMESTAMP, SQL_BLOB};

// The buffer the client library gives a column of this type and length.
std::size_t BufferSize(short type, short sqllen) {
  switch (type) {
    case SQL_TEXT: return static_cast<std::size_t>(sqllen);
    case SQL_VARYING: return static_cast<std::size_t>(sqllen) + 2;
    case SQL_SHORT: return 2;
    case SQL_LONG: case SQL_FLOAT: return 4;
    case SQL_BOOLEAN: return 1;
    default: return 8;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  XSQLVAR v{};
  const short type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  v.sqltype = static_cast<short>(type | (data[1] & 1));
  ISC_SHORT ind = (data[1] & 2) ? -1 : 0;
  v.sqlind = &ind;
  std::int16_t scale;
  std::memcpy(&scale, data + 2, 2);
  v.sqlscale = scale;
  std::uint16_t len;
  std::memcpy(&len, data + 4, 2);
  v.sqllen = static_cast<short>(len % 32768);  // the client library describes no negative length
  std::vector<char> buffer(BufferSize(type, v.sqllen));
  if (!buffer.empty()) std::memcpy(buffer.data(), data + 6, std::min(buffer.size(), size - 6));
  v.sqldata = buffer.data();
  std::memcpy(v.aliasname, "COLUNA", 6);
  v.aliasname_length = 6;
  for (int reading = 0; reading < 3; ++reading) {
    try {
      if (reading == 0) ColumnAsString(v, "COLUNA");
      else if (reading == 1) ColumnAsLargeInt(v, "COLUNA");
      else ColumnAsCurrency(v, "COLUNA");
    } catch (const EDatabaseError&) {
    }
  }
  return 0;
}
