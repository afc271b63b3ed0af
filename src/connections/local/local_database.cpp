#include "connections/local/local_database.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/text.h"

namespace localdb {

namespace {

// Firebird's number for the ISO8859_1 character set.
constexpr ISC_SHORT kCharsetIso8859_1 = 21;
constexpr unsigned short kDialect = SQL_DIALECT_V6;

// UTF-8 to the connection's character set, refusing to alter what ISO8859_1 cannot hold: a
// product code sent as "A??o" would silently become another product.
std::string ToWire(const std::string& utf8, const std::string& what) {
  bool lossy = false;
  std::string out = text::Utf8ToLatin1(utf8, &lossy);
  if (lossy)
    throw EDatabaseError(what + ": the text \"" + text::SanitizeUtf8(utf8) +
                         "\" holds characters that the character set ISO8859_1 cannot represent");
  return out;
}

std::vector<std::int64_t> StatusCodes(const ISC_STATUS* status) {
  // Clusters: isc_arg_gds code, isc_arg_string text, isc_arg_number n, ... ended by isc_arg_end.
  std::vector<std::int64_t> codes;
  for (const ISC_STATUS* p = status; *p != isc_arg_end;) {
    ISC_STATUS kind = *p++;
    if (kind == isc_arg_cstring) {
      p += 2;
      continue;
    }
    if (kind == isc_arg_gds) codes.push_back(*p);
    ++p;
  }
  return codes;
}

void AppendDpb(std::string& dpb, char item, const std::string& value, const char* what) {
  if (value.size() > 255) throw EDatabaseError(std::string("The connection parameter ") + what + " is too long");
  dpb.push_back(item);
  dpb.push_back(static_cast<char>(value.size()));
  dpb += value;
}

void AppendDpbInt(std::string& dpb, char item, std::uint32_t value) {
  dpb.push_back(item);
  dpb.push_back(4);
  for (int i = 0; i < 4; ++i) dpb.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::int64_t Pow10(int n) {
  std::int64_t r = 1;
  while (n-- > 0) r *= 10;
  return r;
}

// v * 10^scale expressed with `target` decimals (scale and target are negative decimal
// exponents); rounds half away from zero when decimals are dropped.
std::int64_t Rescale(std::int64_t v, int scale, int target, const std::string& field) {
  if (scale == target) return v;
  if (scale > target) {
    int n = scale - target;
    if (n > 18) throw EDatabaseError("Field " + field + ": value out of range");
    std::int64_t r;
    if (__builtin_mul_overflow(v, Pow10(n), &r)) throw EDatabaseError("Field " + field + ": value out of range");
    return r;
  }
  int n = target - scale;
  if (n > 18) return 0;
  std::int64_t d = Pow10(n);
  std::int64_t q = v / d, rem = v % d;
  if (rem * 2 >= d) ++q;
  if (rem * 2 <= -d) --q;
  return q;
}

// A decimal text ("  -12.5 ") as an integer and a negative decimal exponent.
bool ParseDecimal(std::string s, std::int64_t& v, int& scale) {
  auto b = s.find_first_not_of(' ');
  auto e = s.find_last_not_of(' ');
  if (b == std::string::npos) return false;
  s = s.substr(b, e - b + 1);
  std::size_t i = 0;
  bool neg = false;
  if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
  v = 0;
  scale = 0;
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v)) return false;
    digits = true;
    if (point) --scale;
  }
  if (!digits) return false;
  if (neg) v = -v;
  return true;
}

std::string FormatScaled(std::int64_t v, int scale) {
  unsigned long long magnitude = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  std::string digits = std::to_string(magnitude);
  if (scale >= 0) return (v < 0 ? "-" : "") + digits + std::string(scale, '0');
  std::size_t n = static_cast<std::size_t>(-scale);
  if (digits.size() <= n) digits.insert(0, n - digits.size() + 1, '0');
  std::string whole = digits.substr(0, digits.size() - n), frac = digits.substr(digits.size() - n);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return (v < 0 ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

}  // namespace

// ---- driver link ---------------------------------------------------------------------------

TFDPhysFBDriverLink::TFDPhysFBDriverLink(FbDriverManager& manager) : VendorLib(InitialVendorLib()), manager_(manager) {}

const FbApi& TFDPhysFBDriverLink::Driver() {
  return manager_.Load(VendorLib, [this] {
    if (OnDriverCreated) OnDriverCreated(*this);
  });
}

// ---- connection definition -----------------------------------------------------------------

int TConnectionParams::IndexOfName(const std::string& name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    auto eq = entries_[i].find('=');
    if (eq != std::string::npos && text::EqualsIgnoreCase(std::string_view(entries_[i]).substr(0, eq), name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TConnectionParams::Values(const std::string& name) const {
  int i = IndexOfName(name);
  if (i < 0) return {};
  const std::string& e = entries_[i];
  return e.substr(e.find('=') + 1);
}

// ---- transaction ---------------------------------------------------------------------------

TFDTransaction::TFDTransaction(TFDConnection& connection, bool read_only)
    : connection_(connection), read_only_(read_only) {
  connection_.Register(this);
}

TFDTransaction::~TFDTransaction() { connection_.Unregister(this); }

void TFDTransaction::Start() {
  connection_.CheckConnected("Transaction");
  // Read committed with record versions: readers never wait for writers. No wait on lock
  // conflicts either: a conflict is reported at once instead of stalling a cycle.
  const char tpb[] = {isc_tpb_version3, static_cast<char>(read_only_ ? isc_tpb_read : isc_tpb_write),
                      isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_nowait};
  FbTeb teb{connection_.Handle(), static_cast<int>(sizeof tpb), tpb};
  ISC_STATUS_ARRAY st;
  if (connection_.Api().start_multiple(st, &handle_, 1, &teb)) {
    handle_ = 0;
    connection_.RaiseStatus(st);
  }
  failed_ = false;
  users_ = 0;
}

void TFDTransaction::Finish(bool commit) {
  if (!handle_) return;
  const FbApi& api = connection_.Api();
  ISC_STATUS_ARRAY st;
  bool failed = commit ? api.commit_transaction(st, &handle_) != 0 : api.rollback_transaction(st, &handle_) != 0;
  if (failed && commit) {
    // A transaction that cannot commit must not linger holding its work: undo it.
    ISC_STATUS_ARRAY ignored;
    api.rollback_transaction(ignored, &handle_);
  }
  // Whatever happened, this transaction is over; a handle the server no longer knows is useless.
  handle_ = 0;
  auto_started_ = false;
  users_ = 0;
  if (failed) connection_.RaiseStatus(st);
}

void TFDTransaction::StartTransaction() {
  if (Active()) throw EDatabaseError("The transaction is active already");
  Start();
  auto_started_ = false;
}

void TFDTransaction::Commit() { Finish(true); }
void TFDTransaction::Rollback() { Finish(false); }

isc_tr_handle* TFDTransaction::Acquire() {
  if (!Active()) {
    Start();
    auto_started_ = true;
  }
  ++users_;
  return &handle_;
}

void TFDTransaction::Release(bool success) {
  if (users_ > 0) --users_;
  if (!success) failed_ = true;
  if (users_ == 0 && auto_started_ && Active()) Finish(!failed_);
}

void TFDTransaction::CommitRetaining() {
  ISC_STATUS_ARRAY st;
  if (handle_ && connection_.Api().commit_retaining(st, &handle_)) connection_.RaiseStatus(st);
}

void TFDTransaction::EndAtDisconnect() {
  users_ = 0;
  try {
    Finish(true);
  } catch (const std::exception&) {
    // The commit failed and was rolled back, or the server is gone: nothing left to end.
  }
  handle_ = 0;
}

// ---- connection ----------------------------------------------------------------------------

TFDConnection::TFDConnection(TFDPhysFBDriverLink& driver_link, TConnectionParams params)
    : Params(std::move(params)), driver_link_(driver_link) {}

TFDConnection::~TFDConnection() { Disconnect(); }

void TFDConnection::SetConnected(bool value) {
  if (value == Connected()) return;
  if (value)
    Connect();
  else
    Disconnect();
}

void TFDConnection::Connect() {
  const FbApi& api = driver_link_.Driver();
  api_ = &api;

  std::string target = Params.Values("Database");
  std::string server = Params.Values("Server");
  std::string protocol = Params.Values("Protocol");
  // Always through a server over TCP/IP: a bare path would open the file in-process, where no
  // password is checked, whenever the client happens to carry the embedded engine.
  if (protocol.empty() || text::EqualsIgnoreCase(protocol, "TCPIP"))
    target = (server.empty() ? std::string("localhost") : server) + ":" + target;

  // Every text of the parameter block travels as UTF-8 (isc_dpb_utf8_filename), so a database
  // path with accents reaches the server intact whatever the code pages on either side.
  std::string dpb(1, isc_dpb_version1);
  AppendDpb(dpb, isc_dpb_user_name, Params.Values("User_Name"), "User_Name");
  AppendDpb(dpb, isc_dpb_password, Params.Values("Password"), "Password");
  std::string charset = Params.Values("CharacterSet");
  if (!charset.empty()) AppendDpb(dpb, isc_dpb_lc_ctype, charset, "CharacterSet");
  std::string page_size = Params.Values("PageSize");
  if (!page_size.empty()) AppendDpbInt(dpb, isc_dpb_page_size, static_cast<std::uint32_t>(std::atoi(page_size.c_str())));
  // A host that swallows packets must not stall the caller for minutes.
  AppendDpbInt(dpb, isc_dpb_connect_timeout, kConnectTimeoutSeconds);
  dpb.push_back(isc_dpb_utf8_filename);
  dpb.push_back(0);

  if (target.size() > 32767) throw EDatabaseError("The database name is too long");
  ISC_STATUS_ARRAY st;
  isc_db_handle h = 0;
  if (api.attach_database(st, static_cast<short>(target.size()), target.c_str(), &h,
                          static_cast<short>(dpb.size()), dpb.data())) {
    RaiseStatus(st);
  }
  handle_ = h;
}

void TFDConnection::Disconnect() {
  if (!handle_) return;
  for (TFDQuery* q : queries_) q->DropStatement();
  for (TFDTransaction* t : transactions_) t->EndAtDisconnect();
  ISC_STATUS_ARRAY st;
  // A failed detach (the server went away) leaves nothing worth keeping: the connection is closed.
  api_->detach_database(st, &handle_);
  handle_ = 0;
}

void TFDConnection::Register(TFDTransaction* t) { transactions_.push_back(t); }
void TFDConnection::Unregister(TFDTransaction* t) { std::erase(transactions_, t); }
void TFDConnection::Register(TFDQuery* q) { queries_.push_back(q); }
void TFDConnection::Unregister(TFDQuery* q) { std::erase(queries_, q); }

void TFDConnection::CheckConnected(const std::string& who) const {
  if (!Connected()) throw EDatabaseError(who + ": the connection to the local database is closed");
}

void TFDConnection::RaiseStatus(const ISC_STATUS* status) const {
  throw EFirebirdError(InterpretStatus(*api_, status), StatusCodes(status));
}

// ---- parameters ----------------------------------------------------------------------------

void TFDParam::SetAsString(std::string value) {
  type_ = DataType::kString;
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

// ---- statements ----------------------------------------------------------------------------

// An XSQLDA with its own value buffers.
struct TFDQuery::Sqlda {
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
  connection_.Register(this);
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
      if (wire[i].size() > 32765) throw EDatabaseError(name_ + ": parameter " + p.Name + " is too long");
    }
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
    } else if (p.Type() == TFDParam::DataType::kString) {
      // Sent as text whatever the column's type: the server converts it, as the caller meant.
      v.sqltype = SQL_VARYING | 1;
      v.sqlsubtype = kCharsetIso8859_1;
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
  eof_ = true;
  have_next_ = false;
  EndCursor(false);
  connection_.RaiseStatus(st);
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
    have_next_ = FetchInto(*stmt_->next);
    if (!have_next_) EndCursor(true);
  } catch (...) {
    active_ = false;
    row_number_ = 0;
    throw;
  }
}

void TFDQuery::Next() {
  if (!active_) throw EDatabaseError(name_ + ": the query is not open");
  if (eof_) return;
  if (!have_next_) {
    eof_ = true;
    return;
  }
  std::swap(stmt_->current, stmt_->next);
  ++row_number_;
  have_next_ = false;
  if (cursor_open_) {
    have_next_ = FetchInto(*stmt_->next);
    if (!have_next_) EndCursor(true);
  }
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

int TFDQuery::FieldCount() const { return stmt_ ? stmt_->layout.da()->sqld : 0; }

const TFDQuery::Sqlda& TFDQuery::CurrentRow(int field) const {
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

// ---- fields --------------------------------------------------------------------------------

namespace {

struct Value {
  enum Kind { kNull, kScaled, kText, kDouble, kBool, kOther } kind = kNull;
  std::int64_t scaled = 0;
  int scale = 0;
  std::string text;  // UTF-8
  double d = 0;
  bool b = false;
  int type = 0;
};

Value Scaled(std::int64_t x, int scale) {
  Value out;
  out.kind = Value::kScaled;
  out.scaled = x;
  out.scale = scale;
  return out;
}

Value ReadVar(const XSQLVAR& v) {
  Value out;
  int type = v.sqltype & ~1;
  out.type = type;
  if ((v.sqltype & 1) && v.sqlind && *v.sqlind < 0) return out;
  const char* p = v.sqldata;
  switch (type) {
    case SQL_SHORT: {
      std::int16_t x;
      std::memcpy(&x, p, 2);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_LONG: {
      std::int32_t x;
      std::memcpy(&x, p, 4);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_INT64: {
      std::int64_t x;
      std::memcpy(&x, p, 8);
      out = Scaled(x, v.sqlscale);
      break;
    }
    case SQL_TEXT: {
      std::string s(p, v.sqllen);
      // Fixed-length texts are padded with blanks by the server; the value is without them.
      while (!s.empty() && s.back() == ' ') s.pop_back();
      out.kind = Value::kText;
      out.text = text::Latin1ToUtf8(s);
      break;
    }
    case SQL_VARYING: {
      ISC_USHORT len;
      std::memcpy(&len, p, 2);
      out.kind = Value::kText;
      out.text = text::Latin1ToUtf8(std::string_view(p + 2, len));
      break;
    }
    case SQL_FLOAT: {
      float f;
      std::memcpy(&f, p, 4);
      out.kind = Value::kDouble;
      out.d = f;
      break;
    }
    case SQL_DOUBLE: {
      std::memcpy(&out.d, p, 8);
      out.kind = Value::kDouble;
      break;
    }
    case SQL_BOOLEAN:
      out.kind = Value::kBool;
      out.b = *p != 0;
      break;
    default:
      out.kind = Value::kOther;
  }
  out.type = type;
  return out;
}

}  // namespace

std::string TField::FieldName() const {
  const XSQLVAR& v = query_->stmt_->layout.da()->sqlvar[index_];
  return std::string(v.aliasname, v.aliasname_length);
}

bool TField::IsNull() const { return ReadVar(query_->CurrentRow(index_).da()->sqlvar[index_]).kind == Value::kNull; }

std::string TField::AsString() const {
  Value v = ReadVar(query_->CurrentRow(index_).da()->sqlvar[index_]);
  switch (v.kind) {
    case Value::kNull:
      return {};
    case Value::kScaled:
      return FormatScaled(v.scaled, v.scale);
    case Value::kText:
      return v.text;
    case Value::kDouble: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", v.d);
      return buf;
    }
    case Value::kBool:
      return v.b ? "True" : "False";
    default:
      throw EDatabaseError("Field " + FieldName() + ": type " + std::to_string(v.type) + " cannot be read as text");
  }
}

std::int64_t TField::AsLargeInt() const {
  Value v = ReadVar(query_->CurrentRow(index_).da()->sqlvar[index_]);
  switch (v.kind) {
    case Value::kNull:
      return 0;
    case Value::kScaled:
      return Rescale(v.scaled, v.scale, 0, FieldName());
    case Value::kText: {
      std::int64_t x;
      int scale;
      if (!ParseDecimal(v.text, x, scale))
        throw EDatabaseError("Field " + FieldName() + ": '" + v.text + "' is not a valid integer");
      return Rescale(x, scale, 0, FieldName());
    }
    case Value::kDouble:
      if (!(std::fabs(v.d) < 9.2e18)) throw EDatabaseError("Field " + FieldName() + ": value out of range");
      return std::llround(v.d);
    case Value::kBool:
      return v.b ? 1 : 0;
    default:
      throw EDatabaseError("Field " + FieldName() + ": type " + std::to_string(v.type) + " cannot be read as a number");
  }
}

std::int32_t TField::AsInteger() const {
  std::int64_t x = AsLargeInt();
  if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
    throw EDatabaseError("Field " + FieldName() + ": value " + std::to_string(x) + " does not fit a 32-bit integer");
  return static_cast<std::int32_t>(x);
}

std::int64_t TField::AsCurrency() const {
  Value v = ReadVar(query_->CurrentRow(index_).da()->sqlvar[index_]);
  switch (v.kind) {
    case Value::kNull:
      return 0;
    case Value::kScaled:
      return Rescale(v.scaled, v.scale, -4, FieldName());
    case Value::kText: {
      std::int64_t x;
      int scale;
      if (!ParseDecimal(v.text, x, scale))
        throw EDatabaseError("Field " + FieldName() + ": '" + v.text + "' is not a valid number");
      return Rescale(x, scale, -4, FieldName());
    }
    case Value::kDouble:
      if (!(std::fabs(v.d) < 9.2e14)) throw EDatabaseError("Field " + FieldName() + ": value out of range");
      return std::llround(v.d * 10000.0);
    case Value::kBool:
      return v.b ? 10000 : 0;
    default:
      throw EDatabaseError("Field " + FieldName() + ": type " + std::to_string(v.type) + " cannot be read as a number");
  }
}

}  // namespace localdb
