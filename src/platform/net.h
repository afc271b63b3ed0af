// TCP/IPv4 sockets behind the platform seam: what the central server connection and the stand-in
// central server need, nothing more.
//
// Every wait has a time-out, so a silent or half-open peer can never hold a caller forever.
// Sockets are blocking-free underneath; Nagle's algorithm is off on every connection (requests are
// small and each one waits for its answer).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace net {

using Millis = std::chrono::milliseconds;

// A network failure; what() is the text for the log.
class NetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The peer did not answer within the time allowed.
class TimeoutError : public NetError {
 public:
  using NetError::NetError;
};

class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Resolves `host` (IPv4 only) and connects to the first address that answers, giving up after
  // `timeout` in all. Throws NetError with a text naming host and port.
  static Socket Connect(const std::string& host, std::uint16_t port, Millis timeout);

  // Sends every byte or throws (TimeoutError when the peer stops reading for `timeout`).
  void SendAll(const void* data, std::size_t size, Millis timeout);
  // Receives what has arrived, up to `capacity` bytes, waiting at most `timeout` for the first
  // byte. Returns 0 when the peer closed the connection; throws TimeoutError on time-out.
  std::size_t Receive(void* buffer, std::size_t capacity, Millis timeout);

  // Ends both directions at once; a thread blocked in Receive on this socket wakes up.
  void Shutdown();
  void Close();
  bool IsOpen() const { return handle_ != kInvalid; }

 private:
  friend class Listener;
  static constexpr std::intptr_t kInvalid = -1;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kInvalid;
};

class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&& other) noexcept;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on an IPv4 address ("0.0.0.0" for all); port 0 picks a free one (see Port()).
  static Listener Listen(const std::string& address, std::uint16_t port);
  std::uint16_t Port() const;
  // Waits for the next connection; throws NetError when the listener was closed.
  Socket Accept();
  void Close();

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace net
