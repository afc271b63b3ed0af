// One DataSnap TCP/IP session: the filter handshake, connect, prepare, execute (with blob
// transfers both ways), command_close and disconnect.
//
// Failures: RemoteError for an error object the server sent (the session stays usable);
// net::NetError (time-outs included) and ProtocolError for a broken session, which is closed at
// once so that the next use reconnects instead of reading the rest of a half-read answer.
//
// Every call (connect, prepare, execute) lives under one deadline, Timeouts::exchange from its
// request, whatever the server sends in between: its own requests for the rest of an input
// value, or the chunks of an output value fetched with more_blob. What one answer may hold is
// bounded (see kMaxAnswerValues and ReadLimits), so no server can make the client wait or grow
// without end.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "connections/central/json_stream.h"
#include "platform/net.h"

namespace central {

// How long the client waits; a silent server makes the call fail instead of hanging it.
inline constexpr net::Millis kConnectTimeout{15000};
inline constexpr net::Millis kExchangeTimeout{60000};

struct Timeouts {
  net::Millis connect = kConnectTimeout;
  net::Millis exchange = kExchangeTimeout;  // from a request to the end of its answer, chunks included
};

// An error object from the server; what() is its message as received, cut to
// text::kOutsideTextLimit bytes (a server may send megabytes, and the message goes into the log
// every cycle).
class RemoteError : public std::runtime_error {
 public:
  RemoteError(const std::string& message, std::string name, std::int64_t code)
      : std::runtime_error(text::CapText(message)), name_(std::move(name)), code_(code) {}
  const std::string& name() const { return name_; }
  std::int64_t code() const { return code_; }

 private:
  std::string name_;
  std::int64_t code_;
};

// Blob transfers move at most this much per chunk.
inline constexpr std::size_t kBlobChunk = 32736;
// Room for values inline in one parameter row: a 32 KB row buffer less 2 KB.
inline constexpr std::size_t kRowRoom = 32768 - 2048;
// Room for a value once the row is nearly full.
inline constexpr std::size_t kMinInlineRoom = 1024;
// The most the stream values of one answer may hold together, inline and fetched in chunks. The
// agent reads one-row answers and error packets of one batch; a provider's full packet of 500
// rows is a small fraction of this.
inline constexpr std::size_t kMaxAnswerValues = 4u << 20;

// What a session talks through: a TCP connection, or memory in tests and fuzzing.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends every byte or throws (net::TimeoutError when the peer stops reading for `timeout`).
  virtual void Send(const char* data, std::size_t size, net::Millis timeout) = 0;
  // What has arrived, up to `capacity` bytes, waiting at most `timeout` for the first byte;
  // 0 when the peer closed the connection.
  virtual std::size_t Receive(char* buffer, std::size_t capacity, net::Millis timeout) = 0;
};

// Opens a transport to host:port within `timeout`; throws net::NetError.
using Connector =
    std::function<std::unique_ptr<Transport>(const std::string& host, std::uint16_t port, net::Millis timeout)>;
// TCP/IPv4, Nagle's algorithm off: the default connector.
std::unique_ptr<Transport> ConnectTcp(const std::string& host, std::uint16_t port, net::Millis timeout);

struct DbxParameter {
  int data_type = 0;
  int direction = 0;
  std::string name;
};

struct DbxCommand {
  std::int64_t handle = -1;
  std::vector<DbxParameter> params;
  std::int64_t blob_serial = 0;
};

struct DbxValue {
  enum class Kind { kNull, kInt, kBool, kString, kBytes };
  Kind kind = Kind::kNull;
  std::int64_t integer = 0;
  std::string text;  // a string as UTF-8, or the bytes of a stream

  static DbxValue Null() { return {}; }
  static DbxValue Int(std::int64_t v) { return {Kind::kInt, v, {}}; }
  static DbxValue Bool(bool v) { return {Kind::kBool, v, {}}; }
  static DbxValue String(std::string s) { return {Kind::kString, 0, std::move(s)}; }
  static DbxValue Bytes(std::string b) { return {Kind::kBytes, 0, std::move(b)}; }
  bool IsNull() const { return kind == Kind::kNull; }
};

// The values of a call in ordinal order, moved in: a braced list would copy each, a packet
// included.
template <class... V>
std::vector<DbxValue> Inputs(V&&... values) {
  std::vector<DbxValue> out;
  out.reserve(sizeof...(values));
  (out.push_back(std::forward<V>(values)), ...);
  return out;
}

// Encodes an input row for the parameter list: Out and Return parameters go as null. Stream
// values that do not fit the row's inline room go as their first part with the "more" header;
// the rest of each is returned in `rests`, keyed by ordinal.
std::string EncodeInputRow(const std::vector<DbxParameter>& params, const std::vector<DbxValue>& inputs,
                           std::map<int, std::string>* rests);

// Decodes a parameter row: one value per parameter, read by its type. An integer outside the
// range of its parameter's type is a ProtocolError, never a truncated value. Ordinals of stream
// values that arrived with the "more" header (their rest comes through more_blob) go to `more`.
std::vector<DbxValue> DecodeRow(const std::vector<DbxParameter>& params, std::string_view row,
                                std::vector<int>* more);

class DbxConnection {
 public:
  DbxConnection();
  ~DbxConnection();
  DbxConnection(const DbxConnection&) = delete;
  DbxConnection& operator=(const DbxConnection&) = delete;

  // How the next Open reaches the server (tests and fuzzing talk through memory).
  void SetConnector(Connector connector) { connector_ = std::move(connector); }

  // Connects, performs the filter handshake and the connect call with `properties` (all sent as
  // strings, in order).
  void Open(const std::string& host, std::uint16_t port,
            const std::vector<std::pair<std::string, std::string>>& properties, const Timeouts& timeouts);
  // Sends disconnect (the server never answers it) and closes the connection. Never throws.
  void Close() noexcept;
  bool IsOpen() const { return transport_ != nullptr; }

  DbxCommand Prepare(const std::string& server_method);
  // One execute of a prepared command; returns all parameters' values in ordinal order.
  std::vector<DbxValue> Execute(DbxCommand& command, const std::vector<DbxValue>& inputs);
  // Frees the command on the server; the server never answers it. Sent only on a live
  // connection: a closed one stays closed. Never throws.
  void CloseCommand(std::int64_t handle) noexcept;

 private:
  class TransportSource;
  void Drop() noexcept;
  void Begin();
  void Send(const std::string& message);
  JValue Receive();
  const JValue& Result(const JValue& reply);
  void FetchRest(DbxCommand& command, int ordinal, std::string& value, std::size_t& answer_bytes);
  template <class F>
  auto Guarded(F&& f) -> decltype(f());

  Connector connector_ = &ConnectTcp;
  std::unique_ptr<Transport> transport_;
  std::unique_ptr<TransportSource> source_;
  std::unique_ptr<StreamReader> reader_;
  Timeouts timeouts_;
  std::int64_t connection_handle_ = 0;
};

}  // namespace central
