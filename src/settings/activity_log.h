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
//
// Bounded, whatever the texts it is given: a text is one line (line breaks and other control
// characters become blanks, so a text can neither forge lines nor make the next call rewrite the
// whole month), and at most kLineLimit bytes long. Below kFreeSpaceFloor free bytes on its disk
// (which usually holds the store's database too) it writes nothing, and says so once in the event
// log; it writes again once there is room. The lock across processes is waited for a few seconds
// at most: a line is never held up for long by whoever holds it.
//
// Old months go: the first line of a new month's file deletes the files of months more than
// "MesesDeLog" (default 12; 0 keeps all) months old, and says so in one line.
//
// A power cut can leave the last line half written, or the file's end full of zero bytes: the
// first time a process opens a month's file, the file is cut back to its last whole line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/messages.h"
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
  // Where the log tells what it cannot tell in itself: the event log (on Linux the journal).
  using Reporter = std::function<void(const messages::Text& text)>;

  static constexpr std::size_t kLineLimit = 4096;                     // bytes of one line's text
  static constexpr std::uint64_t kFreeSpaceFloor = 200ull << 20;       // bytes free on the log's disk
  static constexpr std::chrono::milliseconds kLockWait{5000};          // for the lock across processes
  static constexpr const char* kLockFileName = "Tavrimondo_Log.lock";      // beside the logs
  static constexpr int kDefaultKeepMonths = 12;
  // How many months of logs to keep, the current one included; 0 keeps all.
  using KeepMonths = std::function<int()>;

  // `dir` must end in a path delimiter. The clock is read twice per line, as the month's file and
  // the line's time stamp are taken from two readings.
  explicit ActivityLog(std::string dir, Clock clock = &os::Now);
  virtual ~ActivityLog() = default;

  // Adds one line with `msg`. A line that cannot be written throws LogWriteError, unless
  // SetRaiseWriteErrors(false): then it is lost, and reported once, and again only after a line
  // has been written in between. A line not written for lack of free space is never an error.
  void Save(const std::string& msg);

  void SetRaiseWriteErrors(bool raise);
  // Default: the event log, under the executable's file name.
  void SetReporter(Reporter reporter);
  void SetLockWait(std::chrono::milliseconds wait);
  // Default: "MesesDeLog" of the settings file, read at each new month.
  void SetKeepMonths(KeepMonths keep);

  static std::string FileNameFor(const os::LocalTime& date);  // Tavrimondo_MMYYYY.LOG
  static std::string TimeStamp(const os::LocalTime& t);       // DD/MM/YYYY HH:mm:ss

 protected:
  // Reads the whole month's file; throws with the text to log in place of the line. A seam for
  // tests that need a read to fail.
  virtual std::string ReadFileBytes(const std::string& path);
  // Free bytes on the disk of `dir`; a seam for tests of a full disk.
  virtual std::optional<std::uint64_t> FreeBytes(const std::string& dir);

 private:
  // What this process last left in a file: when the file still matches, its bytes are known to be
  // exactly what a full read and rewrite would produce, so a new line can simply be appended.
  struct KnownState {
    std::string path;
    os::FileState state;
    FileEncoding encoding = FileEncoding::kAnsi;
  };

  // Writes the line; returns why it went without the lock across processes ("" when it had it).
  std::string Write(const std::string& path, const std::string& msg);
  bool Room();
  // Deletes the months that are no longer kept, as of the month of `now`; their names, oldest first.
  std::vector<std::string> Prune(const os::LocalTime& now, int keep);
  int KeepMonthsNow() const;
  void Report(const messages::Text& text);

  std::string dir_;
  Clock clock_;
  std::mutex mu_;
  std::optional<KnownState> known_;
  std::set<std::string> opened_;  // files this process has read: only their first read repairs
  bool raise_ = true;
  Reporter report_;
  std::chrono::milliseconds lock_wait_ = kLockWait;
  KeepMonths keep_months_;
  bool created_ = false;  // the last Write made the month's file
  bool lock_trouble_ = false;   // the last line went without the lock (reported)
  bool write_failing_ = false;  // the last line could not be written (reported)
  bool below_floor_ = false;    // lines are held back for lack of room (reported)
};

// What a line that cannot be written costs the callers of DoSaveLog, in this process.
enum class LogWriteFailures {
  kRaise,   // LogWriteError: the install and uninstall runs, whose result box says so
  kReport,  // nothing: the event log hears of it once (the service, whose replication goes on)
};
void SetLogWriteFailures(LogWriteFailures mode);

// The process-wide log in the executable's directory. Every line is a text of the catalogue.
void DoSaveLog(const messages::Text& Msg);

}  // namespace settings
