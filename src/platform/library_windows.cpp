// Windows: libraries judged by a handle that keeps them unchanged, and loaded while it is held.
#include <windows.h>

#include "common/text.h"
#include "platform/file_trust_windows.h"
#include "platform/library.h"
#include "platform/library_exports.h"
#include "platform/wide_text_windows.h"

namespace os {

namespace {

using win::Narrow;
using win::Wide;

bool SearchFlagsKnown() {
  return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
}

std::string SystemFolder() {
  wchar_t dir[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return Narrow(std::wstring_view(dir, n));
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return {};
  return slash == 2 && path[1] == ':' ? path.substr(0, 3) : path.substr(0, slash);
}

[[noreturn]] void ThrowLast() {
  const int e = static_cast<int>(::GetLastError());
  throw OsError(e, SysErrorMessage(e));
}

}  // namespace

void RestrictLibrarySearch() {
  // Looked up, not imported: a Windows 7 without its update KB2533623 lacks it, and the program
  // must still start there.
  using Fn = BOOL(WINAPI*)(DWORD);
  if (auto set = reinterpret_cast<Fn>(
          reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))))
    set(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::string SystemLibrary(const std::string& file_name) {
  const std::string dir = SystemFolder();
  return dir.empty() ? file_name : dir + "\\" + file_name;
}

bool IsAbsoluteLibraryPath(const std::string& value) {
  return value.size() >= 3 && value[1] == ':' && (value[2] == '\\' || value[2] == '/');
}

std::string LibraryPathProblem(const std::string& value) {
  if (value.empty()) return "it is empty";
  const bool sep0 = value[0] == '\\' || value[0] == '/';
  if (sep0 && value.size() > 1 && (value[1] == '\\' || value[1] == '/'))
    return "it is a network or device path; give the library's full path on a local disk, or a file name";
  if (sep0) return "it starts at the root of whatever drive is current; give the library's full path, with its drive";
  if (value.size() >= 2 && value[1] == ':' && !IsAbsoluteLibraryPath(value))
    return "it is relative to the current folder of drive " + value.substr(0, 2) + "; give the library's full path";
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find_first_of("\\/", start);
    if (end == std::string::npos) end = value.size();
    std::string name = value.substr(start, end - start);
    while (!name.empty() && (name.back() == ' ' || name.back() == '.') && name != "..") name.pop_back();
    if (name == "..") return "it climbs out of a folder with \"..\"; give the library's full path, or a file name";
    start = end + 1;
  }
  if (IsAbsoluteLibraryPath(value)) {
    const std::wstring root = Wide(value.substr(0, 3));
    if (::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE)
      return "drive " + value.substr(0, 2) + " is a network drive; give the library's full path on a local disk";
  }
  return {};
}

SharedLibrary::SharedLibrary(const std::string& given, const std::vector<AccountId>& trusted,
                             const std::vector<std::string>& required_functions) {
  // As LoadLibrary takes a name: without an extension it means a ".dll".
  std::string path = given;
  const std::size_t name = path.find_last_of("\\/:");
  if (path.find('.', name == std::string::npos ? 0 : name + 1) == std::string::npos) path += ".dll";
  const std::wstring wpath = Wide(path);
  // Held without FILE_SHARE_WRITE or FILE_SHARE_DELETE: until it has loaded, nobody can change,
  // rename or delete the file judged. A link is opened as itself, and refused.
  HANDLE h = ::CreateFileW(wpath.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLast();
  struct Closer {
    HANDLE h;
    ~Closer() { ::CloseHandle(h); }
  } closer{h};
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    throw OsError(ERROR_CANT_ACCESS_FILE, "it is not a plain file (a link, a folder or a device)");

  std::vector<UntrustedWrite> found;
  win::JudgeHandle(h, path, trusted, found);
  const std::string folder = FolderOf(path);
  win::JudgeFolderAndAbove(folder, trusted, found);
  // Outside System32 the client finds its own runtime libraries, plugins and settings in its folder.
  if (!text::EqualsIgnoreCase(folder, SystemFolder())) win::JudgeFolderContents(folder, trusted, found);
  if (!found.empty()) throw LibraryRefused("others can change it", std::move(found));

  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) ThrowLast();
  std::string missing;
  try {
    missing = FirstMissingExport(
        [h](std::uint64_t offset, void* buf, std::size_t n) -> std::size_t {
          OVERLAPPED ov{};
          ov.Offset = static_cast<DWORD>(offset);
          ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
          DWORD got = 0;
          if (!::ReadFile(h, buf, static_cast<DWORD>(n > 0x40000000 ? 0x40000000 : n), &got, &ov)) return 0;
          return got;
        },
        static_cast<std::uint64_t>(size.QuadPart), required_functions);
  } catch (const std::exception& e) {
    throw OsError(0, e.what());
  }
  if (!missing.empty()) throw LibraryLacksFunction(missing);

  // What it needs comes from its own folder first (a Firebird client brings its runtime libraries
  // beside it), then the program's folder and System32. Only a system without those search flags
  // (Windows 7 without KB2533623) gets the older search, which puts the library's folder first too.
  handle_ = SearchFlagsKnown()
                ? ::LoadLibraryExW(wpath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                : ::LoadLibraryExW(wpath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!handle_) ThrowLast();
  path_ = path;
}

SharedLibrary::~SharedLibrary() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace os
