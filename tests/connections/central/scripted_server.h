// A DataSnap server for tests that says exactly what it is told and records exactly what it
// hears: it accepts one connection on a free loopback port, answers the filter query as a server
// without filters, and answers each message of the client with the next scripted reply.
// command_close and disconnect get no reply, as from a real server.
//
// Messages are delimited with the client's own reader, but what is recorded is the raw bytes,
// so a test compares them with bytes written by hand from the wire's description.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connections/central/json_stream.h"
#include "platform/net.h"

namespace centraltest {

class ScriptedServer {
 public:
  // Given the message (parsed) and its number among the answered ones (0 = connect), the bytes to
  // send back; "" sends nothing.
  using Responder = std::function<std::string(const central::JValue& message, std::size_t index)>;

  explicit ScriptedServer(std::vector<std::string> replies);
  explicit ScriptedServer(Responder responder);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // The raw bytes of every message received so far, the filter query first.
  std::vector<std::string> Messages();
  // The same, once the client has sent `n` messages or closed the connection (10 s at most).
  std::vector<std::string> WaitForMessages(std::size_t n);

 private:
  void Serve();

  net::Listener listener_;
  std::uint16_t port_ = 0;
  Responder responder_;
  std::mutex mu_;
  std::vector<std::string> messages_;
  bool done_ = false;
  std::thread thread_;
};

// Byte helpers for writing replies and expected requests by hand.
std::string Be16(std::size_t n);
std::string Le32(std::uint32_t n);
std::string Le64(std::uint64_t n);
// `{"data":[N,<bytes>]}`, N unpadded.
std::string DataObject(const std::string& bytes);
// A DBX stream value (10 + BE16 length + bytes; 50 when more follows).
std::string StreamValue(const std::string& bytes, bool more = false);
// A variant stream holding a data packet (kind 03).
std::string PacketStream(const std::string& packet);
// The variant stream of Unassigned.
std::string UnassignedStream();

// A well-behaved server's answers to the calls the agent prepares and executes.
extern const char* const kPrepareGetRecords;    // prepare of AS_GetRecords, handle 0
extern const char* const kPrepareApplyUpdates;  // prepare of AS_ApplyUpdates, handle 1
// An execute's answer holding one output row.
std::string ExecuteResult(const std::string& row);
// AS_GetRecords' output row: RecsOut, ParamReader and OwnerData Unassigned, and the result.
std::string GetRecordsRow(const std::string& result_value);
// AS_ApplyUpdates' output row: ErrorCount 0, OwnerData Unassigned, no error packet.
std::string ApplyRow();

}  // namespace centraltest
