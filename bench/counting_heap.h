// Exact heap accounting for the benchmark programs: counting_heap.cpp
// replaces the global operator new and delete of the program that links it
// and keeps the bytes asked for by every live allocation.
#pragma once

#include <cstddef>

namespace counting_heap {

// Bytes of all allocations made through operator new and not yet deleted.
[[nodiscard]] std::size_t Live();

// The largest Live() since the last ResetPeak().
[[nodiscard]] std::size_t Peak();

// Starts a new peak from what is live now, and returns that.
std::size_t ResetPeak();

}  // namespace counting_heap
