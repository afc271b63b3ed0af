// The service control manager as the agent sees it: Windows' own on Windows; on Linux, systemd
// unit files for registration and the process's signals for control codes.
//
// Functions that fail throw os::OsError with the system's error number and text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "platform/os.h"

namespace service {

// Registration values of a service.
struct ServiceDefinition {
  std::string name;
  std::string display_name;
  std::uint32_t service_type = 0x10;  // SERVICE_WIN32_OWN_PROCESS
  std::uint32_t start_type = 2;       // SERVICE_AUTO_START
  std::uint32_t error_control = 1;    // SERVICE_ERROR_NORMAL
  std::string load_group;             // none
  std::string dependencies;           // none
  std::string start_name;             // empty: the LocalSystem account
  std::string password;
};

// What a status report carries (SERVICE_STATUS).
struct StatusReport {
  std::uint32_t service_type = 0x10;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
};

using ControlHandler = void (*)(std::uint32_t code);
using ServiceMain = void (*)(const std::vector<std::string>& args);

namespace host {

// Runs before any thread exists (POSIX: routes the control signals to the dispatcher).
void InitializeProcess();

// Handles of the registration database; closed by their destructors on every path.
class Manager {
 public:
  Manager();  // opens the service control manager with full access
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;
  void* handle() const { return handle_; }

 private:
  void* handle_;
};

class Service {
 public:
  Service(Manager& m, const ServiceDefinition& def, const std::string& command);  // creates
  Service(Manager& m, const std::string& name);                                    // opens
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
  void Delete();  // marks the service for deletion

 private:
  Manager& manager_;
  std::string name_;
  void* handle_;
};

// Before an install registers the program, which the service runs with full rights: Windows gives
// the program's folder an access list that only the administrators can change. Both then refuse,
// with an error for the result box, a program whose folder (or a folder above it), executable or
// settings file anyone but the system's accounts can change, or a folder that cannot be given
// such a list (FAT, a network share). Linux leaves that to the install when the package's unit is
// there, which the install refuses for that reason instead.
void PrepareProgramFolder(const std::string& service_name);

// The event sources the program reports under (the service's name, and the program's file name
// for what escapes its main thread), with the program as their message file, so that Event Viewer
// shows each entry's text by its Event ID. Windows only; the journal needs nothing.
void RegisterEventSources(const std::vector<std::string>& sources, const std::string& exe);
void RemoveEventSources(const std::vector<std::string>& sources);

// Where the agent's data lives for the program at `exe` (settings/app_dir.h), as its service
// manager has it. Linux: the folders systemd gives the running service (STATE_DIRECTORY,
// LOGS_DIRECTORY), or else those named by the installed unit that runs `exe` (StateDirectory=,
// LogsDirectory=, beneath /var/lib and /var/log). "" for beside the program: always on Windows,
// and on Linux without such a unit (a run by hand).
struct DataFolders {
  std::string state, logs;
};
DataFolders LocateDataFolders(const std::string& service_name, const std::string& exe);

// The accounts the installed service runs as, as its service manager says, never as a file in its
// folders says: Linux: its unit's User= (root without one) and, with `ask_manager`, the owner of
// the process systemd runs it as; Windows: the account it is registered with (LocalSystem).
std::vector<os::AccountId> ServiceAccounts(const std::string& service_name, bool ask_manager);

// Connects the process to the service control manager and returns once the service has stopped:
// 0, or the system's error number (1063 when the process was not started as a service).
// `main` runs on a thread of its own when the service is started.
int RunDispatcher(const std::string& service_name, ServiceMain main);

// Registers the control callback; 0 or the system's error number.
int RegisterControlHandler(const std::string& service_name, ControlHandler handler);

// Reports the status; 0 or the system's error number.
int SetStatus(const StatusReport& report);

// ---- the status check's questions, and the line systemd shows ------------------------------

// What the service last wrote about itself in its cycle record (Linux judges by it).
struct RecordedService {
  int pid = 0;        // 0: no record
  std::string state;  // "running", "paused", ...
  std::string exe;    // the executable that wrote it
};

// The service as the service manager sees it.
struct ServiceQuery {
  bool known = false;      // false: it could not be found out, and `error` says why
  bool installed = false;  // registered (Linux: its unit file exists)
  std::string state;       // a StateName(); "" when not known
  int pid = 0;             // its process, 0 when it has none
  std::string command;     // what the manager starts; "" when not installed
  std::string detail;      // how the state was judged, when that is worth saying
  std::string error;
};

// Windows asks the service control manager. Linux has no manager that tracks paused: the recorded
// process counts when it still runs this executable, its recorded state then holds; otherwise the
// service is stopped.
ServiceQuery QueryService(const std::string& service_name, const RecordedService& recorded);

// A line for the service manager to show beside the state (systemd's STATUS=, after the state's
// own word); nothing on Windows.
void SetStatusText(const std::string& text);

}  // namespace host

// The name of a service state (SERVICE_STOPPED 1 .. SERVICE_PAUSED 7): "stopped", "start pending",
// "stop pending", "running", "continue pending", "pause pending", "paused"; "" for anything else.
inline const char* StateName(std::uint32_t state) {
  switch (state) {
    case 1: return "stopped";
    case 2: return "start pending";
    case 3: return "stop pending";
    case 4: return "running";
    case 5: return "continue pending";
    case 6: return "pause pending";
    case 7: return "paused";
  }
  return "";
}
}  // namespace service
