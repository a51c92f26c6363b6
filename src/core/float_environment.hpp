// The host process can leave the floating-point environment in a state that
// changes our results: a library built with fast-math switches on
// flush-to-zero and denormals-are-zero when it loads, and any caller may
// change the rounding mode. Every simulation runs inside this scope, which
// installs the IEEE default environment and restores the caller's on exit.
#pragma once

#include <cfenv>
#include <cstdint>

namespace corvane {

class IeeeEnvironmentScope {
public:
    IeeeEnvironmentScope() noexcept;
    ~IeeeEnvironmentScope();
    IeeeEnvironmentScope(const IeeeEnvironmentScope&) = delete;
    IeeeEnvironmentScope& operator=(const IeeeEnvironmentScope&) = delete;

    // Whether the caller's environment differed and was replaced.
    bool switched() const noexcept { return switched_; }

private:
#if defined(__x86_64__) || defined(_M_X64)
    std::uint32_t saved_csr_ = 0;
#else
    std::fenv_t saved_{};
#endif
    bool switched_ = false;
};

}  // namespace corvane
