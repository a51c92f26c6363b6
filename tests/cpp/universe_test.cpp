#include "core/universe.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "core/sectors.hpp"
#include "core/sha256.hpp"
#include "golden.hpp"

namespace corvane {
namespace {

std::string universe_digest(const std::vector<GeneratedInstrument>& universe) {
    Sha256 hash;
    for (const GeneratedInstrument& g : universe) {
        hash.update(g.ticker);
        hash.update(static_cast<unsigned char>(0));
        hash.update(g.sector);
        hash.update(static_cast<unsigned char>(0));
        for (double value : {g.initial_price, g.shares_outstanding, g.eps, g.book_value_per_share,
                             g.revenue_growth, g.avg_volume, g.beta, g.short_interest}) {
            hash.update_big_endian(value);
        }
    }
    return hash.finish_hex();
}

// The sector table lookup every other unit leans on. Market hours, the rate
// check and their messages are tested from the interpreter, where callers meet them.
TEST(SectorLookup, EveryKeyFindsItsOwnRowAndNearMissesNone) {
    for (const SectorSpec& spec : sectors::TABLE) EXPECT_EQ(sectors::by_key(spec.key), &spec);
    for (const char* key :
         {"Technology", " technology", "technology ", "", "utilitie", "utilitiez", "real estate"}) {
        EXPECT_EQ(sectors::by_key(key), nullptr) << key;
    }
}

TEST(RandomUniverse, PinnedDigest) {
    // Recorded once; any change to draw order, constants or exp shows here,
    // loss-making names (which take one extra draw) included.
    // Cross-checked against an independent model of the generator, which agreed
    // on every value except one where the host exp rounds a near-tie the other way.
    EXPECT_GOLDEN("universe_1000_seed_7_digest", universe_digest(random_universe(1000, 7)));
}

TEST(RandomUniverse, AStablePrefixAndTickersThatWrapAfterZzz) {
    auto small = random_universe(40, 3);
    auto large = random_universe(500, 3);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), large.begin()));
    EXPECT_TRUE(random_universe(0, 3).empty());
    EXPECT_EQ(ticker_for(17575), "ZZZ");
    EXPECT_EQ(ticker_for(17576), "AAA");
}

TEST(RandomUniverse, EveryInstrumentWithinItsRanges) {
    for (std::uint32_t seed : {0u, 1u, 99u, 4294967295u}) {
        SCOPED_TRACE(seed);
        auto universe = random_universe(2000, seed);
        std::size_t losses = 0;
        for (std::size_t i = 0; i < universe.size(); ++i) {
            const GeneratedInstrument& g = universe[i];
            const SectorSpec& spec = sectors::TABLE[i % 12];
            ASSERT_EQ(g.sector, spec.key);
            ASSERT_EQ(g.ticker, ticker_for(i));
            ASSERT_GE(g.initial_price, 3.0 * (1 - 1e-12));
            ASSERT_LT(g.initial_price, 600.0);
            double cap = g.initial_price * g.shares_outstanding;
            ASSERT_GE(cap, 2e8 * (1 - 1e-12));
            ASSERT_LT(cap, 2e12 * (1 + 1e-12));
            ASSERT_GE(g.avg_volume, 1000.0);
            ASSERT_GE(g.beta, 0.15);
            ASSERT_GE(g.short_interest, 0.004 * g.shares_outstanding * (1 - 1e-12));
            ASSERT_LE(g.short_interest, 0.3 * g.shares_outstanding * (1 + 1e-12));
            ASSERT_GT(g.book_value_per_share, 0.0);
            ASSERT_TRUE(std::isfinite(g.revenue_growth));
            ASSERT_NE(g.eps, 0.0);
            if (g.eps < 0.0) {
                ++losses;
                // Losses run from 1% to 9% of the price.
                ASSERT_LE(-g.eps, 0.09 * g.initial_price * (1 + 1e-12));
            } else {
                // Earnings yields between the sector's anchor multiple x 0.55 and x 1.6.
                double pe = g.initial_price / g.eps;
                ASSERT_GE(pe, 0.55 * spec.anchor_pe * (1 - 1e-12));
                ASSERT_LE(pe, 1.6 * spec.anchor_pe * (1 + 1e-12));
            }
        }
        // About one name in nine.
        EXPECT_GT(losses, 150u);
        EXPECT_LT(losses, 300u);
    }
}

InstrumentInit sample_instrument() {
    InstrumentInit init;
    init.ticker = "XYZ";
    init.sector = "technology";
    init.initial_price = 50.0;
    init.shares_outstanding = 1e6;
    return init;
}

// The refusals and their messages are checked from the interpreter.
TEST(InstrumentCheck, AcceptsBoundaryValuesAndEveryGeneratedInstrument) {
    InstrumentInit edges = sample_instrument();
    edges.avg_volume = -0.0;
    edges.beta = 0.0;
    // Short interest under one share reads as a fraction from a thousand shares up.
    using C = std::tuple<double, double, bool>;
    for (auto [shares, short_interest, ok] :
         {C{1000, 0.5, false}, C{999, 0.5, true}, C{1000, 1, true}, C{1e6, 1, true},
          C{1000, 0, true}, C{1e9, 0.999, false}}) {
        edges.shares_outstanding = shares;
        edges.short_interest = short_interest;
        EXPECT_EQ(check_instrument(edges).ok(), ok) << shares << " " << short_interest;
    }
    for (const auto& g : random_universe(300, 11)) ASSERT_TRUE(check_instrument(g.to_init()));
}

TEST(TickCompanyConversion, StartsFromTheDescriptionAndTheSector) {
    InstrumentInit init = sample_instrument();
    init.eps = 2.0;
    init.short_interest = 25000.0;
    auto company = init.to_tick_company(7);
    ASSERT_TRUE(company);
    TickCompany expected;
    expected.beta = 1.0;
    expected.price = expected.previous_close = expected.open = expected.high = expected.low = 50.0;
    expected.avg_volume = 1000000.0;
    expected.shares_outstanding = expected.float_shares = 1e6;
    expected.market_cap = 5e7;
    expected.garch_variance = 0.025 * 0.025;
    expected.variance_components.fill(0.025 * 0.025);
    expected.short_interest = 25000.0;
    expected.sector_volatility = 1.2;
    expected.sector_anchor_pe = 32.0;
    expected.eps = 2.0;
    expected.company_id = "XYZ-7";
    expected.name = "XYZ";
    expected.sector = "technology";
    EXPECT_EQ(*company, expected);

    InstrumentInit unchecked = sample_instrument();
    unchecked.sector = "nowhere";
    EXPECT_FALSE(unchecked.to_tick_company(0));
}

}  // namespace
}  // namespace corvane
