// The Windows installer's own steps (custom actions of tavrimondo.wxs), in TavrimondoSetup.dll,
// which the package carries and never installs:
//
//   PrepareSettings  immediate: checks the public properties that set kordane.ini, before anything
//                    changes, and hands them to WriteSettings.
//   ProtectFolder    deferred, as LocalSystem, once the files are in place: gives the install folder
//                    the access list /INSTALL gives it (only the administrators may change it) and
//                    checks that they alone can change it or delete or rename a folder above it.
//                    INSTALLFOLDER is a public property: a folder it names that cannot be kept
//                    so (one of C:\ that every user may change, FAT, a network share) fails the
//                    install, as the service would run its program as LocalSystem.
//   WriteSettings    deferred, as LocalSystem: writes them into kordane.ini beside the program.
//   ConfigureService deferred, as LocalSystem: what /INSTALL registers beyond the installer's own
//                    service table: the program's path in quotation marks when it holds a blank
//                    (Windows Installer does so itself, Wine's does not), and the failure actions.
//   StopService      deferred, as LocalSystem, before the installer's own StopServices: stops the
//                    service and waits for its process to end. The service reports stopped while
//                    its last replication cycle may still be running, and a program still running
//                    can be neither replaced nor removed.
//   StartServiceAgain  rollback of StopService: an installation that fails leaves the service
//                    running again.
//
// A failure is written to the installer's log (msiexec /l*v) with what went wrong, and the
// installation is rolled back.
#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
// clang-format on

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/os.h"
#include "service/failure_actions.h"
#include "settings/ini_file.h"
#include "settings/ini_update.h"

namespace {

// The public property of each settings key.
constexpr struct {
  const wchar_t* property;
  const char* key;
} kSettings[] = {
    {L"SERVIDORCENTRAL", "ServidorCentral"}, {L"SERVIDOR", "Servidor"},
    {L"CAMINHO", "Caminho"},                 {L"VENDORLIB", "VendorLib"},
    {L"MONITORARCOMANDO", "MonitorarComando"},
};

std::wstring Wide(const std::string& utf8) {
  std::u16string u = text::Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string Narrow(const std::wstring& w) {
  return text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()));
}

// A property's value; empty when it is not set.
std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  wchar_t none[1] = L"";
  DWORD size = 0;
  if (::MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) return {};
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (::MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
  value.resize(size);
  return value;
}

void Report(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& text) {
  MSIHANDLE record = ::MsiCreateRecord(1);
  ::MsiRecordSetStringW(record, 0, L"Tavrimondo: [1]");
  ::MsiRecordSetStringW(record, 1, Wide(text).c_str());
  ::MsiProcessMessage(install, kind, record);
  ::MsiCloseHandle(record);
}

UINT Fail(MSIHANDLE install, const std::string& text) {
  Report(install, INSTALLMESSAGE_ERROR, text);
  return ERROR_INSTALL_FAILURE;
}

std::string ErrorText(int code) { return os::SysErrorMessage(code) + " (error " + std::to_string(code) + ")"; }

}  // namespace

// The data for WriteSettings: the program's folder on the first line, then one "Key=value" line
// per property given (values hold no line breaks: that is checked here).
extern "C" __declspec(dllexport) UINT __stdcall PrepareSettings(MSIHANDLE install) {
  std::string data = Narrow(Property(install, L"INSTALLFOLDER"));
  std::string given;
  for (const auto& s : kSettings) {
    const std::string value = Narrow(Property(install, s.property));
    if (value.empty()) continue;
    if (std::string problem = settings::SettingValueProblem(value); !problem.empty())
      return Fail(install, "the property " + Narrow(s.property) + " cannot be written to kordane.ini: " + problem);
    data += "\n" + std::string(s.key) + "=" + value;
    given += (given.empty() ? "" : ", ") + std::string(s.key);
  }
  Report(install, INSTALLMESSAGE_INFO,
         given.empty() ? "no settings given; kordane.ini stays as it is, or the example is installed"
                       : "settings given for kordane.ini: " + given);
  if (::MsiSetPropertyW(install, L"WriteSettings", Wide(data).c_str()) != ERROR_SUCCESS)
    return Fail(install, "the settings could not be handed on to WriteSettings");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall WriteSettings(MSIHANDLE install) {
  const std::string data = Narrow(Property(install, L"CustomActionData"));
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = data.find('\n', start);
    lines.push_back(data.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  settings::SettingValues values;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t eq = lines[i].find('=');
    values.emplace_back(lines[i].substr(0, eq), lines[i].substr(eq + 1));
  }
  if (values.empty()) return ERROR_SUCCESS;
  std::string folder = lines[0];
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  const std::string path = folder + settings::kSettingsFileName;
  try {
    settings::UpdateIniFile(path, settings::kSettingsSection, values);
  } catch (const os::OsError& e) {
    return Fail(install, path + " could not be written: " + e.what());
  } catch (const std::exception& e) {
    return Fail(install, path + " could not be written: " + e.what());
  }
  Report(install, INSTALLMESSAGE_INFO, "settings written to " + path);
  return ERROR_SUCCESS;
}

// The data: the install folder.
extern "C" __declspec(dllexport) UINT __stdcall ProtectFolder(MSIHANDLE install) {
  std::string folder = Narrow(Property(install, L"CustomActionData"));
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  try {
    os::ProtectFolder(folder);
  } catch (const os::OsError& e) {
    return Fail(install, "the folder " + folder + " cannot be given an access list that only the administrators can change: " +
                             e.what() + ". Install into a folder under Program Files on a local disk.");
  }
  const std::vector<os::UntrustedWrite> found = os::UntrustedWriters({folder}, os::ProgramTrustees());
  if (!found.empty())
    return Fail(install, "others can change the folder " + folder + " or a folder above it, and the service would run "
                         "its program as LocalSystem: " + os::DescribeUntrusted(found) +
                         ". Install into a folder under Program Files.");
  Report(install, INSTALLMESSAGE_INFO, "the folder " + folder + " is for the administrators alone to change");
  return ERROR_SUCCESS;
}

// The data: the service's name, then the program's full path, on two lines.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
  const std::wstring data = Property(install, L"CustomActionData");
  const std::size_t nl = data.find(L'\n');
  const std::wstring name = data.substr(0, nl);
  std::wstring path = nl == std::wstring::npos ? std::wstring() : data.substr(nl + 1);
  // As /INSTALL registers it: in quotation marks when it holds a blank.
  if (path.find(L' ') != std::wstring::npos) path = L"\"" + path + L"\"";
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return Fail(install, "the service control manager cannot be opened: " + ErrorText(::GetLastError()));
  SC_HANDLE service = ::OpenServiceW(manager, name.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START);
  UINT result = ERROR_SUCCESS;
  if (!service) {
    result = Fail(install, "the service " + Narrow(name) + " cannot be opened: " + ErrorText(::GetLastError()));
  } else {
    try {
      if (!path.empty() && !::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                   path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        const int e = static_cast<int>(::GetLastError());
        throw os::OsError(e, "the program's path cannot be set: " + os::SysErrorMessage(e));
      }
      service::host::SetFailureActions(service);
      Report(install, INSTALLMESSAGE_INFO, "the service " + Narrow(name) + " runs " + Narrow(path) +
                                               ", with its failure actions");
    } catch (const os::OsError& e) {
      result = Fail(install, "the service " + Narrow(name) + " cannot be configured: " + e.what() + " (error " +
                                 std::to_string(e.code()) + ")");
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return result;
}

extern "C" __declspec(dllexport) UINT __stdcall StopService(MSIHANDLE install) {
  const std::wstring name = Property(install, L"CustomActionData");
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return Fail(install, "the service control manager cannot be opened: " + ErrorText(::GetLastError()));
  SC_HANDLE service = ::OpenServiceW(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) {  // not installed: nothing to stop
    ::CloseServiceHandle(manager);
    return ERROR_SUCCESS;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  HANDLE process = nullptr;
  if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                             &needed) &&
      status.dwCurrentState != SERVICE_STOPPED) {
    process = ::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
    SERVICE_STATUS ignored;
    ::ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(service::StopTimeoutSeconds()) * 1000;
    while (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                  &needed) &&
           status.dwCurrentState != SERVICE_STOPPED && ::GetTickCount64() < deadline)
      ::Sleep(100);
    const ULONGLONG now = ::GetTickCount64();
    const bool ended = process && ::WaitForSingleObject(process, now < deadline ? static_cast<DWORD>(deadline - now) : 0) ==
                                      WAIT_OBJECT_0;
    Report(install, INSTALLMESSAGE_INFO,
           "the service " + Narrow(name) + (ended ? " has stopped and its process has ended"
                                                  : " was asked to stop; its process did not end in time"));
    if (process) ::CloseHandle(process);
  }
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall StartServiceAgain(MSIHANDLE install) {
  const std::wstring name = Property(install, L"CustomActionData");
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return ERROR_SUCCESS;
  if (SC_HANDLE service = ::OpenServiceW(manager, name.c_str(), SERVICE_START)) {
    if (::StartServiceW(service, 0, nullptr)) Report(install, INSTALLMESSAGE_INFO, "the service " + Narrow(name) + " runs again");
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return ERROR_SUCCESS;
}
