#include "platform/instance_lock.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/os.h"
#include "platform/wide_text_windows.h"

namespace os {

namespace {

// The byte locked: far beyond the process id written at the start, which others may read.
constexpr DWORD kLockedOffset = 0x7FFFFFF0;

}  // namespace

struct InstanceLock::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
};

std::unique_ptr<InstanceLock> InstanceLock::TryTake(const std::string& path, long& holder) {
  holder = 0;
  // Only SYSTEM and the Administrators may open it, as the log's lock: an access list inherited
  // from the folder would let users open it, and whoever holds a lock on it keeps the service from
  // ever starting. A file found there gets that list again. A reparse point in its place is opened
  // as itself, never followed.
  static PSECURITY_DESCRIPTOR descriptor = [] {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &sd,
                                                                nullptr))
      sd = nullptr;
    return sd;
  }();
  SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, FALSE};
  HANDLE h = ::CreateFileW(win::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, descriptor ? &sa : nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, "Cannot open \"" + path + "\": " + SysErrorMessage(e));
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS && descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
      ::SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
  }
  OVERLAPPED ov{};
  ov.Offset = kLockedOffset;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
    const int e = static_cast<int>(::GetLastError());
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) {
      char buf[32] = {};
      DWORD n = 0;
      if (::ReadFile(h, buf, sizeof buf - 1, &n, nullptr) && n > 0) holder = std::strtol(buf, nullptr, 10);
      ::CloseHandle(h);
      return nullptr;
    }
    ::CloseHandle(h);
    throw OsError(e, "Cannot lock \"" + path + "\": " + SysErrorMessage(e));
  }
  const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  if (::WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr)) ::SetEndOfFile(h);
  std::unique_ptr<InstanceLock> lock(new InstanceLock);
  lock->impl_ = std::make_unique<Impl>();
  lock->impl_->file = h;
  return lock;
}

InstanceLock::~InstanceLock() {
  if (impl_ && impl_->file != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->file);
}

}  // namespace os
