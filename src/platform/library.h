// Shared libraries, judged before they load.
//
// The agent loads the Firebird client with the rights of LocalSystem or root, and a library runs
// code the moment it loads (its initialisers). So the file that would load is judged first:
//  - who else can change it: the file, its folder and the folders above, as the file trust check
//    judges them (file_trust.h), with only the system's own accounts and `trusted` allowed; on
//    Windows, for a library outside System32, everything its folder holds as well, as a client
//    loads its runtime libraries, plugins and settings from there;
//  - whether it is the library wanted at all: it must export every function asked for, read from
//    the file's own tables (library_exports.h).
// Only then does it load, and from the very file judged. POSIX: every folder on the way and the
// file are opened one name at a time with O_PATH|O_NOFOLLOW (links followed by hand, and judged),
// and the loader is given /proc/self/fd/N. Windows: the file is held open without
// FILE_SHARE_WRITE or FILE_SHARE_DELETE, judged by that handle, and loaded while it is held.
#pragma once

#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "platform/os.h"

namespace os {

// Windows: libraries, and the libraries they need, are looked for only in the program's folder
// and in System32 (never in the current folder or the PATH, which others may write), for the
// whole process (SetDefaultDllDirectories). POSIX: nothing to do. Called first thing in main().
void RestrictLibrarySearch();

// Where the system keeps a library of the given file name, as a full path: Windows: System32;
// Linux: the first of the system's library folders that holds it (/usr/lib/<multiarch>,
// /lib/<multiarch>, /usr/lib64, /lib64, /usr/lib, /lib), or the first of them when none does.
std::string SystemLibrary(const std::string& file_name);

// Why a library setting cannot name a file to load, or "" when it can: an absolute path on a
// local disk, or a path relative to the program's folder. Refused: ".." anywhere, and on Windows
// drive-relative ("C:fbclient.dll"), root-relative ("\fbclient.dll"), UNC and device paths, and
// network drives.
std::string LibraryPathProblem(const std::string& value);
// Whether `value` is absolute (may be loaded as it is) rather than relative to the program's folder.
bool IsAbsoluteLibraryPath(const std::string& value);

// A library not loaded because others can change it; what() says so, Untrusted() who and where.
class LibraryRefused : public OsError {
 public:
  LibraryRefused(const std::string& message, std::vector<UntrustedWrite> found)
      : OsError(0, message), found_(std::move(found)) {}
  const std::vector<UntrustedWrite>& Untrusted() const { return found_; }

 private:
  std::vector<UntrustedWrite> found_;
};

// A library that is not the one wanted: it lacks a function asked for. Nothing of it ran.
class LibraryLacksFunction : public OsError {
 public:
  explicit LibraryLacksFunction(const std::string& function)
      : OsError(0, "it lacks the function " + function), function_(function) {}
  const std::string& Function() const { return function_; }

 private:
  std::string function_;
};

class SharedLibrary {
 public:
  // Judges the library file at `path` (a full path) as above and loads it. `trusted`: accounts
  // allowed to change it beside the system's own (ProgramTrustees()). Throws LibraryRefused,
  // LibraryLacksFunction, or OsError when the file cannot be read or loaded (its message the
  // system's or the loader's).
  SharedLibrary(const std::string& path, const std::vector<AccountId>& trusted,
                const std::vector<std::string>& required_functions);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  // nullptr when the library has no such symbol.
  void* Symbol(const char* name) const;
  // The full path of the file that was judged and loaded, links resolved.
  const std::string& Path() const { return path_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
};

}  // namespace os
