// Replaces the global allocation functions of a benchmark program. Each block
// carries the size it was asked for in a header, so that an unsized delete
// can take it off the count too; the count is of bytes asked for, not of what
// the C runtime's heap adds around them.
//
// The over-aligned forms are left to the runtime: nothing measured here asks
// for more than the default alignment, and their own new and delete pair up.
#include "bench/counting_heap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace counting_heap {
namespace {

// The header keeps every block at the alignment operator new promises.
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
static_assert(kHeader >= sizeof(std::size_t));

std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};

void* Allocate(std::size_t size) {
  if (size > static_cast<std::size_t>(-1) - kHeader) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  const std::size_t now = live.fetch_add(size, std::memory_order_relaxed) + size;
  std::size_t highest = peak.load(std::memory_order_relaxed);
  while (now > highest && !peak.compare_exchange_weak(highest, now, std::memory_order_relaxed)) {
  }
  return block + kHeader;
}

void Release(void* pointer) {
  if (pointer == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof(size));
  live.fetch_sub(size, std::memory_order_relaxed);
  std::free(block);
}

// Nothing in the programs that link this catches: a failed allocation ends
// the run, as an uncaught std::bad_alloc would.
void* AllocateOrAbort(std::size_t size) {
  void* pointer = Allocate(size);
  if (pointer == nullptr) std::abort();
  return pointer;
}

}  // namespace

std::size_t Live() { return live.load(std::memory_order_relaxed); }

std::size_t Peak() { return peak.load(std::memory_order_relaxed); }

std::size_t ResetPeak() {
  const std::size_t now = Live();
  peak.store(now, std::memory_order_relaxed);
  return now;
}

}  // namespace counting_heap

void* operator new(std::size_t size) { return counting_heap::AllocateOrAbort(size); }
void* operator new[](std::size_t size) { return counting_heap::AllocateOrAbort(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counting_heap::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counting_heap::Allocate(size);
}

void operator delete(void* pointer) noexcept { counting_heap::Release(pointer); }
void operator delete[](void* pointer) noexcept { counting_heap::Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counting_heap::Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counting_heap::Release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  counting_heap::Release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  counting_heap::Release(pointer);
}
