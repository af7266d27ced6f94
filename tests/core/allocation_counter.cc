#include "allocation_counter.h"

#include <cstdlib>
#include <new>

namespace vorpel::testing {

thread_local bool g_counting = false;
thread_local std::size_t g_allocations = 0;

}  // namespace vorpel::testing

void* operator new(std::size_t size) {
  if (vorpel::testing::g_counting) ++vorpel::testing::g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line, so the compiler does not pair a free() with a visible new.
[[gnu::noinline]] static void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
