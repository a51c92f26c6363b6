// Values pinned once in tests/data/golden.csv and read by both the C++ and
// the Python tests, so a deliberate change is made in one place.
#pragma once

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

}  // namespace corvane::test
