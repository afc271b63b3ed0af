#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Each block carries a header with its size and whether it was counted, so that a block freed on
// another thread, or after Stop, is taken off the right total.
struct alignas(std::max_align_t) Header {
  std::size_t size;
  bool counted;
};

std::atomic<std::size_t> current{0};
std::atomic<std::size_t> peak{0};
std::atomic<std::size_t> base{0};
thread_local bool tracking = false;

void* Allocate(std::size_t size) {
  void* p = std::malloc(sizeof(Header) + size);
  if (!p) return nullptr;
  Header* h = static_cast<Header*>(p);
  h->size = size;
  h->counted = tracking;
  if (tracking) {
    std::size_t now = current.fetch_add(size) + size;
    std::size_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  return h + 1;
}

void Free(void* p) noexcept {
  if (!p) return;
  Header* h = static_cast<Header*>(p) - 1;
  if (h->counted) current.fetch_sub(h->size);
  std::free(h);
}

}  // namespace

namespace alloccount {

void Start() {
  tracking = true;
  base = current.load();
  peak = current.load();
}

void Stop() { tracking = false; }

std::size_t Peak() { return peak.load() - base.load(); }

}  // namespace alloccount

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
