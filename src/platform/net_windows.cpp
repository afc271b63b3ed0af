#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <utility>

#include "platform/net.h"
#include "platform/os.h"

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

// Winsock must be started once per process before the first socket call.
void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) throw NetError("Winsock could not start: " + os::SysErrorMessage(rc));
  });
}

std::string SysText(int code) { return os::SysErrorMessage(code); }

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

enum class Wait { kRead, kWrite, kConnect };

enum class Ready { kTimeout, kReady, kFailed };

// Waits until the socket is ready. select rather than WSAPoll: WSAPoll on some Windows versions
// never reports a non-blocking connect that failed, which made a refused connection look like a
// silent host until the time-out. A failed connect shows in select's exception set.
Ready WaitUntil(SOCKET s, Wait what, Clock::time_point deadline) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (what == Wait::kRead) FD_SET(s, &readable);
  else FD_SET(s, &writable);
  // Only for a connect: on a connected socket the exception set means out-of-band data, which
  // would wake every wait at once.
  if (what == Wait::kConnect) FD_SET(s, &failed);
  int ms = RemainingMs(deadline);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int r = ::select(0, &readable, &writable, &failed, &tv);
  if (r > 0) return FD_ISSET(s, &failed) ? Ready::kFailed : Ready::kReady;
  if (r == 0) return Ready::kTimeout;
  throw NetError("Socket wait failed: " + SysText(::WSAGetLastError()));
}

// False on time-out; a socket in error is ready, and the next call reports the error.
bool WaitFor(SOCKET s, Wait what, Clock::time_point deadline) {
  return WaitUntil(s, what, deadline) != Ready::kTimeout;
}

void Configure(SOCKET s) {
  u_long nb = 1;
  ::ioctlsocket(s, FIONBIO, &nb);
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

std::string Where(const std::string& host, std::uint16_t port) { return host + ":" + std::to_string(port); }

SOCKET H(std::intptr_t h) { return static_cast<SOCKET>(h); }

}  // namespace

Socket::~Socket() { Close(); }
Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}
Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalid);
  }
  return *this;
}

Socket Socket::Connect(const std::string& host, std::uint16_t port, Millis timeout) {
  StartWinsock();
  const auto deadline = Clock::now() + timeout;
  if (host.empty()) throw NetError("Cannot connect to the server: the host name is empty");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) throw NetError("Host not found: " + host + " (" + SysText(rc) + ")");
  std::string last_error = "no address";
  for (addrinfo* a = list; a; a = a->ai_next) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      last_error = SysText(::WSAGetLastError());
      continue;
    }
    Configure(s);
    int r = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
    int err = r == 0 ? 0 : ::WSAGetLastError();
    if (r != 0 && err == WSAEWOULDBLOCK) {
      Ready ready = WaitUntil(s, Wait::kConnect, deadline);
      if (ready == Ready::kTimeout) {
        ::closesocket(s);
        ::freeaddrinfo(list);
        throw TimeoutError("Connection to " + Where(host, port) + " timed out");
      }
      int so = 0;
      int len = sizeof so;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len);
      err = so != 0 ? so : ready == Ready::kFailed ? WSAECONNREFUSED : 0;
    }
    if (err == 0) {
      ::freeaddrinfo(list);
      return Socket(static_cast<std::intptr_t>(s));
    }
    last_error = SysText(err);
    ::closesocket(s);
  }
  ::freeaddrinfo(list);
  throw NetError("Cannot connect to " + Where(host, port) + ": " + last_error);
}

void Socket::SendAll(const void* data, std::size_t size, Millis timeout) {
  if (!IsOpen()) throw NetError("Socket is closed");
  const auto deadline = Clock::now() + timeout;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    int n = ::send(H(handle_), p, chunk, 0);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    int err = ::WSAGetLastError();
    if (n < 0 && err == WSAEWOULDBLOCK) {
      if (!WaitFor(H(handle_), Wait::kWrite, deadline)) throw TimeoutError("Sending to the server timed out");
    } else {
      throw NetError("Sending to the server failed: " + SysText(err));
    }
  }
}

std::size_t Socket::Receive(void* buffer, std::size_t capacity, Millis timeout) {
  if (!IsOpen()) throw NetError("Socket is closed");
  const auto deadline = Clock::now() + timeout;
  int cap = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
  for (;;) {
    int n = ::recv(H(handle_), static_cast<char*>(buffer), cap, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK) throw NetError("Receiving from the server failed: " + SysText(err));
    if (!WaitFor(H(handle_), Wait::kRead, deadline)) throw TimeoutError("The server did not answer in time");
  }
}

void Socket::Shutdown() {
  if (IsOpen()) ::shutdown(H(handle_), SD_BOTH);
}

void Socket::Close() {
  if (IsOpen()) ::closesocket(H(std::exchange(handle_, kInvalid)));
}

Listener::~Listener() { Close(); }
Listener::Listener(Listener&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

Listener Listener::Listen(const std::string& address, std::uint16_t port) {
  StartWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw NetError("Cannot create a socket: " + SysText(::WSAGetLastError()));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    ::closesocket(s);
    throw NetError("Not an IPv4 address: " + address);
  }
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 64) != 0) {
    int e = ::WSAGetLastError();
    ::closesocket(s);
    throw NetError("Cannot listen on " + Where(address, port) + ": " + SysText(e));
  }
  Listener l;
  l.handle_ = static_cast<std::intptr_t>(s);
  return l;
}

std::uint16_t Listener::Port() const {
  sockaddr_in sa{};
  int len = sizeof sa;
  ::getsockname(H(handle_), reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

Socket Listener::Accept() {
  for (;;) {
    SOCKET s = ::accept(H(handle_), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      Configure(s);
      return Socket(static_cast<std::intptr_t>(s));
    }
    int err = ::WSAGetLastError();
    if (err == WSAECONNRESET || err == WSAEINTR) continue;
    throw NetError("Accept failed: " + SysText(err));
  }
}

void Listener::Close() {
  if (handle_ != -1) ::closesocket(H(std::exchange(handle_, -1)));
}

}  // namespace net
