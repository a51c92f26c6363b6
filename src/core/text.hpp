// Numbers and strings as text, for every message and repr in the system.
//
// All rendering goes through these functions so that the same double prints
// the same way everywhere: shortest round-trip decimal, never an exponent,
// no locale.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::text {

// Shortest decimal that reads back to the same double, without exponent;
// a whole number has no fractional part: "5", "0.05", "-0", "NaN", "inf".
std::string number(double value);

// As `number`, but a finite whole number keeps ".0" ("10.0").
std::string debug_number(double value);

// Exactly `decimals` digits after the point, rounded to nearest:
// "67.8400"; "NaN", "inf" and "-inf" as in `number`.
std::string fixed(double value, int decimals);

// "Some(<debug number>)" or "None".
std::string debug_optional(const std::optional<double>& value);

// At most this many characters of a quoted text are shown.
inline constexpr std::size_t QUOTED_CHARACTERS = 200;

// The text in double quotes with backslash escapes for quotes, backslashes
// and control characters; past QUOTED_CHARACTERS characters it is cut and
// ends in an ellipsis.
std::string quoted(std::string_view value);

// "Some(<quoted>)" or "None".
std::string quoted_optional(const std::optional<std::string>& value);

// Lowercase hex of raw bytes.
std::string hex(const unsigned char* data, std::size_t size);

namespace detail {
inline void append(std::string& out, std::string_view piece) { out.append(piece); }
inline void append(std::string& out, const std::string& piece) { out.append(piece); }
inline void append(std::string& out, const char* piece) { out.append(piece); }
inline void append(std::string& out, char piece) { out.push_back(piece); }
inline void append(std::string& out, double value) { out.append(number(value)); }
template <class Integer>
requires std::is_integral_v<Integer>
void append(std::string& out, Integer value) { out.append(std::to_string(value)); }
}  // namespace detail

// Builds a message from pieces: strings as they are, doubles by `number`,
// integers in decimal. The one way messages are put together.
template <class... Pieces>
std::string message(const Pieces&... pieces) {
    std::string out;
    (detail::append(out, pieces), ...);
    return out;
}

// Joins items with ", ".
template <class Range>
std::string join(const Range& items) {
    std::string out;
    bool first = true;
    for (const auto& item : items) {
        if (!first) out.append(", ");
        detail::append(out, item);
        first = false;
    }
    return out;
}

}  // namespace corvane::text
