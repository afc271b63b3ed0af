// Windows: the activity log's lock across accounts, and file time stamps.
#include "platform/log_mutex_windows.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/os.h"
#include "settings/activity_log.h"
#include "test_util.h"

namespace {

using os::windows::kLogMutexRights;

// What this process's account (an administrator under Wine, as an elevated install run is) is
// granted of `desired` by the descriptor written in SDDL; 0 when refused.
DWORD Granted(const wchar_t* sddl, DWORD desired) {
  // The access check wants an owner and a group; creating a mutex takes them from the creator.
  const std::wstring full = std::wstring(L"O:SYG:SY") + sddl;
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(full.c_str(), SDDL_REVISION_1, &sd, nullptr));
  HANDLE process_token = nullptr, token = nullptr;
  EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process_token));
  EXPECT_TRUE(::DuplicateToken(process_token, SecurityImpersonation, &token));
  GENERIC_MAPPING mapping{STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTEX_ALL_ACCESS};
  ::MapGenericMask(&desired, &mapping);
  PRIVILEGE_SET privileges;
  DWORD privileges_size = sizeof privileges, granted = 0;
  BOOL status = FALSE;
  EXPECT_TRUE(::AccessCheck(sd, token, desired, &mapping, &privileges, &privileges_size, &granted, &status));
  ::CloseHandle(token);
  ::CloseHandle(process_token);
  ::LocalFree(sd);
  return status ? granted : 0;
}

TEST(LogMutexRights, AnAdministratorCanWaitOnTheServicesMutex) {
  // Created by the agent: LocalSystem and the Administrators, both with every right.
  EXPECT_EQ(Granted(os::windows::kLogMutexSddl, MUTEX_ALL_ACCESS), static_cast<DWORD>(MUTEX_ALL_ACCESS));
  // Created with LocalSystem's default rights (as the service once did): the Administrators may not
  // have the mutex with every right, which is why an install run used to fall back to a lock of its
  // own, but they may wait on it and release it, which is all a writer asks for.
  const wchar_t* local_system_default = L"D:(A;;GA;;;SY)(A;;GRGX;;;BA)";
  EXPECT_EQ(Granted(local_system_default, MUTEX_ALL_ACCESS), 0u);
  EXPECT_EQ(Granted(local_system_default, kLogMutexRights), kLogMutexRights);
}

// A stand-in for the kernel's object namespace: answers each name with a scripted error.
struct FakeNamespace {
  DWORD global_error = 0, local_error = 0;
  std::vector<std::wstring> asked;
  std::vector<DWORD> rights;
  std::vector<bool> with_descriptor;
  HANDLE Create(const std::wstring& name, SECURITY_ATTRIBUTES* sa, DWORD access) {
    asked.push_back(name);
    rights.push_back(access);
    with_descriptor.push_back(sa && sa->lpSecurityDescriptor);
    const DWORD error = name.starts_with(L"Global\\") ? global_error : local_error;
    if (error) {
      ::SetLastError(error);
      return nullptr;
    }
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(asked.size()));
  }
};

TEST(LogMutexRights, GlobalFirstThenLocalThenSaysThereIsNoLock) {
  const std::string key = "C:\\Agent\\Tavrimondo_022018.LOG";
  const std::wstring global = os::windows::LogMutexName(key, true), local = os::windows::LogMutexName(key, false);
  EXPECT_EQ(global, os::windows::LogMutexName("c:/agent/tavrimondo_022018.log", true));  // one name per file
  EXPECT_TRUE(global.starts_with(L"Global\\TavrimondoLog."));
  EXPECT_EQ(local.substr(6), global.substr(7));

  const struct {
    const char* what;
    DWORD global_error, local_error;
    std::vector<std::wstring> asked;
    bool locked;
  } cases[] = {
      {"the global mutex", 0, 0, {global}, true},
      {"no right to create global objects", ERROR_ACCESS_DENIED, 0, {global, local}, true},
      {"no mutex at all", ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, {global, local}, false},
  };
  for (const auto& c : cases) {
    FakeNamespace ns;
    ns.global_error = c.global_error;
    ns.local_error = c.local_error;
    std::vector<std::string> warnings;
    HANDLE h = os::windows::AcquireLogMutex(
        key, [&](const std::wstring& n, SECURITY_ATTRIBUTES* sa, DWORD a) { return ns.Create(n, sa, a); },
        [&](const std::string& text) { warnings.push_back(text); });
    EXPECT_EQ(h != nullptr, c.locked) << c.what;
    EXPECT_EQ(ns.asked, c.asked) << c.what;
    for (std::size_t i = 0; i < ns.asked.size(); ++i) {
      EXPECT_EQ(ns.rights[i], kLogMutexRights) << c.what;  // never more than a waiter needs
      EXPECT_TRUE(ns.with_descriptor[i]) << c.what;         // a new mutex is shared with both accounts
    }
    if (c.locked) {
      EXPECT_TRUE(warnings.empty()) << c.what;
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_TRUE(warnings[0].starts_with("The activity log \"" + key + "\" is written without its lock")) << warnings[0];
      EXPECT_NE(warnings[0].find(os::SysErrorMessage(ERROR_ACCESS_DENIED)), std::string::npos) << warnings[0];
    }
  }
}

TEST(LogMutexRights, NamesTakenByOtherObjectsLeaveTheLogWritable) {
  testutil::TempDir dir;
  settings::ActivityLog log(dir.path(), [] { return os::LocalTime{2018, 2, 9, 14, 5, 33, 0}; });
  const std::string file = dir / "Tavrimondo_022018.LOG";
  // Events squat both names, so no mutex of that name can exist.
  HANDLE global = ::CreateEventW(nullptr, TRUE, FALSE, os::windows::LogMutexName(file, true).c_str());
  HANDLE local = ::CreateEventW(nullptr, TRUE, FALSE, os::windows::LogMutexName(file, false).c_str());
  ASSERT_TRUE(local);
  std::vector<std::string> warnings;
  EXPECT_EQ(os::windows::AcquireLogMutex(file, &os::windows::CreateLogMutex,
                                         [&](const std::string& text) { warnings.push_back(text); }),
            nullptr);
  EXPECT_EQ(warnings.size(), 1u);
  log.Save("sem trava");  // written all the same
  EXPECT_EQ(testutil::ReadFile(file), "09/02/2018 14:05:33 - sem trava\r\n");
  if (global) ::CloseHandle(global);
  ::CloseHandle(local);
}

TEST(FileTimes, KeepTheirHundredNanosecondTicks) {
  testutil::TempDir dir;
  const std::string file = dir / "f.txt";
  testutil::WriteFile(file, "x");
  // 1 January 2400: a hundred times its ticks is far beyond a signed 64-bit number.
  const std::uint64_t ticks = 252139392000000000ULL + 1234567ULL;
  FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  std::u16string wide = text::Utf8ToUtf16(file);
  HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &ft));
  ::CloseHandle(h);
  const os::FileState st = os::StatFile(file);
  EXPECT_EQ(st.mtime, ticks);
}

}  // namespace
