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
#include "service/systemd_unit.h"
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

TEST(SystemdUnit, ExecStartIsEscapedBySystemdsRules) {
  const struct {
    const char* path;
    const char* exec_start;
  } cases[] = {
      {"/opt/tavrimondo/SrvTavrimondoClient", "\"/opt/tavrimondo/SrvTavrimondoClient\""},
      {"/opt/loja 1/Srv", "\"/opt/loja 1/Srv\""},
      // '%' starts a specifier everywhere; the program's path is not subject to "$" expansion.
      {"/opt/100% $HOME/Srv", "\"/opt/100%% $HOME/Srv\""},
      {"/opt/Ação/Srv", "\"/opt/Ação/Srv\""},
      // Quotes and backslashes systemd refuses in a program's path: the shell starts it instead,
      // and there, as an argument, '$' is expanded unless doubled.
      {"/opt/a \"b\" 'c' \\d $X%/Srv",
       "/bin/sh -c \"exec \\\"$$0\\\"\" \"/opt/a \\\"b\\\" 'c' \\\\d $$X%%/Srv\""},
      {"/opt/a\tb\x7f/Srv", "/bin/sh -c \"exec \\\"$$0\\\"\" \"/opt/a\\x09b\\x7f/Srv\""},
      // Bytes that are not UTF-8 cannot stand in a unit file as they are.
      {"/opt/A\xE7/Srv", "/bin/sh -c \"exec \\\"$$0\\\"\" \"/opt/A\\xe7/Srv\""},
  };
  for (const auto& c : cases) EXPECT_EQ(service::systemd::ExecStartValue(c.path), c.exec_start) << c.path;
}

}  // namespace
