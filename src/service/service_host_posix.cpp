// Linux: the service is a systemd unit, control codes arrive as signals.
//
// Install writes "<name>.service" into the unit directory (/etc/systemd/system, or the directory
// named by TAVRIMONDO_UNIT_DIR) and, when systemd runs the machine and the default directory is
// used, reloads systemd and enables the unit. The service run is a foreground process: SIGTERM and
// SIGINT stop it, SIGUSR1 pauses, SIGUSR2 and SIGHUP continue. Under systemd it reports its state
// through the notification socket. A second SIGTERM or SIGINT while a stop is carried out ends the
// process at once.
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

// Ends the process without waiting for anything: the answer to a second stop signal. The
// central server only ever stores whole batches, and the next start sends whatever it did not.
[[noreturn]] void EndAtOnce(const std::string& service_name, int signo) {
  os::WriteEventLog(service_name, "Second stop signal while stopping: the process ends at once");
  ::_exit(128 + signo);
}

// Like the service control manager, hold control codes back while the service accepts none (while
// its start is pending): a SIGTERM that comes early stops the service once it runs, instead of
// being lost.
std::mutex g_mu;
bool g_accepting = false;
int g_status_fd = -1;  // wakes the dispatcher when the status changes

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
  bool stop_seen = false;
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
        case SIGINT:
          // A second stop while the first is carried out: whoever sends it will not wait.
          if (stop_seen) EndAtOnce(service_name, static_cast<int>(si.ssi_signo));
          stop_seen = true;
          code = 1;  // stop
          break;
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
  // The service has stopped; the process still waits for a cycle in progress. A stop signal now
  // is a second one: it ends the process at once.
  if (stop_seen) {
    std::thread([service_name] {
      sigset_t stops;
      sigemptyset(&stops);
      sigaddset(&stops, SIGTERM);
      sigaddset(&stops, SIGINT);
      int fd = ::signalfd(-1, &stops, SFD_CLOEXEC);
      signalfd_siginfo si{};
      while (fd >= 0) {
        if (::read(fd, &si, sizeof si) == sizeof si) EndAtOnce(service_name, static_cast<int>(si.ssi_signo));
        if (errno != EINTR) break;
      }
    }).detach();
  }
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
  if (state) ::sd_notify(0, state);  // without systemd there is nobody to tell
  std::lock_guard lock(g_mu);
  g_accepting = r.controls_accepted != 0 && r.current_state != 1;
  if (g_status_fd >= 0) {
    std::uint64_t one = 1;
    (void)::write(g_status_fd, &one, sizeof one);
  }
  return 0;
}

}  // namespace service::host
