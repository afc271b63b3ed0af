// svcctl: a small Windows service controller for tests.
//
// Wine's own sc cannot pause or continue a service, and tests need to see the exact states and the
// registration values. Usage:
//   svcctl query NAME                 prints the state (RUNNING, PAUSED, ...)
//   svcctl start NAME                 starts the service
//   svcctl control NAME CODE          sends a control code (1 stop, 2 pause, 3 continue, 4 interrogate, ...)
//   svcctl wait NAME STATE [SECONDS]  waits until the service reports STATE (default 30 s)
//   svcctl config NAME                prints the registration, one "key=value" per line
//   svcctl failure NAME               prints the failure actions: "ResetPeriod=N" and one
//                                     "Action=restart|reboot|run|none DELAY_MS" per action
//   svcctl message SOURCE ID TEXT     prints the Application log's message ID of SOURCE with TEXT as
//                                     its insertion string, as Event Viewer shows an entry: the
//                                     source's EventMessageFile from the registry, its message table
// Exit status 0 on success; otherwise the system's error number (or 1) and a message on stderr.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t* StateName(DWORD s) {
  switch (s) {
    case SERVICE_STOPPED: return L"STOPPED";
    case SERVICE_START_PENDING: return L"START_PENDING";
    case SERVICE_STOP_PENDING: return L"STOP_PENDING";
    case SERVICE_RUNNING: return L"RUNNING";
    case SERVICE_CONTINUE_PENDING: return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return L"PAUSE_PENDING";
    case SERVICE_PAUSED: return L"PAUSED";
  }
  return L"UNKNOWN";
}

int Fail(const wchar_t* what) {
  DWORD e = ::GetLastError();
  std::fwprintf(stderr, L"svcctl: %ls failed: error %lu\n", what, e);
  return e ? static_cast<int>(e) : 1;
}

void PrintStatus(const SERVICE_STATUS& s) {
  std::wprintf(L"%ls controls=%lu checkpoint=%lu waithint=%lu\n", StateName(s.dwCurrentState), s.dwControlsAccepted,
               s.dwCheckPoint, s.dwWaitHint);
}

}  // namespace

// What Event Viewer does with an entry: the source's message file from the registry, the message
// of the entry's ID in that file's message table, the entry's strings put in.
int ShowMessage(const std::wstring& source, DWORD id, const wchar_t* text) {
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  wchar_t file[MAX_PATH], expanded[MAX_PATH];
  DWORD size = sizeof file;
  LSTATUS r = ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                             RRF_NOEXPAND, nullptr, file, &size);
  if (r != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(r));
    return Fail(L"RegGetValueW EventMessageFile");
  }
  ::ExpandEnvironmentStringsW(file, expanded, MAX_PATH);
  HMODULE module = ::LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return Fail(L"LoadLibraryExW");
  const DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(text)};
  wchar_t* message = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   module, id, 0, reinterpret_cast<wchar_t*>(&message), 0,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  int rc = 0;
  if (n == 0) {
    rc = Fail(L"FormatMessageW");
  } else {
    std::wprintf(L"%ls", message);
    ::LocalFree(message);
  }
  ::FreeLibrary(module);
  return rc;
}

int wmain(int argc, wchar_t** argv) {
  if (argc >= 5 && std::wstring(argv[1]) == L"message")
    return ShowMessage(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), argv[4]);
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: svcctl query|start|control|wait|config|failure NAME [ARG...]\n");
    return 1;
  }
  std::wstring cmd = argv[1], name = argv[2];
  SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!scm) return Fail(L"OpenSCManagerW");
  SC_HANDLE svc = ::OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS);
  if (!svc) {
    int rc = Fail(L"OpenServiceW");
    ::CloseServiceHandle(scm);
    return rc;
  }
  int rc = 0;
  SERVICE_STATUS st{};
  if (cmd == L"query") {
    if (!::QueryServiceStatus(svc, &st)) rc = Fail(L"QueryServiceStatus");
    else PrintStatus(st);
  } else if (cmd == L"start") {
    if (!::StartServiceW(svc, 0, nullptr)) rc = Fail(L"StartServiceW");
  } else if (cmd == L"control" && argc >= 4) {
    DWORD code = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    if (!::ControlService(svc, code, &st)) rc = Fail(L"ControlService");
    else PrintStatus(st);
  } else if (cmd == L"wait" && argc >= 4) {
    std::wstring want = argv[3];
    double seconds = argc >= 5 ? std::wcstod(argv[4], nullptr) : 30.0;
    DWORD deadline = ::GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (;;) {
      if (!::QueryServiceStatus(svc, &st)) {
        rc = Fail(L"QueryServiceStatus");
        break;
      }
      if (want == StateName(st.dwCurrentState)) {
        PrintStatus(st);
        break;
      }
      if (static_cast<LONG>(::GetTickCount() - deadline) > 0) {
        std::fwprintf(stderr, L"svcctl: still %ls, not %ls\n", StateName(st.dwCurrentState), want.c_str());
        rc = 1;
        break;
      }
      ::Sleep(50);
    }
  } else if (cmd == L"config") {
    DWORD need = 0;
    ::QueryServiceConfigW(svc, nullptr, 0, &need);
    std::vector<BYTE> buf(need ? need : 1);
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!::QueryServiceConfigW(svc, c, need, &need)) {
      rc = Fail(L"QueryServiceConfigW");
    } else {
      std::wprintf(L"ServiceType=%lu\nStartType=%lu\nErrorControl=%lu\nBinaryPathName=%ls\nLoadOrderGroup=%ls\n"
                   L"TagId=%lu\nDependencies=%ls\nServiceStartName=%ls\nDisplayName=%ls\n",
                   c->dwServiceType, c->dwStartType, c->dwErrorControl, c->lpBinaryPathName,
                   c->lpLoadOrderGroup ? c->lpLoadOrderGroup : L"", c->dwTagId,
                   c->lpDependencies ? c->lpDependencies : L"", c->lpServiceStartName ? c->lpServiceStartName : L"",
                   c->lpDisplayName ? c->lpDisplayName : L"");
    }
  } else if (cmd == L"failure") {
    DWORD need = 0;
    ::QueryServiceConfig2W(svc, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &need);
    std::vector<BYTE> buf(need ? need : sizeof(SERVICE_FAILURE_ACTIONSW));
    auto* f = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buf.data());
    if (!::QueryServiceConfig2W(svc, SERVICE_CONFIG_FAILURE_ACTIONS, buf.data(), static_cast<DWORD>(buf.size()), &need)) {
      rc = Fail(L"QueryServiceConfig2W");
    } else {
      std::wprintf(L"ResetPeriod=%lu\n", f->dwResetPeriod);
      for (DWORD i = 0; i < f->cActions; ++i) {
        const SC_ACTION& a = f->lpsaActions[i];
        const wchar_t* type = a.Type == SC_ACTION_RESTART  ? L"restart"
                              : a.Type == SC_ACTION_REBOOT ? L"reboot"
                              : a.Type == SC_ACTION_RUN_COMMAND ? L"run"
                                                                : L"none";
        std::wprintf(L"Action=%ls %lu\n", type, a.Delay);
      }
    }
  } else {
    std::fwprintf(stderr, L"svcctl: unknown command\n");
    rc = 1;
  }
  ::CloseServiceHandle(svc);
  ::CloseServiceHandle(scm);
  return rc;
}
