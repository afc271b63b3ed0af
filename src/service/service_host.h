// The service control manager as the agent sees it: Windows' own on Windows; on Linux, systemd
// unit files for registration and the process's signals for control codes.
//
// Functions that fail throw os::OsError with the system's error number and text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Connects the process to the service control manager and returns once the service has stopped:
// 0, or the system's error number (1063 when the process was not started as a service).
// `main` runs on a thread of its own when the service is started.
int RunDispatcher(const std::string& service_name, ServiceMain main);

// Registers the control callback; 0 or the system's error number.
int RegisterControlHandler(const std::string& service_name, ControlHandler handler);

// Reports the status; 0 or the system's error number.
int SetStatus(const StatusReport& report);

}  // namespace host
}  // namespace service
