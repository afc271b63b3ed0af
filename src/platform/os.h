// The one seam between the agent's logic and the operating system.
//
// Everything here has a POSIX implementation (os_posix.cpp) and a Windows one (os_windows.cpp);
// CMake compiles exactly one of them. Texts crossing this seam are UTF-8; paths too.
// Functions that fail throw OsError carrying the message a person reads in the log.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// An operating-system failure; what() is the text for the log, code() the system's error number.
class OsError : public std::runtime_error {
 public:
  OsError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// ---- process and paths -------------------------------------------------------------------

// Full path of the running executable.
std::string ExeName();
// The command line's arguments after the program name, as UTF-8 (on Windows from the wide
// command line, whatever main() received).
std::vector<std::string> CommandLineArguments(int argc, char** argv);
// The platform's path delimiter ('\\' on Windows, '/' elsewhere).
char PathDelim();
// The error number of the last failed system call on this thread (errno / GetLastError).
int LastError();
// The system's own text for an error number, without trailing line breaks.
std::string SysErrorMessage(int code);

// ---- clock and regional settings ---------------------------------------------------------

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalTime Now();
// The regional date and time separators, read once per process.
std::string DateSeparator();
std::string TimeSeparator();

// ---- the ANSI code page ------------------------------------------------------------------

// The system's ANSI code page (GetACP on Windows; 1252 stands for it elsewhere).
unsigned AnsiCodePage();
// Bytes in the ANSI code page to UTF-8. Every byte decodes to some character.
std::string AnsiToUtf8(std::string_view bytes);
// UTF-8 to the ANSI code page; a character the code page lacks becomes its default character.
std::string Utf8ToAnsi(std::string_view utf8);

// The encoding of the agent's text files (settings file, activity log) when they carry no
// byte-order mark. Windows (false): the ANSI code page. Linux (true): UTF-8, the encoding Linux
// users have; a file that is not valid UTF-8 is read in the ANSI code page instead, so that files
// copied from a Windows store keep working, and a new file is written in UTF-8 without a mark.
bool UnmarkedTextIsUtf8();

// ---- files -------------------------------------------------------------------------------

// Identity and version of a file, to tell whether it changed since it was last seen.
struct FileState {
  bool exists = false;
  std::uint64_t device = 0, inode = 0;  // volume and file index on Windows
  std::uint64_t size = 0;
  // Last write time in the platform's own units, only ever compared: nanoseconds since 1970 on
  // POSIX, the FILETIME's 100-nanosecond ticks since 1601 on Windows.
  std::uint64_t mtime = 0;
  bool operator==(const FileState&) const = default;
};
FileState StatFile(const std::string& path);
bool FileExists(const std::string& path);

class File {
 public:
  enum class Mode {
    kRead,    // existing file, read only; others may read, write and delete meanwhile
    kAppend,  // existing file, writes go to its end
    kCreate,  // created anew (truncated when it exists), write only
  };
  // Throws OsError with the system's error number; the caller words the message.
  File(const std::string& path, Mode mode);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  std::uint64_t Size();
  // Reads up to n bytes at the current position; returns the count read (0 at the end).
  std::size_t Read(void* buf, std::size_t n);
  // Reads up to n bytes at the given offset, without moving the position.
  std::size_t ReadAt(std::uint64_t offset, void* buf, std::size_t n);
  // Writes all bytes or throws (a full disk included).
  void Write(const void* buf, std::size_t n);
  void Truncate(std::uint64_t size);
  void Sync();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Replaces `target` by `source` in one step: a reader sees either the old or the new file.
void ReplaceFileAtomically(const std::string& source, const std::string& target);
void RemoveFile(const std::string& path);

// An exclusive lock shared by every process on the machine that uses the same key path.
// POSIX: a lock on the directory holding the path; Windows: a named mutex derived from the path.
class InterProcessLock {
 public:
  explicit InterProcessLock(const std::string& key_path);
  ~InterProcessLock();
  InterProcessLock(const InterProcessLock&) = delete;
  InterProcessLock& operator=(const InterProcessLock&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- reports outside the activity log ----------------------------------------------------

// One entry of error type in the system's event log (Windows event log; syslog elsewhere).
void WriteEventLog(const std::string& source, const std::string& text);
// The install and uninstall result boxes (a message box on Windows, stdout/stderr elsewhere).
void ShowMessage(const std::string& text, bool is_error);

// ---- shared libraries --------------------------------------------------------------------

class SharedLibrary {
 public:
  // Throws OsError when the file cannot be loaded.
  explicit SharedLibrary(const std::string& file);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  // nullptr when the library has no such symbol.
  void* Symbol(const char* name) const;

 private:
  void* handle_;
};

}  // namespace os
