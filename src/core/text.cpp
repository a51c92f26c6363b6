#include "core/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace corvane::text {

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed format without a precision is the shortest round-trip form; the
    // largest double written out is 309 digits.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

std::string debug_number(double value) {
    std::string out = number(value);
    if (std::isfinite(value) && out.find('.') == std::string::npos) out.append(".0");
    return out;
}

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) return number(value);
    char buffer[400];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    // Only an absurd digit count overflows the buffer.
    if (result.ec != std::errc{}) return number(value);
    return std::string(buffer, result.ptr);
}

std::string debug_optional(const std::optional<double>& value) {
    return value ? message("Some(", debug_number(*value), ")") : std::string("None");
}

std::string quoted(std::string_view value) {
    std::string out;
    out.reserve(std::min(value.size(), QUOTED_CHARACTERS * 4) + 8);
    out.push_back('"');
    std::size_t characters = 0;
    for (char c : value) {
        // A caller's text can be any length; a message quotes enough of it
        // to recognise. Count code points, cutting only before one starts.
        bool starts_character = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (starts_character && characters++ == QUOTED_CHARACTERS) {
            out.append("\u2026");
            break;
        }
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\0': out.append("\\0"); break;
            default: {
                auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte == 0x7f) {
                    char escape[8] = {'\\', 'u', '{'};
                    char* end = std::to_chars(escape + 3, escape + 6, byte, 16).ptr;
                    *end++ = '}';
                    out.append(escape, static_cast<std::size_t>(end - escape));
                } else {
                    out.push_back(c);
                }
            }
        }
    }
    out.push_back('"');
    return out;
}

std::string quoted_optional(const std::optional<std::string>& value) {
    return value ? message("Some(", quoted(*value), ")") : std::string("None");
}

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = DIGITS[data[i] >> 4];
        out[2 * i + 1] = DIGITS[data[i] & 0x0f];
    }
    return out;
}

}  // namespace corvane::text
