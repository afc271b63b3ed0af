#include "connections/central/provider_connection.h"

#include "common/text.h"
#include "connections/central/dbx_value.h"
#include "settings/ini_file.h"

namespace central {

int TStrings::IndexOfName(const std::string& name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::size_t eq = lines_[i].find('=');
    if (eq != std::string::npos && text::EqualsIgnoreCase(std::string_view(lines_[i]).substr(0, eq), name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TStrings::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? "" : lines_[static_cast<std::size_t>(i)].substr(lines_[static_cast<std::size_t>(i)].find('=') + 1);
}

TSQLConnection::TSQLConnection()
    : Params{"DriverUnit=Data.DBXDataSnap",
             "CommunicationProtocol=tcp/ip",
             "DatasnapContext=datasnap/",
             "DriverAssemblyLoader=",
             "DriverName=DataSnap",
             "HostName=localhost",
             "Port=2507",
             "Filters={}"} {}

TSQLConnection::~TSQLConnection() { SetConnected(false); }

void TSQLConnection::SetConnected(bool value) {
  if (value == Connected()) return;
  if (!value) {
    for (auto& f : before_close_) {
      try {
        f(session_);
      } catch (...) {
        // Closing goes on: what could not be said is lost with the connection anyway.
      }
    }
    session_.Close();
    return;
  }
  const std::string port_text = Params.Values("Port");
  auto port = settings::ParseInteger(port_text.empty() ? "2507" : port_text);
  if (!port || *port <= 0 || *port > 65535) throw std::invalid_argument("Invalid port: " + port_text);
  std::vector<std::pair<std::string, std::string>> properties;
  for (const std::string& line : Params.Lines()) {
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) properties.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  session_.Open(Params.Values("HostName"), static_cast<std::uint16_t>(*port), properties, timeouts);
  ++session_id_;
}

DbxConnection& TSQLConnection::Session() {
  SetConnected(true);
  return session_;
}

TDSProviderConnection::TDSProviderConnection(TSQLConnection& connection, std::string server_class)
    : ServerClassName(std::move(server_class)), SQLConnection(connection) {
  SQLConnection.AddBeforeClose([this](DbxConnection& session) {
    // CloseCommand sends only on a live session: after a failure the rest are dropped.
    if (prepared_on_ == SQLConnection.SessionId())
      for (auto& [name, cmd] : commands_) session.CloseCommand(cmd.handle);
    commands_.clear();
  });
}

DbxCommand& TDSProviderConnection::Command(const std::string& method, std::size_t expected_params) {
  DbxConnection& session = SQLConnection.Session();
  if (prepared_on_ != SQLConnection.SessionId()) {
    commands_.clear();
    prepared_on_ = SQLConnection.SessionId();
  }
  auto it = commands_.find(method);
  if (it != commands_.end()) return it->second;
  const std::string full = ServerClassName + "." + method;
  DbxCommand cmd = session.Prepare(full);
  // Older servers declare the stream parameters as variants (35) instead of binary streams
  // (33); both carry the same variant stream, so only the count and kinds are checked.
  bool ok = cmd.params.size() == expected_params;
  for (std::size_t i = 0; ok && i < cmd.params.size(); ++i) {
    const DbxParameter& p = cmd.params[i];
    ok = dbx::IsStreamType(p.data_type) || dbx::IsIntegerType(p.data_type) || dbx::IsStringType(p.data_type);
  }
  if (!ok) {
    session.CloseCommand(cmd.handle);
    throw ProtocolError("Unexpected parameter list for " + full);
  }
  return commands_.emplace(method, std::move(cmd)).first->second;
}

namespace {

DbxValue StreamValue(const DbxParameter& p, const ole::Variant& v) {
  if (!dbx::IsStreamType(p.data_type)) throw ProtocolError("Parameter " + p.name + " is not a stream");
  if (v.IsNull()) return DbxValue::Null();  // a Null variant is not streamed
  return DbxValue::Bytes(ole::ToStream(v));
}

DbxValue StreamValue(const DbxParameter& p, ole::Variant&& v) {
  if (!dbx::IsStreamType(p.data_type)) throw ProtocolError("Parameter " + p.name + " is not a stream");
  if (v.IsNull()) return DbxValue::Null();
  return DbxValue::Bytes(ole::ToStream(std::move(v)));
}

// The stream's bytes move into the variant: a packet is never held twice.
ole::Variant VariantOf(DbxValue&& v) {
  if (v.IsNull()) return ole::Variant::Null();
  if (v.kind != DbxValue::Kind::kBytes) throw ProtocolError("Expected a stream value from the server");
  if (v.text.empty()) return ole::Variant::Empty();
  return ole::FromStream(std::move(v.text));
}

std::int32_t IntOf(const DbxValue& v) {
  if (v.IsNull()) return 0;
  if (v.kind != DbxValue::Kind::kInt) throw ProtocolError("Expected an integer value from the server");
  if (v.integer < INT32_MIN || v.integer > INT32_MAX) throw ProtocolError("Integer value from the server out of range");
  return static_cast<std::int32_t>(v.integer);
}

}  // namespace

template <class F>
auto TDSProviderConnection::Reading(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const ProtocolError&) {
    SQLConnection.SetConnected(false);
    throw;
  }
}

TDSProviderConnection::GetRecordsAnswer TDSProviderConnection::AS_GetRecords(
    const std::string& provider, std::int32_t count, std::int32_t options, const std::string& command_text,
    const ole::Variant& params, ole::Variant& owner_data) {
  return Reading([&] {
    DbxCommand& cmd = Command("AS_GetRecords", 8);
    const auto& p = cmd.params;
    std::vector<DbxValue> in = Inputs(DbxValue::String(provider), DbxValue::Int(count), DbxValue::Null(),
                                      DbxValue::Int(options), DbxValue::String(command_text), StreamValue(p[5], params),
                                      StreamValue(p[6], owner_data), DbxValue::Null());
    std::vector<DbxValue> out = SQLConnection.Session().Execute(cmd, in);
    GetRecordsAnswer a;
    a.RecsOut = IntOf(out[2]);
    if (!out[6].IsNull()) owner_data = VariantOf(std::move(out[6]));
    a.Result = VariantOf(std::move(out[7]));
    return a;
  });
}

TDSProviderConnection::ApplyAnswer TDSProviderConnection::AS_ApplyUpdates(const std::string& provider,
                                                                          ole::Variant delta, std::int32_t max_errors,
                                                                          ole::Variant& owner_data) {
  return Reading([&] {
    DbxCommand& cmd = Command("AS_ApplyUpdates", 6);
    const auto& p = cmd.params;
    std::vector<DbxValue> in = Inputs(DbxValue::String(provider), StreamValue(p[1], std::move(delta)),
                                      DbxValue::Int(max_errors), DbxValue::Null(), StreamValue(p[4], owner_data),
                                      DbxValue::Null());
    std::vector<DbxValue> out = SQLConnection.Session().Execute(cmd, in);
    ApplyAnswer a;
    // The count decides whether the rows sent are taken for stored: it must be there, and sane.
    if (out[3].IsNull()) throw ProtocolError("The server's answer to " + provider + " holds no error count");
    a.ErrorCount = IntOf(out[3]);
    if (a.ErrorCount < 0) throw ProtocolError("The server's answer to " + provider + " holds a negative error count");
    if (!out[4].IsNull()) owner_data = VariantOf(std::move(out[4]));
    a.Result = VariantOf(std::move(out[5]));
    return a;
  });
}

}  // namespace central
