// What the status check and the cycle record need of the operating system, beside os.h: the local
// time of an instant, the process's id, and writing a report to whoever started the program.
//
// POSIX: status_io_posix.cpp; Windows: status_io_windows.cpp. Texts are UTF-8.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace os {

// An instant as the local wall clock shows it, with the offset from UTC then in effect.
struct ZonedTime {
  LocalTime local;
  int utc_offset_minutes = 0;  // local minus UTC: -180 for UTC-3
};
ZonedTime ToLocal(std::chrono::system_clock::time_point t);

int CurrentProcessId();

// Replaces `target` by `source` in one step (a reader sees the old file or the new one), without
// waiting for the disk, unlike ReplaceFileAtomically: after a power cut either may be found, or a
// spoilt one. For a file rewritten every few seconds that nothing depends on. Throws OsError.
void ReplaceFileUnsynced(const std::string& source, const std::string& target);

// Writes a report to the standard output: the console the program was started from (Windows:
// attached to when the program has none of its own; wide characters on a console, UTF-8 bytes with
// CR LF to a file or pipe), or whatever the output was redirected to. Line breaks are "\n".
// Returns false when it could not be written.
bool WriteStdout(std::string_view utf8);

// Ends the process at once with `code`, its output written: for a check whose thread still waits
// on a server that does not answer, which nothing may wait for.
[[noreturn]] void EndProcessNow(int code);

}  // namespace os
