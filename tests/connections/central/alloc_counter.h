// Counts the bytes that one thread holds allocated through operator new, for tests of memory
// budgets. A binary that links alloc_counter.cpp replaces the global operator new and delete.
#pragma once

#include <cstddef>

namespace alloccount {

// Starts counting on the calling thread; the peak is measured from what is allocated now.
void Start();
// Stops counting on the calling thread.
void Stop();
// The most the counted thread held at once since Start, beyond what it held at Start.
std::size_t Peak();

}  // namespace alloccount
