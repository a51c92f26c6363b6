// Allocation failures that say what could not be allocated. The core never
// raises for a refusal, but a buffer sized from a caller's numbers can be
// too large for the machine; the binding turns this into a MemoryError with
// the message, where a plain std::bad_alloc carries none.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace corvane {

class AllocationFailure : public std::bad_alloc {
public:
    explicit AllocationFailure(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// The machine's physical memory in bytes, or 0 where it cannot be told. A
// buffer larger than this would be granted by an overcommitting kernel and
// then killed while it is filled, so sizes from a caller are held to it.
std::uint64_t physical_memory_bytes() noexcept;

}  // namespace corvane
