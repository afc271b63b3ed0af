// The memory the test process holds, as the operating system counts it (for reports).
#pragma once

#include <cstddef>

namespace centraltest {

// Resident now, and the most resident so far (VmRSS / VmHWM; working set / peak working set).
std::size_t ResidentBytes();
std::size_t PeakResidentBytes();

}  // namespace centraltest
