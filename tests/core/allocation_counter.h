#pragma once
// Counts the heap allocations the current thread makes between
// start_counting_allocations() and stop_counting_allocations(); for tests that
// assert a path allocates nothing. Linking the `vorpel_allocation_counter`
// object library replaces the global operator new. The state is reached only
// through these functions (a thread_local defined in another file and read
// directly was null under the sanitizers' build).

#include <cstddef>

namespace vorpel::testing {

void start_counting_allocations();
// Stops counting and returns the number of allocations since the start.
std::size_t stop_counting_allocations();
// Called by the replacement operator new.
void count_allocation();

}  // namespace vorpel::testing
