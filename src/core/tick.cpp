// The market tick: one game-minute for every instrument.
//
// A tick is a per-tick log-mispricing process around a per-tick fair value,
// driven by a market factor, one factor per sector and idiosyncratic noise
// scaled by each instrument's GARCH variance, plus news, caller flow and a
// short-squeeze drift. A circuit breaker bounds every move; in regular hours
// synthetic flow is traded through the instrument's live book, which moves
// the print and the maker's inventory.
//
/* Draw order (the whole market-stream contract). A tick draws only from the
   market stream, and what it draws depends only on the status, the active
   instruments and the number of sector keys:

     closed                     nothing
     pre-market, after hours    1 normal (market shock)
                                1 normal per sector key, in key order
                                per active instrument, in roster order:
                                    1 normal, then 1 uniform
     open                       as above, then per active instrument in
                                roster order: 4 uniforms

   The four uniforms are drawn whether or not any order is submitted. Normals
   share the Box-Muller spare across the whole tick and across ticks; plain
   uniforms never touch it. The walk below keeps this order: every factor
   draw precedes every print draw, which come from a cursor started where
   the factor draws will end. */
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <numeric>
#include <span>
#include <string_view>

#include "core/bounds.hpp"
#include "core/engine.hpp"
#include "core/float_environment.hpp"
#include "core/market_maker.hpp"
#include "core/maths.hpp"
#include "core/rounding.hpp"
#include "core/sectors.hpp"

namespace corvane {

MarketStatus tick_status(std::int64_t hour, std::int64_t minute,
                         std::int64_t day_of_week) noexcept {
    if (day_of_week == 0 || day_of_week == 6) return MarketStatus::closed;
    // Minute first, then the hour added: the binary64 sum is the contract.
    double hours = static_cast<double>(minute) / 60.0 + static_cast<double>(hour);
    return market_hours::classify_hours(hours);
}

namespace {

using bounds::num_clamp;
using bounds::num_max;
using bounds::num_min;

// Caller flow's per-tick average for an instrument with no average volume:
// the default million shares a day spread over the 390 ticks.
constexpr double DEFAULT_FLOW_PER_TICK = 1000000.0 / 390.0;
static_assert(DEFAULT_FLOW_PER_TICK == 2564.102564102564);

struct IntradayCurves {
    double noise;
    // The volume curve of a regular-hours tick.
    double open_volume;
};

// Session progress and the curves it sets.
IntradayCurves work_out_curves(std::int64_t hour, std::int64_t minute) {
    double p =
        ((static_cast<double>(minute) + (-30.0)) + (static_cast<double>(hour) + (-9.0)) * 60.0) /
        390.0;
    p = num_max(num_min(p, 1.0), 0.0);
    double a = maths::pow(p, 2.5);
    double b = maths::pow(num_max(1.0 - p, 0.0), 3.0);
    return {1.0 + 0.2 * maths::pow((p + p) - 1.0, 4.0), (a + a) + (b * 2.5 + 0.4)};
}

// The curves depend on the minute of the day alone: each minute's are
// worked out once, the same bits, rather than three pows every tick.
IntradayCurves intraday_curves(std::int64_t hour, std::int64_t minute) {
    constexpr std::int64_t MINUTES = 24 * 60;
    static const std::array<IntradayCurves, MINUTES> by_minute = [] {
        std::array<IntradayCurves, MINUTES> table{};
        for (std::int64_t at = 0; at < MINUTES; ++at) {
            table[static_cast<std::size_t>(at)] = work_out_curves(at / 60, at % 60);
        }
        return table;
    }();
    if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60) return work_out_curves(hour, minute);
    return by_minute[static_cast<std::size_t>(hour * 60 + minute)];
}

// Volume amplifier from lingering impacts that name the instrument or its
// sector; impacts reversing do not amplify.
double volume_amplifier(const CompanyDetails& c, std::span<const NewsImpact> impacts) {
    double total = 0.0;
    for (const NewsImpact& impact : impacts) {
        if (impact.reversal_phase) continue;
        bool matches = (impact.ticker && *impact.ticker == c.company_id) ||
                       (impact.sector && *impact.sector == c.sector) ||
                       std::find(impact.sectors.begin(), impact.sectors.end(), c.sector) !=
                           impact.sectors.end();
        if (matches) total += impact.remaining_impact;
    }
    return total > 0.0 ? 1.0 + num_min(total / 0.01, 9.0) : 1.0;
}

// Drift from a crowded short after a strong day, and the hangover of a bad one.
double squeeze_drift(const CompanyDetails& c) {
    double si = c.short_interest / num_max(1.0, c.float_shares);
    double r = c.last_daily_return.value_or(0.0);
    double q = 0.0;
    if (si > 0.2 && r > 0.03) q = num_min((r * si) * 0.5, 0.02);
    if (r < -0.02) {
        double a = std::fabs(r);
        q = q - (a > 0.07 ? 0.008 : a > 0.05 ? 0.005 : a > 0.03 ? 0.003 : 0.001);
    }
    if (r > 0.03 && si > 0.1) q = q + (r > 0.07 ? 0.006 : r > 0.05 ? 0.004 : 0.002);
    return q;
}

// Small caps move more: a tier by capitalisation (in billions), optionally
// blended with a continuous power curve.
double size_multiplier(double mc, bool smooth, const ModelParams& p) {
    // The thresholds passed pick the tier without branches; NaN passes none.
    static constexpr double TIERS[4] = {1.6, 1.3, 1.0, 0.8};
    double tier = TIERS[static_cast<std::size_t>(mc > 1.0) + static_cast<std::size_t>(mc > 10.0) +
                        static_cast<std::size_t>(mc > 50.0)];
    if (smooth && mc > 0.0) {
        double qs = num_clamp(maths::pow(mc / 25.0, -p.size_effect_exponent), 0.5, 3.0);
        double sm = p.size_effect_smoothness;
        return qs * sm + (1.0 - sm) * tier;
    }
    return tier;
}

// The per-tick fair value from earnings, book value and growth, with the
// discount-rate term k computed once per tick.
double tick_fair_value(const CompanyDetails& c, double rate_term, const EconomyState& e,
                       const ModelParams& p) {
    double eps = c.eps.value_or(0.0);
    double book =
        c.book_value_per_share ? *c.book_value_per_share * LOSS_MAKING_PRICE_TO_BOOK : 0.0;
    if (!(eps > 0.0)) return num_max(FAIR_VALUE_FLOOR, book);
    double g = num_max(c.revenue_growth.value_or(0.0), 0.0);
    double adj = num_max(RATE_ADJUSTMENT_FLOOR, 1.0 - ((g + g) + 1.0) * rate_term);
    double pe = c.sector_anchor_pe.value_or(0.0);
    if (pe == 0.0) pe = DEFAULT_SECTOR_ANCHOR_PE;
    double v = eps * ((p.qe_pe_gain * e.qe_pe_boost + 1.0) * (pe * adj));
    v = num_max(FAIR_VALUE_FLOOR, v);
    if (p.fair_value_book_floor != 0.0) v = num_max(v, p.fair_value_book_floor * book);
    return v;
}

// Shares per ladder level the flow is sized against.
double flow_lot(const CompanyDetails& d, const TradingState& c) {
    double x = d.avg_volume != 0.0 ? d.avg_volume
               : c.volume != 0.0   ? c.volume
                                   : 0.005 * c.shares_outstanding;
    if (x == 0.0) x = 100.0;
    return num_max(1.0, rounding::floor(x / 100.0));
}

}  // namespace

LiveBookInput live_book_input(const CompanyDetails& d, const TradingState& c, double price) {
    LiveBookInput input;
    input.volatility = d.sector_volatility;
    input.beta = d.beta;
    input.float_shares = d.float_shares;
    input.short_interest = d.short_interest;
    input.avg_volume = d.avg_volume;
    input.volume = c.volume;
    input.shares_outstanding = c.shares_outstanding;
    input.maker_inventory = c.maker_inventory;
    input.company_id = d.company_id;
    input.price = price;
    input.market_cap = c.market_cap;
    return input;
}

namespace {

// The circuit breaker: a price outside the instrument's band is pulled to
// the nearer edge. Says whether it pulled.
bool hold_to_band(double& x, const InstrumentWork& w) {
    if (!(x > w.band_high || x < w.band_low)) return false;
    x = num_max(w.band_low, num_min(x, w.band_high));
    return true;
}

}  // namespace

// One tick over one engine, pass by pass. Lives for the call only.
class MarketTick {
    // What every instrument of a walk reads alike: the tick's terms and the
    // model's, copied here so that the calls into the maths, which could
    // change any memory for all the compiler knows, do not force rereads.
    struct WalkTerms {
        const double* sector_factors;
        // Every instrument's company news, once the index has summed them all.
        const double* news_sums;
        // The tick's rows and the day's totals, by roster position.
        ComponentRow* rows;
        AttributionRow* days;
        double m;
        double market_extra;
        double crash;
        double volatility;
        double no_flow;
        double cap;
        double band_upper;
        double band_lower;
        double hard_cap;
        double volume_base;
        double volume_curve;
        double move_cap;
        double move_noise;
        double move_response;
        double move_floor;
        bool has_market_extra;
        bool smooth_size;
        bool has_flow;
        bool has_impacts;
        // Whether this pre-market tick may skip its always-zero components.
        bool zero_slots_clean;
        // Every instrument takes the general path, its news a plain scan.
        bool reference;
    };
    // Where the walk writes each instrument's values and the outcome's rows.
    struct Outputs {
        double* fundamental;
        double* anchor;
        std::size_t* active;
        double* anchors;
        double* volumes;
    };

public:
    MarketTick(Engine& engine, const TickInput& input)
        : e_(engine),
          in_(input),
          p_(engine.model_),
          s_(engine.scratch_),
          cache_(engine.cache_),
          rng_(engine.stream(Stream::market)) {}

    TickOutcome run() {
        if (e_.reference_walk_) cache_.invalidate_all();
        // Status and clock; a closed market only clears the last tick's components.
        status_ = tick_status(in_.hour, in_.minute, in_.day_of_week);
        if (status_ == MarketStatus::closed) return closed();
        open_ = status_ == MarketStatus::open;
        set_curves();
        // Market and sector factors, shared by every instrument.
        draw_shared_factors();
        // One walk: each instrument's factors (one normal and one uniform
        // each), fair value, mispricing update, breaker, tick volume and
        // print, trading flow through the live book in regular hours.
        instrument_pass();
        // The day's market factor and the stream written back.
        add_to_day_totals();
        return {s_.active, s_.anchors, s_.volumes, status_, draws_};
    }

private:
    TickOutcome closed() {
        for (ComponentRow& row : e_.tick_components_) row.fill(0.0);
        s_.active.clear();
        s_.anchors.clear();
        s_.volumes.clear();
        return {s_.active, s_.anchors, s_.volumes, status_, 0};
    }

    // The intraday noise and volume curves at the tick's minute.
    void set_curves() {
        IntradayCurves curves = intraday_curves(in_.hour, in_.minute);
        noise_curve_ = curves.noise;
        volume_curve_ = open_ ? curves.open_volume : 0.3;
    }

    void draw_shared_factors() {
        const EconomyState& econ = e_.economy_;
        // The market's normal, then a normal per sector: drawn together, as
        // nothing between them draws.
        const std::size_t sectors = e_.sector_keys_.size();
        s_.shared_normals.resize(1 + sectors);
        draw_normals(s_.shared_normals.data(), 1 + sectors, false);
        const double* normal = s_.shared_normals.data();
        sigma_m_ = std::sqrt(e_.market_.variance);
        m_ = (*normal++ * sigma_m_) * INV_SQRT_TICKS_PER_DAY;
        draws_ += 1;

        // Crisis blend: how far the market factor takes over the sectors.
        double excess =
            econ.vix > p_.crisis_vix_threshold ? econ.vix - p_.crisis_vix_threshold : 0.0;
        if (p_.universe_stress_weight != 0.0) {
            excess = excess +
                     p_.universe_stress_weight * num_max(e_.market_.universe_stress - excess, 0.0);
        }
        blend_ = excess <= 0.0 ? 0.0 : num_min(excess / p_.crisis_blend_ramp, p_.crisis_blend_cap);

        double sector_sigma = p_.sector_factor_sigma;
        if (p_.sector_vix_coupling != 0.0) {
            double c = p_.sector_vix_coupling;
            double q = econ.vix / p_.market_vol_vix_anchor;
            sector_sigma = std::sqrt((q * q) * c + (1.0 - c)) * p_.sector_factor_sigma;
        }
        s_.sector_factors.resize(sectors + 1);
        s_.sector_factors[0] = 0.0;
        for (double& factor : std::span(s_.sector_factors).subspan(1)) {
            double shock = (*normal++ * sector_sigma) * INV_SQRT_TICKS_PER_DAY;
            double f = (1.0 - blend_) * shock + (m_ * blend_);
            if (p_.crisis_blend_source != 0.0) {
                double src = p_.crisis_blend_source;
                f = shock * src + (1.0 - src) * f;
            }
            factor = f;
            draws_ += 1;
        }
    }

    // Rebuilds the per-instrument constants after the roster, a column or
    // the close changed them, and the fair values after the economy moved.
    void refresh_constants() {
        bool stale = !cache_.constants_current;
        if (!stale && cache_.fair_values_current) return;
        double rate = rate_term();
        cache_.constants.resize(e_.roster_.size());
        cache_.book.resize(e_.roster_.size());
        cache_.flow.resize(e_.roster_.size());
        for (std::size_t i = 0; i < e_.roster_.size(); ++i) {
            const CompanyDetails& c = e_.roster_[i];
            InstrumentConstants& k = cache_.constants[i];
            if (stale) describe(c, e_.trading_[i], i, k, cache_.book[i], cache_.flow[i]);
            k.fair_value = tick_fair_value(c, rate, e_.economy_, p_);
        }
        if (stale) {
            cache_.active_count = static_cast<std::size_t>(
                std::count_if(cache_.constants.begin(), cache_.constants.end(),
                              [](const InstrumentConstants& k) { return k.moves; }));
        }
        cache_.constants_current = true;
        cache_.fair_values_current = true;
    }

    // Everything about instrument i the tick would otherwise recompute.
    void describe(const CompanyDetails& c, const TradingState& t, std::size_t i,
                  InstrumentConstants& k, InstrumentBookTerms& b, InstrumentFlowTerms& f) const {
        k.moves = !c.suspended && c.tradable;
        const SectorSpec* spec = sectors::by_key(c.sector);
        f.spec = spec;
        std::size_t position = spec ? e_.table_key_positions_[sectors::index_of(*spec)]
                                    : e_.sector_key_position(c.sector);
        // Sector keys are strings the engine holds, far fewer than 2^32.
        k.factor_position =
            position != Engine::NO_SECTOR_KEY ? static_cast<std::uint32_t>(position + 1) : 0;

        double per_tick = c.avg_volume != 0.0 ? c.avg_volume / 390.0 : DEFAULT_FLOW_PER_TICK;
        f.flow_per_tick = num_max(100.0, per_tick);
        double volume_base = num_max(c.avg_volume, 0.005 * t.shares_outstanding);
        f.flow_reciprocal = 1.0 / num_max(100.0, volume_base / 390.0);
        k.average_per_tick = c.avg_volume / 390.0;
        b.momentum_term = (t.mispricing_momentum.value_or(0.0) * p_.momentum_theta) / 390.0;
        k.has_spread = false;

        k.beta = c.beta.value_or(1.0);
        double idio_scale = p_.idio_sigma_scale;
        if (p_.idio_sigma_beta_exponent != 0.0 && k.beta > 0.0) {
            idio_scale =
                idio_scale * num_clamp(maths::pow(k.beta, p_.idio_sigma_beta_exponent), 0.1, 4.0);
        }
        double variance = num_max(c.garch_variance, 0.0001);
        k.idio = (std::sqrt(variance) * idio_scale) / SQRT_TICKS_PER_DAY;
        k.loading = p_.sector_loading;
        if (p_.sector_loading_beta_slope != 0.0) {
            k.loading = ((k.beta - 1.0) * p_.sector_loading_beta_slope + 1.0) * p_.sector_loading;
        }
        // The slow volatility state scales the instrument's own and sector
        // noise alike; the market term stays common to all.
        if (p_.long_memory_sigma != 0.0) {
            double scale = e_.long_memory_scale(i);
            k.idio = k.idio * scale;
            k.loading = k.loading * scale;
        }
        b.squeeze = squeeze_drift(c);

        double own = e_.instrument_volume_state(i);
        k.own_volume = own != 0.0 ? num_clamp(maths::exp(own), 0.25, 4.0) : 1.0;
        k.variance_volume = 1.0;
        if (p_.volume_idio_variance_gain != 0.0) {
            double long_run = spec ? spec->daily_sigma * spec->daily_sigma : 0.0;
            if (long_run > 0.0) {
                k.variance_volume = num_clamp(
                    p_.volume_idio_variance_gain * (c.garch_variance / long_run - 1.0) + 1.0, 0.25,
                    4.0);
            }
        }

        b.quote = quote_terms(live_book_input(c, t, t.price));
        k.quote_base_fixed = c.avg_volume != 0.0 && !std::isnan(c.avg_volume);
        k.flow_lot_fixed = c.avg_volume != 0.0;
        b.flow_lot = flow_lot(c, t);
    }

    // One walk over the roster: factors, valuation, volume and the print
    // for each instrument in turn, reading each instrument once. The factors
    // draw from the stream itself, one normal and one uniform per
    // instrument in roster order; the prints draw from a second cursor
    // started where the last factor draw will leave the stream, so the
    // walk keeps the draw order of a factor pass followed by a print pass.
    void instrument_pass() {
        prepare_factors();
        prepare_volume();
        // The VIX holds for the tick, and so does the live book's stress.
        book_stress_ = microstructure::vix_stress(e_.economy_.vix);
        forget_spreads_under_new_vix();
        // A normal and a uniform per active instrument; no spare remains
        // for the prints, which draw only uniforms.
        GameRng prints = rng_.uniforms_after_normal_uniform_pairs(cache_.active_count);
        [[maybe_unused]] std::uint64_t after_factors = prints.record().state;
        // Sized once for the instruments the tick moves, and written in place.
        s_.active.resize(cache_.active_count);
        s_.anchors.resize(cache_.active_count);
        s_.volumes.resize(cache_.active_count);
        written_ = 0;
        if (open_) {
            walk<true>(prints);
        } else {
            walk<false>(prints);
        }
        assert(written_ == cache_.active_count);
        // The stream goes on from the last print draw, keeping the spare
        // the factors left.
        GameRng::Record joined = rng_.record();
        assert(joined.state == after_factors);
        joined.state = prints.record().state;
        rng_ = GameRng::from_record(joined);
    }

    // The walk itself, with the session's status fixed so that neither
    // session's instruments test for the other's work.
    template <bool Open>
    void walk(GameRng& prints) {
        const WalkTerms terms = walk_terms(claim_zero_slots<Open>());
        const Outputs out{e_.tick_fundamental_.data(), e_.tick_anchor_.data(), s_.active.data(),
                          s_.anchors.data(), s_.volumes.data()};
        // The factor draws, a normal then a uniform per instrument moved,
        // taken ahead of the walk in the order it would take them: the same
        // values from the same stream, and the walk calls no generator.
        s_.factor_draws.resize(2 * cache_.active_count);
        draw_normals(s_.factor_draws.data(), cache_.active_count, true);
        // The walk for the common tick, with its news summed and no
        // lingering impacts, tests for neither; before the open, it takes no
        // caller flow and tests neither for the crisis loading being sourced
        // nor for the size multiplier stepped.
        if (!terms.reference && terms.news_sums && !terms.has_impacts &&
            (Open || (!terms.has_flow && terms.has_market_extra && !terms.smooth_size))) {
            written_ = walk_in_passes<Open>(terms, out, prints);
        } else {
            written_ = walk_roster<Open>(terms, out, prints);
        }
        // Each instrument moved took a normal and a uniform, and four
        // uniforms more in regular hours.
        draws_ += (Open ? 6 : 2) * static_cast<std::uint64_t>(written_);
    }

    // Adding a pre-market tick's zeros leaves the day's totals for those
    // components free of -0.0 and signalling NaNs, and the rows holding
    // +0.0 there; from the next pre-market tick on, its zeros need neither
    // writing nor adding.
    template <bool Open>
    bool claim_zero_slots() {
        const bool clean = !Open && cache_.zero_slots_clean;
        cache_.zero_slots_clean = !Open;
        return clean;
    }

    // Held here rather than reread through the engine after every call the
    // walk makes into the maths.
    WalkTerms walk_terms(bool zero_slots_clean) {
        return WalkTerms{s_.sector_factors.data(),
                         e_.reference_walk_ ? nullptr : cache_.news.complete_sums(),
                         e_.tick_components_.data(),
                         e_.attribution_.data(),
                         m_,
                         market_extra_,
                         crash_,
                         in_.volatility,
                         no_flow_,
                         p_.mispricing_cap,
                         p_.breaker_band_upper,
                         p_.breaker_band_lower,
                         p_.price_hard_cap,
                         volume_base_,
                         volume_curve_,
                         p_.volume_move_cap,
                         p_.volume_move_noise,
                         p_.volume_move_response,
                         p_.volume_move_floor,
                         has_market_extra_,
                         smooth_size_,
                         !in_.order_flow.empty(),
                         !in_.news_impacts.empty(),
                         zero_slots_clean,
                         e_.reference_walk_};
    }

    // The general walk: each instrument in roster order, testing for caller
    // flow, lingering impacts and news not yet summed; returns the outcome
    // rows written.
    template <bool Open>
    std::size_t walk_roster(const WalkTerms& terms, const Outputs& out, GameRng& prints) {
        // Built once: the stages below write every field for each instrument
        // but the volume amplifier, which stays 1 unless impacts linger.
        InstrumentWork w;
        const std::size_t n = e_.roster_.size();
        InstrumentConstants* constants = cache_.constants.data();
        TradingState* trading = e_.trading_.data();
        const double* draw = s_.factor_draws.data();
        std::size_t written = 0;
        for (std::size_t i = 0; i < n; ++i) {
            InstrumentConstants& k = constants[i];
            // An instrument the tick does not move has no components.
            if (!k.moves) {
                terms.rows[i].fill(0.0);
                continue;
            }
            TradingState& c = trading[i];
            w.index = i;
            // Factors, drift and noise.
            InstrumentBookTerms& b = cache_.book[i];
            factors<Open, false>(i, c, k, b, terms, draw, w);
            draw += 2;
            // Fair value, the mispricing update and the breaker.
            value<Open>(c, k, b, terms, w);
            // Tick volume.
            volume(c, k, terms, w);
            // The print, with four uniforms in regular hours.
            print<Open>(c, w, prints);
            // The tick's values and the outcome's row.
            write_outputs(w, out, written);
            ++written;
        }
        return written;
    }

    // The common walks in three passes: factors up to the clamped
    // mispricing, its exps several lanes at a time, then the rest. Each
    // instrument's exp reads only what its first pass worked out, and no
    // instrument's work reads another's, so every operation keeps its inputs.
    template <bool Open>
    std::size_t walk_in_passes(const WalkTerms& terms, const Outputs& out, GameRng& prints) {
        PassedMoves moves = passed_moves();
        const std::size_t n = e_.roster_.size();
        std::size_t written = 0;
        for (std::size_t begin = 0; begin < n; begin += WALK_BLOCK) {
            const Block block{begin, std::min(n, begin + WALK_BLOCK), written};
            const std::size_t moved = mispricings<Open>(terms, moves, block);
            maths::exp_lanes(moves.s1, moves.growth, moved);
            written = value_and_print<Open>(terms, out, moves, block, prints);
            assert(written == block.first + moved);
        }
        return written;
    }

    // A run of the roster, [begin, end), and the instruments moved before it.
    struct Block {
        std::size_t begin;
        std::size_t end;
        std::size_t first;
    };
    // Instruments a block holds: few enough that those the first pass read
    // are still in cache for the last.
    static constexpr std::size_t WALK_BLOCK = 64;

    // What the first pass over a block leaves for the last, an array per
    // field, in the order the block's instruments are moved, from its first
    // moved instrument at index 0. Beside the clamped mispricing
    // and its growth, `carried` holds the noise before the open and the
    // crowd's lean in regular hours.
    struct PassedMoves {
        double* s1;
        double* carried;
        double* growth;
    };

    PassedMoves passed_moves() {
        const std::size_t n = std::min(cache_.active_count, WALK_BLOCK);
        s_.passed_s1.resize(n);
        s_.passed_carried.resize(n);
        s_.passed_growth.resize(n);
        return {s_.passed_s1.data(), s_.passed_carried.data(), s_.passed_growth.data()};
    }

    // The first pass: each moved instrument's factors and clamped mispricing.
    // In regular hours the row of its components goes straight to the
    // tick's rows, where the last pass finishes it.
    template <bool Open>
    std::size_t mispricings(const WalkTerms& terms, PassedMoves moves, Block block) {
        InstrumentWork w;
        InstrumentConstants* constants = cache_.constants.data();
        TradingState* trading = e_.trading_.data();
        const double* draw = s_.factor_draws.data() + 2 * block.first;
        double* s1 = moves.s1;
        double* carried = moves.carried;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            InstrumentConstants& k = constants[i];
            if (!k.moves) continue;
            TradingState& c = trading[i];
            InstrumentBookTerms& b = cache_.book[i];
            factors<Open, true>(i, c, k, b, terms, draw, w);
            draw += 2;
            ComponentRow unused{};
            ComponentRow& row = Open ? terms.rows[i] : unused;
            if constexpr (Open) row = ComponentRow{};
            *s1++ = clamped_mispricing<Open>(i, c, k, b, terms, w, row);
            *carried++ = Open ? w.lean : w.noise;
        }
        return static_cast<std::size_t>(s1 - moves.s1);
    }

    // The last pass: each instrument's value, volume, print and rows.
    template <bool Open>
    std::size_t value_and_print(const WalkTerms& terms, const Outputs& out, PassedMoves moves,
                                Block block, GameRng& prints) {
        InstrumentWork w;
        InstrumentConstants* constants = cache_.constants.data();
        TradingState* trading = e_.trading_.data();
        const double* uniform = s_.factor_draws.data() + 1;
        std::size_t written = block.first;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            InstrumentConstants& k = constants[i];
            if (!k.moves) {
                terms.rows[i].fill(0.0);
                continue;
            }
            TradingState& c = trading[i];
            w.index = i;
            w.uniform = uniform[2 * written];
            // Its place among what the first pass handed on for the block.
            const std::size_t j = written - block.first;
            if constexpr (Open) {
                // As the first pass worked it out: the capitalisation has not moved since.
                w.cap_billions = c.market_cap / 1000000000.0;
                w.lean = moves.carried[j];
                value_at_growth<true>(c, k, terms, w, terms.rows[i], moves.s1[j], moves.growth[j]);
            } else {
                w.news = terms.news_sums[i];
                w.flow = terms.no_flow;
                w.noise = moves.carried[j];
                value_at_growth<false>(c, k, terms, w, premarket_row(w), moves.s1[j],
                                       moves.growth[j]);
            }
            volume(c, k, terms, w);
            // The print: before the open, the anchor as it stands.
            print<Open>(c, w, prints);
            write_outputs(w, out, written);
            ++written;
        }
        return written;
    }

    // The kept half spreads hold for the VIX they were worked out under.
    void forget_spreads_under_new_vix() {
        if (cache_.spreads_current) return;
        for (InstrumentConstants& k : cache_.constants) k.has_spread = false;
        cache_.spreads_current = true;
    }

    // What every instrument's factors share this tick.
    void prepare_factors() {
        refresh_constants();
        cache_.news.prepare(in_.news, e_.pending_news_, e_.roster_, blend_, p_);
        double shock_scale = p_.market_factor_sigma / SQRT_TICKS_PER_DAY;
        shock_ratio_ = std::fabs(m_) / shock_scale;
        smooth_size_ = p_.size_effect_smoothness != 0.0;
        prepare_market_terms();
    }

    // The parts of every instrument's market term and flow that depend on
    // the tick alone.
    void prepare_market_terms() {
        // Extra crisis loading when the blend is sourced.
        has_market_extra_ = p_.crisis_blend_source != 0.0;
        if (has_market_extra_) {
            double extra = ((p_.crisis_blend_source * p_.crisis_blend_gain) * blend_) * m_;
            if (p_.crisis_blend_variance_damp != 0.0) {
                double r = num_max(shock_ratio_, 1e-6);
                extra = extra * num_clamp(maths::pow(r, -p_.crisis_blend_variance_damp), 0.1, 10.0);
            }
            market_extra_ = extra;
        }
        crash_ =
            shock_ratio_ > p_.crash_amplifier_threshold
                ? p_.crash_amplifier_slope * (shock_ratio_ - p_.crash_amplifier_threshold) + 1.0
                : 1.0;
        // Without caller flow the impact is a zero scaled by the model's
        // coefficients: no intensity, imbalance or reciprocal can change it.
        no_flow_ = p_.informed_flow_fraction * (p_.order_flow_coefficient * 0.0);
    }

    // Caller flow's impact: intensity against the per-tick average, and
    // imbalance. Only for a tick with caller flow; without, it is `no_flow_`.
    double flow_impact(std::size_t i, const InstrumentFlowTerms& k) const {
        OrderVolume flow = i < in_.order_flow.size() ? in_.order_flow[i] : OrderVolume{};
        double total = flow.buy + flow.sell;
        double ratio = total / k.flow_per_tick;
        double intensity = num_max(0.2, ratio >= 10.0 ? 1.5 : 0.15 * ratio);
        double imbalance = total > 0.0 ? (flow.buy - flow.sell) / total : 0.0;
        return p_.informed_flow_fraction *
               (p_.order_flow_coefficient * ((imbalance * intensity) * k.flow_reciprocal));
    }

    template <bool Open, bool Plain>
    void factors(std::size_t i, const TradingState& c, const InstrumentConstants& k,
                 const InstrumentBookTerms& b, const WalkTerms& terms, const double* draw,
                 InstrumentWork& w) {
        if constexpr (Plain) {
            w.news = terms.news_sums[i];
        } else {
            w.news = terms.news_sums
                         ? terms.news_sums[i]
                         : cache_.news.company_news(
                               i, e_.roster_[i], terms.reference ? nullptr : cache_.flow[i].spec);
        }
        double beta = k.beta;
        // Capitalisation in billions; the live book prices from it too.
        w.cap_billions = c.market_cap / 1000000000.0;
        constexpr bool plain_factors = Plain && !Open;
        double size = size_multiplier(w.cap_billions, !plain_factors && terms.smooth_size, p_);

        // Market term, with the tick's extra crisis loading.
        double market = terms.m * beta;
        if (plain_factors || terms.has_market_extra) market = market + terms.market_extra;
        double sector = terms.sector_factors[k.factor_position];
        double z = draw[0];
        // Only regular hours read the squeeze, which lies beyond the
        // constants' first line.
        if constexpr (Open) w.squeeze = b.squeeze;
        double raw_noise = (size * (k.idio * z)) * terms.volatility +
                           ((k.loading * sector) + (market * terms.crash));
        w.flow = terms.has_flow ? flow_impact(i, cache_.flow[i]) : terms.no_flow;
        double drift = w.news + w.flow;
        if constexpr (Open) drift = drift + w.squeeze;
        w.drift = drift * INV_TICKS_PER_DAY;
        w.noise = Open ? raw_noise : raw_noise * 0.15;
        // Without lingering impacts the amplifier stays at the walk's 1.
        if (!Plain && terms.has_impacts)
            w.amplifier = volume_amplifier(e_.roster_[i], in_.news_impacts);
        w.uniform = draw[1];
    }

    // `count` normals from the market stream, each followed by a uniform
    // when `uniforms`.
    void draw_normals(double* out, std::size_t count, bool uniforms) {
        s_.normal_first.resize((count + 1) / 2);
        s_.normal_second.resize((count + 1) / 2);
        if (uniforms) {
            rng_.normal_uniform_pairs(out, count, s_.normal_first.data(), s_.normal_second.data());
        } else {
            rng_.normals(out, count, s_.normal_first.data(), s_.normal_second.data());
        }
    }

    // The discount-rate term of every fair value this tick.
    double rate_term() const {
        return ((e_.economy_.corporate_bond_yield / 100.0) + (-NEUTRAL_DISCOUNT_RATE)) *
               RATE_PE_SENSITIVITY;
    }

    // First tick: start from where the price stands against fair value,
    // with no momentum.
    double start_mispricing(std::size_t i, TradingState& c, const InstrumentConstants& constants,
                            InstrumentBookTerms& book) const {
        double cap = p_.mispricing_cap;
        double s = num_clamp(maths::log(num_max(c.price, 0.01) / constants.fair_value), -cap, cap);
        c.mispricing_s = s;
        e_.roster_[i].mispricing_s_prev_close = s;
        c.mispricing_momentum = 0.0;
        // The momentum starts over, and so does its term.
        double momentum = 0.0;
        book.momentum_term = (momentum * p_.momentum_theta) / 390.0;
        return s;
    }

    template <bool Open>
    void value(TradingState& c, const InstrumentConstants& constants, InstrumentBookTerms& book,
               const WalkTerms& terms, InstrumentWork& w) {
        ComponentRow k = Open ? ComponentRow{} : premarket_row(w);
        double s1 = clamped_mispricing<Open>(w.index, c, constants, book, terms, w, k);
        value_at_growth<Open>(c, constants, terms, w, k, s1, maths::exp(s1));
    }

    // The mispricing moved by the tick and clamped to the cap, with the
    // components regular hours add to the row `k`.
    template <bool Open>
    double clamped_mispricing(std::size_t i, TradingState& c, const InstrumentConstants& constants,
                              InstrumentBookTerms& book, const WalkTerms& terms, InstrumentWork& w,
                              ComponentRow& k) {
        double s = 0.0;
        double momentum = 0.0;
        if (!c.mispricing_s) {
            s = start_mispricing(i, c, constants, book);
        } else {
            s = *c.mispricing_s;
            momentum = c.mispricing_momentum.value_or(0.0);
        }
        double s_raw = 0.0;
        if constexpr (Open) {
            // Regular hours: reversion, momentum and the crowd's lean act.
            double lean = num_clamp(momentum * p_.crowd_momentum_gain - s * p_.crowd_valuation_gain,
                                    -p_.crowd_lean_cap, p_.crowd_lean_cap);
            k[slot(Component::reversion)] = (p_.s_phi_tick - 1.0) * s;
            k[slot(Component::momentum)] = book.momentum_term;
            k[slot(Component::crowd_lean)] = lean / 390.0;
            k[slot(Component::short_squeeze_effect)] = w.squeeze * INV_TICKS_PER_DAY;
            k[slot(Component::random_noise)] = w.noise * noise_curve_;
            k[slot(Component::company_news)] = w.news * INV_TICKS_PER_DAY;
            k[slot(Component::order_flow_impact)] = w.flow * INV_TICKS_PER_DAY;
            s_raw =
                (w.noise * noise_curve_) + (((k[slot(Component::momentum)] + s * p_.s_phi_tick) +
                                             k[slot(Component::crowd_lean)]) +
                                            w.drift);
            w.lean = lean;
        } else {
            s_raw = (s + w.drift) + w.noise;
            w.lean = 0.0;
        }
        return num_clamp(s_raw, -terms.cap, terms.cap);
    }

    // A pre-market tick's row before the breaker: news, flow and noise.
    static ComponentRow premarket_row(const InstrumentWork& w) {
        ComponentRow k{};
        k[slot(Component::random_noise)] = w.noise;
        k[slot(Component::company_news)] = w.news * INV_TICKS_PER_DAY;
        k[slot(Component::order_flow_impact)] = w.flow * INV_TICKS_PER_DAY;
        return k;
    }

    // Fair value times the growth `exp(s1)`, held to the breaker's band,
    // and the row `k` stored and added to the day's.
    template <bool Open>
    void value_at_growth(TradingState& c, const InstrumentConstants& constants,
                         const WalkTerms& terms, InstrumentWork& w, ComponentRow k, double s1,
                         double growth) {
        double cap = terms.cap;
        double v = constants.fair_value;
        double x = num_max(0.01, growth * v);

        // Circuit breaker around the previous close; the pull is written.
        w.band_high = c.previous_close * terms.band_upper;
        w.band_low = num_max(0.01, c.previous_close * terms.band_lower);
        double s = s1;
        if (hold_to_band(x, w)) {
            double s2 = num_clamp(maths::log(x / v), -cap, cap);
            k[slot(Component::circuit_breaker)] = s2 - s1;
            s = s2;
        }
        c.mispricing_s = s;
        add_to_day<Open>(k, w.index, terms);
        w.fair_value = v;
        w.anchor = num_min(x, terms.hard_cap);
    }

    // The market-wide volume multiplier, from the variance regime and the
    // volume state.
    void prepare_volume() {
        double vm = 1.0;
        if (p_.volume_variance_gain != 0.0 && p_.market_factor_sigma > 0.0) {
            double r = sigma_m_ / p_.market_factor_sigma;
            vm = num_clamp(p_.volume_variance_gain * (r * r - 1.0) + 1.0, 0.25, 4.0);
        }
        double state = e_.market_.volume_state;
        double vs = state != 0.0 ? num_clamp(maths::exp(state), 0.25, 4.0) : 1.0;
        volume_base_ = (vm * (open_ ? 1.0 : 0.1)) * vs;
    }

    static void volume(const TradingState& c, const InstrumentConstants& k, const WalkTerms& terms,
                       InstrumentWork& w) {
        // A multiplier that does not apply is 1, and a product with 1 is
        // the other factor, bit for bit: the base is worked out, never a
        // signalling NaN.
        double v = (k.own_volume * terms.volume_base) * k.variance_volume;
        // More shares change hands the further the price has moved today.
        double move = c.open > 0.0 ? std::fabs(w.anchor - c.open) / c.open : 0.0;
        double units = num_min(move / 0.01, terms.move_cap);
        w.volume = rounding::floor(
            (((w.uniform * terms.move_noise) + (units * terms.move_response + terms.move_floor)) *
             (v * k.average_per_tick)) *
            terms.volume_curve * w.amplifier);
    }

    template <bool Open>
    void print(TradingState& c, const InstrumentWork& w, GameRng& prints) {
        double x = w.anchor;
        if constexpr (Open) {
            double uniforms[4];
            for (double& u : uniforms) u = prints.next_float();
            double inventory_change = 0.0;
            if (w.volume > 0.0 && x > 0.0 && c.price > 0.0) {
                x = trade_flow(c, w, c.price, x, uniforms, inventory_change);
            }
            // The live book may print outside the band; pull it back, outside every component.
            hold_to_band(x, w);
            if (inventory_change != 0.0) {
                c.maker_inventory = c.maker_inventory.value_or(0.0) + inventory_change;
            }
        }
        take_print(c, x, w.volume);
    }

    // The print `x` becomes the price; the tick's volume adds to the day's.
    static void take_print(TradingState& c, double x, double volume) {
        c.previous_tick_price = c.price;
        c.price = x;
        c.high = num_max(c.high, x);
        c.low = num_min(c.low, x);
        c.volume = c.volume + volume;
        c.market_cap = x * c.shares_outstanding;
    }

    // Four market orders of a quarter of the tick's volume each, buying or
    // selling by the uniforms against a lean towards the model's move. The
    // print becomes the last trade; the maker's inventory takes the other side.
    double trade_flow(const TradingState& c, const InstrumentWork& w, double old, double anchor,
                      const double (&uniforms)[4], double& inventory_change) {
        InstrumentConstants& k = cache_.constants[w.index];
        InstrumentBookTerms& b = cache_.book[w.index];
        // The quote does not depend on the depth, which only the sweep needs.
        LiveBookOptions options = tick_book_options(p_, e_.economy_.vix, BOOK_LEVELS);
        // The price is positive here, so the quote is the live book's.
        QuoteTerms terms = b.quote;
        if (!k.quote_base_fixed)
            terms.base = microstructure::base_level_size(e_.roster_[w.index].avg_volume, c.volume,
                                                         c.shares_outstanding);
        // The half spread is kept while the tier holds, bit for bit.
        double tier = spread_tier(w.cap_billions, options);
        if (!k.has_spread ||
            std::bit_cast<std::uint64_t>(tier) != std::bit_cast<std::uint64_t>(b.spread_tier)) {
            b.spread_tier = tier;
            b.spread_fraction = half_spread_fraction(tier, book_stress_, terms);
            k.has_spread = true;
        }
        LiveQuote quote = quote_at_spread(old, b.spread_fraction, terms, c.maker_inventory);

        double p_buy =
            num_clamp(w.lean * 10.0 + ((((anchor - old) / old) * 40.0) + 0.5), 0.05, 0.95);
        double slice = num_max(1.0, rounding::floor_non_negative(w.volume * 0.25));
        Side sides[4];
        double sells = 0.0;
        for (std::size_t order = 0; order < 4; ++order) {
            bool sell = p_buy <= uniforms[order];
            sides[order] = static_cast<Side>(sell);
            sells += static_cast<double>(sell);
        }
        double price = anchor;
        if (!e_.reference_walk_ &&
            trade_at_inside(quote, sides, sells, slice, price, inventory_change))
            return price;

        double lot = k.flow_lot_fixed ? b.flow_lot : flow_lot(e_.roster_[w.index], c);
        options.levels = num_min(10.0, num_max(2.0, rounding::ceil(w.volume / lot) + 1.0));
        if (!e_.reference_walk_ &&
            settle_flow(quote, options, sides, slice, price, inventory_change))
            return price;
        LadderSweep ladder(quote, options, old);
        if (!ladder.two_sided()) return anchor;
        double filled = 0.0;
        double changes[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t order = 0; order < 4; ++order) {
            ladder.take(sides[order], slice, filled, changes[order]);
        }
        if (filled == 0.0) return anchor;
        inventory_change = ((changes[0] + changes[1]) + changes[2]) + changes[3];
        return ladder.last_price();
    }

    // The common case, traded without the ladder: the orders on each side
    // together take no more than the opposite inside level holds, so each
    // fills whole there, as the sweep would fill it, and no level is priced.
    // The inside sizes are the quote's bases: those are whole and at least
    // one, and the inside's decay is exactly 1. Below 2^50 shares a slice
    // times a count is exact, as are the sweep's running remainders. Says
    // whether the case applies; the ladder settles every other. `sells`
    // counts the selling orders.
    static bool trade_at_inside(const LiveQuote& quote, const Side (&sides)[4], double sells,
                                double slice, double& price, double& inventory_change) noexcept {
        if (!(slice < 0x1p50) || !(quote.bid > 0.0) || !(quote.ask > 0.0) ||
            !inside_is_rounded(quote, 0))
            return false;
        if (!((4.0 - sells) * slice <= quote.ask_base && sells * slice <= quote.bid_base))
            return false;
        // A buyer takes the ask and the maker sells; a seller takes the bid.
        const double change[2] = {-slice, slice};
        const double inside[2] = {quote.ask, quote.bid};
        double c[4];
        for (std::size_t order = 0; order < 4; ++order) {
            c[order] = 0.0 + change[static_cast<std::size_t>(sides[order])];
        }
        inventory_change = ((c[0] + c[1]) + c[2]) + c[3];
        price = inside[static_cast<std::size_t>(sides[3])];
        return true;
    }

    // The tick's row, and its components added to the day's attribution.
    // Once clean, a pre-market tick writes and adds only the components it
    // can make non-zero: the rest already hold +0.0 in the row, and adding
    // +0.0 to a day's total that holds neither -0.0 nor a signalling NaN
    // changes no bit.
    template <bool Open>
    static void add_to_day(const ComponentRow& tick, std::size_t i, const WalkTerms& terms) {
        if constexpr (!Open) {
            if (terms.zero_slots_clean) {
                // Two adjacent pairs: news and flow, noise and the breaker.
                static_assert(
                    slot(Component::order_flow_impact) == slot(Component::company_news) + 1 &&
                    slot(Component::circuit_breaker) == slot(Component::random_noise) + 1);
                ComponentRow& row = terms.rows[i];
                AttributionRow& day = terms.days[i];
                for (std::size_t k :
                     {slot(Component::company_news), slot(Component::random_noise)}) {
                    row[k] = tick[k];
                    row[k + 1] = tick[k + 1];
                    day[k] = day[k] + tick[k];
                    day[k + 1] = day[k + 1] + tick[k + 1];
                }
                return;
            }
        }
        terms.rows[i] = tick;
        AttributionRow& day = terms.days[i];
        for (std::size_t k = 0; k < TICK_COMPONENTS; ++k) day[k] += tick[k];
    }

    // The instrument's values, and the outcome's row `row`.
    static void write_outputs(const InstrumentWork& w, const Outputs& out, std::size_t row) {
        out.fundamental[w.index] = w.fair_value;
        out.anchor[w.index] = w.anchor;
        out.active[row] = w.index;
        out.anchors[row] = w.anchor;
        out.volumes[row] = w.volume;
    }

    void add_to_day_totals() {
        e_.market_.day_factor += m_;
        e_.stream(Stream::market) = rng_;
        e_.draws_.market += draws_;
    }

    Engine& e_;
    const TickInput& in_;
    const ModelParams& p_;
    TickScratch& s_;
    TickCache& cache_;
    GameRng rng_;
    MarketStatus status_ = MarketStatus::closed;
    bool open_ = false;
    double noise_curve_ = 1.0;
    double volume_curve_ = 0.3;
    double sigma_m_ = 0.0;
    double m_ = 0.0;
    double blend_ = 0.0;
    double shock_ratio_ = 0.0;
    double market_extra_ = 0.0;
    bool has_market_extra_ = false;
    // Whether the size multiplier blends in its power curve.
    bool smooth_size_ = false;
    double crash_ = 1.0;
    double no_flow_ = 0.0;
    double volume_base_ = 1.0;
    double book_stress_ = 1.0;
    std::uint64_t draws_ = 0;
    // Rows of the outcome written so far.
    std::size_t written_ = 0;
};

TickOutcome Engine::tick(const TickInput& input) {
    IeeeEnvironmentScope ieee;
    return MarketTick(*this, input).run();
}

}  // namespace corvane
