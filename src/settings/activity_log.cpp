#include "settings/activity_log.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "common/text.h"
#include "settings/app_dir.h"
#include "settings/ini_file.h"

namespace settings {

namespace {

constexpr const char* kCrLf = "\r\n";

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string FourDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", v);
  return buf;
}

[[noreturn]] void ThrowCreateError(const std::string& path, const std::string& os_text) {
  throw LogWriteError("Cannot create file \"" + path + "\". " + os_text);
}

// Reads the whole file; the message names the file as a person would want to see it.
std::string ReadWhole(const std::string& path) {
  try {
    os::File f(path, os::File::Mode::kReadOwn);
    std::string bytes;
    std::string buf(256 * 1024, '\0');
    for (;;) {
      std::size_t n = f.Read(buf.data(), buf.size());
      if (n == 0) break;
      bytes.append(buf.data(), n);
    }
    return bytes;
  } catch (const os::ForeignFile&) {
    throw;  // not the agent's: the writer replaces it
  } catch (const os::OsError& e) {
    throw std::runtime_error(messages::Format(messages::kLogUnreadable, {path, e.what()}).str());
  } catch (const std::bad_alloc&) {
    throw std::runtime_error(messages::Format(messages::kLogUnreadable, {path, "Out of memory"}).str());
  }
}

std::string EncodeLines(const std::vector<std::string>& lines, FileEncoding enc, bool with_bom) {
  std::size_t size = 3;
  for (const auto& l : lines) size += l.size() + 2;
  std::string text;
  // The lines are UTF-8 already: for a UTF-8 file they are the bytes, built in one buffer (a
  // month's log runs to megabytes, and every extra copy of it costs).
  if (enc == FileEncoding::kUtf8) {
    text.reserve(size);
    if (with_bom) text += ByteOrderMark(enc);
    for (const auto& l : lines) {
      text += l;
      text += kCrLf;
    }
    return text;
  }
  text.reserve(size);
  for (const auto& l : lines) {
    text += l;
    text += kCrLf;
  }
  std::string out(with_bom ? ByteOrderMark(enc) : std::string_view());
  out += EncodeText(text, enc);
  return out;
}

// Writes `bytes` to a new file beside `path` and puts it in place of `path` in one step, so that a
// crash, a kill or a full disk leaves either the old file or the new one, never half of either.
void WriteWholeFile(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp";
  try {
    os::File f(tmp, os::File::Mode::kCreate);
    try {
      f.Write(bytes.data(), bytes.size());
      f.Sync();
    } catch (const os::OsError&) {
      os::RemoveFile(tmp);
      throw LogWriteError("Stream write error");
    }
  } catch (const os::OsError& e) {
    ThrowCreateError(path, e.what());
  }
  try {
    os::ReplaceFileAtomically(tmp, path);
  } catch (const os::OsError& e) {
    os::RemoveFile(tmp);
    ThrowCreateError(path, e.what());
  }
}

// Adds `bytes` at the end of `path`. A write that stops short is undone, so the file never keeps
// a piece of a line. False when the file cannot be opened for appending (it may belong to another
// account, which a rewrite in the folder gets around).
bool AppendToFile(const std::string& path, const std::string& bytes) {
  std::unique_ptr<os::File> f;
  try {
    f = std::make_unique<os::File>(path, os::File::Mode::kAppend);
  } catch (const os::OsError&) {
    return false;
  }
  std::uint64_t before = 0;
  try {
    before = f->Size();
    f->Write(bytes.data(), bytes.size());
  } catch (const os::OsError&) {
    try {
      f->Truncate(before);
    } catch (const os::OsError&) {
    }
    throw LogWriteError("Stream write error");
  }
  return true;
}

void AppendOrThrow(const std::string& path, const std::string& bytes) {
  if (AppendToFile(path, bytes)) return;
  try {
    os::File probe(path, os::File::Mode::kAppend);
  } catch (const os::OsError& e) {
    ThrowCreateError(path, e.what());
  }
  ThrowCreateError(path, "");
}

// Where the whole lines of a file end: after its last line break. What follows it is what a power
// cut leaves of a line being written, or zero bytes where the file had grown but its data had not
// reached the disk.
std::size_t EndOfWholeLines(std::string_view bytes, const DetectedEncoding& det) {
  if (det.encoding == FileEncoding::kUtf16LE || det.encoding == FileEncoding::kUtf16BE) {
    const bool le = det.encoding == FileEncoding::kUtf16LE;
    for (std::size_t i = det.bom_size + (bytes.size() - det.bom_size) / 2 * 2; i >= det.bom_size + 2; i -= 2) {
      const auto a = static_cast<unsigned char>(bytes[i - 2]), b = static_cast<unsigned char>(bytes[i - 1]);
      const unsigned unit = le ? (a | (b << 8)) : ((a << 8) | b);
      if (unit == '\r' || unit == '\n') return i;
    }
    return det.bom_size;
  }
  const std::size_t last = bytes.find_last_of("\r\n");
  return last == std::string_view::npos || last < det.bom_size ? det.bom_size : last + 1;
}

std::string ExeFileName() {
  const std::string exe = os::ExeName();
  return exe.substr(exe.find_last_of("\\/") + 1);
}

std::string Megabytes(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

// After a failed read: what can still be learnt of the file's encoding and of its last line break.
struct Tail {
  FileEncoding encoding = FileEncoding::kAnsi;
  bool needs_break = false;  // the last line has no line break of its own
};

Tail InspectTail(const std::string& path) {
  Tail t;
  // Without a mark the whole file would tell; unread, it is taken for what this platform writes.
  if (os::UnmarkedTextIsUtf8()) t.encoding = FileEncoding::kUtf8;
  try {
    os::File f(path, os::File::Mode::kReadOwn);
    char head[3];
    std::size_t n = f.ReadAt(0, head, sizeof head);
    DetectedEncoding det = DetectEncoding(std::string_view(head, n));
    if (det.bom_size) t.encoding = det.encoding;
    std::uint64_t size = f.Size();
    if (size > det.bom_size) {
      char last[2];
      std::size_t unit = (t.encoding == FileEncoding::kUtf16LE || t.encoding == FileEncoding::kUtf16BE) ? 2 : 1;
      if (f.ReadAt(size - unit, last, unit) == unit) {
        char16_t c = unit == 1 ? static_cast<unsigned char>(last[0])
                     : t.encoding == FileEncoding::kUtf16LE
                         ? static_cast<char16_t>(static_cast<unsigned char>(last[0]) | (static_cast<unsigned char>(last[1]) << 8))
                         : static_cast<char16_t>((static_cast<unsigned char>(last[0]) << 8) | static_cast<unsigned char>(last[1]));
        t.needs_break = c != '\r' && c != '\n';
      }
    }
  } catch (const std::exception&) {
  }
  return t;
}

}  // namespace

std::string ActivityLog::ReadFileBytes(const std::string& path) { return ReadWhole(path); }

std::optional<std::uint64_t> ActivityLog::FreeBytes(const std::string& dir) { return os::FreeSpace(dir); }

ActivityLog::ActivityLog(std::string dir, Clock clock)
    : dir_(std::move(dir)), clock_(std::move(clock)), report_([](const messages::Text& text) {
        os::WriteEventLog(ExeFileName(), text);
      }) {}

void ActivityLog::SetRaiseWriteErrors(bool raise) {
  std::lock_guard lock(mu_);
  raise_ = raise;
}

void ActivityLog::SetReporter(Reporter reporter) {
  std::lock_guard lock(mu_);
  report_ = std::move(reporter);
}

void ActivityLog::SetLockWait(std::chrono::milliseconds wait) {
  std::lock_guard lock(mu_);
  lock_wait_ = wait;
}

void ActivityLog::SetKeepMonths(KeepMonths keep) {
  std::lock_guard lock(mu_);
  keep_months_ = std::move(keep);
}

int ActivityLog::KeepMonthsNow() const {
  int keep = kDefaultKeepMonths;
  try {
    keep = keep_months_ ? keep_months_()
                        : TIniFile(SettingsFilePath()).ReadInteger(kSettingsSection, "MesesDeLog", kDefaultKeepMonths);
  } catch (const std::exception&) {
    // A settings file that cannot be read keeps the default, as every other key does.
  }
  return keep < 0 ? kDefaultKeepMonths : keep;
}

std::vector<std::string> ActivityLog::Prune(const os::LocalTime& now, int keep) {
  if (keep == 0) return {};
  const int current = now.year * 12 + (now.month - 1);
  std::vector<std::pair<int, std::string>> old;
  for (const std::string& name : os::ListFolder(dir_)) {
    // Only the agent's own month files: "Tavrimondo_MMYYYY.LOG".
    if (name.size() != 21 || !text::EqualsIgnoreCase(name.substr(0, 11), "Tavrimondo_") ||
        !text::EqualsIgnoreCase(name.substr(17), ".LOG"))
      continue;
    int month = 0, year = 0;
    bool digits = true;
    for (std::size_t i = 11; i < 17; ++i) digits = digits && name[i] >= '0' && name[i] <= '9';
    if (!digits) continue;
    month = std::stoi(name.substr(11, 2));
    year = std::stoi(name.substr(13, 4));
    if (month < 1 || month > 12) continue;
    const int index = year * 12 + (month - 1);
    if (index <= current - keep) old.emplace_back(index, name);
  }
  std::sort(old.begin(), old.end());
  std::vector<std::string> deleted;
  for (const auto& [index, name] : old) {
    os::RemoveFile(dir_ + name);
    if (!os::FileExists(dir_ + name)) deleted.push_back(name);
  }
  return deleted;
}

void ActivityLog::Report(const messages::Text& text) {
  try {
    if (report_) report_(text);
  } catch (...) {
    // Telling is best effort; the caller goes on whatever happens here.
  }
}

std::string ActivityLog::FileNameFor(const os::LocalTime& date) {
  return "Tavrimondo_" + TwoDigits(date.month) + FourDigits(date.year) + ".LOG";
}

std::string ActivityLog::TimeStamp(const os::LocalTime& t) {
  static const std::string ds = os::DateSeparator(), ts = os::TimeSeparator();
  return TwoDigits(t.day) + ds + TwoDigits(t.month) + ds + FourDigits(t.year) + " " + TwoDigits(t.hour) + ts +
         TwoDigits(t.minute) + ts + TwoDigits(t.second);
}

bool ActivityLog::Room() {
  const std::optional<std::uint64_t> free = FreeBytes(dir_);
  if (free && *free < kFreeSpaceFloor) {
    if (!below_floor_)
      Report(messages::Format(messages::kEvDiskFloor, {dir_, Megabytes(kFreeSpaceFloor), Megabytes(*free)}));
    below_floor_ = true;
    return false;
  }
  if (below_floor_) {
    below_floor_ = false;
    Report(messages::Format(messages::kEvDiskRoom, {dir_, free ? Megabytes(*free) : std::string("?")}));
  }
  return true;
}

void ActivityLog::Save(const std::string& raw_msg) {
  std::lock_guard lock(mu_);
  // One call, one line, of bounded length, whatever the text holds.
  const std::string msg = text::CapText(text::FlattenControls(raw_msg), kLineLimit);
  const std::string path = dir_ + FileNameFor(clock_());
  if (!Room()) return;
  try {
    created_ = false;
    const std::string lock_problem = Write(path, msg);
    write_failing_ = false;
    if (created_) {
      // A new month: the months no longer kept go, and the log says which.
      created_ = false;
      const int keep = KeepMonthsNow();
      const std::vector<std::string> deleted = Prune(clock_(), keep);
      if (!deleted.empty()) {
        std::string names;
        for (const std::string& n : deleted) names += (names.empty() ? "" : ", ") + n;
        Write(path, text::CapText(messages::Format(messages::kLogsDeleted,
                                                   {std::to_string(deleted.size()), std::to_string(keep), names})
                                      .str(),
                                  kLineLimit));
      }
    }
    // Said once the line is in: when nothing can be written, that is the news.
    if (!lock_problem.empty() && !lock_trouble_)
      Report(messages::Format(messages::kEvLogNoLock, {dir_, lock_problem}));
    lock_trouble_ = !lock_problem.empty();
  } catch (const std::exception& e) {
    known_.reset();
    if (raise_) {
      if (dynamic_cast<const LogWriteError*>(&e)) throw;
      throw LogWriteError(e.what());
    }
    if (!write_failing_)
      Report(messages::Format(messages::kEvLogUnwritable, {path, e.what()}));
    write_failing_ = true;
  }
}

std::string ActivityLog::Write(const std::string& path, const std::string& msg) {
  // After a wait that ran out, the next lines wait only briefly: whoever holds the lock must not
  // slow down every line.
  os::InterProcessLock cross_process(dir_ + kLockFileName,
                                     lock_trouble_ ? std::chrono::milliseconds(200) : lock_wait_);

  const os::FileState st = os::StatFile(path);
  const bool exists = st.exists || os::FileExists(path);
  FileEncoding enc = FileEncoding::kAnsi;
  bool with_bom = false;
  bool can_append = false;  // appending gives the bytes a full rewrite would
  bool read = false;
  std::vector<std::string> lines;
  std::string read_error;
  auto read_lines = [&] {
    read = true;
    try {
      std::string bytes = ReadFileBytes(path);
      DetectedEncoding det = DetectFileEncoding(bytes);
      bool repaired = false;
      if (opened_.insert(path).second) {
        // First sight of this file in this process: what follows its last line break is a line a
        // power cut interrupted (or zero bytes), and goes. A character cut in two at the end no
        // longer hides that the rest is UTF-8.
        const std::size_t end = EndOfWholeLines(bytes, det);
        if (end < bytes.size()) {
          bytes.resize(end);
          det = DetectFileEncoding(bytes);
          repaired = true;
        }
      }
      enc = det.encoding;
      with_bom = det.bom_size > 0;
      lines = SplitLines(DecodeText(std::string_view(bytes).substr(det.bom_size), enc));
      can_append = !repaired && EncodeLines(lines, enc, with_bom) == bytes;
    } catch (const os::ForeignFile& e) {
      // A link, a device, a second name of another file, another account's file: nothing of the
      // agent's is in it. A new month's file takes its place (the rename replaces the name
      // itself, never what it points to).
      Report(messages::Format(messages::kEvLogForeign, {path, e.what()}));
      const NewFileFormat format = NewTextFileFormat();
      enc = format.encoding;
      with_bom = format.with_bom;
      lines.clear();
      can_append = false;
    } catch (const std::exception& e) {
      read_error = e.what();
    }
  };
  if (exists) {
    if (known_ && known_->path == path && known_->state == st) {
      enc = known_->encoding;
      can_append = true;
    } else {
      read_lines();
    }
  } else {
    const NewFileFormat format = NewTextFileFormat();
    enc = format.encoding;
    with_bom = format.with_bom;
    created_ = true;
  }

  const bool read_failed = !read_error.empty();
  const std::string line =
      TimeStamp(clock_()) + " - " + (read_failed ? text::CapText(text::FlattenControls(read_error), kLineLimit) : msg);

  known_.reset();
  if (read_failed) {
    // The month's earlier lines stay: the error line goes after them.
    Tail tail = InspectTail(path);
    AppendOrThrow(path, EncodeText((tail.needs_break ? kCrLf : "") + line + kCrLf, tail.encoding));
    return cross_process.Problem();
  }
  bool appended = false;
  if (exists && can_append) appended = AppendToFile(path, EncodeText(line + kCrLf, enc));
  if (!appended) {
    // A new file, one that must be written anew, or one this account cannot append to.
    if (exists && !read) {
      read_lines();
      if (!read_error.empty()) throw LogWriteError("Cannot create file \"" + path + "\". " + read_error);
    }
    lines.push_back(line);
    WriteWholeFile(path, EncodeLines(lines, enc, with_bom));
    opened_.insert(path);
  }
  known_ = KnownState{path, os::StatFile(path), enc};
  return cross_process.Problem();
}

namespace {
std::mutex g_failures_mu;
LogWriteFailures g_failures = LogWriteFailures::kRaise;
}  // namespace

void SetLogWriteFailures(LogWriteFailures mode) {
  std::lock_guard lock(g_failures_mu);
  g_failures = mode;
}

void DoSaveLog(const messages::Text& Msg) {
  // One writer per directory, kept for the life of the process (the directory changes only in tests).
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<ActivityLog>> logs;
  const std::string dir = LogDirectory();
  ActivityLog* target;
  {
    std::lock_guard lock(mu);
    auto& slot = logs[dir];
    if (!slot) slot = std::make_unique<ActivityLog>(dir);
    target = slot.get();
  }
  {
    std::lock_guard lock(g_failures_mu);
    target->SetRaiseWriteErrors(g_failures == LogWriteFailures::kRaise);
  }
  target->Save(Msg.str());
}

}  // namespace settings
