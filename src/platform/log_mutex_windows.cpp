#include "platform/log_mutex_windows.h"

#include <sddl.h>

#include <cstdio>

#include "common/text.h"
#include "platform/os.h"

namespace os::windows {

std::wstring LogMutexName(const std::string& key_path, bool global) {
  std::u16string units = text::Utf8ToUtf16(key_path);
  std::uint64_t h = 1469598103934665603ULL;  // FNV-1a over the case-folded path
  for (char16_t c : units) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c - 'A' + 'a');
    if (c == '/') c = '\\';
    h = (h ^ c) * 1099511628211ULL;
  }
  wchar_t name[80];
  std::swprintf(name, 80, L"%ls\\TavrimondoLog.%016llx", global ? L"Global" : L"Local",
                static_cast<unsigned long long>(h));
  return name;
}

HANDLE CreateLogMutex(const std::wstring& name, SECURITY_ATTRIBUTES* sa, DWORD access) {
  return ::CreateMutexExW(sa, name.c_str(), 0, access);
}

HANDLE AcquireLogMutex(const std::string& key_path, const CreateMutexFn& create,
                       const std::function<void(const std::string&)>& warn) {
  // Built once; the descriptor lives as long as the process.
  static PSECURITY_DESCRIPTOR descriptor = [] {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogMutexSddl, SDDL_REVISION_1, &sd, nullptr))
      sd = nullptr;
    return sd;
  }();
  SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, FALSE};
  DWORD error = 0;
  for (bool global : {true, false}) {
    ::SetLastError(0);
    if (HANDLE h = create(LogMutexName(key_path, global), descriptor ? &sa : nullptr, kLogMutexRights)) return h;
    if (!error) error = ::GetLastError();  // the global name's reason is the one that matters
  }
  warn("The activity log \"" + key_path + "\" is written without its lock: its mutex could be neither created nor opened. " +
       os::SysErrorMessage(static_cast<int>(error)));
  return nullptr;
}

}  // namespace os::windows
