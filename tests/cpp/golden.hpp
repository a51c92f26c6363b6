// Values pinned once in tests/data/golden.csv and read by both the C++ and
// the Python tests, so a deliberate change is made in one place.
//
// `tools/repin.py` re-pins them after an intended model change: it runs the
// suite with CORVANE_REPIN naming a file, where every golden comparison
// writes the value it saw (and passes), then merges that file into the table
// and prints what changed.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace corvane::test {

// The value of row `name`; a missing row gives a text no real value equals.
inline std::string golden(std::string_view name) {
    std::ifstream in(CORVANE_TEST_DATA_DIR "/golden.csv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ',') {
            return line.substr(name.size() + 1);
        }
    }
    return "no golden value " + std::string(name);
}

// `actual`, to compare with golden(name); while re-pinning, it is written
// down and the pinned value returned in its place.
inline std::string observed(std::string_view name, const std::string& actual) {
    const char* repin = std::getenv("CORVANE_REPIN");
    if (repin == nullptr) return actual;
    std::ofstream(repin, std::ios::app) << name << ',' << actual << '\n';
    return golden(name);
}

}  // namespace corvane::test

// Expects `actual` to equal the pinned value of `name`.
#define EXPECT_GOLDEN(name, actual) \
    EXPECT_EQ(::corvane::test::observed(name, actual), ::corvane::test::golden(name))
