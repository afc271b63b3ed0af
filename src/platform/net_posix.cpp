#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/net.h"
#include "platform/os.h"

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

std::string SysText(int code) { return os::SysErrorMessage(code); }

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// Waits for `events`; false on time-out. Retries after signals without extending the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, RemainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) throw NetError("Socket wait failed: " + SysText(errno));
  }
}

void SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::string Where(const std::string& host, std::uint16_t port) { return host + ":" + std::to_string(port); }

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
  const auto deadline = Clock::now() + timeout;
  if (host.empty()) throw NetError("Cannot connect to the server: the host name is empty");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) throw NetError("Host not found: " + host + " (" + ::gai_strerror(rc) + ")");
  std::string last_error = "no address";
  for (addrinfo* a = list; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = SysText(errno);
      continue;
    }
    SetNonBlocking(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      if (!WaitFor(fd, POLLOUT, deadline)) {
        ::close(fd);
        ::freeaddrinfo(list);
        throw TimeoutError("Connection to " + Where(host, port) + " timed out");
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      r = err == 0 ? 0 : -1;
      errno = err;
    }
    if (r == 0) {
      ::freeaddrinfo(list);
      return Socket(fd);
    }
    last_error = SysText(errno);
    ::close(fd);
  }
  ::freeaddrinfo(list);
  throw NetError("Cannot connect to " + Where(host, port) + ": " + last_error);
}

void Socket::SendAll(const void* data, std::size_t size, Millis timeout) {
  if (!IsOpen()) throw NetError("Socket is closed");
  const auto deadline = Clock::now() + timeout;
  const char* p = static_cast<const char*>(data);
  int fd = static_cast<int>(handle_);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) throw TimeoutError("Sending to the server timed out");
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      throw NetError("Sending to the server failed: " + SysText(errno));
    }
  }
}

std::size_t Socket::Receive(void* buffer, std::size_t capacity, Millis timeout) {
  if (!IsOpen()) throw NetError("Socket is closed");
  const auto deadline = Clock::now() + timeout;
  int fd = static_cast<int>(handle_);
  for (;;) {
    ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      throw NetError("Receiving from the server failed: " + SysText(errno));
    if (!WaitFor(fd, POLLIN, deadline)) throw TimeoutError("The server did not answer in time");
  }
}

void Socket::Shutdown() {
  if (IsOpen()) ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void Socket::Close() {
  if (IsOpen()) ::close(static_cast<int>(std::exchange(handle_, kInvalid)));
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
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw NetError("Cannot create a socket: " + SysText(errno));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    ::close(fd);
    throw NetError("Not an IPv4 address: " + address);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
    int e = errno;
    ::close(fd);
    throw NetError("Cannot listen on " + Where(address, port) + ": " + SysText(e));
  }
  Listener l;
  l.handle_ = fd;
  return l;
}

std::uint16_t Listener::Port() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

Socket Listener::Accept() {
  for (;;) {
    int fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNonBlocking(fd);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return Socket(fd);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    throw NetError("Accept failed: " + SysText(errno));
  }
}

void Listener::Close() {
  if (handle_ >= 0) {
    ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
    ::close(static_cast<int>(std::exchange(handle_, -1)));
  }
}

}  // namespace net
