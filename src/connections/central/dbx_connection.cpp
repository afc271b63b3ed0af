#include "connections/central/dbx_connection.h"

#include <algorithm>
#include <chrono>

#include "connections/central/dbx_value.h"

namespace central {

// Reads from the socket within the deadline of the exchange in progress.
class DbxConnection::SocketSource : public ByteSource {
 public:
  explicit SocketSource(net::Socket& s) : socket_(s) {}
  void SetDeadline(net::Millis from_now) { deadline_ = std::chrono::steady_clock::now() + from_now; }
  std::size_t Read(char* buffer, std::size_t capacity) override {
    auto left = std::chrono::duration_cast<net::Millis>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw net::TimeoutError("The server did not answer in time");
    return socket_.Receive(buffer, capacity, left);
  }

 private:
  net::Socket& socket_;
  std::chrono::steady_clock::time_point deadline_;
};

std::string EncodeInputRow(const std::vector<DbxParameter>& params, const std::vector<DbxValue>& inputs,
                           std::map<int, std::string>* rests) {
  if (inputs.size() != params.size())
    throw std::invalid_argument("Expected " + std::to_string(params.size()) + " parameter values, got " +
                                std::to_string(inputs.size()));
  std::string row;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const DbxParameter& p = params[i];
    const DbxValue& v = inputs[i];
    if (p.direction == dbx::kOut || p.direction == dbx::kReturn || v.IsNull()) {
      dbx::AppendNull(row);
      continue;
    }
    switch (v.kind) {
      case DbxValue::Kind::kInt:
        dbx::AppendInt(row, v.integer);
        break;
      case DbxValue::Kind::kBool:
        dbx::AppendBool(row, v.integer != 0);
        break;
      case DbxValue::Kind::kString:
        dbx::AppendString(row, v.text);
        break;
      case DbxValue::Kind::kBytes: {
        std::size_t used = row.size();
        std::size_t room = used + kMinInlineRoom < kRowRoom ? kRowRoom - used : kMinInlineRoom;
        room = std::min(room, dbx::kMaxSegment);
        if (v.text.size() <= room) {
          dbx::AppendBytes(row, v.text);
        } else {
          if (!rests) throw std::length_error("Value too large for one parameter row");
          dbx::AppendBytes(row, std::string_view(v.text).substr(0, room), /*more=*/true);
          (*rests)[static_cast<int>(i)] = v.text.substr(room);
        }
        break;
      }
      case DbxValue::Kind::kNull:
        break;
    }
  }
  return row;
}

std::vector<DbxValue> DecodeRow(const std::vector<DbxParameter>& params, std::string_view row, std::vector<int>* more) {
  dbx::ValueReader r(row);
  std::vector<DbxValue> out;
  out.reserve(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    int t = params[i].data_type;
    if (r.TakeNull()) {
      out.push_back(DbxValue::Null());
    } else if (dbx::IsIntegerType(t)) {
      out.push_back(DbxValue::Int(r.ReadInt()));
    } else if (t == dbx::kBoolean) {
      out.push_back(DbxValue::Bool(r.ReadBool()));
    } else if (dbx::IsStringType(t)) {
      out.push_back(DbxValue::String(r.ReadString()));
    } else if (dbx::IsStreamType(t)) {
      auto b = r.ReadBytes();
      if (b.more) {
        if (!more) throw ProtocolError("Unexpected continued value in a parameter row");
        more->push_back(static_cast<int>(i));
      }
      out.push_back(DbxValue::Bytes(std::move(b.data)));
    } else {
      throw ProtocolError("Unsupported parameter type " + std::to_string(t) + " (" + params[i].name + ")");
    }
  }
  if (!r.AtEnd()) throw ProtocolError("Parameter row longer than its parameters");
  return out;
}

DbxConnection::DbxConnection() = default;
DbxConnection::~DbxConnection() { Close(); }

bool DbxConnection::IsOpen() const { return socket_.IsOpen(); }

template <class F>
auto DbxConnection::Guarded(F&& f) -> decltype(f()) {
  if (!IsOpen()) throw net::NetError("Not connected to the server");
  try {
    return f();
  } catch (const RemoteError&) {
    throw;
  } catch (...) {
    // The stream's position is unknown now: the session cannot go on.
    source_.reset();
    reader_.reset();
    socket_.Close();
    throw;
  }
}

void DbxConnection::Send(const std::string& message) {
  socket_.SendAll(message.data(), message.size(), timeouts_.exchange);
  source_->SetDeadline(timeouts_.exchange);
}

JValue DbxConnection::Receive() { return ReadMessage(*reader_); }

// The "result" array of a reply; an error object becomes RemoteError.
JValue DbxConnection::Result(const JValue& reply) {
  if (const JValue* e = reply.Find("error")) {
    std::string message, name;
    std::int64_t code = 0;
    if (e->Is(JValue::Kind::kObject)) {
      if (const JValue* m = e->Find("message"); m && m->Is(JValue::Kind::kString)) message = m->text;
      if (const JValue* n = e->Find("name"); n && n->Is(JValue::Kind::kString)) name = n->text;
      if (const JValue* c = e->Find("code"); c && c->Is(JValue::Kind::kNumber)) code = c->AsInt();
    } else if (e->Is(JValue::Kind::kString)) {
      message = e->text;
    }
    throw RemoteError(message, name, code);
  }
  const JValue* r = reply.Find("result");
  if (!r || !r->Is(JValue::Kind::kArray)) throw ProtocolError("The server's answer has no result");
  return *r;
}

void DbxConnection::Open(const std::string& host, std::uint16_t port,
                         const std::vector<std::pair<std::string, std::string>>& properties, const Timeouts& timeouts) {
  Close();
  timeouts_ = timeouts;
  socket_ = net::Socket::Connect(host, port, timeouts.connect);
  source_ = std::make_unique<SocketSource>(socket_);
  reader_ = std::make_unique<StreamReader>(*source_);
  Guarded([&] {
    // Filter query: a server without transport filters answers 06 00 00 00 00.
    static const char kQuery[5] = {5, 5, 5, 5, 5};
    socket_.SendAll(kQuery, sizeof kQuery, timeouts_.exchange);
    source_->SetDeadline(timeouts_.exchange);
    unsigned char first = reader_->Get();
    if (first == 0x0D || first == 0x07)
      throw ProtocolError("The server uses transport filters (compression or encryption), which are not supported");
    if (first != 0x06) throw ProtocolError("The server's handshake answer is not a DataSnap one");
    for (int i = 0; i < 4; ++i)
      if (reader_->Get() != 0) throw ProtocolError("The server's handshake answer is not a DataSnap one");

    std::string msg = "{\"method\":\"connect\",\"params\":[{";
    for (std::size_t i = 0; i < properties.size(); ++i) {
      if (i) msg += ',';
      AppendJsonString(msg, properties[i].first);
      msg += ':';
      AppendJsonString(msg, properties[i].second);
    }
    msg += "}]}";
    Send(msg);
    JValue result = Result(Receive());
    connection_handle_ = result.items.empty() || !result.items[0].Is(JValue::Kind::kNumber) ? 0 : result.At(0).AsInt();
  });
}

void DbxConnection::Close() noexcept {
  if (socket_.IsOpen()) {
    try {
      std::string msg = "{\"method\":\"disconnect\",\"params\":[" + std::to_string(connection_handle_) + "]}";
      socket_.SendAll(msg.data(), msg.size(), net::Millis(1000));
    } catch (...) {
    }
    socket_.Close();
  }
  reader_.reset();
  source_.reset();
}

void DbxConnection::CloseCommand(std::int64_t handle) noexcept {
  if (!socket_.IsOpen()) return;
  try {
    std::string msg = "{\"method\":\"command_close\",\"params\":[" + std::to_string(handle) + "]}";
    socket_.SendAll(msg.data(), msg.size(), timeouts_.exchange);
  } catch (...) {
    socket_.Close();
  }
}

DbxCommand DbxConnection::Prepare(const std::string& server_method) {
  return Guarded([&] {
    std::string msg = "{\"method\":\"prepare\",\"params\":[-1,false,\"DataSnap.ServerMethod\",";
    AppendJsonString(msg, server_method);
    msg += "]}";
    Send(msg);
    JValue result = Result(Receive());
    DbxCommand cmd;
    bool have_handle = false;
    for (const JValue& item : result.items) {
      if (const JValue* h = item.Find("handle")) {
        cmd.handle = h->At(0).AsInt();
        have_handle = true;
      } else if (const JValue* ps = item.Find("parameters")) {
        if (!ps->Is(JValue::Kind::kArray) || ps->items.empty()) throw ProtocolError("Malformed parameter list");
        for (std::size_t i = 1; i < ps->items.size(); ++i) {
          const JValue& e = ps->items[i];
          DbxParameter p;
          p.data_type = static_cast<int>(e.At(0).AsInt());
          p.direction = static_cast<int>(e.At(2).AsInt());
          p.name = e.At(5).AsString();
          cmd.params.push_back(std::move(p));
        }
      }
    }
    if (!have_handle) throw ProtocolError("The server's prepare answer has no command handle");
    return cmd;
  });
}

std::string DbxConnection::FetchRest(DbxCommand& command, int ordinal, std::string value) {
  for (;;) {
    std::string msg = "{\"method\":\"more_blob\",\"params\":[" + std::to_string(command.handle) + "," +
                      std::to_string(command.blob_serial) + ",0," + std::to_string(ordinal) + ",true,0]}";
    Send(msg);
    JValue result = Result(Receive());
    const JValue* data = result.At(0).Find("data");
    if (!data || !data->Is(JValue::Kind::kBlob)) throw ProtocolError("The server's more_blob answer holds no data");
    if (value.size() + data->text.size() > kMaxOutputValue) throw ProtocolError("Value from the server too large");
    value += data->text;
    if (data->blob_count <= 0) return value;
  }
}

std::vector<DbxValue> DbxConnection::Execute(DbxCommand& command, const std::vector<DbxValue>& inputs) {
  return Guarded([&] {
    std::map<int, std::string> rests;
    std::string row = EncodeInputRow(command.params, inputs, &rests);
    std::map<int, std::size_t> sent;  // bytes of each rest already sent
    ++command.blob_serial;
    std::string msg = "{\"method\":\"execute\",\"params\":[{\"handle\":[" + std::to_string(command.handle) + "]},";
    AppendDataObject(msg, row, /*last=*/false, /*pad=*/false);
    msg += "]}";
    Send(msg);
    // A server may interleave its own messages, but not without end: beyond the chunks the
    // input needs, a small allowance, then the session is treated as broken.
    std::size_t allowance = 64;
    for (const auto& [ordinal, rest] : rests) allowance += rest.size() / kBlobChunk + 1;
    for (;;) {
      JValue reply = Receive();
      if ((reply.Find("more_blob") || reply.Find("callback") || reply.Find("metadata")) && allowance-- == 0)
        throw ProtocolError("The server keeps sending requests instead of an answer");
      if (const JValue* mb = reply.Find("more_blob")) {
        // The server asks for the next chunk of an input value sent with the "more" header.
        int ordinal = static_cast<int>(mb->At(3).AsInt());
        auto it = rests.find(ordinal);
        std::string_view rest = it == rests.end() ? std::string_view() : std::string_view(it->second);
        std::size_t& off = sent[ordinal];
        std::string_view chunk = rest.substr(std::min(off, rest.size()), kBlobChunk);
        off += chunk.size();
        std::string answer;
        AppendDataObject(answer, chunk, off >= rest.size(), /*pad=*/true);
        Send(answer);
        continue;
      }
      if (reply.Find("callback") || reply.Find("metadata")) continue;
      JValue result = Result(reply);
      const JValue* data = nullptr;
      for (const JValue& item : result.items)
        if (const JValue* d = item.Find("data"); d && d->Is(JValue::Kind::kBlob)) data = d;
      if (!data) throw ProtocolError("The server's execute answer holds no data");
      std::vector<int> more;
      std::vector<DbxValue> values = DecodeRow(command.params, data->text, &more);
      for (int ordinal : more) values[ordinal].text = FetchRest(command, ordinal, std::move(values[ordinal].text));
      return values;
    }
  });
}

}  // namespace central
