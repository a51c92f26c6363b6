#include "core/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane {
namespace {

// The everyday forms (5, 0.05, -0, NaN, inf, -inf, Some(10.0), None, a quoted
// name with quotes and backslashes) are read word for word in the
// interpreter's messages and reprs; here, the edges those never reach.
TEST(NumberText, ShortestRoundTripWithoutExponentAndNonFiniteWords) {
    EXPECT_EQ(text::number(0.0000001), "0.0000001");
    EXPECT_EQ(text::number(1e22), "10000000000000000000000");
    EXPECT_EQ(text::number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(text::number(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(text::number(std::numeric_limits<double>::max()).size(), 309u);
    EXPECT_EQ(text::number(-std::nan("")), "NaN");
}

TEST(NumberText, DebugFormKeepsAFraction) {
    EXPECT_EQ(text::debug_number(-0.0), "-0.0");
    EXPECT_EQ(text::debug_number(0.25), "0.25");
    EXPECT_EQ(text::debug_number(INFINITY), "inf");
}

TEST(QuotedText, EscapesControlsAndKeepsUtf8) {
    EXPECT_EQ(text::quoted("\n\t\x01"), "\"\\n\\t\\u{1}\"");
    EXPECT_EQ(text::quoted("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

}  // namespace
}  // namespace corvane
