#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/status_io.h"

namespace os {

ZonedTime ToLocal(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  int millis = static_cast<int>(ms % 1000);
  if (millis < 0) {  // before 1970: floor, not truncate
    millis += 1000;
    --secs;
  }
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  ZonedTime z;
  z.local = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis};
  z.utc_offset_minutes = static_cast<int>(tm.tm_gmtoff / 60);
  return z;
}

int CurrentProcessId() { return static_cast<int>(::getpid()); }

void ReplaceFileUnsynced(const std::string& source, const std::string& target) {
  if (::rename(source.c_str(), target.c_str()) != 0) throw OsError(errno, SysErrorMessage(errno));
}

bool WriteStdout(std::string_view utf8) {
  const bool ok = std::fwrite(utf8.data(), 1, utf8.size(), stdout) == utf8.size();
  return (std::fflush(stdout) == 0) && ok;
}

void EndProcessNow(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(code);
}

}  // namespace os
