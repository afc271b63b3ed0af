#include "platform/instance_lock.h"

#include <windows.h>

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
  // A reparse point in its place is opened as itself, never followed.
  HANDLE h = ::CreateFileW(win::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, "Cannot open \"" + path + "\": " + SysErrorMessage(e));
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
