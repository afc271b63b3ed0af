// Windows: the named mutex that serialises writers of one activity-log file across processes and
// accounts, and the FILETIME helper of the file functions.
//
// The service runs as LocalSystem in session 0; an install or uninstall run is an elevated
// administrator in an interactive session. Both must get the same mutex, or the two write the same
// file unlocked. So the mutex lives in the "Global\" namespace, is created with a security
// descriptor that grants both accounts full use, and is opened with only the rights a waiter needs,
// which even a mutex created with LocalSystem's default rights grants the administrators.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace os::windows {

// Rights enough to wait on the mutex and to release it, and nothing more.
inline constexpr DWORD kLogMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// LocalSystem and the Administrators group, each with full rights.
inline constexpr const wchar_t* kLogMutexSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";

// CreateMutexExW's shape: creates the mutex with `sa`, or opens the existing one asking `access`.
// nullptr with the thread's last error set on failure.
using CreateMutexFn = std::function<HANDLE(const std::wstring& name, SECURITY_ATTRIBUTES* sa, DWORD access)>;

// The mutex names for a log file: the same for every spelling of the path (case, '/' or '\').
std::wstring LogMutexName(const std::string& key_path, bool global);

// Creates or opens the log file's mutex: "Global\" first, shared across sessions; "Local\" when
// this account may not create there (no SeCreateGlobalPrivilege). Returns nullptr when neither can
// be had, after calling `warn` with the text for the event log.
HANDLE AcquireLogMutex(const std::string& key_path, const CreateMutexFn& create,
                       const std::function<void(const std::string&)>& warn);

// The real CreateMutexExW.
HANDLE CreateLogMutex(const std::wstring& name, SECURITY_ATTRIBUTES* sa, DWORD access);

// A FILETIME as one count of 100-nanosecond ticks, without a signed overflow.
inline std::uint64_t FileTimeTicks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace os::windows
