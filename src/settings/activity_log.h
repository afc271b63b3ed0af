// The monthly activity log: the agent's own report channel.
//
// One line per call, "DD/MM/YYYY HH:mm:ss - <text>", in the file "Tavrimondo_MMYYYY.LOG" of the
// executable's directory, CR LF after every line. A new file is written in the ANSI code page on
// Windows and in UTF-8 without a mark on Linux; an existing file keeps its encoding (a byte-order
// mark names it; without one it is ANSI, or on Linux UTF-8 when its bytes are valid UTF-8).
//
// Thread-safety: calls from any thread of any process are serialised (a process-wide lock and a
// lock across processes), so no line is lost or garbled. A failure can never destroy lines that
// are already in the file: lines are appended when that gives the very bytes a full rewrite would,
// and a full rewrite goes to a new file that replaces the old one in one step.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/os.h"
#include "settings/text_file.h"

namespace settings {

// The log could not be written; what() is the text the caller reports.
class LogWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ActivityLog {
 public:
  using Clock = std::function<os::LocalTime()>;

  // `dir` must end in a path delimiter. The clock is read twice per line, as the month's file and
  // the line's time stamp are taken from two readings.
  explicit ActivityLog(std::string dir, Clock clock = &os::Now);
  virtual ~ActivityLog() = default;

  // Adds one line with `msg`. Throws LogWriteError when the file cannot be created or written.
  void Save(const std::string& msg);

  static std::string FileNameFor(const os::LocalTime& date);  // Tavrimondo_MMYYYY.LOG
  static std::string TimeStamp(const os::LocalTime& t);       // DD/MM/YYYY HH:mm:ss

 protected:
  // Reads the whole month's file; throws with the text to log in place of the line. A seam for
  // tests that need a read to fail.
  virtual std::string ReadFileBytes(const std::string& path);

 private:
  // What this process last left in a file: when the file still matches, its bytes are known to be
  // exactly what a full read and rewrite would produce, so a new line can simply be appended.
  struct KnownState {
    std::string path;
    os::FileState state;
    FileEncoding encoding = FileEncoding::kAnsi;
  };

  std::string dir_;
  Clock clock_;
  std::mutex mu_;
  std::optional<KnownState> known_;
};

// The process-wide log in the executable's directory.
void DoSaveLog(const std::string& Msg);

}  // namespace settings
