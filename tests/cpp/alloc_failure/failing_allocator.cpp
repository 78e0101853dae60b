// Replaces the global operator new and delete of this program (see
// failing_allocator.h). The memory itself comes from malloc, so the
// sanitizers still see every block.
#include "failing_allocator.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace alloc_failure {
namespace {

thread_local uint64_t g_countdown = 0;  // 0: not armed
thread_local bool g_failed = false;

// True when this allocation is the one to fail.
bool fails_now() noexcept {
  if (g_countdown == 0) return false;
  if (--g_countdown != 0) return false;
  g_failed = true;
  return true;
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (fails_now()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* p = nullptr;
  return ::posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* p = allocate(size, alignment);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

void fail_nth_allocation(uint64_t n) {
  g_failed = false;
  g_countdown = n;
}

bool disarm() {
  g_countdown = 0;
  return g_failed;
}

}  // namespace alloc_failure

using alloc_failure::allocate;
using alloc_failure::allocate_or_throw;
constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
