// The Windows service control manager.
#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/wide_text_windows.h"
#include "service/failure_actions.h"
#include "service/folder_trust.h"
#include "service/service_host.h"
#include "settings/app_dir.h"

namespace service::host {

namespace {

using os::win::Wide;

// A text the service control manager may leave out.
std::string Narrow(const wchar_t* w) { return os::win::Narrow(w ? w : L""); }

[[noreturn]] void ThrowLast() {
  int e = static_cast<int>(::GetLastError());
  throw os::OsError(e, os::SysErrorMessage(e));
}

// The dispatcher knows one service; the callbacks find the agent's functions here.
std::wstring g_service_name;
ServiceMain g_main = nullptr;
ControlHandler g_control = nullptr;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;

void WINAPI ControlTrampoline(DWORD code) {
  if (g_control) g_control(code);
}

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(Narrow(argv[i]));
  if (g_main) g_main(args);
}

// Keeps a console window that was opened for this program alone (a double-click) until its
// reader presses Enter, at most five minutes. Runs at exit, when the service object and its timer
// are gone, so no replication cycle can run meanwhile.
void WaitForReader() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  const ULONGLONG deadline = ::GetTickCount64() + 5 * 60 * 1000;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline || ::WaitForSingleObject(in, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) return;
    INPUT_RECORD record;
    DWORD read = 0;
    if (!::ReadConsoleInputW(in, &record, 1, &read)) return;
    if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
      return;
  }
}

// Text for a person at the console: wide characters to a console window, UTF-8 to a file or pipe.
void WriteToConsole(const std::string& text) {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0, written = 0;
  if (::GetConsoleMode(err, &mode)) {
    std::wstring w = Wide(text);
    ::WriteConsoleW(err, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
  } else {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
}

// The program was started by hand, not by the service control manager: say what to do instead.
void ExplainHandRun(const std::string& service_name) {
  const std::string exe = os::ExeName();
  const std::string file = exe.substr(exe.find_last_of("\\/") + 1);
  std::string text = file + " is a Windows service: the service control manager starts it, not a double-click\n" +
                     "or a console. To set it up, as an administrator:\n" +
                     "  1. " + file + " /INSTALL   registers the service " + service_name + " (automatic start)\n" +
                     "  2. net start " + service_name + "   starts it now (or Start in services.msc)\n" +
                     "Settings: kordane.ini beside the program. Activity log: Tavrimondo_MMYYYY.LOG there.\n";
  DWORD mode = 0, processes[2];
  const bool own_console =
      ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) && ::GetConsoleProcessList(processes, 2) == 1;
  if (own_console) {
    text += "Press Enter to close this window.\n";
    std::atexit(&WaitForReader);
  }
  WriteToConsole(text);
}

}  // namespace

void InitializeProcess() {}

void PrepareProgramFolder(const std::string&) {
  std::string folder = settings::AppDirectory();
  if (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  // The service runs the program as LocalSystem: a folder that cannot be kept for the
  // administrators is refused, as the Linux install refuses one that others can change.
  try {
    os::ProtectFolder(folder);
  } catch (const os::OsError& e) {
    throw std::runtime_error("The program's folder " + folder +
                             " cannot be given an access list that only the administrators can change: " + e.what() +
                             ". Install the program in a folder under Program Files on a local disk.");
  }
  const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths("", os::ProgramTrustees());
  if (!found.empty())
    throw std::runtime_error("The service would run this program as LocalSystem, but others can change it: " +
                             os::DescribeUntrusted(found) +
                             ". Install the program in a folder under Program Files, which only the administrators can change.");
}

namespace {
const std::wstring kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
}  // namespace

void RegisterEventSources(const std::vector<std::string>& sources, const std::string& exe) {
  for (const std::string& source : sources) {
    HKEY key = nullptr;
    LSTATUS rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kEventLogKey + Wide(source)).c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) throw os::OsError(static_cast<int>(rc), "The event source " + source + " cannot be registered: " + os::SysErrorMessage(static_cast<int>(rc)));
    const std::wstring file = Wide(exe);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                          static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
      rc = ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw os::OsError(static_cast<int>(rc), "The event source " + source + " cannot be registered: " + os::SysErrorMessage(static_cast<int>(rc)));
  }
}

void RemoveEventSources(const std::vector<std::string>& sources) {
  for (const std::string& source : sources) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kEventLogKey + Wide(source)).c_str());
}

DataFolders LocateDataFolders(const std::string&, const std::string&) { return {}; }

std::vector<os::AccountId> ServiceAccounts(const std::string& service_name, bool) {
  std::vector<os::AccountId> out;
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return out;
  if (SC_HANDLE svc = ::OpenServiceW(manager, Wide(service_name).c_str(), SERVICE_QUERY_CONFIG)) {
    DWORD needed = 0;
    ::QueryServiceConfigW(svc, nullptr, 0, &needed);
    std::vector<BYTE> buf(needed ? needed : 1);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (needed && ::QueryServiceConfigW(svc, cfg, needed, &needed)) {
      const std::wstring name = cfg->lpServiceStartName ? cfg->lpServiceStartName : L"";
      if (name.empty() || _wcsicmp(name.c_str(), L"LocalSystem") == 0) {
        out.push_back("S-1-5-18");
      } else {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof sid, domain_size = 256;
        wchar_t domain[256];
        SID_NAME_USE use;
        LPWSTR text = nullptr;
        if (::LookupAccountNameW(nullptr, name.c_str(), sid, &sid_size, domain, &domain_size, &use) &&
            ::ConvertSidToStringSidW(sid, &text)) {
          out.push_back(os::win::Narrow(text));
          ::LocalFree(text);
        }
      }
    }
    ::CloseServiceHandle(svc);
  }
  ::CloseServiceHandle(manager);
  return out;
}

Manager::Manager() {
  handle_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!handle_) ThrowLast();
}

Manager::~Manager() { ::CloseServiceHandle(static_cast<SC_HANDLE>(handle_)); }

Service::Service(Manager& m, const ServiceDefinition& def, const std::string& command) : manager_(m), name_(def.name) {
  std::wstring name = Wide(def.name), display = Wide(def.display_name), path = Wide(command),
               group = Wide(def.load_group), account = Wide(def.start_name), password = Wide(def.password);
  // The dependency list is double-NUL terminated; an empty one is just the terminator.
  std::wstring deps = Wide(def.dependencies);
  deps.push_back(L'\0');
  handle_ = ::CreateServiceW(static_cast<SC_HANDLE>(m.handle()), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                             def.service_type, def.start_type, def.error_control, path.c_str(), group.c_str(),
                             nullptr, deps.c_str(), def.start_name.empty() ? nullptr : account.c_str(),
                             password.c_str());
  if (!handle_) ThrowLast();
  try {
    SetFailureActions(handle_);
  } catch (const os::OsError&) {
    // A service that would stay down after a crash is not installed at all.
    ::DeleteService(static_cast<SC_HANDLE>(handle_));
    ::CloseServiceHandle(static_cast<SC_HANDLE>(handle_));
    throw;
  }
}

Service::Service(Manager& m, const std::string& name) : manager_(m), name_(name) {
  handle_ = ::OpenServiceW(static_cast<SC_HANDLE>(m.handle()), Wide(name).c_str(), SERVICE_ALL_ACCESS);
  if (!handle_) ThrowLast();
}

Service::~Service() { ::CloseServiceHandle(static_cast<SC_HANDLE>(handle_)); }

void Service::Delete() {
  if (!::DeleteService(static_cast<SC_HANDLE>(handle_))) ThrowLast();
}

int RunDispatcher(const std::string& service_name, ServiceMain main) {
  g_service_name = Wide(service_name);
  g_main = main;
  SERVICE_TABLE_ENTRYW table[2] = {{g_service_name.data(), &ServiceMainTrampoline}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) ExplainHandRun(service_name);
    return static_cast<int>(error);
  }
  return 0;
}

int RegisterControlHandler(const std::string& service_name, ControlHandler handler) {
  g_control = handler;
  g_status_handle = ::RegisterServiceCtrlHandlerW(Wide(service_name).c_str(), &ControlTrampoline);
  return g_status_handle ? 0 : static_cast<int>(::GetLastError());
}

int SetStatus(const StatusReport& r) {
  SERVICE_STATUS s{};
  s.dwServiceType = r.service_type;
  s.dwCurrentState = r.current_state;
  s.dwControlsAccepted = r.controls_accepted;
  s.dwWin32ExitCode = r.win32_exit_code;
  s.dwServiceSpecificExitCode = r.service_exit_code;
  s.dwCheckPoint = r.check_point;
  s.dwWaitHint = r.wait_hint;
  if (!::SetServiceStatus(g_status_handle, &s)) return static_cast<int>(::GetLastError());
  return 0;
}

// ---- the status check's questions, and the line systemd shows ------------------------------

ServiceQuery QueryService(const std::string& service_name, const RecordedService&) {
  ServiceQuery q;
  // Only what any user may ask: no administrator rights needed.
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    q.error = "the service control manager cannot be asked: " + os::SysErrorMessage(static_cast<int>(::GetLastError()));
    return q;
  }
  SC_HANDLE svc = ::OpenServiceW(manager, Wide(service_name).c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
  if (!svc) {
    const DWORD e = ::GetLastError();
    if (e == ERROR_SERVICE_DOES_NOT_EXIST) {
      q.known = true;
      q.state = StateName(1);
    } else {
      q.error = "the service cannot be asked: " + os::SysErrorMessage(static_cast<int>(e));
    }
    ::CloseServiceHandle(manager);
    return q;
  }
  q.installed = true;
  SERVICE_STATUS_PROCESS sp{};
  DWORD needed = 0;
  if (::QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&sp), sizeof sp, &needed)) {
    q.known = true;
    q.state = StateName(sp.dwCurrentState);
    q.pid = static_cast<int>(sp.dwProcessId);
  } else {
    q.error = "the service's state cannot be read: " + os::SysErrorMessage(static_cast<int>(::GetLastError()));
  }
  ::QueryServiceConfigW(svc, nullptr, 0, &needed);
  if (needed > 0) {
    std::vector<BYTE> buf(needed);
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (::QueryServiceConfigW(svc, cfg, needed, &needed)) q.command = Narrow(cfg->lpBinaryPathName);
  }
  ::CloseServiceHandle(svc);
  ::CloseServiceHandle(manager);
  return q;
}

void SetStatusText(const std::string&) {}

}  // namespace service::host
