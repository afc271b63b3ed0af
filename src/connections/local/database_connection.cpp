#include "connections/local/database_connection.h"

#include <cstdlib>

#include "common/text.h"
#include "connections/local/statement.h"
#include "connections/local/transaction.h"

namespace localdb {

namespace {

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

}  // namespace

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
  ++attachments_;
  try {
    BindNewTypes();
  } catch (...) {
    Disconnect();
    throw;
  }
}

// Firebird 4 keeps NUMERIC(19..38) as INT128 and has DECFLOAT, types that a client library older
// than 4.0 cannot even describe ("Data type unknown" for any statement that returns one). Bound
// to text for the session, every digit of such a value reaches the agent whatever client library
// the store has, and TField reads the text exactly: nothing passes through a binary float or a
// 64-bit integer on the way. Servers before 4.0 do not know the statement and have no such type.
// TIMESTAMP WITH TIME ZONE (what CURRENT_TIMESTAMP gives from 4.0 on) needs no rule: the agent
// reads no date or time from the store database; the branch row's stamp comes from the central
// server.
void TFDConnection::BindNewTypes() {
  static const char* const kRules[] = {"SET BIND OF INT128 TO VARCHAR", "SET BIND OF DECFLOAT TO VARCHAR"};
  TFDTransaction tx(*this, true);
  bool bound = true;
  for (const char* rule : kRules) {
    TFDQuery q("SetBind", *this, tx, rule);
    try {
      q.ExecSQL();
    } catch (const EFirebirdError& e) {
      if (!e.HasCode(kTokenUnknown)) throw;
      bound = false;  // a server before 4.0
      break;
    }
  }
  if (tx.Active()) bound ? tx.Commit() : tx.Rollback();
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

}  // namespace localdb
