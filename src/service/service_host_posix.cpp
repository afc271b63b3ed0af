// Linux: the service is a systemd unit, control codes arrive as signals.
//
// Install writes "<name>.service" into the unit directory (/etc/systemd/system; in test builds the
// directory named by TAVRIMONDO_UNIT_DIR) and, when systemd runs the machine and the default
// directory is used, reloads systemd and enables the unit; uninstall disables the unit, removes it
// and reloads. When systemctl fails, so does the install or uninstall, with systemctl's own
// message. The Debian package's unit (/lib/systemd/system) counts as the service installed, and an
// install run does not hide it behind one of its own. The service run is a foreground process:
// SIGTERM and SIGINT stop it, SIGUSR1 pauses, SIGUSR2 and SIGHUP continue. Under systemd it reports
// its state through the notification socket. A second SIGTERM or SIGINT while a stop is carried
// out ends the process at once.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/text.h"
#include "service/folder_trust.h"
#include "service/service_host.h"
#include "service/systemd_unit.h"

namespace service::host {

namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  return set;
}

// A stand-in named by the environment, in builds made for tests only (TAVRIMONDO_TEST_HOOKS). A
// shipped program runs as root: what it writes and runs must not be for its caller's environment
// to decide.
const char* TestHook([[maybe_unused]] const char* name) {
#if TAVRIMONDO_TEST_HOOKS
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
#else
  return nullptr;
#endif
}

std::string UnitDir() {
  const char* dir = TestHook("TAVRIMONDO_UNIT_DIR");
  return dir ? dir : kDefaultUnitDir;
}

std::string UnitPath(const std::string& name) { return UnitDir() + "/" + name + ".service"; }

// The Debian package's unit, which one of the install run in the default directory would hide.
std::string PackageUnitPath(const std::string& name) {
  return UnitDir() == kDefaultUnitDir ? "/lib/systemd/system/" + name + ".service" : std::string();
}

// The unit systemd runs: the install run's, or else the package's; "" when there is none.
std::string InstalledUnitPath(const std::string& name) {
  struct stat st{};
  for (const std::string& path : {UnitPath(name), PackageUnitPath(name)})
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) return path;
  return {};
}

// systemctl is asked only when systemd runs this machine and the unit is where it looks. Tests
// name a stand-in for it in TAVRIMONDO_SYSTEMCTL.
std::string SystemctlProgram() {
  if (const char* fake = TestHook("TAVRIMONDO_SYSTEMCTL")) return fake;
  struct stat st{};
  if (UnitDir() == kDefaultUnitDir && ::stat("/run/systemd/system", &st) == 0 && ::access("/bin/systemctl", X_OK) == 0)
    return "/bin/systemctl";
  return {};
}

// Runs systemctl with `args` and returns what it wrote; throws with its own words when it fails.
std::string Systemctl(const std::vector<std::string>& args) {
  const std::string program = SystemctlProgram();
  std::string command = "systemctl";
  for (const auto& a : args) command += " " + a;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(command + " could not run: " + os::SysErrorMessage(errno));
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The control signals are blocked in this process; systemctl gets them back.
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string output;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (spawned != 0) throw std::runtime_error(command + " could not run: " + os::SysErrorMessage(spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return output;
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  std::string why = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                      : "signal " + std::to_string(WTERMSIG(status));
  throw std::runtime_error(command + " failed (" + why + ")" + (output.empty() ? "" : ": " + output));
}

[[noreturn]] void Throw(int code, const std::string& detail) {
  throw os::OsError(code, os::SysErrorMessage(code) + ": " + detail);
}

ControlHandler g_control = nullptr;

// Ends the process without waiting for anything: the answer to a second stop signal. The
// central server only ever stores whole batches, and the next start sends whatever it did not.
[[noreturn]] void EndAtOnce(const std::string& service_name, int signo) {
  os::WriteEventLog(service_name, messages::Format(messages::kEvSecondStop));
  ::_exit(128 + signo);
}

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

void PrepareProgramFolder(const std::string& service_name) {
  // The package's folder is its service account's to write; the install is refused anyway, and
  // the package is what the administrator needs to hear of.
  struct stat st{};
  if (const std::string packaged = PackageUnitPath(service_name); !packaged.empty() && ::stat(packaged.c_str(), &st) == 0)
    return;
  const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths("", os::ProgramTrustees());
  if (found.empty()) return;
  throw std::runtime_error("The unit would run this program as root, but others can change it: " +
                           os::DescribeUntrusted(found) +
                           ". Let only root change the program, its folder and its settings file (chown root, chmod go-w).");
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
  // The command comes as the service control manager takes it: the path, in double quotes when it
  // holds a blank. systemd has quoting rules of its own.
  std::string exe = command;
  if (exe.size() >= 2 && exe.front() == '"' && exe.back() == '"') exe = exe.substr(1, exe.size() - 2);
  const std::string unit = systemd::UnitFileText(def, exe);

  // The package installed the service already, with its own unit.
  struct stat st{};
  if (const std::string packaged = PackageUnitPath(def.name); !packaged.empty() && ::stat(packaged.c_str(), &st) == 0)
    Throw(EEXIST, packaged);
  FILE* f = ::fopen(path.c_str(), "wx");  // fails when the unit exists already
  if (!f) Throw(errno, path);
  bool ok = std::fwrite(unit.data(), 1, unit.size(), f) == unit.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    int e = errno ? errno : EIO;
    ::unlink(path.c_str());
    Throw(e, path);
  }
  if (def.start_type == 2 && !SystemctlProgram().empty()) {
    try {
      Systemctl({"daemon-reload"});
      Systemctl({"enable", def.name + ".service"});
    } catch (const std::exception&) {
      // An install that systemd did not take leaves nothing behind.
      ::unlink(path.c_str());
      try {
        Systemctl({"daemon-reload"});
      } catch (const std::exception&) {
      }
      throw;
    }
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
  const bool systemd = !SystemctlProgram().empty();
  // A unit that cannot be disabled stays, so that it is not left enabled without its file.
  if (systemd) Systemctl({"disable", name_ + ".service"});
  if (::unlink(path.c_str()) != 0) Throw(errno, path);
  if (systemd) {
    try {
      Systemctl({"daemon-reload"});
    } catch (const std::exception&) {
      // The unit is gone from disk and disabled; systemd forgets it at its next reload.
    }
  }
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

// What the installed unit says; nothing when there is none or it cannot be read.
systemd::UnitSettings InstalledUnit(const std::string& service_name) {
  const std::string path = InstalledUnitPath(service_name);
  if (path.empty()) return {};
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > (1u << 20)) return {};
  return systemd::ReadUnitSettings(text);
}

// The first folder of a list systemd hands over ("a:b"), when it is absolute.
std::string FirstFolder(const char* list) {
  if (!list) return {};
  std::string s(list);
  s = s.substr(0, s.find(':'));
  return !s.empty() && s[0] == '/' ? s : std::string();
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

// What systemd says of the unit: its ActiveState and its MainPID (0: none).
struct UnitState {
  std::string active;
  int main_pid = 0;
};

UnitState AskSystemd(const std::string& service_name) {
  const std::string out = Systemctl({"show", service_name + ".service", "--property=ActiveState,MainPID"});
  UnitState u;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("ActiveState=", 0) == 0) u.active = line.substr(12);
    if (line.rfind("MainPID=", 0) == 0) u.main_pid = std::atoi(line.c_str() + 8);
  }
  if (u.active.empty()) throw std::runtime_error("systemctl show told no ActiveState");
  return u;
}

// The state as systemd tells it, for a unit it knows: it sees a process die, or hang in its start,
// where a process id in a record sees neither.
ServiceQuery FromSystemd(ServiceQuery q, const UnitState& u, const RecordedService& recorded) {
  q.pid = u.main_pid;
  if (u.active == "active" || u.active == "reloading") {
    // Its record tells paused from running, when the process that wrote it is systemd's.
    if (u.main_pid > 0 && u.main_pid == recorded.pid && !recorded.state.empty()) {
      q.state = recorded.state;
    } else {
      q.state = StateName(4);
      if (u.main_pid != recorded.pid) q.detail = "systemd's process has written no cycle record here";
    }
  } else if (u.active == "activating") {
    q.state = StateName(2);
  } else if (u.active == "deactivating") {
    q.state = StateName(3);
  } else {
    q.state = StateName(1);
    q.pid = 0;
    q.detail = "systemd reports the unit " + u.active;
    if (RunsExecutable(recorded.pid, recorded.exe))
      q.detail += "; process " + std::to_string(recorded.pid) + " runs this program outside systemd";
  }
  return q;
}

ServiceQuery QueryService(const std::string& service_name, const RecordedService& recorded) {
  ServiceQuery q;
  q.known = true;
  const std::string unit = InstalledUnitPath(service_name);
  q.installed = !unit.empty();
  if (q.installed) q.command = UnitCommand(unit);
  if (q.installed && !SystemctlProgram().empty()) {
    try {
      return FromSystemd(q, AskSystemd(service_name), recorded);
    } catch (const std::exception& e) {
      // Judged by the record alone, as where systemd does not run.
      q.detail = "systemd cannot be asked (" + std::string(e.what()) + ")";
    }
  }
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

void RegisterEventSources(const std::vector<std::string>&, const std::string&) {}
void RemoveEventSources(const std::vector<std::string>&) {}

DataFolders LocateDataFolders(const std::string& service_name, const std::string& exe) {
  // The running service: systemd made its folders and says where.
  DataFolders d{FirstFolder(std::getenv("STATE_DIRECTORY")), FirstFolder(std::getenv("LOGS_DIRECTORY"))};
  if (!d.state.empty() || !d.logs.empty()) return d;
  // Anything else run as this program (the status check, a run by hand beside the unit) keeps to
  // the folders of the unit that runs it.
  const systemd::UnitSettings unit = InstalledUnit(service_name);
  if (unit.exec != exe) return {};
  return {unit.state_dir, unit.logs_dir};
}

std::vector<os::AccountId> ServiceAccounts(const std::string& service_name, bool ask_manager) {
  std::vector<os::AccountId> out;
  if (InstalledUnitPath(service_name).empty()) return out;
  const systemd::UnitSettings unit = InstalledUnit(service_name);
  if (!unit.user.empty()) {
    std::vector<char> buf(16384);
    passwd pw{}, *found = nullptr;
    if (::getpwnam_r(unit.user.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found)
      out.push_back(std::to_string(found->pw_uid));
  }
  if (ask_manager && !SystemctlProgram().empty()) {
    try {
      const int pid = AskSystemd(service_name).main_pid;
      struct stat st{};
      if (pid > 0 && ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0) out.push_back(std::to_string(st.st_uid));
    } catch (const std::exception&) {
      // The unit's own word stands.
    }
  }
  return out;
}

void SetStatusText(const std::string& raw) {
  // One line, as every line of the log: a text from a server can neither add lines of its own to
  // what systemd shows nor steer the terminal that shows it.
  const std::string text = text::CapText(text::FlattenControls(raw), 4096);
  std::lock_guard lock(g_mu);
  g_status_text = text;
  // After the state's own line, so that systemd shows the state first and keeps its READY/STOPPING.
  const std::string word = g_state_line.empty() ? std::string() : g_state_line.substr(g_state_line.rfind("STATUS=") + 7);
  ::sd_notify(0, ("STATUS=" + (word.empty() || text.empty() ? word + text : word + " - " + text)).c_str());
}

}  // namespace service::host
