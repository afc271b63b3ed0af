#include <windows.h>

#include "common/text.h"
#include "platform/status_io.h"

namespace os {

namespace {

constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601

ULONGLONG AsULL(const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

}  // namespace

ZonedTime ToLocal(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const long long ticks = duration_cast<microseconds>(t.time_since_epoch()).count() * 10;
  const ULONGLONG utc_ticks = kUnixEpochAsFileTime + static_cast<ULONGLONG>(ticks);
  FILETIME ft{static_cast<DWORD>(utc_ticks & 0xFFFFFFFF), static_cast<DWORD>(utc_ticks >> 32)};
  SYSTEMTIME utc{}, local{};
  ZonedTime z;
  // The zone's rules for that instant, daylight saving included.
  if (!::FileTimeToSystemTime(&ft, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  FILETIME local_ft{};
  if (::SystemTimeToFileTime(&local, &local_ft)) {
    const long long diff = static_cast<long long>(AsULL(local_ft)) - static_cast<long long>(utc_ticks);
    // Round to whole minutes: the milliseconds were dropped on the way.
    z.utc_offset_minutes = static_cast<int>((diff + (diff >= 0 ? 300000000LL : -300000000LL)) / 600000000LL);
  }
  z.local = LocalTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                      local.wMilliseconds};
  return z;
}

int CurrentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

void ReplaceFileUnsynced(const std::string& source, const std::string& target) {
  const std::u16string from = text::Utf8ToUtf16(source), to = text::Utf8ToUtf16(target);
  if (!::MoveFileExW(reinterpret_cast<const wchar_t*>(from.c_str()), reinterpret_cast<const wchar_t*>(to.c_str()),
                     MOVEFILE_REPLACE_EXISTING)) {
    const int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
}

bool WriteStdout(std::string_view utf8) {
  HANDLE h = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    // No output of its own (a program without a console, started from one): the console of the
    // program that started it, if there is one.
    if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED) return false;
    h = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
  }
  std::string crlf;
  crlf.reserve(utf8.size() + utf8.size() / 32);
  for (char c : utf8) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  DWORD mode = 0;
  if (::GetConsoleMode(h, &mode)) {
    // A console shows characters, not bytes of some code page: hand it UTF-16.
    const std::u16string wide = text::Utf8ToUtf16(crlf);
    const wchar_t* p = reinterpret_cast<const wchar_t*>(wide.data());
    std::size_t left = wide.size();
    while (left > 0) {
      DWORD chunk = static_cast<DWORD>(left > 8192 ? 8192 : left), written = 0;
      if (!::WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return false;
      p += written;
      left -= written;
    }
    return true;
  }
  const char* p = crlf.data();
  std::size_t left = crlf.size();
  while (left > 0) {
    DWORD chunk = static_cast<DWORD>(left > (1u << 20) ? (1u << 20) : left), written = 0;
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

void EndProcessNow(int code) {
  // Without the process's ordinary end, which would wait for the thread that still waits.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) ::Sleep(1000);
}

}  // namespace os
