#include <fstream>
#include <string>

#include "process_memory.h"

namespace centraltest {

namespace {

std::size_t StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::stoul(line.substr(prefix.size()));
  return 0;
}

}  // namespace

std::size_t ResidentBytes() { return StatusKb("VmRSS") * 1024; }
std::size_t PeakResidentBytes() { return StatusKb("VmHWM") * 1024; }

}  // namespace centraltest
