#pragma once
// Counts the heap allocations the current thread makes between
// start_counting_allocations() and stop_counting_allocations(), and the bytes
// they ask for; for tests that assert a path allocates nothing, or nothing
// of the size of the data it hands over. Linking the `vorpel_allocation_counter`
// object library replaces the global operator new. The state is reached only
// through these functions (a thread_local defined in another file and read
// directly was null under the sanitizers' build).

#include <cstddef>

namespace vorpel::testing {

void start_counting_allocations();
// Stops counting and returns the number of allocations since the start.
std::size_t stop_counting_allocations();
// The bytes those allocations asked for (read after stopping).
std::size_t counted_allocation_bytes();
// Called by the replacement operator new.
void count_allocation(std::size_t size);

}  // namespace vorpel::testing
