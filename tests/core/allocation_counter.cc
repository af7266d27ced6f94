#include "allocation_counter.h"

#include <cstdlib>
#include <new>

namespace vorpel::testing {
namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;
thread_local std::size_t allocation_bytes = 0;

}  // namespace

void count_allocation(std::size_t size) {
  if (!counting) return;
  ++allocations;
  allocation_bytes += size;
}

void start_counting_allocations() {
  allocations = 0;
  allocation_bytes = 0;
  counting = true;
}

std::size_t stop_counting_allocations() {
  counting = false;
  return allocations;
}

std::size_t counted_allocation_bytes() { return allocation_bytes; }

}  // namespace vorpel::testing

void* operator new(std::size_t size) {
  vorpel::testing::count_allocation(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line, so the compiler does not pair a free() with a visible new.
[[gnu::noinline]] static void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
// The nothrow forms too, so that every new handed to a library (Arrow's JSON
// reader allocates with new(std::nothrow)) is paired with the delete above.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  vorpel::testing::count_allocation(size);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
