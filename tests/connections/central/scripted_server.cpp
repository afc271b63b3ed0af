#include "scripted_server.h"

#include <chrono>

#include "hex.h"

namespace centraltest {

namespace {

// Reads from the socket and keeps a copy of every byte, so that a message's bytes can be cut out
// by the reader's count of bytes consumed.
class RecordingSource : public central::ByteSource {
 public:
  explicit RecordingSource(net::Socket& s) : socket_(s) {}
  std::size_t Read(char* buffer, std::size_t capacity) override {
    std::size_t n = socket_.Receive(buffer, capacity, net::Millis(10000));
    bytes.append(buffer, n);
    return n;
  }
  std::string bytes;

 private:
  net::Socket& socket_;
};

}  // namespace

ScriptedServer::ScriptedServer(std::vector<std::string> replies)
    : ScriptedServer([replies = std::move(replies)](const central::JValue&, std::size_t i) {
        return i < replies.size() ? replies[i] : std::string();
      }) {}

ScriptedServer::ScriptedServer(Responder responder)
    : listener_(net::Listener::Listen("127.0.0.1", 0)), port_(listener_.Port()), responder_(std::move(responder)) {
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  listener_.Close();
  thread_.join();
}

void ScriptedServer::Serve() {
  try {
    net::Socket s = listener_.Accept();
    RecordingSource source(s);
    central::StreamReader in(source);
    for (int i = 0; i < 5; ++i) in.Get();
    {
      std::lock_guard lock(mu_);
      messages_.push_back(source.bytes.substr(0, 5));
    }
    s.SendAll("\x06\x00\x00\x00\x00", 5, net::Millis(5000));
    std::size_t answered = 0;
    while (in.Peek() >= 0) {
      const std::uint64_t start = in.Consumed();
      central::JValue msg = central::ReadMessage(in);
      {
        std::lock_guard lock(mu_);
        messages_.push_back(source.bytes.substr(start, in.Consumed() - start));
      }
      const central::JValue* method = msg.Find("method");
      if (method && method->Is(central::JValue::Kind::kString) &&
          (method->text == "command_close" || method->text == "disconnect"))
        continue;
      std::string reply = responder_(msg, answered++);
      if (!reply.empty()) s.SendAll(reply.data(), reply.size(), net::Millis(10000));
    }
  } catch (const std::exception&) {
    // The client went away or sent what cannot be read; the test looks at what was recorded.
  }
  std::lock_guard lock(mu_);
  done_ = true;
}

std::vector<std::string> ScriptedServer::Messages() {
  std::lock_guard lock(mu_);
  return messages_;
}

std::vector<std::string> ScriptedServer::WaitForMessages(std::size_t n) {
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard lock(mu_);
      if (messages_.size() >= n || done_) return messages_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Messages();
}

std::string Be16(std::size_t n) { return {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)}; }

std::string Le32(std::uint32_t n) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((n >> (8 * i)) & 0xFF);
  return s;
}

std::string Le64(std::uint64_t n) {
  std::string s;
  for (int i = 0; i < 8; ++i) s += static_cast<char>((n >> (8 * i)) & 0xFF);
  return s;
}

std::string DataObject(const std::string& bytes) {
  return "{\"data\":[" + std::to_string(bytes.size()) + "," + bytes + "]}";
}

std::string StreamValue(const std::string& bytes, bool more) {
  return std::string(1, more ? '\x50' : '\x10') + Be16(bytes.size()) + bytes;
}

std::string PacketStream(const std::string& packet) { return "\x03" + Le64(packet.size()) + packet; }

std::string UnassignedStream() { return std::string("\x02\x00\x00\x00\x00", 5); }

const char* const kPrepareGetRecords =
    "{\"result\":[{\"handle\":[0]},{\"fields\":[0,false]},{\"parameters\":[8,"
    "[26,0,1,0,0,\"ProviderName\",0,0,0],[6,0,1,0,0,\"Count\",0,0,0],[6,0,2,0,0,\"RecsOut\",0,0,0],"
    "[6,0,1,0,0,\"Options\",0,0,0],[26,0,1,0,0,\"CommandText\",0,0,0],[33,0,3,0,0,\"ParamReader\",0,0,0],"
    "[33,0,3,0,0,\"OwnerDataStream\",0,0,0],[35,0,4,0,0,\"ReturnParameter\",0,0,0]]}]}";
const char* const kPrepareApplyUpdates =
    "{\"result\":[{\"handle\":[1]},{\"fields\":[0,false]},{\"parameters\":[6,"
    "[26,0,1,0,0,\"ProviderName\",0,0,0],[35,0,1,0,0,\"DeltaStream\",0,0,0],[6,0,1,0,0,\"MaxErrors\",0,0,0],"
    "[6,0,2,0,0,\"ErrorCount\",0,0,0],[33,0,3,0,0,\"OwnerDataStream\",0,0,0],[35,0,4,0,0,\"ReturnParameter\",0,0,0]]}]}";

std::string ExecuteResult(const std::string& row) { return "{\"result\":[{\"rows\":[0]}," + DataObject(row) + "]}"; }

std::string GetRecordsRow(const std::string& result_value) {
  return Hex("c0 c0 61 01 c0 c0") + StreamValue(UnassignedStream()) + StreamValue(UnassignedStream()) + result_value;
}

std::string ApplyRow() { return Hex("c0 c0 c0 60") + StreamValue(UnassignedStream()) + Hex("c0"); }

}  // namespace centraltest
