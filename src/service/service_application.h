// The program's three modes: install, uninstall and the service run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "replication/main_loop.h"
#include "service/service.h"

namespace service {

// A switch is an argument starting with "-" or "/" whose rest equals `name`, case ignored.
bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name);

// "System Error.  Code: %d." and the system's text, as a failed system call reports itself.
std::string SystemErrorText(const os::OsError& e);

class TServiceApplication {
 public:
  explicit TServiceApplication(std::vector<std::string> args);
  ~TServiceApplication();

  // True when "INSTALL" or "UNINSTALL" is on the command line.
  bool Installing() const;
  // Once per process, before any thread exists.
  void Initialize();
  // Creates the one service object, owned by the application, and stores it in `var`.
  template <class T>
  void CreateForm(T*& var) {
    var = nullptr;
    auto svc = std::make_unique<T>(loop_);
    var = svc.get();
    service_ = std::move(svc);
  }
  // The mode chosen by the switches; returns the process's exit status (non-zero on failure).
  int Run();

  replication::MainLoop& Loop() { return loop_; }
  // The event source of the application's own reports: the executable's file name.
  static std::string EventSource();
  // Every event source the program reports under: the service's name, and EventSource().
  std::vector<std::string> EventSources() const;

 private:
  int Install(bool silent);
  int Uninstall(bool silent);
  int RunService();
  static void ServiceMainEntry(const std::vector<std::string>& args);

  std::vector<std::string> args_;
  bool initialized_ = false;
  replication::MainLoop loop_;
  std::unique_ptr<TService> service_;
};

}  // namespace service
