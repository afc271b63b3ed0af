#include "connections/local/statement.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "connections/local/database_connection.h"
#include "connections/local/sqlda.h"
#include "connections/local/transaction.h"

namespace localdb {

void TFDParam::SetAsString(std::string value) {
  type_ = DataType::kString;
  null_ = false;
  text_ = std::move(value);
}

void TFDParam::SetAsBytes(std::string value) {
  type_ = DataType::kBytes;
  null_ = false;
  text_ = std::move(value);
}

void TFDParam::SetAsLargeInt(std::int64_t value) {
  type_ = DataType::kLargeint;
  null_ = false;
  int_ = value;
}

void TFDParam::Clear() {
  null_ = true;
  text_.clear();
  int_ = 0;
}

struct TFDQuery::Statement {
  isc_stmt_handle handle = 0;
  Sqlda in;
  Sqlda layout;
  std::unique_ptr<Sqlda> current, next;
  std::vector<char> in_data;
  std::vector<ISC_SHORT> in_ind;
};

TFDQuery::TFDQuery(std::string name, TFDConnection& connection, TFDTransaction& transaction, std::string sql)
    : name_(std::move(name)), connection_(connection), transaction_(transaction), sql_(std::move(sql)) {
  ParseSql();
  connection_.Register(this);
}

void TFDQuery::SetSQL(std::string sql) {
  if (sql == sql_) return;
  DropStatement();
  sql_ = std::move(sql);
  wire_sql_.clear();
  param_order_.clear();
  std::vector<TFDParam> before = std::move(params_);
  params_.clear();
  ParseSql();
  for (TFDParam& p : params_)
    for (const TFDParam& b : before)
      if (text::EqualsIgnoreCase(p.Name, b.Name)) p = b;
}

void TFDQuery::ParseSql() {
  // :NAME becomes ?, outside quoted texts and comments, as the server knows only positions.
  auto ident = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
  };
  for (std::size_t i = 0; i < sql_.size();) {
    char c = sql_[i];
    if (c == '\'' || c == '"') {
      std::size_t end = sql_.find(c, i + 1);
      end = end == std::string::npos ? sql_.size() : end + 1;
      wire_sql_.append(sql_, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < sql_.size() && sql_[i + 1] == '-') {
      std::size_t end = sql_.find('\n', i);
      end = end == std::string::npos ? sql_.size() : end;
      wire_sql_.append(sql_, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < sql_.size() && sql_[i + 1] == '*') {
      std::size_t end = sql_.find("*/", i + 2);
      end = end == std::string::npos ? sql_.size() : end + 2;
      wire_sql_.append(sql_, i, end - i);
      i = end;
    } else if (c == ':' && i + 1 < sql_.size() && ident(sql_[i + 1])) {
      std::size_t j = i + 1;
      while (j < sql_.size() && ident(sql_[j])) ++j;
      std::string pname = text::ToLowerAscii(sql_.substr(i + 1, j - i - 1));
      std::string upper = sql_.substr(i + 1, j - i - 1);
      param_order_.push_back(pname);
      bool known = std::any_of(params_.begin(), params_.end(),
                               [&](const TFDParam& p) { return text::EqualsIgnoreCase(p.Name, upper); });
      if (!known) params_.emplace_back(upper);
      wire_sql_ += '?';
      i = j;
    } else {
      wire_sql_ += c;
      ++i;
    }
  }
}

TFDQuery::~TFDQuery() {
  DropStatement();
  connection_.Unregister(this);
}

TFDParam& TFDQuery::ParamByName(const std::string& name) {
  for (auto& p : params_)
    if (text::EqualsIgnoreCase(p.Name, name)) return p;
  throw EDatabaseError(name_ + ": parameter '" + name + "' not found");
}

void TFDQuery::Prepare(isc_tr_handle* tr) {
  const FbApi& api = connection_.Api();
  auto s = std::make_unique<Statement>();
  ISC_STATUS_ARRAY st;
  std::string wire = ToWire(wire_sql_, name_);
  if (api.dsql_allocate_statement(st, connection_.Handle(), &s->handle)) connection_.RaiseStatus(st);
  auto fail = [&](const ISC_STATUS* status) {
    ISC_STATUS_ARRAY st2;
    api.dsql_free_statement(st2, &s->handle, DSQL_drop);
    connection_.RaiseStatus(status);
  };
  if (api.dsql_prepare(st, tr, &s->handle, 0, wire.c_str(), kDialect, s->layout.da())) fail(st);
  if (s->layout.da()->sqld > s->layout.da()->sqln) {
    s->layout.Resize(s->layout.da()->sqld);
    if (api.dsql_describe(st, &s->handle, kDialect, s->layout.da())) fail(st);
  }
  s->in.Resize(static_cast<int>(param_order_.size()));
  if (api.dsql_describe_bind(st, &s->handle, kDialect, s->in.da())) fail(st);
  if (s->in.da()->sqld != static_cast<int>(param_order_.size())) {
    ISC_STATUS_ARRAY st2;
    api.dsql_free_statement(st2, &s->handle, DSQL_drop);
    throw EDatabaseError(name_ + ": the statement has " + std::to_string(s->in.da()->sqld) + " parameters, " +
                         std::to_string(param_order_.size()) + " named in its text");
  }
  if (s->layout.da()->sqld > 0) {
    s->current = Sqlda::RowOf(s->layout);
    s->next = Sqlda::RowOf(s->layout);
  }
  stmt_ = std::move(s);
}

void TFDQuery::BindParams() {
  Statement& s = *stmt_;
  std::size_t n = param_order_.size();
  std::vector<std::string> wire(n);
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    TFDParam& p = ParamByName(param_order_[i]);
    if (!p.IsNull() && p.Type() == TFDParam::DataType::kString) {
      std::string value = p.AsString();
      if (value.empty() && p.EmptyTextMeans) value = *p.EmptyTextMeans;
      wire[i] = ToWire(value, name_ + ": parameter " + p.Name);
    } else if (!p.IsNull() && p.Type() == TFDParam::DataType::kBytes) {
      wire[i] = p.AsString();
    }
    if (wire[i].size() > 32765) throw EDatabaseError(name_ + ": parameter " + p.Name + " is too long");
    total += 8 + ((wire[i].size() + 2 + 7) & ~std::size_t{7});
  }
  s.in_data.assign(std::max<std::size_t>(total, 1), 0);
  s.in_ind.assign(std::max<std::size_t>(n, 1), 0);
  std::size_t off = 0;
  for (std::size_t i = 0; i < n; ++i) {
    TFDParam& p = ParamByName(param_order_[i]);
    XSQLVAR& v = s.in.da()->sqlvar[i];
    char* data = s.in_data.data() + off;
    v.sqlind = &s.in_ind[i];
    v.sqldata = data;
    if (p.IsNull()) {
      v.sqltype |= 1;
      s.in_ind[i] = -1;
    } else if (p.Type() == TFDParam::DataType::kString || p.Type() == TFDParam::DataType::kBytes) {
      // Sent as text whatever the column's type: the server converts it, as the caller meant.
      v.sqltype = SQL_VARYING | 1;
      v.sqlsubtype = p.Type() == TFDParam::DataType::kBytes ? kCharsetOctets : kCharsetIso8859_1;
      v.sqlscale = 0;
      v.sqllen = static_cast<ISC_SHORT>(wire[i].size());
      ISC_USHORT len = static_cast<ISC_USHORT>(wire[i].size());
      std::memcpy(data, &len, 2);
      std::memcpy(data + 2, wire[i].data(), wire[i].size());
    } else {
      v.sqltype = SQL_INT64 | 1;
      v.sqlsubtype = 0;
      v.sqlscale = 0;
      v.sqllen = 8;
      std::int64_t value = p.AsLargeInt();
      std::memcpy(data, &value, 8);
    }
    off += 8 + ((wire[i].size() + 2 + 7) & ~std::size_t{7});
  }
}

bool TFDQuery::FetchInto(Sqlda& row) {
  ISC_STATUS_ARRAY st;
  ISC_STATUS rc = connection_.Api().dsql_fetch(st, &stmt_->handle, kDialect, row.da());
  if (rc == 0) return true;
  if (rc == 100) return false;
  fetch_failed_ = true;
  EndCursor(false);
  connection_.RaiseStatus(st);
}

void TFDQuery::FetchAhead() {
  try {
    have_next_ = FetchInto(*stmt_->next);
    if (!have_next_) EndCursor(true);
  } catch (const EDatabaseError&) {
    // The current row arrived whole; the failure belongs to the one after it.
    have_next_ = false;
    next_failure_ = std::current_exception();
  }
}

void TFDQuery::EndCursor(bool success) {
  if (cursor_open_) {
    cursor_open_ = false;
    ISC_STATUS_ARRAY st;
    if (stmt_) connection_.Api().dsql_free_statement(st, &stmt_->handle, DSQL_close);
  }
  if (success) {
    transaction_.Release(true);
  } else {
    try {
      transaction_.Release(false);
    } catch (const std::exception&) {
      // The statement's own error is the one worth reporting.
    }
  }
}

void TFDQuery::Open() {
  if (active_) return;
  fetch_failed_ = false;
  next_failure_ = nullptr;
  connection_.CheckConnected(name_);
  isc_tr_handle* tr = transaction_.Acquire();
  try {
    if (!stmt_) Prepare(tr);
    if (stmt_->layout.da()->sqld == 0) throw EDatabaseError(name_ + ": the statement returns no result set");
    BindParams();
    ISC_STATUS_ARRAY st;
    if (connection_.Api().dsql_execute(st, tr, &stmt_->handle, kDialect, stmt_->in.da())) connection_.RaiseStatus(st);
  } catch (...) {
    try {
      transaction_.Release(false);
    } catch (const std::exception&) {
    }
    throw;
  }
  cursor_open_ = true;
  active_ = true;
  eof_ = false;
  have_next_ = false;
  row_number_ = 0;
  try {
    // One row ahead: the cursor, and with it the transaction, ends as soon as the last row has
    // arrived, as it would after reading everything, while memory stays at two rows.
    if (!FetchInto(*stmt_->current)) {
      eof_ = true;
      EndCursor(true);
      return;
    }
    row_number_ = 1;
    FetchAhead();
  } catch (...) {
    active_ = false;
    eof_ = true;
    row_number_ = 0;
    throw;
  }
}

void TFDQuery::Next() {
  if (!active_) throw EDatabaseError(name_ + ": the query is not open");
  if (eof_) return;
  if (!have_next_) {
    eof_ = true;
    if (next_failure_) {
      std::exception_ptr failure = next_failure_;
      next_failure_ = nullptr;
      std::rethrow_exception(failure);
    }
    return;
  }
  std::swap(stmt_->current, stmt_->next);
  ++row_number_;
  have_next_ = false;
  if (cursor_open_) FetchAhead();
}

void TFDQuery::First() {
  if (!active_) throw EDatabaseError(name_ + ": the query is not open");
  if (row_number_ <= 1) {  // still on the first row (or there is none): nothing to run again
    if (row_number_ == 1) eof_ = false;
    return;
  }
  Close();
  Open();
}

void TFDQuery::Close() {
  next_failure_ = nullptr;
  if (!active_) return;
  active_ = false;
  eof_ = true;
  have_next_ = false;
  row_number_ = 0;
  if (cursor_open_) {
    try {
      EndCursor(true);
    } catch (const std::exception&) {
      // Closing must always succeed; a commit that failed has rolled the reading back.
    }
  }
}

void TFDQuery::ExecSQL() {
  Close();
  connection_.CheckConnected(name_);
  isc_tr_handle* tr = transaction_.Acquire();
  try {
    if (!stmt_) Prepare(tr);
    BindParams();
    ISC_STATUS_ARRAY st;
    if (connection_.Api().dsql_execute(st, tr, &stmt_->handle, kDialect, stmt_->in.da())) connection_.RaiseStatus(st);
    if (stmt_->layout.da()->sqld > 0) connection_.Api().dsql_free_statement(st, &stmt_->handle, DSQL_close);
  } catch (...) {
    try {
      transaction_.Release(false);
    } catch (const std::exception&) {
    }
    throw;
  }
  // Other statements may still hold cursors in this transaction; the work done here must not
  // wait for them to become visible to other transactions.
  if (transaction_.SharedOnDemand()) {
    try {
      transaction_.CommitRetaining();
    } catch (...) {
      transaction_.Release(false);
      throw;
    }
  }
  transaction_.Release(true);
}

void TFDQuery::DropStatement() {
  Close();
  if (stmt_) {
    ISC_STATUS_ARRAY st;
    if (connection_.Connected()) connection_.Api().dsql_free_statement(st, &stmt_->handle, DSQL_drop);
    stmt_.reset();
  }
}

std::string TFDQuery::FieldNameAt(int field) const {
  const XSQLVAR& v = stmt_->layout.da()->sqlvar[field];
  return std::string(v.aliasname, v.aliasname_length);
}

int TFDQuery::FieldCount() const { return stmt_ ? stmt_->layout.da()->sqld : 0; }

const Sqlda& TFDQuery::CurrentRow(int field) const {
  if (!active_) throw EDatabaseError(name_ + ": the query is not open");
  if (row_number_ == 0) {
    const XSQLVAR& v = stmt_->layout.da()->sqlvar[field];
    throw EDatabaseError(name_ + ": no row to read " + std::string(v.aliasname, v.aliasname_length) +
                         " from (the query returned no rows)");
  }
  return *stmt_->current;
}

TField TFDQuery::FieldByName(const std::string& name) const {
  if (!stmt_) throw EDatabaseError(name_ + ": the query is not open");
  const XSQLDA* da = stmt_->layout.da();
  for (int i = 0; i < da->sqld; ++i) {
    const XSQLVAR& v = da->sqlvar[i];
    if (text::EqualsIgnoreCase(std::string_view(v.aliasname, v.aliasname_length), name)) return TField(*this, i);
  }
  throw EDatabaseError(name_ + ": field '" + name + "' not found");
}

}  // namespace localdb
