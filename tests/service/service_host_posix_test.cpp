// What the daemon tells systemd as its status changes: the notification datagrams themselves,
// read from a socket standing in for systemd's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "service/service_host.h"
#include "test_util.h"

namespace {

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
    timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  std::string Next() {
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n < 0 ? "(nothing)" : std::string(buf, static_cast<std::size_t>(n));
  }

 private:
  int fd_ = -1;
};

TEST(SystemdNotification, EveryStateIsToldAndOnlyRunningMeansReady) {
  testutil::TempDir dir;
  NotifySocket systemd(dir / "notify");
  const struct {
    std::uint32_t state;
    const char* told;
  } cases[] = {
      {2, "STATUS=Starting"},           {4, "READY=1\nSTATUS=Running"}, {6, "STATUS=Pausing"},
      {7, "STATUS=Paused"},             {5, "STATUS=Continuing"},       {3, "STOPPING=1\nSTATUS=Stopping"},
      {1, "STATUS=Stopped"},
  };
  for (const auto& c : cases) {
    service::StatusReport r;
    r.current_state = c.state;
    service::host::SetStatus(r);
    EXPECT_EQ(systemd.Next(), c.told) << "state " << c.state;
  }
}

}  // namespace
