#include "core/float_environment.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace corvane {

#if defined(__x86_64__) || defined(_M_X64)

namespace {
// Rounding control, flush-to-zero and denormals-are-zero; the exception
// masks and sticky flags do not change results.
constexpr std::uint32_t CONTROL_BITS = 0x6000u | 0x8000u | 0x0040u;
constexpr std::uint32_t IEEE_DEFAULT_CONTROL = 0;
}  // namespace

// Reading MXCSR costs a few cycles, so the common case (already default)
// leaves everything alone. SSE2 arithmetic ignores the x87 control word.
IeeeEnvironmentScope::IeeeEnvironmentScope() noexcept {
    saved_csr_ = _mm_getcsr();
    if ((saved_csr_ & CONTROL_BITS) != IEEE_DEFAULT_CONTROL) {
        _mm_setcsr((saved_csr_ & ~CONTROL_BITS) | IEEE_DEFAULT_CONTROL);
        switched_ = true;
    }
}

IeeeEnvironmentScope::~IeeeEnvironmentScope() {
    if (switched_) _mm_setcsr((_mm_getcsr() & ~CONTROL_BITS) | (saved_csr_ & CONTROL_BITS));
}

#else

IeeeEnvironmentScope::IeeeEnvironmentScope() noexcept {
    // Elsewhere the portable interface: the default environment has
    // round-to-nearest and no flushing on every platform we build for.
    if (std::fegetenv(&saved_) == 0) {
        switched_ = std::fesetenv(FE_DFL_ENV) == 0;
    }
}

IeeeEnvironmentScope::~IeeeEnvironmentScope() {
    if (switched_) std::fesetenv(&saved_);
}

#endif

}  // namespace corvane
