// libFuzzer target for the cycle record as the status check reads it: any bytes in
// Tavrimondo_cycle.json (a file others may write) are either refused with std::runtime_error or
// kept as the record's known fields only, which the check's text and JSON forms then show. Deep
// nesting, huge numbers, broken UTF-8 and control characters included; a crash, a stack
// overflow, another exception or control characters reaching the text form are findings.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "replication/cycle_record.h"
#include "service/status_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string safe;
  try {
    safe = replication::SafeCycleRecord(text);
  } catch (const std::runtime_error&) {
    return 0;
  }
  service::status::StatusResult r;
  r.record_exists = true;
  r.record_text = safe;
  r.service.known = true;
  r.service.state = "running";
  const std::string shown = service::status::FormatText(r);
  for (unsigned char c : shown)
    if ((c < 0x20 && c != '\n') || c == 0x7F) __builtin_trap();
  (void)service::status::FormatJson(r);
  return 0;
}
