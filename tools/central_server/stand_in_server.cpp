#include "stand_in_server.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

#include "common/text.h"
#include "connections/central/data_packet.h"
#include "connections/central/dbx_connection.h"
#include "connections/central/dbx_value.h"
#include "connections/central/json_stream.h"
#include "connections/central/ole_variant.h"
#include "platform/os.h"

namespace central_server {

using central::DbxParameter;
using central::DbxValue;
using central::JValue;
using central::ProtocolError;
namespace dbx = central::dbx;
namespace ole = central::ole;
namespace packet = central::packet;

namespace {
std::atomic<bool> log_enabled{true};
}  // namespace

void SetLogEnabled(bool on) { log_enabled = on; }

void Log(const std::string& line) {
  if (!log_enabled) return;
  static std::mutex mu;
  std::lock_guard lock(mu);
  std::cerr << "[central] " << line << std::endl;
}

// ---- options -------------------------------------------------------------------------------

Options Options::Parse(const std::vector<std::string>& args) {
  Options o;
  auto number = [](const std::string& flag, const std::string& v) -> std::int64_t {
    try {
      std::size_t used = 0;
      long long n = std::stoll(v, &used);
      if (used != v.size()) throw std::invalid_argument(v);
      return n;
    } catch (const std::exception&) {
      throw std::invalid_argument(flag + " needs a number, got '" + v + "'");
    }
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    // A text option's value, or with "@PATH" the bytes of that file: a command line holds neither
    // a megabyte nor every byte a hostile server may send.
    auto text_value = [&]() -> std::string {
      std::string v = value();
      if (v.empty() || v[0] != '@') return v;
      std::ifstream in(v.substr(1), std::ios::binary);
      if (!in) throw std::invalid_argument(a + ": cannot read " + v.substr(1));
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    if (a == "--port") {
      std::int64_t p = number(a, value());
      if (p < 0 || p > 65535) throw std::invalid_argument("--port must be 0..65535");
      o.port = static_cast<std::uint16_t>(p);
    } else if (a == "--bind") o.bind = value();
    else if (a == "--port-file") o.port_file = value();
    else if (a == "--dump-file") o.dump_file = value();
    else if (a == "--firebird") o.firebird_path = value();
    else if (a == "--firebird-server") o.firebird_server = value();
    else if (a == "--firebird-user") o.firebird_user = value();
    else if (a == "--firebird-password") o.firebird_password = value();
    else if (a == "--branch") o.branches.push_back(static_cast<std::int32_t>(number(a, value())));
    else if (a == "--reject-product") o.reject_products.insert(value());
    else if (a == "--reject-seq") o.reject_sequences.insert(number(a, value()));
    else if (a == "--reject-message") o.reject_message = text_value();
    else if (a == "--reject-stamp") o.reject_stamp = true;
    else if (a == "--no-branch-row") o.no_branch_row = true;
    else if (a == "--index-text") {
      o.index_fault = IndexFault::kText;
      o.index_text = text_value();
    } else if (a == "--index-null") o.index_fault = IndexFault::kNull;
    else if (a == "--index-none") o.index_fault = IndexFault::kNoRow;
    else if (a == "--delay-ms") o.delay_ms = static_cast<int>(number(a, value()));
    else if (a == "--drop") o.drop_method = value();
    else if (a == "--close-on") o.close_method = value();
    else if (a == "--garbage-on") o.garbage_method = value();
    else if (a == "--connect-error") o.connect_error = text_value();
    else if (a == "--mute") o.mute = true;
    else if (a == "--filters") o.filters = true;
    else if (a == "--inline-limit") {
      std::int64_t n = number(a, value());
      if (n < 1 || n > 65535) throw std::invalid_argument("--inline-limit must be 1..65535");
      o.inline_limit = static_cast<std::size_t>(n);
    } else {
      throw std::invalid_argument("Unknown option " + a);
    }
  }
  return o;
}

// ---- data packets of the providers ----------------------------------------------------------

namespace {

constexpr std::uint8_t kKeyFlags = packet::pfInUpdate | packet::pfInWhere | packet::pfInKey;

packet::FieldDesc IntField(const std::string& name, std::uint32_t size, bool key) {
  packet::FieldDesc f{name, packet::TypeWord(packet::dsINT, size), 0, {}};
  if (key) f.props.push_back(packet::ByteAttribute("PROVFLAGS", kKeyFlags));
  return f;
}
packet::FieldDesc TextField(const std::string& name, std::int32_t width) {
  return {name, packet::TypeWord(packet::dsZSTRING, 1, packet::kVarying), 0, {packet::IntAttribute("WIDTH", width)}};
}
// A length of two bytes holds up to 32,767 characters; a longer text needs four.
packet::FieldDesc WideTextField(const std::string& name, std::int32_t width) {
  return {name, packet::TypeWord(packet::dsUNICODE, width > 32767 ? 4 : 2, packet::kVarying), 0,
          {packet::IntAttribute("WIDTH", width * 2)}};
}
packet::FieldDesc BcdField(const std::string& name, std::int32_t precision, std::int32_t scale) {
  std::uint32_t half = static_cast<std::uint32_t>((precision + 1) / 2);
  std::uint32_t size = (half % 2 ? half + 1 : half) + 2;
  return {name, packet::TypeWord(packet::dsBCD, size), 0,
          {packet::IntAttribute("WIDTH", precision), packet::IntAttribute("DECIMALS", scale)}};
}
packet::FieldDesc TimestampField(const std::string& name) {
  return {name, packet::TypeWord(packet::dsTIMESTAMP, 8), 0, {}};
}

std::string RawTimestamp(std::int64_t ms) {
  double d = static_cast<double>(ms);
  std::string s(8, '\0');
  std::memcpy(s.data(), &d, 8);
  return s;
}
packet::DataPacket NewPacket(std::vector<packet::FieldDesc> fields) {
  packet::DataPacket p;
  p.properties = packet::kMetadataIncluded | packet::kContainsMetaLength;
  p.fields = std::move(fields);
  return p;
}

// Typed reading of delta cells.
std::int64_t CellInt(const packet::FieldDesc& f, const packet::Cell& c) {
  if (f.Type() == packet::dsINT || f.Type() == packet::dsUINT) return packet::IntOf(c.raw, f.Type() == packet::dsINT);
  if (f.Type() == packet::dsZSTRING) {
    std::size_t used = 0;
    std::int64_t v = std::stoll(c.raw.str(), &used);
    if (used != c.raw.size()) throw std::invalid_argument(c.raw.str());
    return v;
  }
  throw std::invalid_argument("not an integer field");
}

std::string CellText(const packet::FieldDesc& f, const packet::Cell& c) {
  if (f.Type() == packet::dsZSTRING) {
    // A Windows central server reads an ANSI text in its code page, Windows-1252.
    bool ok = false;
    return os::CodePageToUtf8(1252, c.raw.view().substr(0, c.raw.view().find('\0')), &ok);
  }
  if (f.Type() == packet::dsUNICODE) return packet::WideText(c.raw);
  return std::to_string(CellInt(f, c));
}

std::int64_t CellCurrency(const packet::FieldDesc& f, const packet::Cell& c) {
  if (f.Type() == packet::dsBCD || f.Type() == packet::dsFMTBCD) return packet::BcdToCurrency(c.raw);
  if (f.Type() == packet::dsFLOATIEEE && c.raw.size() == 8) {
    double d;
    std::memcpy(&d, c.raw.data(), 8);
    return std::llround(d * 10000.0);
  }
  return CellInt(f, c) * 10000;
}

std::int64_t CellTimestampMs(const packet::FieldDesc& f, const packet::Cell& c) {
  if (f.Type() != packet::dsTIMESTAMP || c.raw.size() != 8) throw std::invalid_argument("not a timestamp");
  double d;
  std::memcpy(&d, c.raw.data(), 8);
  return std::llround(d);
}

}  // namespace

std::int64_t NowTimeStampMs() {
  using namespace std::chrono;
  std::int64_t unix_ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return unix_ms + std::int64_t(719163) * 86400000;  // 01/01/1970 is day 719163
}

namespace {

struct Rejection {
  std::int32_t record;  // 1-based change number
  std::string message;
};

struct ApplyOutcome {
  std::int32_t error_count = 0;
  ole::Variant result = ole::Variant::Null();
};

// The error packet: one row per rejected change, the delta's own fields left null.
ole::Variant ErrorPacket(const packet::DataPacket& delta, const std::vector<Rejection>& errors) {
  // As wide as the longest text (--reject-message may be long), at least 1024 characters.
  std::size_t longest = 1024;
  for (const Rejection& r : errors) longest = std::max(longest, text::Utf8ToUtf16(r.message).size());
  std::vector<packet::FieldDesc> fields = {
      IntField("ERROR_RECORDNO", 4, false), IntField("ERROR_RESPONSE", 4, false),
      WideTextField("ERROR_MESSAGE", static_cast<std::int32_t>(longest)),  TextField("ERROR_CONTEXT", 255),
      IntField("ERROR_CATEGORY", 4, false), IntField("ERROR_CODE", 4, false)};
  for (const auto& f : delta.fields) fields.push_back(f);
  packet::DataPacket p = NewPacket(std::move(fields));
  p.major = delta.major;
  for (const Rejection& r : errors) {
    packet::Row row;
    row.cells = {packet::Cell::Value(packet::IntRaw(r.record, 4)),
                 packet::Cell::Value(packet::IntRaw(2, 4)),  // abort: with MaxErrors 0 the first error ends the apply
                 packet::Cell::Value(packet::WideRaw(r.message)), packet::Cell::Value(""),
                 packet::Cell::Value(packet::IntRaw(1, 4)), packet::Cell::Value(packet::IntRaw(0, 4))};
    row.cells.resize(p.fields.size(), packet::Cell::Null());
    p.rows.push_back(std::move(row));
  }
  return ole::Variant::Bytes(packet::Write(p));
}

struct Change {
  std::int32_t record;
  std::uint8_t kind;  // kInserted, kModified, kDeleted
  const packet::Row* original = nullptr;
  const packet::Row* current = nullptr;
};

std::vector<Change> Changes(const packet::DataPacket& delta) {
  std::vector<Change> out;
  for (std::size_t i = 0; i < delta.rows.size(); ++i) {
    const packet::Row& r = delta.rows[i];
    std::int32_t record = static_cast<std::int32_t>(out.size() + 1);
    if (r.status & packet::kInserted) out.push_back({record, packet::kInserted, nullptr, &r});
    else if (r.status & packet::kDeleted) out.push_back({record, packet::kDeleted, &r, nullptr});
    else if (r.status & packet::kOriginal) {
      if (i + 1 >= delta.rows.size() || !(delta.rows[i + 1].status & packet::kModified))
        throw ProtocolError("Delta has an original row without its modified row");
      out.push_back({record, packet::kModified, &r, &delta.rows[i + 1]});
      ++i;
    } else {
      throw ProtocolError("Delta row with unknown status " + std::to_string(r.status));
    }
  }
  return out;
}

int Field(const packet::DataPacket& p, const char* name) {
  int i = p.FieldIndex(name);
  if (i < 0) throw ProtocolError(std::string("Delta lacks the field ") + name);
  return i;
}

}  // namespace

// ---- one client connection ------------------------------------------------------------------

class StandInServer::Session {
 public:
  Session(StandInServer& server, net::Socket socket) : server_(server), opt_(server.options_), socket_(std::move(socket)) {}

  void Run() {
    try {
      Serve();
    } catch (const std::exception& e) {
      Log(std::string("connection ended: ") + e.what());
    }
    socket_.Close();
  }

 private:
  class Source : public central::ByteSource {
   public:
    explicit Source(net::Socket& s) : s_(s) {}
    std::size_t Read(char* b, std::size_t n) override { return s_.Receive(b, n, net::Millis(600000)); }

   private:
    net::Socket& s_;
  };

  struct Command {
    std::string method;
    std::vector<DbxParameter> params;
    std::map<int, std::string> rests;  // output values still to be fetched, by ordinal
  };

  // Applies the injected faults to an answer; false when the session must end.
  bool Answer(const std::string& method, const std::string& bytes) {
    if (opt_.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opt_.delay_ms));
    if (method == opt_.drop_method) {
      Log("dropping the answer to " + method);
      return true;
    }
    if (method == opt_.close_method) {
      Log("closing the connection in the middle of the answer to " + method);
      std::string half = bytes.substr(0, bytes.size() / 2);
      socket_.SendAll(half.data(), half.size(), net::Millis(5000));
      socket_.Shutdown();
      return false;
    }
    if (method == opt_.garbage_method) {
      Log("answering " + method + " with garbage");
      static const std::string kGarbage = "\x01\x7F{\"result\":[{\"data\":[99999999999,";
      socket_.SendAll(kGarbage.data(), kGarbage.size(), net::Millis(5000));
      socket_.Shutdown();
      return false;
    }
    socket_.SendAll(bytes.data(), bytes.size(), net::Millis(60000));
    return true;
  }

  static std::string ErrorObject(const std::string& message) {
    // The outer object is left unclosed, as DataSnap servers write it.
    std::string out = "{\"error\":{\"name\":\"Exception\",\"code\":5,\"message\":";
    central::AppendJsonString(out, "Remote error: " + message);
    out += "}";
    return out;
  }

  void Serve() {
    if (opt_.mute) {
      char buf[4096];
      while (socket_.Receive(buf, sizeof buf, net::Millis(600000)) > 0) {
      }
      return;
    }
    Source src(socket_);
    central::StreamReader in(src);
    if (in.Peek() == 5) {
      for (int i = 0; i < 5; ++i)
        if (in.Get() != 5) throw ProtocolError("Malformed filter query");
      if (opt_.filters) {
        static const char kFilters[] = "\x0D\x00\x00\x00\x02{}";
        if (!Answer("handshake", std::string(kFilters, sizeof kFilters - 1))) return;
        return;
      }
      if (!Answer("handshake", std::string("\x06\x00\x00\x00\x00", 5))) return;
    }
    for (;;) {
      if (in.Peek() < 0) return;
      JValue msg = central::ReadMessage(in);
      const JValue* m = msg.Find("method");
      if (!m || !m->Is(JValue::Kind::kString)) throw ProtocolError("Request without a method");
      const std::string method = m->text;
      const JValue* params = msg.Find("params");
      if (!params || !params->Is(JValue::Kind::kArray)) throw ProtocolError("Request without params");
      if (method == "disconnect") {
        Log("disconnect");
        return;
      }
      if (method == "command_close") {
        Close(params->At(0).AsInt());
        continue;
      }
      std::string reply;
      try {
        if (method == "connect" && opt_.connect_error) throw std::runtime_error(*opt_.connect_error);
        if (method == "connect") reply = "{\"result\":[0,\"DataSnap\",2]}";
        else if (method == "prepare") reply = Prepare(*params);
        else if (method == "execute") reply = Execute(in, *params);
        else if (method == "more_blob") reply = MoreBlob(*params);
        else {
          // DataSnap servers leave unknown methods unanswered.
          Log("unknown method " + method + ", no answer");
          continue;
        }
      } catch (const net::NetError&) {
        throw;
      } catch (const std::exception& e) {
        Log(method + " failed: " + text::CapText(text::FlattenControls(e.what())));
        reply = ErrorObject(e.what());
      }
      if (!Answer(method, reply)) return;
    }
  }

  void Close(std::int64_t handle) {
    if (handle >= 0 && static_cast<std::size_t>(handle) < commands_.size()) commands_[handle].reset();
  }

  static std::vector<DbxParameter> ParamsOf(const std::string& method) {
    if (method == "AS_GetRecords")
      return {{dbx::kWideString, dbx::kIn, "ProviderName"},   {dbx::kInt32, dbx::kIn, "Count"},
              {dbx::kInt32, dbx::kOut, "RecsOut"},            {dbx::kInt32, dbx::kIn, "Options"},
              {dbx::kWideString, dbx::kIn, "CommandText"},    {dbx::kBinaryBlob, dbx::kInOut, "ParamReader"},
              {dbx::kBinaryBlob, dbx::kInOut, "OwnerDataStream"}, {dbx::kVariant, dbx::kReturn, "ReturnParameter"}};
    if (method == "AS_ApplyUpdates")
      return {{dbx::kWideString, dbx::kIn, "ProviderName"}, {dbx::kVariant, dbx::kIn, "DeltaStream"},
              {dbx::kInt32, dbx::kIn, "MaxErrors"},         {dbx::kInt32, dbx::kOut, "ErrorCount"},
              {dbx::kBinaryBlob, dbx::kInOut, "OwnerDataStream"}, {dbx::kVariant, dbx::kReturn, "ReturnParameter"}};
    throw std::runtime_error("Method " + method + " not found");
  }

  std::string Prepare(const JValue& params) {
    const std::string& text = params.At(3).AsString();
    const std::string prefix = "TServerMethods1.";
    if (text.rfind(prefix, 0) != 0) throw std::runtime_error("Server class of " + text + " not found");
    Command cmd{text.substr(prefix.size()), ParamsOf(text.substr(prefix.size())), {}};
    std::size_t slot = 0;
    while (slot < commands_.size() && commands_[slot]) ++slot;
    if (slot == commands_.size()) {
      if (commands_.size() >= 64) throw std::runtime_error("Too many open commands");
      commands_.emplace_back();
    }
    std::string reply = "{\"result\":[{\"handle\":[" + std::to_string(slot) + "]},{\"fields\":[0,false]},{\"parameters\":[" +
                        std::to_string(cmd.params.size());
    for (const DbxParameter& p : cmd.params) {
      reply += ",[" + std::to_string(p.data_type) + ",0," + std::to_string(p.direction) + ",0,0,";
      central::AppendJsonString(reply, p.name);
      reply += ",0,0,0]";
    }
    reply += "]}]}";
    commands_[slot] = std::move(cmd);
    return reply;
  }

  Command& CommandOf(std::int64_t handle) {
    if (handle < 0 || static_cast<std::size_t>(handle) >= commands_.size() || !commands_[handle])
      throw std::runtime_error("Invalid command handle " + std::to_string(handle));
    return *commands_[handle];
  }

  // Fetches the rest of an input value the client sent with the "more" header.
  std::string FetchInput(central::StreamReader& in, std::int64_t handle, int ordinal, std::string value) {
    for (;;) {
      std::string ask = "{\"more_blob\":[" + std::to_string(handle) + ",1,0," + std::to_string(ordinal) + ",0]}";
      socket_.SendAll(ask.data(), ask.size(), net::Millis(60000));
      JValue reply = central::ReadMessage(in);
      const JValue* d = reply.Find("data");
      if (!d || !d->Is(JValue::Kind::kBlob)) throw ProtocolError("Expected a data object from the client");
      if (value.size() + d->text.size() > central::kMaxAnswerValues) throw ProtocolError("Input value too large");
      value += d->text;
      if (d->blob_count <= 0) return value;
    }
  }

  std::string Execute(central::StreamReader& in, const JValue& params) {
    std::int64_t handle = params.At(0).Find("handle") ? params.At(0).Find("handle")->At(0).AsInt() : -1;
    Command& cmd = CommandOf(handle);
    const JValue* data = params.At(1).Find("data");
    if (!data || !data->Is(JValue::Kind::kBlob)) throw ProtocolError("execute without a parameter row");
    std::vector<int> more;
    std::vector<DbxValue> values = central::DecodeRow(cmd.params, data->text, &more);
    for (int ordinal : more) values[ordinal].text = FetchInput(in, handle, ordinal, std::move(values[ordinal].text));

    std::vector<DbxValue> out(cmd.params.size());
    if (cmd.method == "AS_GetRecords") GetRecords(values, out);
    else ApplyUpdates(values, out);

    cmd.rests.clear();
    std::string row;
    for (std::size_t i = 0; i < cmd.params.size(); ++i) {
      const DbxValue& v = out[i];
      if (cmd.params[i].direction == dbx::kIn || v.IsNull()) dbx::AppendNull(row);
      else if (v.kind == DbxValue::Kind::kInt) dbx::AppendInt(row, v.integer);
      else if (v.text.size() <= opt_.inline_limit) dbx::AppendBytes(row, v.text);
      else {
        dbx::AppendBytes(row, std::string_view(v.text).substr(0, opt_.inline_limit), /*more=*/true);
        cmd.rests[static_cast<int>(i)] = v.text.substr(opt_.inline_limit);
      }
    }
    std::string reply = "{\"result\":[{\"rows\":[0]},";
    central::AppendDataObject(reply, row, false, false);
    reply += "]}";
    return reply;
  }

  std::string MoreBlob(const JValue& params) {
    Command& cmd = CommandOf(params.At(0).AsInt());
    int ordinal = static_cast<int>(params.At(3).AsInt());
    auto it = cmd.rests.find(ordinal);
    if (it == cmd.rests.end()) throw std::runtime_error("No more data for parameter " + std::to_string(ordinal));
    std::size_t n = std::min(it->second.size(), central::kBlobChunk);
    std::string chunk = it->second.substr(0, n);
    it->second.erase(0, n);
    bool last = it->second.empty();
    if (last) cmd.rests.erase(it);
    std::string reply = "{\"result\":[";
    central::AppendDataObject(reply, chunk, last, /*pad=*/true);
    reply += "]}";
    return reply;
  }

  static ole::Variant VariantOf(const DbxValue& v) {
    if (v.IsNull()) return ole::Variant::Null();
    if (v.text.empty()) return ole::Variant::Empty();
    return ole::FromStream(v.text);
  }

  static std::int32_t StoreCode(const std::vector<ole::PackedParam>& params) {
    for (const auto& p : params) {
      if (!text::EqualsIgnoreCase(p.name, "CODIGO")) continue;
      if (p.value.IsIntegerKind()) return static_cast<std::int32_t>(p.value.integer);
      if (p.value.vtype == ole::varOleStr) return static_cast<std::int32_t>(std::stol(p.value.str));
      throw std::runtime_error("Parameter CODIGO has no usable value");
    }
    throw std::runtime_error("Parameter CODIGO missing");
  }

  void GetRecords(const std::vector<DbxValue>& in, std::vector<DbxValue>& out) {
    const std::string& provider = in[0].text;
    const std::int64_t options = in[3].integer;
    const std::string unassigned = ole::ToStream(ole::Variant::Empty());
    out[5] = DbxValue::Bytes(unassigned);
    out[6] = DbxValue::Bytes(unassigned);
    out[2] = DbxValue::Int(0);
    if (options & 2) {  // reset: nothing to send back
      Log("reset of " + provider);
      out[7] = DbxValue::Bytes(unassigned);
      return;
    }
    std::vector<ole::PackedParam> params = ole::UnpackParams(VariantOf(in[5]));
    packet::DataPacket p;
    if (provider == "DPIndice") {
      std::int32_t loja = StoreCode(params);
      p = NewPacket({IntField("CODIGOLOJA", 4, true), TextField("RPL_INDICEESTOQUE", 20)});
      auto branch = server_.store_.ReadBranch(loja);
      std::optional<std::optional<std::string>> index;  // outer: row present; inner: not null
      if (branch) index = branch->indice ? std::optional<std::string>(std::to_string(*branch->indice)) : std::nullopt;
      switch (opt_.index_fault) {
        case Options::IndexFault::kText: index = opt_.index_text; break;
        case Options::IndexFault::kNull: index = std::optional<std::string>(); break;
        case Options::IndexFault::kNoRow: index.reset(); break;
        case Options::IndexFault::kNone: break;
      }
      if (index) {
        p.rows.push_back({packet::kUnmodified,
                          {packet::Cell::Value(packet::IntRaw(loja, 4)),
                           *index ? packet::Cell::Value(text::Utf8ToLatin1(**index)) : packet::Cell::Null()}});
      }
      Log("DPIndice for store " + std::to_string(loja) + ": " + (!index ? "no row" : !*index ? "null" : "\"" + **index + "\""));
    } else if (provider == "DPLogEstoqueRec") {
      p = NewPacket({IntField("SEQUENCIALLOJAORIGEM", 8, true), IntField("CODIGOLOJA", 4, true),
                     TextField("CODIGOPRODUTO", 20), BcdField("ESTOQUEATUAL", 15, 4)});
    } else if (provider == "DPFiliais") {
      std::int32_t loja = StoreCode(params);
      p = NewPacket({IntField("CODIGO", 4, true), TimestampField("DATAHORA"), TimestampField("RPL_ULTIMAATUALIZACAO")});
      auto branch = server_.store_.ReadBranch(loja);
      if (branch && !opt_.no_branch_row) {
        p.rows.push_back({packet::kUnmodified,
                          {packet::Cell::Value(packet::IntRaw(loja, 4)),
                           packet::Cell::Value(RawTimestamp(branch->datahora_ms)),
                           branch->ultima_ms ? packet::Cell::Value(RawTimestamp(*branch->ultima_ms)) : packet::Cell::Null()}});
      }
      Log("DPFiliais for store " + std::to_string(loja) + ": " + (p.rows.empty() ? "no row" : "1 row"));
    } else {
      throw std::runtime_error("Provider " + provider + " not found");
    }
    out[2] = DbxValue::Int(static_cast<std::int64_t>(p.rows.size()));
    out[7] = DbxValue::Bytes(ole::ToStream(ole::Variant::Bytes(packet::Write(p))));
  }

  std::string RejectText(const std::string& fallback) const { return opt_.reject_message.value_or(fallback); }

  void ApplyUpdates(const std::vector<DbxValue>& in, std::vector<DbxValue>& out) {
    const std::string& provider = in[0].text;
    ole::Variant delta_v = VariantOf(in[1]);
    if (!delta_v.IsByteArray()) throw std::runtime_error("Delta is not a data packet");
    packet::DataPacket delta = packet::Read(delta_v.str);
    const std::int64_t max_errors = in[2].integer;
    std::vector<Change> changes = Changes(delta);
    std::vector<Rejection> errors;
    auto reject = [&](std::int32_t record, const std::string& message) {
      errors.push_back({record, message});
      return max_errors >= 0 && static_cast<std::int64_t>(errors.size()) > max_errors;  // abort
    };

    if (provider == "DPLogEstoqueRec") {
      const int fs = Field(delta, "SEQUENCIALLOJAORIGEM"), fl = Field(delta, "CODIGOLOJA"),
                fp = Field(delta, "CODIGOPRODUTO"), fe = Field(delta, "ESTOQUEATUAL");
      std::vector<StockRow> rows;
      for (const Change& c : changes) {
        if (c.kind != packet::kInserted) {
          if (reject(c.record, "Only new stock rows are accepted")) break;
          continue;
        }
        const auto& cells = c.current->cells;
        std::string missing;
        for (int f : {fs, fl, fp, fe})
          if (cells[f].state != packet::CellState::kValue) missing = delta.fields[f].name;
        if (!missing.empty()) {
          if (reject(c.record, "Field " + missing + " must have a value")) break;
          continue;
        }
        StockRow r;
        try {
          r.sequencial = CellInt(delta.fields[fs], cells[fs]);
          r.loja = static_cast<std::int32_t>(CellInt(delta.fields[fl], cells[fl]));
          r.produto = CellText(delta.fields[fp], cells[fp]);
          r.estoque = CellCurrency(delta.fields[fe], cells[fe]);
        } catch (const std::exception& e) {
          if (reject(c.record, std::string("Invalid value: ") + e.what())) break;
          continue;
        }
        if (opt_.reject_products.count(r.produto)) {
          if (reject(c.record, RejectText("Product " + r.produto + " rejected"))) break;
          continue;
        }
        if (opt_.reject_sequences.count(r.sequencial)) {
          if (reject(c.record, RejectText("Row " + std::to_string(r.sequencial) + " rejected"))) break;
          continue;
        }
        rows.push_back(std::move(r));
      }
      const bool rolled_back = max_errors >= 0 && static_cast<std::int64_t>(errors.size()) > max_errors;
      if (!rolled_back && !rows.empty()) {
        try {
          server_.store_.InsertStockRows(rows);
        } catch (const StoreError& e) {
          errors.assign(1, {changes.empty() ? 1 : changes.front().record, e.what()});
          rows.clear();
        }
      }
      Log("DPLogEstoqueRec: " + std::to_string(changes.size()) + " change(s), " + std::to_string(errors.size()) +
          " error(s), " + (errors.empty() ? std::to_string(rows.size()) : std::string("0")) + " stored");
    } else if (provider == "DPFiliais") {
      const int fc = Field(delta, "CODIGO"), fu = Field(delta, "RPL_ULTIMAATUALIZACAO");
      std::vector<std::pair<std::int32_t, std::int64_t>> stamps;
      for (const Change& c : changes) {
        if (c.kind != packet::kModified) {
          if (reject(c.record, "Branch rows can only be changed")) break;
          continue;
        }
        std::string bad;
        for (std::size_t f = 0; f < delta.fields.size(); ++f)
          if (static_cast<int>(f) != fu && c.current->cells[f].state != packet::CellState::kNotChanged) bad = delta.fields[f].name;
        if (!bad.empty()) {
          if (reject(c.record, "Field " + bad + " cannot be changed")) break;
          continue;
        }
        if (opt_.reject_stamp) {
          if (reject(c.record, RejectText("Branch stamp rejected"))) break;
          continue;
        }
        const auto& u = c.current->cells[fu];
        if (u.state != packet::CellState::kValue) continue;  // unchanged or cleared: nothing to stamp
        stamps.emplace_back(static_cast<std::int32_t>(CellInt(delta.fields[fc], c.original->cells[fc])),
                            CellTimestampMs(delta.fields[fu], u));
      }
      if (!(max_errors >= 0 && static_cast<std::int64_t>(errors.size()) > max_errors)) {
        for (auto& [loja, ms] : stamps) {
          try {
            server_.store_.StampBranch(loja, ms);
          } catch (const StoreError& e) {
            errors.assign(1, {changes.front().record, e.what()});
          }
        }
      }
      Log("DPFiliais: " + std::to_string(changes.size()) + " change(s), " + std::to_string(errors.size()) + " error(s)");
    } else if (provider == "DPIndice") {
      for (const Change& c : changes)
        if (reject(c.record, "DPIndice is read-only")) break;
    } else {
      throw std::runtime_error("Provider " + provider + " not found");
    }
    server_.Dump();
    out[3] = DbxValue::Int(static_cast<std::int64_t>(errors.size()));
    out[4] = DbxValue::Bytes(ole::ToStream(ole::Variant::Empty()));
    out[5] = errors.empty() ? DbxValue::Null() : DbxValue::Bytes(ole::ToStream(ErrorPacket(delta, errors)));
  }

  StandInServer& server_;
  const Options& opt_;
  net::Socket socket_;
  std::vector<std::optional<Command>> commands_;
};

// ---- the server -----------------------------------------------------------------------------

StandInServer::StandInServer(Options options, CentralStore& store) : options_(std::move(options)), store_(store) {}

StandInServer::~StandInServer() { Stop(); }

void StandInServer::Start() {
  listener_ = net::Listener::Listen(options_.bind, options_.port);
  port_ = listener_.Port();
  Log("listening on " + options_.bind + ":" + std::to_string(port_));
  if (!options_.port_file.empty()) {
    // Written to a side name first, so that a reader never sees half a number.
    std::string tmp = options_.port_file + ".tmp";
    {
      std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
      f << port_ << "\n";
    }
    os::ReplaceFileAtomically(tmp, options_.port_file);
  }
  Dump();
}

void StandInServer::Run() {
  while (!stopping_) {
    net::Socket s;
    try {
      s = listener_.Accept();
    } catch (const net::NetError& e) {
      if (stopping_) return;
      Log(std::string("accept failed: ") + e.what());
      continue;
    }
    Log("connection accepted");
    std::thread([this, sock = std::move(s)]() mutable { Session(*this, std::move(sock)).Run(); }).detach();
  }
}

void StandInServer::Stop() {
  stopping_ = true;
  listener_.Close();
}

void StandInServer::Dump() {
  if (options_.dump_file.empty()) return;
  std::lock_guard lock(dump_mu_);
  std::string out;
  for (const BranchRow& b : store_.Branches()) {
    out += "branch " + std::to_string(b.codigo) + " indice=" + (b.indice ? std::to_string(*b.indice) : "null") +
           " ultima=" + (b.ultima_ms ? std::to_string(*b.ultima_ms) : "null") + " datahora=" + std::to_string(b.datahora_ms) + "\n";
    for (const StockRow& r : store_.StockRows(b.codigo))
      out += "row " + std::to_string(r.loja) + " " + std::to_string(r.sequencial) + " " + r.produto + " " +
             packet::CurrencyToString(r.estoque) + "\n";
  }
  std::string tmp = options_.dump_file + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << out;
  }
  os::ReplaceFileAtomically(tmp, options_.dump_file);
}

}  // namespace central_server
