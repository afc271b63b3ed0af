// Windows side of the platform seam.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/os.h"
#include "platform/wide_text_windows.h"

namespace os {

namespace {

using win::Narrow;
using win::Wide;

[[noreturn]] void ThrowLast() {
  int e = static_cast<int>(::GetLastError());
  throw OsError(e, SysErrorMessage(e));
}

// A FILETIME as one count of 100-nanosecond ticks, without a signed overflow.
std::uint64_t FileTimeTicks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

std::string ExeName() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) return Narrow(std::wstring_view(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

std::vector<std::string> CommandLineArguments(int, char**) {
  int n = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  std::vector<std::string> args;
  for (int i = 1; argv && i < n; ++i) args.push_back(Narrow(argv[i]));
  if (argv) ::LocalFree(argv);
  return args;
}

char PathDelim() { return '\\'; }
int LastError() { return static_cast<int>(::GetLastError()); }

std::string SysErrorMessage(int code) {
  wchar_t* buf = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::string s;
  if (n && buf) s = Narrow(std::wstring_view(buf, n));
  if (buf) ::LocalFree(buf);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

LocalTime Now() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

namespace {
std::string LocaleString(LCTYPE what, const char* fallback) {
  wchar_t buf[8];
  int n = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, what, buf, 8);
  if (n <= 1) return fallback;
  return Narrow(std::wstring_view(buf, static_cast<std::size_t>(n - 1)).substr(0, 1));
}
}  // namespace

std::string DateSeparator() {
  static const std::string s = LocaleString(LOCALE_SDATE, "/");
  return s;
}

std::string TimeSeparator() {
  static const std::string s = LocaleString(LOCALE_STIME, ":");
  return s;
}

unsigned AnsiCodePage() { return ::GetACP(); }
bool UnmarkedTextIsUtf8() { return false; }

std::string AnsiToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
  return Narrow(w);
}

std::string Utf8ToAnsi(std::string_view utf8) {
  if (utf8.empty()) return {};
  std::wstring w = Wide(utf8);
  // No best-fit mapping: a character the code page lacks becomes its default character.
  const DWORD flags = ::GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int n = ::WideCharToMultiByte(CP_ACP, flags, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, flags, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string CodePageToUtf8(unsigned code_page, std::string_view bytes, bool* ok) {
  *ok = true;
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  int n = ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (n <= 0 && code_page == 1252) {
    // The five bytes 1252 leaves undefined: every byte still decodes, as in the ANSI reads.
    n = ::MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(code_page, 0, bytes.data(), size, w.data(), n);
    return Narrow(w);
  }
  if (n <= 0) {
    *ok = false;
    return {};
  }
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, w.data(), n);
  return Narrow(w);
}

std::string Utf8ToCodePage(unsigned code_page, std::string_view utf8, bool* ok) {
  *ok = text::IsValidUtf8(utf8);
  if (!*ok || utf8.empty()) return {};
  const std::wstring w = Wide(utf8);
  BOOL defaulted = FALSE;
  const int size = static_cast<int>(w.size());
  int n = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, w.data(), size, nullptr, 0, nullptr, &defaulted);
  if (n <= 0 || defaulted) {
    *ok = false;
    return {};
  }
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, w.data(), size, out.data(), n, nullptr, &defaulted);
  if (defaulted) {
    *ok = false;
    return {};
  }
  return out;
}

FileState StatFile(const std::string& path) {
  FileState s;
  HANDLE h = ::CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return s;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    s.exists = true;
    s.device = info.dwVolumeSerialNumber;
    s.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    s.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    s.mtime = FileTimeTicks(info.ftLastWriteTime);
  }
  ::CloseHandle(h);
  return s;
}

bool FileExists(const std::string& path) {
  DWORD a = ::GetFileAttributesW(Wide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

struct File::Impl {
  HANDLE h = INVALID_HANDLE_VALUE;
};

namespace {

// Refuses what a handle opened with FILE_FLAG_OPEN_REPARSE_POINT reached when it is not a plain
// file: a reparse point (a link of any kind), a folder, a device.
void RequirePlainFile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error = 0;
  if (::GetFileType(h) != FILE_TYPE_DISK) error = ERROR_CANT_ACCESS_FILE;
  else if (!::GetFileInformationByHandle(h, &info)) error = ::GetLastError();
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) error = ERROR_CANT_ACCESS_FILE;
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) error = ERROR_DIRECTORY;
  if (error != 0) {
    ::CloseHandle(h);
    throw OsError(static_cast<int>(error), SysErrorMessage(static_cast<int>(error)));
  }
}

// Refuses, closing it, a file that is not the agent's own: one with more than one name (a hard
// link), or one that an account the agent does not trust owns.
void RequireOwnFile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  std::string why;
  DWORD error = 0;
  if (!::GetFileInformationByHandle(h, &info)) {
    error = ::GetLastError();
  } else if (info.nNumberOfLinks != 1) {
    error = ERROR_ACCESS_DENIED;
    why = "it has " + std::to_string(info.nNumberOfLinks) + " names (hard links)";
  } else {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
      error = rc;
    } else {
      LPWSTR text = nullptr;
      std::string sid;
      if (owner && ::ConvertSidToStringSidW(owner, &text)) {
        sid = Narrow(text);
        ::LocalFree(text);
      }
      const bool system = owner && (::IsWellKnownSid(owner, WinLocalSystemSid) ||
                                    ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                    sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
      if (!system && !IsAgentAccount(sid)) {
        error = ERROR_ACCESS_DENIED;
        why = "it belongs to " + (sid.empty() ? std::string("an unknown account") : sid);
      }
      ::LocalFree(sd);
    }
  }
  if (error != 0) {
    ::CloseHandle(h);
    if (!why.empty()) throw ForeignFile(static_cast<int>(error), why);
    throw OsError(static_cast<int>(error), SysErrorMessage(static_cast<int>(error)));
  }
}

}  // namespace

File::File(const std::string& path, Mode mode) : impl_(std::make_unique<Impl>()) {
  DWORD access = 0, share = FILE_SHARE_READ, disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  const std::wstring wpath = Wide(path);
  switch (mode) {
    case Mode::kRead:
      flags = FILE_ATTRIBUTE_NORMAL;  // a link is followed
      [[fallthrough]];
    case Mode::kReadNoLink:
    case Mode::kReadOwn:
      access = GENERIC_READ;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case Mode::kAppend: access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA | READ_CONTROL; break;
    case Mode::kCreate:
      // DeleteFile removes a link itself, never what it points to.
      if (!::DeleteFileW(wpath.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) ThrowLast();
      access = GENERIC_WRITE;
      disposition = CREATE_NEW;
      break;
  }
  impl_->h = ::CreateFileW(wpath.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (impl_->h == INVALID_HANDLE_VALUE) ThrowLast();
  if (mode != Mode::kRead) {
    HANDLE h = impl_->h;
    impl_->h = INVALID_HANDLE_VALUE;
    if (mode == Mode::kReadOwn || mode == Mode::kAppend) {
      try {
        RequirePlainFile(h);
      } catch (const OsError& e) {
        throw ForeignFile(e.code(), "it is not a plain file (a link, a folder or a device), which is not followed");
      }
      RequireOwnFile(h);
    } else {
      RequirePlainFile(h);
    }
    impl_->h = h;
  }
  if (mode == Mode::kAppend) {
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(impl_->h, zero, nullptr, FILE_END);
  }
}

File::~File() {
  if (impl_->h != INVALID_HANDLE_VALUE) ::CloseHandle(impl_->h);
}

std::uint64_t File::Size() {
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(impl_->h, &s)) ThrowLast();
  return static_cast<std::uint64_t>(s.QuadPart);
}

std::size_t File::Read(void* buf, std::size_t n) {
  DWORD got = 0;
  if (!::ReadFile(impl_->h, buf, static_cast<DWORD>(n > 0x40000000 ? 0x40000000 : n), &got, nullptr)) ThrowLast();
  return got;
}

std::size_t File::ReadAt(std::uint64_t offset, void* buf, std::size_t n) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(impl_->h, buf, static_cast<DWORD>(n), &got, &ov)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    ThrowLast();
  }
  return got;
}

void File::Write(const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    DWORD chunk = static_cast<DWORD>(n > 0x40000000 ? 0x40000000 : n), wrote = 0;
    if (!::WriteFile(impl_->h, p, chunk, &wrote, nullptr)) ThrowLast();
    if (wrote == 0) throw OsError(ERROR_DISK_FULL, SysErrorMessage(ERROR_DISK_FULL));
    p += wrote;
    n -= wrote;
  }
}

void File::Truncate(std::uint64_t size) {
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFilePointerEx(impl_->h, pos, nullptr, FILE_BEGIN) || !::SetEndOfFile(impl_->h)) ThrowLast();
}

void File::Sync() {
  if (!::FlushFileBuffers(impl_->h)) ThrowLast();
}

void ReplaceFileAtomically(const std::string& source, const std::string& target) {
  if (!::MoveFileExW(Wide(source).c_str(), Wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    ThrowLast();
}

void RemoveFile(const std::string& path) { ::DeleteFileW(Wide(path).c_str()); }

std::vector<std::string> ListFolder(const std::string& dir) {
  std::vector<std::string> out;
  WIN32_FIND_DATAW found;
  HANDLE h = ::FindFirstFileW(Wide(dir + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::string name = Narrow(found.cFileName);
    if (name != "." && name != "..") out.push_back(name);
  } while (::FindNextFileW(h, &found));
  ::FindClose(h);
  return out;
}

std::optional<std::uint64_t> FreeSpace(const std::string& dir) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(Wide(dir).c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return static_cast<std::uint64_t>(available.QuadPart);
}

namespace {

// The lock file's access list: SYSTEM and the Administrators, nobody else, nothing inherited.
constexpr const wchar_t* kLockFileSddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

struct InterProcessLock::Impl {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string problem;

  HANDLE Open(const std::string& lock_file) {
    static PSECURITY_DESCRIPTOR descriptor = [] {
      PSECURITY_DESCRIPTOR sd = nullptr;
      if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockFileSddl, SDDL_REVISION_1, &sd, nullptr))
        sd = nullptr;
      return sd;
    }();
    SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, FALSE};
    const std::wstring path = Wide(lock_file);
    for (int attempt = 0; attempt < 3; ++attempt) {
      HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, descriptor ? &sa : nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (h == INVALID_HANDLE_VALUE) return Fail(lock_file, ::GetLastError());
      const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
      try {
        RequirePlainFile(h);
      } catch (const OsError&) {
        // A link or a folder under the lock's name: it goes, and a file of our own takes its place.
        if (!::DeleteFileW(path.c_str()) && !::RemoveDirectoryW(path.c_str()))
          return Fail(lock_file, ::GetLastError());
        continue;
      }
      // A file found there gets the lock's access list again. Only a folder that others may write
      // lets them make it first (the check at start warns of that), and what they hold then costs
      // a bounded wait, never the line.
      if (existed && descriptor) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
          ::SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, dacl, nullptr);
      }
      return h;
    }
    problem = "the lock file " + lock_file + " keeps being replaced by another account";
    return INVALID_HANDLE_VALUE;
  }

  HANDLE Fail(const std::string& lock_file, DWORD e) {
    problem = "the lock file " + lock_file + " cannot be opened: " + SysErrorMessage(static_cast<int>(e));
    return INVALID_HANDLE_VALUE;
  }
};

InterProcessLock::InterProcessLock(const std::string& lock_file, std::chrono::milliseconds wait)
    : impl_(std::make_unique<Impl>()) {
  HANDLE h = impl_->Open(lock_file);
  if (h == INVALID_HANDLE_VALUE) return;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    OVERLAPPED whole{};
    if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      impl_->file = h;
      return;
    }
    const DWORD e = ::GetLastError();
    if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING) {
      impl_->Fail(lock_file, e);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      impl_->problem = "the lock file " + lock_file + " was held by another process for more than " +
                       std::to_string(wait.count()) + " ms";
      break;
    }
    ::Sleep(static_cast<DWORD>(pause.count()));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  ::CloseHandle(h);
}

InterProcessLock::~InterProcessLock() {
  if (impl_->file != INVALID_HANDLE_VALUE) {
    OVERLAPPED whole{};
    ::UnlockFileEx(impl_->file, 0, 1, 0, &whole);
    ::CloseHandle(impl_->file);
  }
}

bool InterProcessLock::Held() const { return impl_->file != INVALID_HANDLE_VALUE; }
const std::string& InterProcessLock::Problem() const { return impl_->problem; }

void WriteEventLog(const std::string& source, const messages::Text& text) {
  // The Event ID's message in the program's message table is "%1": Event Viewer shows the text,
  // and filters by the ID.
  HANDLE h = ::RegisterEventSourceW(nullptr, Wide(source).c_str());
  std::wstring w = Wide(text.str());
  const wchar_t* strings[1] = {w.c_str()};
  const messages::EventKind kind = text.entry().event_kind;
  const WORD type = kind == messages::EventKind::kInfo      ? EVENTLOG_INFORMATION_TYPE
                    : kind == messages::EventKind::kWarning ? EVENTLOG_WARNING_TYPE
                                                            : EVENTLOG_ERROR_TYPE;
  if (h) {
    ::ReportEventW(h, type, 0, text.entry().event_id, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(h);
  }
}

void ShowMessage(const std::string& text, bool is_error) {
  // Someone running the program from a console reads the result there as well.
  if (::GetConsoleWindow() || ::GetFileType(::GetStdHandle(is_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN) {
    std::FILE* out = is_error ? stderr : stdout;
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
  }
  ::MessageBoxW(nullptr, Wide(text).c_str(), is_error ? L"Error" : L"Information",
                MB_OK | (is_error ? MB_ICONERROR : MB_ICONINFORMATION) | MB_SETFOREGROUND);
}

}  // namespace os
