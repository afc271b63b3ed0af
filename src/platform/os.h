// The one seam between the agent's logic and the operating system.
//
// Everything here has a POSIX implementation (os_posix.cpp) and a Windows one (os_windows.cpp);
// CMake compiles exactly one of them. Texts crossing this seam are UTF-8; paths too.
// Functions that fail throw OsError carrying the message a person reads in the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/messages.h"

namespace os {

// An operating-system failure; what() is the text for the log, code() the system's error number.
class OsError : public std::runtime_error {
 public:
  OsError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// A file that File refuses to read or write as the agent's own (Mode::kReadOwn, kAppend): a link,
// a device or pipe, a file of more than one name, or another account's. what() says which.
class ForeignFile : public OsError {
 public:
  using OsError::OsError;
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

// Bytes in the code page `code_page` (a Windows code page number: 1250-1258, 437, 850, 28592 for
// ISO 8859-2, ...) to UTF-8. Sets *ok to false, and returns nothing, when the code page is not
// known here or the bytes are not valid in it. Code page 1252 maps the five bytes it leaves
// undefined as the ANSI conversions do.
std::string CodePageToUtf8(unsigned code_page, std::string_view bytes, bool* ok);
// UTF-8 to the code page; *ok false when a character has no place in it or the code page is not
// known here.
std::string Utf8ToCodePage(unsigned code_page, std::string_view utf8, bool* ok);

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
  // Only regular files open: a device or a pipe planted under a file's name could block the
  // program or feed it without end. The agent's own files are never opened through a link (a
  // symbolic link, or on Windows any reparse point): a link planted in the program's folder would
  // make a process with full rights read or write whatever it points to.
  enum class Mode {
    kRead,        // existing file, read only; others may read, write and delete meanwhile. A link
                  // is followed (the settings file may be one, to where a package keeps it)
    kReadNoLink,  // kRead, but a link is refused
    kReadOwn,     // kReadNoLink, for the agent's own files, which a process with full rights reads
                  // where its service account may write: only a file of one name (no hard link)
                  // that the system's accounts, this process's or the agent's own account owns
                  // (IsAgentAccount, file_trust.h); anything else is refused with a message that
                  // says what it is
    kAppend,      // existing file, writes go to its end; as kReadOwn, only the agent's own file
    kCreate,      // a new file, write only: whatever is at the path (a file left behind, or a
                  // link, which is removed and never followed) goes first, and the file is
                  // created exclusively
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
// The names of the entries of folder `dir` (ending in a delimiter); empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& dir);

// The bytes of the volume holding `dir` that an ordinary program may still fill; nullopt when
// that cannot be found out.
std::optional<std::uint64_t> FreeSpace(const std::string& dir);

// An exclusive lock shared by every process on the machine that uses the same lock file, which
// the processes of other accounts can neither take first nor hold: it lives in the program's own
// folder and only its trusted accounts may open it.
//  - POSIX: flock on the file, mode 0600, owned by the account that owns the folder (root, or the
//    account a package runs the agent as), never opened through a link. A file found with another
//    owner or open to others is replaced by a new one.
//  - Windows: LockFileEx on the file, whose access list grants only SYSTEM and the
//    Administrators (set again on a file found there); never opened through a reparse point.
// Waiting is bounded: a lock not had within `wait` (a program holding it, a file that cannot be
// opened) is left, and the caller goes on without it.
class InterProcessLock {
 public:
  // Never throws; Held() tells whether the lock is held, and Problem() why not.
  InterProcessLock(const std::string& lock_file, std::chrono::milliseconds wait);
  ~InterProcessLock();
  InterProcessLock(const InterProcessLock&) = delete;
  InterProcessLock& operator=(const InterProcessLock&) = delete;

  bool Held() const;
  const std::string& Problem() const;  // "" when held

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- reports outside the activity log ----------------------------------------------------

// One entry in the system's event log (Windows event log; syslog elsewhere), of the entry's kind and,
// on Windows, with its Event ID, whose message the program's own message table holds.
void WriteEventLog(const std::string& source, const messages::Text& text);
// The install and uninstall result boxes (a message box on Windows, stdout/stderr elsewhere).
void ShowMessage(const std::string& text, bool is_error);

}  // namespace os
