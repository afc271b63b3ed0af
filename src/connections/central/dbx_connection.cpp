#include "connections/central/dbx_connection.h"

#include <algorithm>
#include <chrono>

#include "connections/central/dbx_value.h"

namespace central {

namespace {

using Clock = std::chrono::steady_clock;

class TcpTransport : public Transport {
 public:
  explicit TcpTransport(net::Socket s) : socket_(std::move(s)) {}
  void Send(const char* data, std::size_t size, net::Millis timeout) override { socket_.SendAll(data, size, timeout); }
  std::size_t Receive(char* buffer, std::size_t capacity, net::Millis timeout) override {
    return socket_.Receive(buffer, capacity, timeout);
  }

 private:
  net::Socket socket_;
};

// The range of each integer type of a parameter row.
void CheckRange(const DbxParameter& p, std::int64_t v) {
  std::int64_t lo = INT64_MIN, hi = INT64_MAX;
  switch (p.data_type) {
    case dbx::kInt8: lo = INT8_MIN, hi = INT8_MAX; break;
    case dbx::kUInt8: lo = 0, hi = UINT8_MAX; break;
    case dbx::kInt16: lo = INT16_MIN, hi = INT16_MAX; break;
    case dbx::kUInt16: lo = 0, hi = UINT16_MAX; break;
    case dbx::kInt32: lo = INT32_MIN, hi = INT32_MAX; break;
    case dbx::kUInt32: lo = 0, hi = UINT32_MAX; break;
    default: break;
  }
  if (v < lo || v > hi)
    throw ProtocolError("The server sent " + std::to_string(v) + " for the parameter " + p.name +
                        ", outside the range of its type");
}

}  // namespace

std::unique_ptr<Transport> ConnectTcp(const std::string& host, std::uint16_t port, net::Millis timeout) {
  return std::make_unique<TcpTransport>(net::Socket::Connect(host, port, timeout));
}

// Reads from the transport within the deadline of the call in progress.
class DbxConnection::TransportSource : public ByteSource {
 public:
  explicit TransportSource(Transport& t) : transport_(t) {}
  void SetDeadline(net::Millis from_now) { deadline_ = Clock::now() + from_now; }
  net::Millis Left() const {
    auto left = std::chrono::duration_cast<net::Millis>(deadline_ - Clock::now());
    if (left.count() <= 0) throw net::TimeoutError("The server did not answer in time");
    return left;
  }
  std::size_t Read(char* buffer, std::size_t capacity) override { return transport_.Receive(buffer, capacity, Left()); }

 private:
  Transport& transport_;
  Clock::time_point deadline_;
};

std::string EncodeInputRow(const std::vector<DbxParameter>& params, const std::vector<DbxValue>& inputs,
                           std::map<int, std::string>* rests) {
  if (inputs.size() != params.size())
    throw std::invalid_argument("Expected " + std::to_string(params.size()) + " parameter values, got " +
                                std::to_string(inputs.size()));
  std::size_t size = 0;
  for (const DbxValue& v : inputs) size += v.text.size() + 10;
  std::string row;
  row.reserve(std::min(size, kRowRoom + 64));
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
      std::int64_t v = r.ReadInt();
      CheckRange(params[i], v);
      out.push_back(DbxValue::Int(v));
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

// The session cannot go on: the stream's position is unknown. Nothing more is sent.
void DbxConnection::Drop() noexcept {
  reader_.reset();
  source_.reset();
  transport_.reset();
}

template <class F>
auto DbxConnection::Guarded(F&& f) -> decltype(f()) {
  if (!IsOpen()) throw net::NetError("Not connected to the server");
  try {
    return f();
  } catch (const RemoteError&) {
    throw;
  } catch (...) {
    Drop();
    throw;
  }
}

// The deadline of the call that starts now.
void DbxConnection::Begin() { source_->SetDeadline(timeouts_.exchange); }

void DbxConnection::Send(const std::string& message) { transport_->Send(message.data(), message.size(), source_->Left()); }

JValue DbxConnection::Receive() { return ReadMessage(*reader_); }

// The "result" array of a reply; an error object becomes RemoteError.
const JValue& DbxConnection::Result(const JValue& reply) {
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
  transport_ = connector_(host, port, timeouts.connect);
  source_ = std::make_unique<TransportSource>(*transport_);
  reader_ = std::make_unique<StreamReader>(*source_);
  // A connect the server refused (an error object, which elsewhere leaves the session usable)
  // leaves nothing open: nothing may go over a session the server did not accept.
  struct DropUnlessOpened {
    DbxConnection& c;
    bool opened = false;
    ~DropUnlessOpened() {
      if (!opened) c.Drop();
    }
  } guard{*this};
  Guarded([&] {
    Begin();
    // Filter query: a server without transport filters answers 06 00 00 00 00.
    static const char kQuery[5] = {5, 5, 5, 5, 5};
    transport_->Send(kQuery, sizeof kQuery, source_->Left());
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
    JValue reply = Receive();
    const JValue& result = Result(reply);
    connection_handle_ = result.items.empty() || !result.items[0].Is(JValue::Kind::kNumber) ? 0 : result.At(0).AsInt();
  });
  guard.opened = true;
}

void DbxConnection::Close() noexcept {
  if (transport_) {
    try {
      std::string msg = "{\"method\":\"disconnect\",\"params\":[" + std::to_string(connection_handle_) + "]}";
      transport_->Send(msg.data(), msg.size(), net::Millis(1000));
    } catch (...) {
    }
  }
  Drop();
}

void DbxConnection::CloseCommand(std::int64_t handle) noexcept {
  if (!transport_) return;
  try {
    std::string msg = "{\"method\":\"command_close\",\"params\":[" + std::to_string(handle) + "]}";
    transport_->Send(msg.data(), msg.size(), net::Millis(1000));
  } catch (...) {
    Drop();
  }
}

DbxCommand DbxConnection::Prepare(const std::string& server_method) {
  return Guarded([&] {
    Begin();
    std::string msg = "{\"method\":\"prepare\",\"params\":[-1,false,\"DataSnap.ServerMethod\",";
    AppendJsonString(msg, server_method);
    msg += "]}";
    Send(msg);
    JValue reply = Receive();
    const JValue& result = Result(reply);
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
          p.data_type = e.At(0).AsInt32();
          p.direction = e.At(2).AsInt32();
          p.name = e.At(5).AsString();
          cmd.params.push_back(std::move(p));
        }
      }
    }
    if (!have_handle) throw ProtocolError("The server's prepare answer has no command handle");
    return cmd;
  });
}

// Appends the rest of an output value, chunk by chunk, to `value`. `answer_bytes` counts what the
// answer's stream values hold together; beyond kMaxAnswerValues the answer is refused.
void DbxConnection::FetchRest(DbxCommand& command, int ordinal, std::string& value, std::size_t& answer_bytes) {
  for (;;) {
    std::string msg = "{\"method\":\"more_blob\",\"params\":[" + std::to_string(command.handle) + "," +
                      std::to_string(command.blob_serial) + ",0," + std::to_string(ordinal) + ",true,0]}";
    Send(msg);
    JValue reply = Receive();
    const JValue* data = Result(reply).At(0).Find("data");
    if (!data || !data->Is(JValue::Kind::kBlob)) throw ProtocolError("The server's more_blob answer holds no data");
    answer_bytes += data->text.size();
    if (answer_bytes > kMaxAnswerValues)
      throw ProtocolError("The server's answer holds more than " + std::to_string(kMaxAnswerValues) +
                          " bytes of values");
    // Grows at most to the cap, never beyond: a value near it is not held twice over.
    if (value.size() + data->text.size() > value.capacity())
      value.reserve(std::min(kMaxAnswerValues, std::max(2 * value.capacity(), value.size() + data->text.size())));
    value += data->text;
    if (data->blob_count <= 0) return;
  }
}

std::vector<DbxValue> DbxConnection::Execute(DbxCommand& command, const std::vector<DbxValue>& inputs) {
  return Guarded([&] {
    Begin();
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
        int ordinal = mb->At(3).AsInt32();
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
      const JValue* data = nullptr;
      for (const JValue& item : Result(reply).items)
        if (const JValue* d = item.Find("data"); d && d->Is(JValue::Kind::kBlob)) data = d;
      if (!data) throw ProtocolError("The server's execute answer holds no data");
      std::vector<int> more;
      std::vector<DbxValue> values = DecodeRow(command.params, data->text, &more);
      reply = JValue();  // the row is decoded: its bytes are not kept while chunks arrive
      std::size_t answer_bytes = 0;
      for (const DbxValue& v : values) answer_bytes += v.text.size();
      for (int ordinal : more) FetchRest(command, ordinal, values[static_cast<std::size_t>(ordinal)].text, answer_bytes);
      return values;
    }
  });
}

}  // namespace central
