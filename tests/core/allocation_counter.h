#pragma once
// Counts the heap allocations the current thread makes while counting is on;
// for tests that assert a path allocates nothing. Linking the
// `vorpel_allocation_counter` object library replaces the global operator new.

#include <cstddef>

namespace vorpel::testing {

extern thread_local bool g_counting;
extern thread_local std::size_t g_allocations;

}  // namespace vorpel::testing
