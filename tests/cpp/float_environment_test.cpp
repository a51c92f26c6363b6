#include "core/float_environment.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

#include "core/generator.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace corvane {
namespace {

double normals_sum() {
    auto rng = GameRng::create(17, 3);
    double sum = 0.0;
    for (int i = 0; i < 1000; ++i) sum = sum + rng.next_normal();
    // A subnormal product: flushed to zero under flush-to-zero.
    volatile double tiny = 1e-300;
    return sum + (tiny * 1e-15 > 0.0 ? 1.0 : 0.0);
}

TEST(IeeeEnvironmentScope, ResultsIgnoreTheCallersEnvironment) {
    const double expected = normals_sum();
    std::fesetround(FE_UPWARD);
#if defined(__x86_64__)
    const unsigned flush_and_daz = 0x8040u;
    _mm_setcsr(_mm_getcsr() | flush_and_daz);
#endif
    const double unguarded = normals_sum();
    double guarded = 0.0;
    {
        IeeeEnvironmentScope scope;
        EXPECT_TRUE(scope.switched());
        guarded = normals_sum();
    }
    // The caller's environment is back afterwards.
    EXPECT_EQ(std::fegetround(), FE_UPWARD);
#if defined(__x86_64__)
    EXPECT_EQ(_mm_getcsr() & flush_and_daz, flush_and_daz);
    _mm_setcsr(_mm_getcsr() & ~flush_and_daz);
#endif
    std::fesetround(FE_TONEAREST);

    EXPECT_NE(unguarded, expected);
    EXPECT_EQ(guarded, expected);
    IeeeEnvironmentScope untouched;
    EXPECT_FALSE(untouched.switched());
}

}  // namespace
}  // namespace corvane
