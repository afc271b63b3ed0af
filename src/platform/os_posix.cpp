// POSIX side of the platform seam (Linux).
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/file_trust.h"
#include "platform/file_trust_walk_posix.h"

namespace os {

std::string ExeName() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "./SrvTavrimondoClient";
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

char PathDelim() { return '/'; }
int LastError() { return errno; }

std::string SysErrorMessage(int code) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = ::strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

LocalTime Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  ::localtime_r(&ts.tv_sec, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

// There are no regional separators to honour here; the pattern's own characters serve.
std::string DateSeparator() { return "/"; }
std::string TimeSeparator() { return ":"; }

// Windows-1252 stands for the ANSI code page. glibc refuses the five bytes that 1252 leaves
// undefined; Windows maps each of them to the control character of the same number, and so do we,
// so that every byte of a file survives a read and a write.
unsigned AnsiCodePage() { return 1252; }

namespace {
bool IsUndefined1252(unsigned c) { return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D; }

// iconv descriptors are not thread-safe; one per direction under a lock is plenty for our volume.
struct Converter {
  std::mutex mu;
  iconv_t cd;
  Converter(const char* to, const char* from) : cd(::iconv_open(to, from)) {}
};
Converter& FromAnsi() {
  static Converter c("UTF-8", "WINDOWS-1252");
  return c;
}
Converter& ToAnsi() {
  static Converter c("WINDOWS-1252", "UTF-8");
  return c;
}
}  // namespace

std::string AnsiToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  Converter& conv = FromAnsi();
  std::lock_guard lock(conv.mu);
  std::size_t start = 0;
  // Runs of plain ASCII and defined bytes go through iconv; the undefined five are mapped here.
  auto flush = [&](std::size_t end) {
    if (end <= start) return;
    char* in = const_cast<char*>(bytes.data() + start);
    std::size_t in_left = end - start;
    std::size_t old = out.size();
    out.resize(old + in_left * 3);
    char* o = out.data() + old;
    std::size_t o_left = in_left * 3;
    ::iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    ::iconv(conv.cd, &in, &in_left, &o, &o_left);
    out.resize(static_cast<std::size_t>(o - out.data()));
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    unsigned c = static_cast<unsigned char>(bytes[i]);
    if (IsUndefined1252(c)) {
      flush(i);
      text::AppendUtf8(out, c);
      start = i + 1;
    }
  }
  flush(bytes.size());
  return out;
}

bool UnmarkedTextIsUtf8() { return true; }

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  Converter& conv = ToAnsi();
  std::lock_guard lock(conv.mu);
  ::iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
  text::ForEachCodePoint(utf8, [&](char32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      return;
    }
    if (cp <= 0xFF && IsUndefined1252(cp)) {
      out.push_back(static_cast<char>(cp));
      return;
    }
    std::string one;
    text::AppendUtf8(one, cp);
    char* in = one.data();
    std::size_t in_left = one.size();
    char buf[8];
    char* o = buf;
    std::size_t o_left = sizeof buf;
    if (::iconv(conv.cd, &in, &in_left, &o, &o_left) == static_cast<std::size_t>(-1) || o == buf) {
      ::iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
      out.push_back('?');  // the code page's default character
    } else {
      out.append(buf, static_cast<std::size_t>(o - buf));
    }
  });
  return out;
}

namespace {

// iconv's name for a Windows code page number.
std::string IconvName(unsigned code_page) {
  if (code_page >= 28591 && code_page <= 28606) return "ISO-8859-" + std::to_string(code_page - 28590);
  return "CP" + std::to_string(code_page);
}

// One converter per code page and direction, made when first needed.
Converter* ConverterFor(unsigned code_page, bool to_utf8) {
  static std::mutex mu;
  static std::map<std::pair<unsigned, bool>, std::unique_ptr<Converter>> converters;
  std::lock_guard lock(mu);
  auto& c = converters[{code_page, to_utf8}];
  if (!c) {
    const std::string name = IconvName(code_page);
    c = to_utf8 ? std::make_unique<Converter>("UTF-8", name.c_str()) : std::make_unique<Converter>(name.c_str(), "UTF-8");
  }
  return c->cd == reinterpret_cast<iconv_t>(-1) ? nullptr : c.get();
}

// A whole text through a converter; false when iconv refused a byte.
bool Convert(Converter& conv, std::string_view in_text, std::string& out) {
  std::lock_guard lock(conv.mu);
  ::iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
  out.assign(in_text.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(in_text.data());
  std::size_t in_left = in_text.size();
  char* o = out.data();
  std::size_t o_left = out.size();
  const bool ok = ::iconv(conv.cd, &in, &in_left, &o, &o_left) != static_cast<std::size_t>(-1) &&
                  ::iconv(conv.cd, nullptr, nullptr, &o, &o_left) != static_cast<std::size_t>(-1);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return ok && in_left == 0;
}

}  // namespace

std::string CodePageToUtf8(unsigned code_page, std::string_view bytes, bool* ok) {
  *ok = true;
  if (code_page == 1252) return AnsiToUtf8(bytes);
  Converter* conv = ConverterFor(code_page, true);
  std::string out;
  if (!conv || !Convert(*conv, bytes, out)) {
    *ok = false;
    return {};
  }
  return out;
}

std::string Utf8ToCodePage(unsigned code_page, std::string_view utf8, bool* ok) {
  *ok = text::IsValidUtf8(utf8);
  if (!*ok) return {};
  if (code_page == 1252) {
    std::string out = Utf8ToAnsi(utf8);
    *ok = AnsiToUtf8(out) == utf8;
    return *ok ? out : std::string();
  }
  Converter* conv = ConverterFor(code_page, false);
  std::string out;
  if (!conv || !Convert(*conv, utf8, out)) {
    *ok = false;
    return {};
  }
  return out;
}

FileState StatFile(const std::string& path) {
  struct stat st{};
  FileState s;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
  s.exists = true;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = static_cast<std::uint64_t>(st.st_size);
  // Unsigned arithmetic: a time stamp far in the future wraps instead of overflowing.
  s.mtime = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  return s;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

struct File::Impl {
  int fd = -1;
};


File::File(const std::string& path, Mode mode) : impl_(std::make_unique<Impl>()) {
  // Non-blocking while opening, so that a pipe planted under the name cannot hold the open.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case Mode::kRead: flags |= O_RDONLY; break;
    case Mode::kReadNoLink:
    case Mode::kReadOwn: flags |= O_RDONLY | O_NOFOLLOW; break;
    case Mode::kAppend: flags |= O_WRONLY | O_APPEND | O_NOFOLLOW; break;
    case Mode::kCreate:
      // unlink removes a link itself, never what it points to.
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int e = errno;
        throw OsError(e, SysErrorMessage(e));
      }
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
  }
  impl_->fd = ::open(path.c_str(), flags, 0644);
  if (impl_->fd < 0) {
    int e = errno;
    // O_NOFOLLOW's own word for a link ("Too many levels of symbolic links") misleads.
    if (e == ELOOP && (flags & O_NOFOLLOW)) {
      if (mode == Mode::kReadOwn || mode == Mode::kAppend) throw ForeignFile(e, "it is a link, which is not followed");
      throw OsError(e, "it is a link, which is not followed");
    }
    throw OsError(e, SysErrorMessage(e));
  }
  struct stat st{};
  int e = 0;
  std::string why;
  if (::fstat(impl_->fd, &st) != 0) e = errno;
  else if (S_ISDIR(st.st_mode)) e = EISDIR;
  else if (!S_ISREG(st.st_mode)) e = EINVAL;
  else if ((mode == Mode::kReadOwn || mode == Mode::kAppend) && st.st_nlink != 1)
    e = EMLINK, why = "it has " + std::to_string(st.st_nlink) + " names (hard links)";
  else if ((mode == Mode::kReadOwn || mode == Mode::kAppend) && !IsAgentAccount(std::to_string(st.st_uid)))
    e = EPERM, why = "it belongs to " + posix::UserName(st.st_uid);
  else if (::fcntl(impl_->fd, F_SETFL, flags & O_APPEND) != 0) e = errno;  // blocking again
  if (e != 0) {
    ::close(impl_->fd);
    impl_->fd = -1;
    const bool own = mode == Mode::kReadOwn || mode == Mode::kAppend;
    if (own && e == EINVAL) throw ForeignFile(e, "it is not a plain file (a device, a pipe or a socket)");
    if (!why.empty()) throw ForeignFile(e, why);
    throw OsError(e, SysErrorMessage(e));
  }
}

File::~File() {
  if (impl_->fd >= 0) ::close(impl_->fd);
}

std::uint64_t File::Size() {
  struct stat st{};
  if (::fstat(impl_->fd, &st) != 0) throw OsError(errno, SysErrorMessage(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::Read(void* buf, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(impl_->fd, buf, n);
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) throw OsError(errno, SysErrorMessage(errno));
  }
}

std::size_t File::ReadAt(std::uint64_t offset, void* buf, std::size_t n) {
  for (;;) {
    ssize_t r = ::pread(impl_->fd, buf, n, static_cast<off_t>(offset));
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno != EINTR) throw OsError(errno, SysErrorMessage(errno));
  }
}

void File::Write(const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = ::write(impl_->fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, SysErrorMessage(errno));
    }
    if (w == 0) throw OsError(ENOSPC, SysErrorMessage(ENOSPC));
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void File::Truncate(std::uint64_t size) {
  if (::ftruncate(impl_->fd, static_cast<off_t>(size)) != 0) throw OsError(errno, SysErrorMessage(errno));
}

void File::Sync() {
  if (::fsync(impl_->fd) != 0) throw OsError(errno, SysErrorMessage(errno));
}

namespace {
std::string DirectoryOf(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}
}  // namespace

void ReplaceFileAtomically(const std::string& source, const std::string& target) {
  if (::rename(source.c_str(), target.c_str()) != 0) throw OsError(errno, SysErrorMessage(errno));
  // Make the rename itself durable.
  int dfd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

std::vector<std::string> ListFolder(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  ::closedir(d);
  return out;
}

std::optional<std::uint64_t> FreeSpace(const std::string& dir) {
  struct statvfs vs{};
  if (::statvfs(dir.c_str(), &vs) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(vs.f_bavail) * vs.f_frsize;
}

struct InterProcessLock::Impl {
  int fd = -1;
  std::string problem;

  // Opens the lock file as it must be: a regular file of a trusted owner that no one else may
  // open. Returns -1 with `problem` set when it cannot be had.
  int Open(const std::string& lock_file) {
    const std::string dir = DirectoryOf(lock_file);
    struct stat ds{};
    if (::stat(dir.c_str(), &ds) != 0) return Fail(lock_file, errno);
    const uid_t me = ::geteuid();
    for (int attempt = 0; attempt < 3; ++attempt) {
      int f = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
      if (f < 0 && errno == ELOOP) {
        // A link under the lock's name: it goes, and a file of our own takes its place.
        if (::unlink(lock_file.c_str()) != 0 && errno != ENOENT) return Fail(lock_file, errno);
        continue;
      }
      if (f < 0) return Fail(lock_file, errno);
      struct stat st{};
      if (::fstat(f, &st) != 0) {
        const int e = errno;
        ::close(f);
        return Fail(lock_file, e);
      }
      const bool owner_ok = st.st_uid == 0 || st.st_uid == me || st.st_uid == ds.st_uid;
      if (S_ISREG(st.st_mode) && st.st_nlink == 1 && owner_ok && (st.st_mode & 077) == 0) {
        // Root makes the file the folder's owner's, so that an agent that runs as that account
        // (the package's own) can open it too.
        if (me == 0 && st.st_uid == 0 && ds.st_uid != 0) (void)::fchown(f, ds.st_uid, static_cast<gid_t>(-1));
        return f;
      }
      // Someone else's, or open to others (who may hold it open already): a new one replaces it.
      ::close(f);
      if (::unlink(lock_file.c_str()) != 0 && errno != ENOENT) return Fail(lock_file, errno);
    }
    problem = "the lock file " + lock_file + " keeps being replaced by another account";
    return -1;
  }

  int Fail(const std::string& lock_file, int e) {
    problem = "the lock file " + lock_file + " cannot be opened: " + SysErrorMessage(e);
    return -1;
  }
};

InterProcessLock::InterProcessLock(const std::string& lock_file, std::chrono::milliseconds wait)
    : impl_(std::make_unique<Impl>()) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    int f = impl_->Open(lock_file);
    if (f < 0) return;
    bool locked = false;
    for (;;) {
      if (::flock(f, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        impl_->Fail(lock_file, errno);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        impl_->problem = "the lock file " + lock_file + " was held by another process for more than " +
                         std::to_string(wait.count()) + " ms";
        break;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    if (!locked) {
      ::close(f);
      return;
    }
    // The file may have been replaced while this process waited for it: only the lock on the file
    // that is still there counts.
    struct stat held{}, now{};
    if (::fstat(f, &held) == 0 && ::lstat(lock_file.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
        held.st_ino == now.st_ino) {
      impl_->fd = f;
      impl_->problem.clear();
      return;
    }
    ::close(f);
    if (std::chrono::steady_clock::now() >= deadline) {
      impl_->problem = "the lock file " + lock_file + " keeps being replaced";
      return;
    }
  }
}

InterProcessLock::~InterProcessLock() {
  if (impl_->fd >= 0) ::close(impl_->fd);  // closing releases the lock
}

bool InterProcessLock::Held() const { return impl_->fd >= 0; }
const std::string& InterProcessLock::Problem() const { return impl_->problem; }

void WriteEventLog(const std::string& source, const messages::Text& entry) {
  // One entry of the kind's priority ("err", "warning", "info") under the source's name: syslog hands it to the journal under
  // systemd. A person running the agent in a terminal sees it on stderr as well; under systemd
  // stderr is the journal already. The journal shows a text holding a CR or bytes that are not
  // UTF-8 as a blob, so line breaks become plain LFs.
  const std::string& text = entry.str();
  std::string message;
  const std::string clean = text::SanitizeUtf8(text);
  for (std::size_t i = 0; i < clean.size(); ++i) {
    if (clean[i] == '\r') {
      message += '\n';
      if (i + 1 < clean.size() && clean[i + 1] == '\n') ++i;
    } else {
      message += clean[i];
    }
  }
  while (!message.empty() && message.back() == '\n') message.pop_back();
  static std::mutex mu;
  std::lock_guard lock(mu);
  static std::string ident;
  ident = source;
  const messages::EventKind kind = entry.entry().event_kind;
  int opts = LOG_PID;
  // What needs a person, on the terminal too; a start or stop only where the journal keeps it.
  if (!std::getenv("JOURNAL_STREAM") && kind != messages::EventKind::kInfo) opts |= LOG_PERROR;
  ::openlog(ident.c_str(), opts, LOG_DAEMON);
  ::syslog(kind == messages::EventKind::kInfo ? LOG_INFO : kind == messages::EventKind::kWarning ? LOG_WARNING : LOG_ERR,
           "%s", message.c_str());
  ::closelog();
}

void ShowMessage(const std::string& text, bool is_error) {
  std::FILE* out = is_error ? stderr : stdout;
  std::fprintf(out, "%s\n", text.c_str());
  std::fflush(out);
}

}  // namespace os
