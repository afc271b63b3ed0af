// Linux: the service is a systemd unit, control codes arrive as signals.
//
// Install writes "<name>.service" into the unit directory (/etc/systemd/system, or the directory
// named by TAVRIMONDO_UNIT_DIR) and, when systemd runs the machine and the default directory is
// used, reloads systemd and enables the unit. The service run is a foreground process: SIGTERM and
// SIGINT stop it, SIGUSR1 pauses, SIGUSR2 and SIGHUP continue. Under systemd it reports its state
// through the notification socket.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <deque>
#include <mutex>
#include <thread>

#include "service/service_host.h"

namespace service::host {

namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  return set;
}

std::string UnitDir() {
  const char* dir = std::getenv("TAVRIMONDO_UNIT_DIR");
  return dir && *dir ? dir : kDefaultUnitDir;
}

std::string UnitPath(const std::string& name) { return UnitDir() + "/" + name + ".service"; }

// systemctl is asked only when systemd runs this machine and the unit is where it looks.
bool UseSystemctl() {
  struct stat st{};
  return UnitDir() == kDefaultUnitDir && ::stat("/run/systemd/system", &st) == 0 &&
         ::access("/bin/systemctl", X_OK) == 0;
}

void Systemctl(const std::string& args) {
  std::string cmd = "/bin/systemctl " + args + " >/dev/null 2>&1";
  (void)std::system(cmd.c_str());
}

[[noreturn]] void Throw(int code, const std::string& detail) {
  throw os::OsError(code, os::SysErrorMessage(code) + ": " + detail);
}

ControlHandler g_control = nullptr;

// Like the service control manager, hold control codes back while the service accepts none (while
// its start is pending): a SIGTERM that comes early stops the service once it runs, instead of
// being lost.
std::mutex g_mu;
bool g_accepting = false;
int g_status_fd = -1;  // wakes the dispatcher when the status changes
// What systemd was last told: the state's notification and the line after its word.
std::string g_state_line;
std::string g_status_text;

}  // namespace

void InitializeProcess() {
  // A signal that is ignored never reaches a signalfd, and a shell starts background programs with
  // SIGINT ignored: the control signals get their default disposition back first.
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) ::signal(s, SIG_DFL);
  // Every thread inherits this mask, so the control signals reach only the dispatcher's signalfd.
  sigset_t set = ControlSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Manager::Manager() : handle_(nullptr) {
  struct stat st{};
  std::string dir = UnitDir();
  if (::stat(dir.c_str(), &st) != 0) Throw(errno, dir);
  if (!S_ISDIR(st.st_mode)) Throw(ENOTDIR, dir);
  if (::access(dir.c_str(), W_OK) != 0) Throw(errno, dir);
}

Manager::~Manager() = default;

Service::Service(Manager& m, const ServiceDefinition& def, const std::string& command)
    : manager_(m), name_(def.name), handle_(nullptr) {
  const std::string path = UnitPath(def.name);
  std::string unit;
  unit += "# Written by the agent's install run; its uninstall run removes it.\n";
  unit += "[Unit]\n";
  unit += "Description=" + def.display_name + "\n";
  unit += "Wants=network-online.target\nAfter=network-online.target\n";
  if (!def.dependencies.empty()) unit += "Requires=" + def.dependencies + "\nAfter=" + def.dependencies + "\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + command + "\n";
  unit += "ExecReload=/bin/kill -HUP $MAINPID\n";
  // A stop waits for the replication cycle in progress.
  unit += "TimeoutStopSec=30min\n";
  if (!def.start_name.empty()) unit += "User=" + def.start_name + "\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";

  FILE* f = ::fopen(path.c_str(), "wx");  // fails when the unit exists already
  if (!f) Throw(errno, path);
  bool ok = std::fwrite(unit.data(), 1, unit.size(), f) == unit.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    int e = errno ? errno : EIO;
    ::unlink(path.c_str());
    Throw(e, path);
  }
  if (def.start_type == 2 && UseSystemctl()) {
    Systemctl("daemon-reload");
    Systemctl("enable " + def.name + ".service");
  }
}

Service::Service(Manager& m, const std::string& name) : manager_(m), name_(name), handle_(nullptr) {
  const std::string path = UnitPath(name);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) Throw(errno, path);
}

Service::~Service() = default;

void Service::Delete() {
  const std::string path = UnitPath(name_);
  if (UseSystemctl()) Systemctl("disable " + name_ + ".service");
  if (::unlink(path.c_str()) != 0) Throw(errno, path);
  if (UseSystemctl()) Systemctl("daemon-reload");
}

int RunDispatcher(const std::string& service_name, ServiceMain main) {
  sigset_t set = ControlSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int sfd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (sfd < 0) return errno;
  int done = ::eventfd(0, EFD_CLOEXEC);
  int status = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (done < 0 || status < 0) {
    int e = errno;
    ::close(sfd);
    if (done >= 0) ::close(done);
    return e;
  }
  {
    std::lock_guard lock(g_mu);
    g_status_fd = status;
    g_accepting = false;
  }
  std::deque<std::uint32_t> held;
  // Like the service control manager, start the one service with its name as first argument.
  std::thread service_main([&] {
    main({service_name});
    std::uint64_t one = 1;
    (void)::write(done, &one, sizeof one);
  });
  for (;;) {
    pollfd fds[3] = {{sfd, POLLIN, 0}, {done, POLLIN, 0}, {status, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (fds[2].revents) {
      std::uint64_t n;
      (void)::read(status, &n, sizeof n);
    }
    if (fds[0].revents) {
      signalfd_siginfo si{};
      if (::read(sfd, &si, sizeof si) != sizeof si) continue;
      std::uint32_t code = 0;
      switch (si.ssi_signo) {
        case SIGTERM:
        case SIGINT: code = 1; break;   // stop
        case SIGUSR1: code = 2; break;  // pause
        case SIGUSR2:
        case SIGHUP: code = 3; break;   // continue
      }
      if (code) held.push_back(code);
    }
    bool accepting;
    {
      std::lock_guard lock(g_mu);
      accepting = g_accepting;
    }
    while (accepting && !held.empty()) {
      if (g_control) g_control(held.front());
      held.pop_front();
    }
  }
  service_main.join();
  {
    std::lock_guard lock(g_mu);
    g_status_fd = -1;
  }
  ::close(sfd);
  ::close(done);
  ::close(status);
  return 0;
}

int RegisterControlHandler(const std::string&, ControlHandler handler) {
  g_control = handler;
  return 0;
}

int SetStatus(const StatusReport& r) {
  const char* state = nullptr;
  switch (r.current_state) {
    case 1: state = "STATUS=Stopped"; break;
    case 2: state = "STATUS=Starting"; break;
    case 3: state = "STOPPING=1\nSTATUS=Stopping"; break;
    case 4: state = "READY=1\nSTATUS=Running"; break;
    case 5: state = "STATUS=Continuing"; break;
    case 6: state = "STATUS=Pausing"; break;
    case 7: state = "STATUS=Paused"; break;
  }
  std::lock_guard lock(g_mu);
  if (state) {
    g_state_line = state;
    // Without systemd there is nobody to tell.
    ::sd_notify(0, (g_status_text.empty() ? g_state_line : g_state_line + " - " + g_status_text).c_str());
  }
  g_accepting = r.controls_accepted != 0 && r.current_state != 1;
  if (g_status_fd >= 0) {
    std::uint64_t one = 1;
    (void)::write(g_status_fd, &one, sizeof one);
  }
  return 0;
}

// ---- the status check's questions, and the line systemd shows ------------------------------

namespace {

// The command of the unit's ExecStart= line; "" when there is none.
std::string UnitCommand(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("ExecStart=", 0) == 0) return line.substr(10);
  }
  return {};
}

// Whether process `pid` exists and runs `exe` (a binary replaced since it started counts too).
bool RunsExecutable(int pid, const std::string& exe) {
  if (pid <= 0) return false;
  char buf[4096];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) {
    // Another user's process (the service runs as root, the check as a technician): it exists, and
    // its executable cannot be told; the record it wrote stands.
    return errno == EACCES && (::kill(pid, 0) == 0 || errno == EPERM);
  }
  std::string target(buf, static_cast<std::size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
  if (target == exe) return true;
  // A zombie's link is gone already; it has ended.
  return false;
}

}  // namespace

ServiceQuery QueryService(const std::string& service_name, const RecordedService& recorded) {
  ServiceQuery q;
  q.known = true;
  const std::string unit = UnitPath(service_name);
  struct stat st{};
  q.installed = ::stat(unit.c_str(), &st) == 0;
  if (q.installed) q.command = UnitCommand(unit);
  if (RunsExecutable(recorded.pid, recorded.exe)) {
    q.pid = recorded.pid;
    q.state = recorded.state.empty() ? StateName(2) : recorded.state;
    if (q.state == StateName(1)) q.detail = "its process is still finishing its last cycle";
    return q;
  }
  q.state = StateName(1);
  if (recorded.pid > 0 && recorded.state != StateName(1))
    q.detail = "process " + std::to_string(recorded.pid) + ", which last reported \"" + recorded.state +
               "\", no longer runs this program: it ended without stopping (killed or crashed)";
  else if (recorded.pid == 0)
    q.detail = "no service run has left a record in this folder";
  return q;
}

void SetStatusText(const std::string& text) {
  std::lock_guard lock(g_mu);
  g_status_text = text;
  // After the state's own line, so that systemd shows the state first and keeps its READY/STOPPING.
  const std::string word = g_state_line.empty() ? std::string() : g_state_line.substr(g_state_line.rfind("STATUS=") + 7);
  ::sd_notify(0, ("STATUS=" + (word.empty() || text.empty() ? word + text : word + " - " + text)).c_str());
}

}  // namespace service::host
