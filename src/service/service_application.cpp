#include "service/service_application.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "platform/os.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"

namespace service {

namespace {
TServiceApplication* g_application = nullptr;
TService* g_service = nullptr;  // what the dispatcher's service-main callback starts

// Service-main threads still inside the service object. Windows' dispatcher returns as soon as the
// service reports stopped, while its service-main thread is still finishing that report (the
// cycle record), so the object must outlive them.
std::mutex g_mains_mu;
std::condition_variable g_mains_cv;
int g_mains = 0;
}  // namespace

bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name) {
  for (const auto& a : args)
    if (a.size() > 1 && (a[0] == '-' || a[0] == '/') && text::EqualsIgnoreCase(a.substr(1), name)) return true;
  return false;
}

std::string SystemErrorText(const os::OsError& e) {
  if (e.code() == 0) return "A call to an OS function failed";
  return "System Error.  Code: " + std::to_string(e.code()) + ".\r\n" + e.what();
}

TServiceApplication::TServiceApplication(std::vector<std::string> args) : args_(std::move(args)) {
  g_application = this;
}

TServiceApplication::~TServiceApplication() {
  // Program end: the service object and all its components go first.
  g_service = nullptr;
  service_.reset();
  g_application = nullptr;
}

bool TServiceApplication::Installing() const {
  return FindCmdLineSwitch(args_, "INSTALL") || FindCmdLineSwitch(args_, "UNINSTALL");
}

void TServiceApplication::Initialize() {
  if (initialized_) return;
  initialized_ = true;
  host::InitializeProcess();
}

std::vector<std::string> TServiceApplication::EventSources() const {
  return {service_->Name(), EventSource()};
}

std::string TServiceApplication::EventSource() {
  std::string exe = os::ExeName();
  return exe.substr(settings::ExtractFilePath(exe).size());
}

int TServiceApplication::Run() {
  const bool silent = FindCmdLineSwitch(args_, "SILENT");
  if (FindCmdLineSwitch(args_, "INSTALL")) return Install(silent);
  if (FindCmdLineSwitch(args_, "UNINSTALL")) return Uninstall(silent);
  return RunService();
}

int TServiceApplication::Install(bool silent) {
  // Not opening the manager at all is not caught here: it ends the program as an unhandled error.
  std::unique_ptr<host::Manager> manager;
  try {
    manager = std::make_unique<host::Manager>();
  } catch (const os::OsError& e) {
    throw std::runtime_error(SystemErrorText(e));
  }
  bool failed = false;
  try {
    host::PrepareProgramFolder(service_->Definition().name);
    std::string path = os::ExeName();
    if (path.find(' ') != std::string::npos) path = "\"" + path + "\"";
    std::unique_ptr<host::Service> svc;
    try {
      svc = std::make_unique<host::Service>(*manager, service_->Definition(), path);
    } catch (const os::OsError& e) {
      throw std::runtime_error(SystemErrorText(e));
    }
    try {
      host::RegisterEventSources(EventSources(), os::ExeName());
      service_->DoAfterInstall();
    } catch (...) {
      // A registration whose install could not be completed does not stay behind.
      try {
        svc->Delete();
      } catch (const std::exception&) {
      }
      throw;
    }
  } catch (const std::exception& e) {
    os::ShowMessage("Service \"" + service_->DisplayName() + "\" failed to install with error: \"" + e.what() + "\"",
                    true);
    failed = true;
  }
  if (!failed && !silent) os::ShowMessage("Service installed successfully", false);
  return failed ? 1 : 0;
}

int TServiceApplication::Uninstall(bool silent) {
  std::unique_ptr<host::Manager> manager;
  try {
    manager = std::make_unique<host::Manager>();
  } catch (const os::OsError& e) {
    throw std::runtime_error(SystemErrorText(e));
  }
  bool failed = false;
  try {
    try {
      host::Service svc(*manager, service_->Name());
      svc.Delete();
    } catch (const os::OsError& e) {
      throw std::runtime_error(SystemErrorText(e));
    }
    host::RemoveEventSources(EventSources());
    service_->DoAfterUninstall();
  } catch (const std::exception& e) {
    os::ShowMessage("Service \"" + service_->DisplayName() + "\" failed to uninstall with error: \"" + e.what() + "\"",
                    true);
    failed = true;
  }
  if (!failed && !silent) os::ShowMessage("Service uninstalled successfully", false);
  return failed ? 1 : 0;
}

void TServiceApplication::ServiceMainEntry(const std::vector<std::string>& args) {
  TService* svc = g_service;
  if (!svc || args.empty() || !text::EqualsIgnoreCase(args[0], svc->Name())) return;
  {
    std::lock_guard lock(g_mains_mu);
    ++g_mains;
  }
  if (int err = host::RegisterControlHandler(svc->Name(), svc->GetServiceController()))
    svc->LogMessage(messages::Format(messages::kEvSystemError, {os::SysErrorMessage(err)}));
  else
    svc->Main(args);
  std::lock_guard lock(g_mains_mu);
  --g_mains;
  g_mains_cv.notify_all();
}

int TServiceApplication::RunService() {
  const std::string source = EventSource();
  // A log line that cannot be written (a full disk, a viewer holding the file) costs the line and
  // one entry in the event log, never a cycle or a handler: replication goes on.
  settings::SetLogWriteFailures(settings::LogWriteFailures::kReport);
  // What escapes a tick or a task of the main thread goes to the event log, and the loop goes on.
  loop_.SetExceptionHandler(
      [source](const std::string& msg) { os::WriteEventLog(source, messages::Format(messages::kEvCycleFailed, {msg})); });
  g_service = service_.get();
  int dispatcher_error = 0;
  std::thread dispatcher([&] {
    dispatcher_error = host::RunDispatcher(service_->Name(), &TServiceApplication::ServiceMainEntry);
    loop_.Quit();
  });
  loop_.Run();
  dispatcher.join();
  {
    // Bounded all the same: what is left after the stopped report is one small file to write.
    std::unique_lock lock(g_mains_mu);
    g_mains_cv.wait_for(lock, std::chrono::seconds(30), [] { return g_mains == 0; });
  }
  if (dispatcher_error != 0) {
    os::WriteEventLog(source, messages::Format(messages::kEvSystemError, {os::SysErrorMessage(dispatcher_error)}));
    return 1;
  }
  return service_->StartFailed() ? 1 : 0;
}

}  // namespace service
