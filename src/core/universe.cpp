#include "core/universe.hpp"

#include <cmath>

#include "core/generator.hpp"
#include "core/maths.hpp"
#include "core/sectors.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

// Below this many shares a short interest under one share is plausible.
constexpr double FRACTION_CHECK_MIN_SHARES = 1000.0;

Status check_positive(std::string_view name, double value) {
    if (std::isfinite(value) && value > 0.0) return Status::success();
    return Error{text::message(name, " must be finite and greater than zero, got ", value)};
}

Status check_not_negative(std::string_view name, double value) {
    if (std::isfinite(value) && value >= 0.0) return Status::success();
    return Error{text::message(name, " must be finite and not negative, got ", value)};
}

Status check_finite(std::string_view name, const std::optional<double>& value) {
    if (!value || std::isfinite(*value)) return Status::success();
    return Error{text::message(name, " must be finite, got ", *value)};
}

// A floor that a NaN does not survive: the floor is taken instead.
double floored(double value, double floor) { return value >= floor ? value : floor; }

// Log-uniform ranges of the generator, as (log span, log low) pairs.
constexpr double CAP_LOG_SPAN = 9.210340371976184;  // 2e8 to 2e12
constexpr double CAP_LOG_LOW = 19.11382792451231;
constexpr double PRICE_LOG_SPAN = 5.298317366548037;  // 3 to 600
constexpr double PRICE_LOG_LOW = 1.0986122886681096;
constexpr double SHORT_LOG_SPAN = 4.31748811353631;  // 0.4% to 30% of the shares
constexpr double SHORT_LOG_LOW = -5.521460917862246;
// About one name in nine loses money.
constexpr double LOSS_MAKING_BELOW = 0.11;
// One unit in the last place above 0.75; the published universes depend on it.
constexpr double BETA_SPREAD = 0.7500000000000001;

}  // namespace

Result<TickCompany> InstrumentInit::to_tick_company(std::size_t id) const {
    const SectorSpec* spec = sectors::by_key(sector);
    if (!spec) return Error{sectors::unknown_sector_message(sector)};
    double base_variance = spec->daily_sigma * spec->daily_sigma;

    TickCompany company;
    company.company_id = text::message(ticker, "-", id);
    company.name = ticker;
    company.sector = std::string(spec->key);
    company.price = initial_price;
    company.previous_close = initial_price;
    company.open = initial_price;
    company.high = initial_price;
    company.low = initial_price;
    company.volume = 0.0;
    company.avg_volume = avg_volume;
    company.shares_outstanding = shares_outstanding;
    company.short_interest = short_interest;
    company.float_shares = shares_outstanding;
    company.market_cap = initial_price * shares_outstanding;
    company.garch_variance = base_variance;
    company.variance_components.fill(base_variance);
    company.beta = beta;
    company.sector_volatility = spec->volatility;
    company.sector_anchor_pe = spec->anchor_pe;
    company.eps = eps;
    company.book_value_per_share = book_value_per_share;
    company.revenue_growth = revenue_growth;
    return company;
}

Status check_instrument(const InstrumentInit& instrument) {
    if (!sectors::by_key(instrument.sector)) {
        return Error{sectors::unknown_sector_message(instrument.sector)};
    }
    for (const Status& status : {
             check_positive("initial_price", instrument.initial_price),
             check_positive("shares_outstanding", instrument.shares_outstanding),
             check_not_negative("avg_volume", instrument.avg_volume),
             check_not_negative("beta", instrument.beta),
             check_not_negative("short_interest", instrument.short_interest),
         }) {
        if (!status) return status;
    }
    // The squeeze rule divides short interest by the float, so a fraction
    // passed here would silently mean almost no shares short.
    double si = instrument.short_interest;
    double shares = instrument.shares_outstanding;
    if (shares >= FRACTION_CHECK_MIN_SHARES && si > 0.0 && si < 1.0) {
        return Error{text::message(
            "short_interest = ", si,
            " looks like a fraction, but it is a SHARE COUNT: the squeeze rule divides it by the "
            "float. If you meant ",
            si * 100.0, "% of ", shares, " shares, pass ", shares * si,
            ". Values between 0 and 1 are refused because a fractional short position is never "
            "what anyone means.")};
    }
    for (const Status& status : {
             check_finite("eps", instrument.eps),
             check_finite("book_value_per_share", instrument.book_value_per_share),
             check_finite("revenue_growth", instrument.revenue_growth),
         }) {
        if (!status) return status;
    }
    return Status::success();
}

std::string to_text(const InstrumentInit& instrument) {
    return text::message("Instrument(", text::quoted(instrument.ticker),
                         ", sector=", text::quoted(instrument.sector),
                         ", price=", instrument.initial_price, ")");
}

InstrumentInit GeneratedInstrument::to_init() const {
    InstrumentInit init;
    init.eps = eps;
    init.book_value_per_share = book_value_per_share;
    init.revenue_growth = revenue_growth;
    init.ticker = ticker;
    init.sector = sector;
    init.initial_price = initial_price;
    init.shares_outstanding = shares_outstanding;
    init.avg_volume = avg_volume;
    init.beta = beta;
    init.short_interest = short_interest;
    return init;
}

std::string ticker_for(std::uint64_t index) {
    return {static_cast<char>('A' + (index / 676) % 26), static_cast<char>('A' + (index / 26) % 26),
            static_cast<char>('A' + index % 26)};
}

Status check_universe_size(std::uint64_t n) {
    if (n == 0) return Error{"n must be greater than zero"};
    if (n > MAX_UNIVERSE_SIZE) return Error{"n must be at most 17576 - tickers are three letters"};
    return Status::success();
}

std::vector<GeneratedInstrument> random_universe(std::size_t n, std::uint32_t seed) {
    GameRng rng = GameRng::create(seed, UNIVERSE_SEQUENCE);
    std::vector<GeneratedInstrument> universe;
    universe.reserve(n);
    /* Draw order per instrument is contractual: cap, price, multiple factor,
       profitability (plus one more draw when loss-making), book, growth,
       volume, beta, short interest. The multiple factor is drawn even when the
       instrument makes a loss and so never uses it. */
    for (std::size_t i = 0; i < n; ++i) {
        const SectorSpec& spec = sectors::TABLE[i % sectors::COUNT];
        double cap = maths::exp(rng.next_float() * CAP_LOG_SPAN + CAP_LOG_LOW);
        double price = maths::exp(rng.next_float() * PRICE_LOG_SPAN + PRICE_LOG_LOW);
        double multiple_factor = rng.next_float();
        double eps = 0.0;
        if (rng.next_float() >= LOSS_MAKING_BELOW) {
            eps = price / ((multiple_factor * 1.05 + 0.55) * spec.anchor_pe);
        } else {
            eps = (rng.next_float() * 0.08 + 0.01) * (-price);
        }
        double shares = cap / price;

        GeneratedInstrument instrument;
        instrument.ticker = ticker_for(i);
        instrument.sector = std::string(spec.key);
        instrument.initial_price = price;
        instrument.shares_outstanding = shares;
        instrument.eps = eps;
        instrument.book_value_per_share = price * (rng.next_float() * 1.15 + 0.25);
        instrument.revenue_growth =
            (spec.anchor_pe + (-10.0)) / 100.0 + (rng.next_float() * 0.2 + (-0.06));
        instrument.avg_volume = floored((rng.next_float() * 0.019 + 0.001) * shares, 1000.0);
        instrument.beta = floored((rng.next_float() * BETA_SPREAD + 0.6) * spec.volatility, 0.15);
        instrument.short_interest =
            maths::exp(rng.next_float() * SHORT_LOG_SPAN + SHORT_LOG_LOW) * shares;
        universe.push_back(std::move(instrument));
    }
    return universe;
}

}  // namespace corvane
