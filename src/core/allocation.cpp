#include "core/allocation.hpp"

#include <unistd.h>

namespace corvane {

namespace {

std::uint64_t ask_the_system() noexcept {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) {
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }
#endif
    return 0;
}

}  // namespace

std::uint64_t physical_memory_bytes() noexcept {
    // Asked once: every session checks its buffers against it, and asking
    // is a system call, dear beside a session of a few ticks.
    static const std::uint64_t bytes = ask_the_system();
    return bytes;
}

}  // namespace corvane
