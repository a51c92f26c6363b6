#include "core/fair_value.hpp"

#include <cmath>

#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/text.hpp"
#include "core/units.hpp"

namespace corvane {
namespace {

// A floor that a NaN survives: the comparison fails and the NaN is kept.
double at_least(double value, double floor) { return value < floor ? floor : value; }

Status check_finite(std::string_view name, const std::optional<double>& value) {
    if (!value || std::isfinite(*value)) return Status::success();
    return Error{text::message(name, " must be finite, got ", *value)};
}

}  // namespace

FairValue fair_value(const FairValueInputs& inputs) {
    double r = inputs.rate_pct / 100.0;
    double anchor = inputs.sector_anchor_pe;
    if (anchor == 0.0 || std::isnan(anchor)) anchor = DEFAULT_SECTOR_ANCHOR_PE;

    FairValue value;
    value.sector_anchor_pe = anchor;
    if (inputs.eps && *inputs.eps > 0.0) {
        double growth = inputs.revenue_growth.value_or(0.0);
        double positive_growth = growth > 0.0 ? growth : 0.0;
        // g + g is exactly GROWTH_DURATION_SCALE * g; the sum is the recorded form.
        static_assert(GROWTH_DURATION_SCALE == 2.0);
        double rate_adjustment = ((r + (-NEUTRAL_DISCOUNT_RATE)) * (-RATE_PE_SENSITIVITY)) *
                                     ((positive_growth + positive_growth) + 1.0) +
                                 1.0;
        value.rate_adjustment = at_least(rate_adjustment, RATE_ADJUSTMENT_FLOOR);
        value.qe_adjustment = inputs.qe_pe_boost ? 1.0 + *inputs.qe_pe_boost : 1.0;
        value.target_pe = (anchor * value.rate_adjustment) * value.qe_adjustment;
        value.fair_value = at_least(*inputs.eps * value.target_pe, FAIR_VALUE_FLOOR);
        value.book_value_path = false;
        return value;
    }
    double book = inputs.book_value_per_share
                      ? *inputs.book_value_per_share * LOSS_MAKING_PRICE_TO_BOOK
                      : 0.0;
    value.fair_value = at_least(book, FAIR_VALUE_FLOOR);
    value.target_pe = 0.0;
    value.rate_adjustment = 1.0;
    value.qe_adjustment = 1.0;
    value.book_value_path = true;
    return value;
}

Result<FairValue> fair_value(const FairValueArgs& args) {
    const SectorSpec* spec = sectors::by_key(args.sector);
    if (!spec) return Error{sectors::unknown_sector_message(args.sector)};
    for (const Status& status : {
             check_finite("eps", args.eps),
             check_finite("book_value_per_share", args.book_value_per_share),
             check_finite("revenue_growth", args.revenue_growth),
             check_finite("qe_pe_boost", args.qe_pe_boost),
         }) {
        if (!status) return Error{status.error()};
    }
    auto policy = units::check_rate("federal_funds_rate", args.federal_funds_rate);
    if (!policy) return Error{policy.error()};
    if (args.corporate_bond_yield) {
        auto yield = units::check_rate("corporate_bond_yield", *args.corporate_bond_yield);
        if (!yield) return Error{yield.error()};
    }
    // Into the economy's percent, as the tick's fair value sees its rates.
    double rate_pct = args.corporate_bond_yield ? *args.corporate_bond_yield * 100.0
                                                : args.federal_funds_rate * 100.0;
    return fair_value(FairValueInputs{args.eps, spec->anchor_pe, args.revenue_growth, rate_pct,
                                      args.qe_pe_boost, args.book_value_per_share});
}

std::string to_text(const FairValue& value) {
    return text::message("FairValue(fair_value=", text::fixed(value.fair_value, 4),
                         ", target_pe=", text::fixed(value.target_pe, 4),
                         ", book_value_path=", value.book_value_path ? "true" : "false", ")");
}

}  // namespace corvane
