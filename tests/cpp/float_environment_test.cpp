#include "core/float_environment.hpp"

#include <gtest/gtest.h>

#include <cfenv>
#include <vector>

#include "core/digest.hpp"
#include "core/generator.hpp"
#include "engine_fixture.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace corvane {
namespace {

constexpr unsigned FLUSH_AND_DAZ = 0x8040u;

// Rounding upward plus flush-to-zero and denormals-are-zero, as a host
// library built with fast-math may leave them.
class HostileFloatingPoint {
public:
    HostileFloatingPoint() {
        std::fesetround(FE_UPWARD);
#if defined(__x86_64__)
        saved_ = _mm_getcsr();
        _mm_setcsr(saved_ | FLUSH_AND_DAZ);
#endif
    }
    ~HostileFloatingPoint() {
#if defined(__x86_64__)
        _mm_setcsr(saved_);
#endif
        std::fesetround(FE_TONEAREST);
    }
    // Whether the caller's environment is still the hostile one.
    static bool in_force() {
#if defined(__x86_64__)
        if ((_mm_getcsr() & FLUSH_AND_DAZ) != FLUSH_AND_DAZ) return false;
#endif
        return std::fegetround() == FE_UPWARD;
    }

private:
    unsigned saved_ = 0;
};

double normals_sum() {
    auto rng = GameRng::create(17, 3);
    double sum = 0.0;
    for (int i = 0; i < 1000; ++i) sum = sum + rng.next_normal();
    // A subnormal product: flushed to zero under flush-to-zero.
    volatile double tiny = 1e-300;
    return sum + (tiny * 1e-15 > 0.0 ? 1.0 : 0.0);
}

std::vector<double> two_days(Engine engine) {
    SessionBuffer buffer;
    SessionRequest session;
    session.ticks = 390;
    for (std::uint32_t day = 1; day <= 2; ++day) {
        engine.open_market();
        (void)engine.run_session(session, buffer).ok();
        engine.close_day(day);
    }
    std::vector<double> state = testing::prices(engine);
    state.push_back(engine.economy().vix);
    state.push_back(engine.market().variance);
    return state;
}

TEST(IeeeEnvironmentScope, ResultsIgnoreTheCallersEnvironment) {
    const double expected = normals_sum();
    Engine engine = testing::make_engine(15, {}, 5);
    std::vector<double> reference = two_days(engine);
    auto digest = fixed_simulation_digest({12, 1, 2, 2, 390}, "kx-v3");
    ASSERT_TRUE(digest.ok());
    HostileFloatingPoint hostile;
    EXPECT_NE(normals_sum(), expected);
    {
        IeeeEnvironmentScope scope;
        EXPECT_TRUE(scope.switched());
        EXPECT_EQ(normals_sum(), expected);
        IeeeEnvironmentScope nested;
        EXPECT_FALSE(nested.switched());
    }
    // Engine days and the digest enter the scope themselves.
    EXPECT_EQ(two_days(engine), reference);
    EXPECT_EQ(fixed_simulation_digest({12, 1, 2, 2, 390}, "kx-v3").value(), *digest);
    EXPECT_TRUE(HostileFloatingPoint::in_force());
}

}  // namespace
}  // namespace corvane
