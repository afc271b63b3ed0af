// Inside the database layer only: the XSQLDA descriptor with buffers of its own, shared by the
// statements that fill rows and the fields that read them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "connections/local/fb_client.h"

namespace localdb {

// Firebird's number for the ISO8859_1 character set.
constexpr ISC_SHORT kCharsetOctets = 1;
constexpr ISC_SHORT kCharsetIso8859_1 = 21;
constexpr unsigned short kDialect = SQL_DIALECT_V6;

// An XSQLDA with its own value buffers.
struct Sqlda {
  std::vector<char> mem;
  std::vector<char> data;
  std::vector<ISC_SHORT> ind;

  explicit Sqlda(int n = 1) { Resize(n); }
  XSQLDA* da() { return reinterpret_cast<XSQLDA*>(mem.data()); }
  const XSQLDA* da() const { return reinterpret_cast<const XSQLDA*>(mem.data()); }
  void Resize(int n) {
    n = std::max(n, 1);
    mem.assign(XSQLDA_LENGTH(n), 0);
    da()->version = SQLDA_VERSION1;
    da()->sqln = static_cast<ISC_SHORT>(n);
  }
  // A row buffer with the layout of a described SQLDA.
  static std::unique_ptr<Sqlda> RowOf(const Sqlda& layout) {
    auto row = std::make_unique<Sqlda>();
    row->mem = layout.mem;
    int n = row->da()->sqld;
    std::vector<std::size_t> offsets(n);
    std::size_t total = 0;
    for (int i = 0; i < n; ++i) {
      XSQLVAR& v = row->da()->sqlvar[i];
      std::size_t size = v.sqllen + ((v.sqltype & ~1) == SQL_VARYING ? 2 : 0);
      offsets[i] = total;
      total += (size + 7) & ~std::size_t{7};
    }
    row->data.assign(std::max<std::size_t>(total, 1), 0);
    row->ind.assign(std::max(n, 1), 0);
    for (int i = 0; i < n; ++i) {
      XSQLVAR& v = row->da()->sqlvar[i];
      v.sqldata = row->data.data() + offsets[i];
      v.sqlind = &row->ind[i];
      v.sqltype |= 1;  // always ask for the null indicator
    }
    return row;
  }
};

// TField's readings of one column as the client library fills it, `field` naming it in errors;
// the seam through which the readers are fuzzed without a database.
std::string ColumnAsString(const XSQLVAR& var, const std::string& field);
std::int64_t ColumnAsLargeInt(const XSQLVAR& var, const std::string& field);
std::int64_t ColumnAsCurrency(const XSQLVAR& var, const std::string& field);

}  // namespace localdb
