// The sector table lookup every other unit leans on. Market hours, the rate
// check and their messages are tested from the interpreter, where callers
// meet them.
#include <gtest/gtest.h>

#include "core/sectors.hpp"

namespace corvane {
namespace {

TEST(SectorLookup, EveryKeyFindsItsOwnRowAndNearMissesNone) {
    for (const SectorSpec& spec : sectors::TABLE) EXPECT_EQ(sectors::by_key(spec.key), &spec);
    for (const char* key :
         {"Technology", " technology", "technology ", "", "utilitie", "utilitiez", "real estate"}) {
        EXPECT_EQ(sectors::by_key(key), nullptr) << key;
    }
}

}  // namespace
}  // namespace corvane
