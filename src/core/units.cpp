#include "core/units.hpp"

#include <cmath>
#include <string>

#include "core/text.hpp"

namespace corvane::units {

Result<double> check_rate(std::string_view name, double fraction) {
    if (std::isnan(fraction)) return Error{text::message(name, " is NaN")};
    if (fraction >= MIN_RATE_FRACTION && fraction <= MAX_RATE_FRACTION) return fraction;
    std::string hint;
    if (fraction > 1.0 && fraction <= 100.0) {
        hint = text::message(" - this looks like a percent value. Rates are FRACTIONAL here: pass ",
                             fraction / 100.0, " for ", fraction, "%.");
    }
    return Error{
        text::message(name, " = ", fraction, " is outside the plausible range [-0.05, 0.5]", hint)};
}

}  // namespace corvane::units
