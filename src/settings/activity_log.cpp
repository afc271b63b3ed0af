#include "settings/activity_log.h"

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "common/text.h"
#include "settings/app_dir.h"

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
    os::File f(path, os::File::Mode::kRead);
    std::string bytes;
    std::string buf(256 * 1024, '\0');
    for (;;) {
      std::size_t n = f.Read(buf.data(), buf.size());
      if (n == 0) break;
      bytes.append(buf.data(), n);
    }
    return bytes;
  } catch (const os::OsError& e) {
    throw std::runtime_error("Cannot open file \"" + path + "\". " + e.what());
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("Cannot open file \"" + path + "\". Out of memory");
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

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

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
// a piece of a line.
void AppendToFile(const std::string& path, const std::string& bytes) {
  std::unique_ptr<os::File> f;
  try {
    f = std::make_unique<os::File>(path, os::File::Mode::kAppend);
  } catch (const os::OsError& e) {
    ThrowCreateError(path, e.what());
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
}

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
    os::File f(path, os::File::Mode::kRead);
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

ActivityLog::ActivityLog(std::string dir, Clock clock) : dir_(std::move(dir)), clock_(std::move(clock)) {}

std::string ActivityLog::FileNameFor(const os::LocalTime& date) {
  return "Tavrimondo_" + TwoDigits(date.month) + FourDigits(date.year) + ".LOG";
}

std::string ActivityLog::TimeStamp(const os::LocalTime& t) {
  static const std::string ds = os::DateSeparator(), ts = os::TimeSeparator();
  return TwoDigits(t.day) + ds + TwoDigits(t.month) + ds + FourDigits(t.year) + " " + TwoDigits(t.hour) + ts +
         TwoDigits(t.minute) + ts + TwoDigits(t.second);
}

void ActivityLog::Save(const std::string& raw_msg) {
  std::lock_guard lock(mu_);
  const std::string msg = text::SanitizeUtf8(raw_msg);
  const std::string path = dir_ + FileNameFor(clock_());
  os::InterProcessLock cross_process(path);

  const os::FileState st = os::StatFile(path);
  const bool exists = st.exists || os::FileExists(path);
  FileEncoding enc = FileEncoding::kAnsi;
  bool with_bom = false;
  bool can_append = false;  // appending gives the bytes a full rewrite would
  std::vector<std::string> lines;
  std::string read_error;
  if (exists) {
    if (known_ && known_->path == path && known_->state == st) {
      enc = known_->encoding;
      can_append = true;
    } else {
      try {
        std::string bytes = ReadFileBytes(path);
        DetectedEncoding det = DetectFileEncoding(bytes);
        enc = det.encoding;
        with_bom = det.bom_size > 0;
        lines = SplitLines(DecodeText(std::string_view(bytes).substr(det.bom_size), enc));
        can_append = EncodeLines(lines, enc, with_bom) == bytes;
      } catch (const std::exception& e) {
        read_error = e.what();
      }
    }
  } else {
    const NewFileFormat format = NewTextFileFormat();
    enc = format.encoding;
    with_bom = format.with_bom;
  }

  const bool read_failed = !read_error.empty();
  const std::string line = TimeStamp(clock_()) + " - " + (read_failed ? read_error : msg);

  known_.reset();
  if (read_failed) {
    // The month's earlier lines stay: the error line goes after them.
    Tail tail = InspectTail(path);
    AppendToFile(path, EncodeText((tail.needs_break ? kCrLf : "") + line + kCrLf, tail.encoding));
    return;
  }
  if (exists && can_append) {
    AppendToFile(path, EncodeText(line + kCrLf, enc));
  } else {
    lines.push_back(line);
    WriteWholeFile(path, EncodeLines(lines, enc, with_bom));
  }
  // A line holding a line break reads back as several lines: the next call must rewrite.
  if (!HasLineBreak(line)) known_ = KnownState{path, os::StatFile(path), enc};
}

void DoSaveLog(const std::string& Msg) {
  // One writer per directory, kept for the life of the process (the directory changes only in tests).
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<ActivityLog>> logs;
  const std::string dir = AppDirectory();
  ActivityLog* target;
  {
    std::lock_guard lock(mu);
    auto& slot = logs[dir];
    if (!slot) slot = std::make_unique<ActivityLog>(dir);
    target = slot.get();
  }
  target->Save(Msg);
}

}  // namespace settings
