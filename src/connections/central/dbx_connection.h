// One DataSnap TCP/IP session: the filter handshake, connect, prepare, execute (with blob
// transfers both ways), command_close and disconnect.
//
// Failures: RemoteError for an error object the server sent (the session stays usable);
// net::NetError (time-outs included) and ProtocolError for a broken session, which is closed at
// once so that the next use reconnects instead of reading the rest of a half-read answer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "connections/central/json_stream.h"
#include "platform/net.h"

namespace central {

// How long the client waits; a silent server makes the call fail instead of hanging it.
inline constexpr net::Millis kConnectTimeout{15000};
inline constexpr net::Millis kExchangeTimeout{60000};

struct Timeouts {
  net::Millis connect = kConnectTimeout;
  net::Millis exchange = kExchangeTimeout;  // from a request to the end of its answer
};

// An error object from the server; what() is its message as received.
class RemoteError : public std::runtime_error {
 public:
  RemoteError(const std::string& message, std::string name, std::int64_t code)
      : std::runtime_error(message), name_(std::move(name)), code_(code) {}
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
// The most this client accepts for one output value fetched in chunks.
inline constexpr std::size_t kMaxOutputValue = 256u << 20;

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

// Encodes an input row for the parameter list: Out and Return parameters go as null. Stream
// values that do not fit the row's inline room go as their first part with the "more" header;
// the rest of each is returned in `rests`, keyed by ordinal.
std::string EncodeInputRow(const std::vector<DbxParameter>& params, const std::vector<DbxValue>& inputs,
                           std::map<int, std::string>* rests);

// Decodes a parameter row: one value per parameter, read by its type. Ordinals of stream values
// that arrived with the "more" header (their rest comes through more_blob) go to `more`.
std::vector<DbxValue> DecodeRow(const std::vector<DbxParameter>& params, std::string_view row,
                                std::vector<int>* more);

class DbxConnection {
 public:
  DbxConnection();
  ~DbxConnection();
  DbxConnection(const DbxConnection&) = delete;
  DbxConnection& operator=(const DbxConnection&) = delete;

  // Connects, performs the filter handshake and the connect call with `properties` (all sent as
  // strings, in order).
  void Open(const std::string& host, std::uint16_t port,
            const std::vector<std::pair<std::string, std::string>>& properties, const Timeouts& timeouts);
  // Sends disconnect (the server never answers it) and closes the socket. Never throws.
  void Close() noexcept;
  bool IsOpen() const;

  DbxCommand Prepare(const std::string& server_method);
  // One execute of a prepared command; returns all parameters' values in ordinal order.
  std::vector<DbxValue> Execute(DbxCommand& command, const std::vector<DbxValue>& inputs);
  // Frees the command on the server; the server never answers it.
  void CloseCommand(std::int64_t handle) noexcept;

 private:
  class SocketSource;
  void Send(const std::string& message);
  JValue Receive();
  JValue Result(const JValue& reply);
  std::string FetchRest(DbxCommand& command, int ordinal, std::string first);
  template <class F>
  auto Guarded(F&& f) -> decltype(f());

  net::Socket socket_;
  std::unique_ptr<SocketSource> source_;
  std::unique_ptr<StreamReader> reader_;
  Timeouts timeouts_;
  std::int64_t connection_handle_ = 0;
};

}  // namespace central
