// What the daemon tells systemd as its status changes: the notification datagrams themselves,
// read from a socket standing in for systemd's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/os.h"
#include "platform/status_io.h"
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

// The cycle's summary rides after the state's own word, and a later state keeps it.
TEST(SystemdNotification, TheCycleSummaryFollowsTheState) {
  testutil::TempDir dir;
  NotifySocket systemd(dir / "notify");
  service::StatusReport r;
  r.current_state = 4;
  service::host::SetStatus(r);
  EXPECT_EQ(systemd.Next(), "READY=1\nSTATUS=Running");
  service::host::SetStatusText("Last cycle 09/02/2018 14:05:33 (1.2 s): sent 120 rows, index 0 -> 120.");
  EXPECT_EQ(systemd.Next(), "STATUS=Running - Last cycle 09/02/2018 14:05:33 (1.2 s): sent 120 rows, index 0 -> 120.");
  r.current_state = 7;
  service::host::SetStatus(r);
  EXPECT_EQ(systemd.Next(), "STATUS=Paused - Last cycle 09/02/2018 14:05:33 (1.2 s): sent 120 rows, index 0 -> 120.");
  service::host::SetStatusText("");
  EXPECT_EQ(systemd.Next(), "STATUS=Paused");
  // A text from a server (an error, an index) gets one line, as in the log: it can add no line
  // of its own to what systemd shows, nor a notification (a "READY=1" or "MAINPID=" line).
  service::host::SetStatusText("FAILED: Falha\nREADY=1\rMAINPID=1\x1b[2J");
  EXPECT_EQ(systemd.Next(), "STATUS=Paused - FAILED: Falha READY=1 MAINPID=1 [2J");
}

TEST(SystemdUnit, ItsProgramAccountAndDataFoldersAreReadAsSystemdReadsThem) {
  const struct {
    const char* unit;
    service::systemd::UnitSettings expected;
  } cases[] = {
      {"[Unit]\nDescription=x\n[Service]\nExecStart=\"/opt/tavrimondo/SrvTavrimondoClient\"\nUser=tavrimondo\n"
       "StateDirectory=tavrimondo\nLogsDirectory=tavrimondo\n",
       {"/opt/tavrimondo/SrvTavrimondoClient", "tavrimondo", "/var/lib/tavrimondo", "/var/log/tavrimondo"}},
      // An install run's unit: root, no data folders.
      {"[Service]\r\nExecStart=\"/opt/loja \\\"1\\\"/Srv\"\r\n", {"/opt/loja \"1\"/Srv", "", "", ""}},
      // Only [Service] lines count; the first of several folders; a later line wins.
      {"[Install]\nUser=root\n[Service]\nExecStart=/usr/bin/a b\nStateDirectory=x y\nUser=a\nUser=b\n",
       {"/usr/bin/a", "b", "/var/lib/x", ""}},
  };
  for (const auto& c : cases) {
    const service::systemd::UnitSettings u = service::systemd::ReadUnitSettings(c.unit);
    EXPECT_EQ(u.exec, c.expected.exec) << c.unit;
    EXPECT_EQ(u.user, c.expected.user) << c.unit;
    EXPECT_EQ(u.state_dir, c.expected.state_dir) << c.unit;
    EXPECT_EQ(u.logs_dir, c.expected.logs_dir) << c.unit;
  }
}

// The data folders: systemd's own word to the service it runs; else the installed unit's, for
// the program it runs only; else beside the program.
TEST(DataFolders, TheServiceManagerSaysWhereNeverAFileInThem) {
  testutil::TempDir units;
  ::setenv("TAVRIMONDO_UNIT_DIR", units.path().c_str(), 1);
  const std::string self = os::ExeName();
  auto located = [&] {
    const service::host::DataFolders d = service::host::LocateDataFolders("TavrimondoClient", self);
    return d.state + "|" + d.logs;
  };
  EXPECT_EQ(located(), "|");
  testutil::WriteFile(units / "TavrimondoClient.service", "[Service]\nExecStart=\"/opt/other/SrvTavrimondoClient\"\n"
                                                          "User=nobody\nStateDirectory=t\nLogsDirectory=t\n");
  EXPECT_EQ(located(), "|") << "another program's unit";
  EXPECT_EQ(service::host::ServiceAccounts("TavrimondoClient", false), std::vector<os::AccountId>{"65534"});
  testutil::WriteFile(units / "TavrimondoClient.service", "[Service]\nExecStart=\"" + self +
                                                          "\"\nUser=nobody\nStateDirectory=t\nLogsDirectory=t\n");
  EXPECT_EQ(located(), "/var/lib/t|/var/log/t");
  ::setenv("STATE_DIRECTORY", "/var/lib/s:/var/lib/other", 1);
  ::setenv("LOGS_DIRECTORY", "/var/log/s", 1);
  EXPECT_EQ(located(), "/var/lib/s|/var/log/s");
  ::unsetenv("STATE_DIRECTORY");
  ::unsetenv("LOGS_DIRECTORY");
  ::unlink((units / "TavrimondoClient.service").c_str());
  EXPECT_TRUE(service::host::ServiceAccounts("TavrimondoClient", false).empty());
  ::unsetenv("TAVRIMONDO_UNIT_DIR");
}

// Without a manager that knows "paused", the recorded process decides: it must still run this
// executable.
TEST(ServiceQuery, TheRecordedProcessCountsOnlyWhileItRunsThisExecutable) {
  testutil::TempDir units;
  ::setenv("TAVRIMONDO_UNIT_DIR", units.path().c_str(), 1);
  const std::string self = os::ExeName();
  const int me = os::CurrentProcessId();
  pid_t child = ::fork();  // a process that has ended: its pid is free, or a zombie until reaped
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);

  const struct {
    service::host::RecordedService recorded;
    const char* state;
    int pid;
    const char* detail;
  } cases[] = {
      {{me, "paused", self}, "paused", me, ""},
      {{me, "", self}, "start pending", me, ""},
      {{me, "stopped", self}, "stopped", me, "still finishing its last cycle"},
      {{me, "running", "/usr/bin/some-other-program"}, "stopped", 0, "no longer runs this program"},
      {{child, "running", self}, "stopped", 0, "which last reported \"running\", no longer runs this program: it ended"},
      {{child, "stopped", self}, "stopped", 0, ""},
      {{0, "", ""}, "stopped", 0, "no service run has left a record in this folder"},
  };
  for (const auto& c : cases) {
    const service::host::ServiceQuery q = service::host::QueryService("TavrimondoClient", c.recorded);
    EXPECT_TRUE(q.known);
    EXPECT_EQ(q.state, c.state) << c.recorded.pid << " " << c.recorded.exe;
    EXPECT_EQ(q.pid, c.pid);
    EXPECT_NE(q.detail.find(c.detail), std::string::npos) << q.detail;
    EXPECT_FALSE(q.installed);
  }

  testutil::WriteFile(units / "TavrimondoClient.service", "[Service]\nType=notify\nExecStart=\"/opt/agent dir/SrvTavrimondoClient\"\n");
  const service::host::ServiceQuery q = service::host::QueryService("TavrimondoClient", {me, "running", self});
  EXPECT_TRUE(q.installed);
  EXPECT_EQ(q.command, "\"/opt/agent dir/SrvTavrimondoClient\"");
  ::unsetenv("TAVRIMONDO_UNIT_DIR");
}

}  // namespace
