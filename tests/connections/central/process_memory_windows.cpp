#include <windows.h>
#include <psapi.h>

#include "process_memory.h"

namespace centraltest {

namespace {

PROCESS_MEMORY_COUNTERS Counters() {
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &c, sizeof c);
  return c;
}

}  // namespace

std::size_t ResidentBytes() { return Counters().WorkingSetSize; }
std::size_t PeakResidentBytes() { return Counters().PeakWorkingSetSize; }

}  // namespace centraltest
