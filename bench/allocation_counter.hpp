// Counts heap allocations by replacing the global operator new, so a bench
// can show that a hot path allocates nothing once its buffers exist.
// Include it in exactly one file of a benchmark program.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench {
inline std::uint64_t allocations = 0;
}  // namespace bench

void* operator new(std::size_t size) {
    ++bench::allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
