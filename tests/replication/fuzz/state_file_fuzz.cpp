// libFuzzer target for the state file's reader: any bytes in Tavrimondo_Estado.txt (a file a power
// cut spoilt, or one someone made) give a state or StateFileError, in time and memory bounded by
// the input. Any other exception, a crash or a sanitizer's report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "replication/replication_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    (void)replication::StateFile::Parse(text);
  } catch (const replication::StateFileError&) {
  }
  return 0;
}
