// Windows side of the platform seam.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/log_mutex_windows.h"
#include "platform/os.h"

namespace os {

namespace {

std::wstring Wide(std::string_view utf8) {
  std::u16string u = text::Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string Narrow(std::wstring_view w) {
  return text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()));
}

[[noreturn]] void ThrowLast() {
  int e = static_cast<int>(::GetLastError());
  throw OsError(e, SysErrorMessage(e));
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
    s.mtime = windows::FileTimeTicks(info.ftLastWriteTime);
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

File::File(const std::string& path, Mode mode) : impl_(std::make_unique<Impl>()) {
  DWORD access = 0, share = FILE_SHARE_READ, disposition = OPEN_EXISTING;
  switch (mode) {
    case Mode::kRead:
      access = GENERIC_READ;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      break;
    case Mode::kAppend: access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA; break;
    case Mode::kCreate: access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
  }
  impl_->h = ::CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (impl_->h == INVALID_HANDLE_VALUE) ThrowLast();
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

struct InterProcessLock::Impl {
  HANDLE mutex = nullptr;
};

InterProcessLock::InterProcessLock(const std::string& key_path) : impl_(std::make_unique<Impl>()) {
  impl_->mutex = windows::AcquireLogMutex(key_path, &windows::CreateLogMutex, [](const std::string& text) {
    // Said once per process: every line of the log would repeat it.
    static std::once_flag once;
    std::call_once(once, [&] {
      std::string exe = ExeName();
      WriteEventLog(exe.substr(exe.find_last_of("\\/") + 1), text);
    });
  });
  if (impl_->mutex) ::WaitForSingleObject(impl_->mutex, INFINITE);  // an abandoned mutex is ours too
}

InterProcessLock::~InterProcessLock() {
  if (impl_->mutex) {
    ::ReleaseMutex(impl_->mutex);
    ::CloseHandle(impl_->mutex);
  }
}

void WriteEventLog(const std::string& source, const std::string& text) {
  HANDLE h = ::RegisterEventSourceW(nullptr, Wide(source).c_str());
  std::wstring w = Wide(text);
  const wchar_t* strings[1] = {w.c_str()};
  if (h) {
    ::ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
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

SharedLibrary::SharedLibrary(const std::string& file) {
  handle_ = ::LoadLibraryW(Wide(file).c_str());
  if (!handle_) {
    int e = static_cast<int>(::GetLastError());
    throw OsError(e, SysErrorMessage(e));
  }
}

SharedLibrary::~SharedLibrary() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace os
