// The trading day: the open, sessions of ticks, and the close.
//
/* Draw order per day. Only the market and economy streams are counted.
     open     news stream: per record in roster order, 1 uniform then
              1 normal, only when the news intensity is not 0
     ticks    market stream (tick.cpp)
     close    jump stream: 1 uniform, 1 normal (market jump), then per
              record 1 uniform, 1 normal
              market volume stream: 1 normal
              instrument volume stream: 1 normal per volume state entry
     macro    economy stream (macro_step.cpp)
   Every one of these is drawn whatever its outcome, so each stream's
   position after a day depends only on the roster size and the model. */
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/allocation.hpp"
#include "core/bounds.hpp"
#include "core/engine.hpp"
#include "core/float_environment.hpp"
#include "core/macro_step.hpp"
#include "core/maths.hpp"
#include "core/sectors.hpp"
#include "core/text.hpp"

namespace corvane {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double LN_2 = 0.6931471805599453;
// Long-run daily variance of an instrument whose sector is not in the table.
constexpr double FALLBACK_BASE_VARIANCE = 0.000225;

// Stress points per business-cycle phase, in phase order.
constexpr std::array<double, 5> PHASE_STRESS = {0.0, 0.25, 1.0, 0.75, 0.25};

}  // namespace

// --- Session buffer ----------------------------------------------------------

namespace {

// A session's rows are written once and not read until the session ends.
// When a session's rows outgrow a core's own caches, as they do from about
// a hundred instruments at a day's ticks, they bypass the caches rather than
// evict the tick's working memory; smaller ones stay in cache, where they
// are read back from, and where bypassing would only wait on memory. The
// bits stored are the value's either way.
constexpr double BYPASS_BYTES = 4.0 * 1024.0 * 1024.0;

bool bypasses_caches(std::uint64_t ticks, std::size_t instruments) noexcept {
    constexpr double CELLS_PER_ROW = 5 + TICK_COMPONENTS;
    return static_cast<double>(ticks) * static_cast<double>(instruments) * CELLS_PER_ROW *
               static_cast<double>(sizeof(double)) >
           BYPASS_BYTES;
}

inline void put_cell(double* cell, double value, bool bypass) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    if (bypass) {
        _mm_stream_si64(reinterpret_cast<long long*>(cell), std::bit_cast<long long>(value));
        return;
    }
#endif
    *cell = value;
}

// Orders the bypassing stores before whatever follows.
inline void cells_written(bool bypass) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    if (bypass) _mm_sfence();
#endif
}

}  // namespace

namespace {

AllocationFailure session_failure(std::uint64_t ticks, std::size_t count) {
    return AllocationFailure(text::message("cannot allocate the session buffers for ", ticks,
                                           " ticks x ", count, " instruments"));
}

}  // namespace

void SessionBuffer::check_fits(std::uint64_t ticks, std::size_t count) {
    constexpr std::uint64_t LIMIT = static_cast<std::uint64_t>(
        std::numeric_limits<std::ptrdiff_t>::max() / static_cast<std::ptrdiff_t>(sizeof(double)));
    if (count != 0 && ticks > LIMIT / count) throw session_failure(ticks, count);
    // The day buffers take a copy of every matrix but one more column, so
    // the two together are held to physical memory.
    constexpr std::uint64_t MATRICES = 2 * (5 + TICK_COMPONENTS) + 1;
    std::uint64_t memory = physical_memory_bytes();
    if (memory != 0 && ticks * count > memory / (MATRICES * sizeof(double))) {
        throw session_failure(ticks, count);
    }
}

void SessionBuffer::reserve_session(std::uint64_t ticks, std::size_t count) {
    // Every size is checked before any matrix grows.
    check_fits(ticks, count);
    auto cells = static_cast<std::size_t>(ticks * count);
    auto failure = [&] { return session_failure(ticks, count); };
    auto grow = [cells, &failure](std::vector<double>& matrix) {
        try {
            if (matrix.size() < cells) matrix.resize(cells, 0.0);
        } catch (const std::bad_alloc&) {
            throw failure();
        }
    };
    grow(price);
    grow(volume);
    grow(mispricing_s);
    grow(tick_fundamental);
    grow(tick_anchor);
    for (std::vector<double>& matrix : components) grow(matrix);
    try {
        if (start_volume.size() < count) start_volume.resize(count, 0.0);
    } catch (const std::bad_alloc&) {
        throw failure();
    }
    instruments = count;
}

std::uint64_t SessionBuffer::rows_held(std::size_t count) const noexcept {
    if (count == 0) return std::numeric_limits<std::uint64_t>::max();
    std::size_t cells = std::min({price.size(), volume.size(), mispricing_s.size(),
                                  tick_fundamental.size(), tick_anchor.size()});
    for (const std::vector<double>& matrix : components) cells = std::min(cells, matrix.size());
    return start_volume.size() < count ? 0 : cells / count;
}

std::span<const double> SessionBuffer::row(const std::vector<double>& matrix,
                                           std::uint64_t tick) const {
    return std::span<const double>(matrix).subspan(static_cast<std::size_t>(tick) * instruments,
                                                   instruments);
}

// --- Open ----------------------------------------------------------------------

void Engine::open_market() {
    IeeeEnvironmentScope ieee;
    // Fresh day vectors, day factor and pending news.
    reset_day_vectors();
    market_.day_factor = 0.0;
    pending_news_.clear();
    cache_.invalidate(CacheReason::news);

    // Endogenous news: a company-specific impulse for a few records a day.
    double intensity = model_.endogenous_news_intensity;
    if (!(intensity == 0.0)) {
        GameRng& news = stream(Stream::news);
        for (const CompanyDetails& c : roster_) {
            double u = news.next_float();
            double z = news.next_normal();
            if (intensity > u) {
                pending_news_.push_back(
                    NewsEvent{z * model_.endogenous_news_sigma, c.company_id, c.sector});
            }
        }
    }

    // The day opens where yesterday closed; the breaker band centres there.
    for (TradingState& c : trading_) {
        c.previous_close = c.price;
        c.open = c.price;
        c.high = c.price;
        c.low = c.price;
        c.volume = 0.0;
    }
}

// --- Session -------------------------------------------------------------------

Result<SessionOutcome> Engine::run_session(const SessionRequest& request, SessionBuffer& buffer) {
    return session(request, &buffer);
}

Result<SessionOutcome> Engine::run_session(const SessionRequest& request) {
    return session(request, nullptr);
}

namespace {

// The close request of a session: supplied innovations as given, absent ones
// replaced by the day's accumulated noise.
void session_innovations(const SessionRequest& request, std::span<const AttributionRow> attribution,
                         std::vector<std::optional<double>>& out) {
    out.clear();
    for (std::size_t k = 0; k < request.close.innovations.size(); ++k) {
        const std::optional<double>& given = request.close.innovations[k];
        if (given) {
            out.push_back(given);
        } else if (k < attribution.size()) {
            out.push_back(attribution[k][slot(Component::random_noise)]);
        } else {
            out.push_back(std::nullopt);
        }
    }
}

Status check_close_lengths(std::size_t innovations, std::size_t base_variances, std::size_t n) {
    if (innovations == n && base_variances == n) return Status::success();
    return Error{text::message("close request has ", innovations, " innovations and ",
                               base_variances, " sector base variances for ", n, " companies")};
}

// Whether the watched instrument has left the stop's band.
bool stop_triggered(const SessionRequest& request, std::span<const TradingState> roster) {
    if (!request.stop || request.stop->index >= roster.size()) return false;
    const StopCondition& stop = *request.stop;
    double p = roster[stop.index].price;
    return (stop.lower && p < *stop.lower) || (stop.upper && p > *stop.upper);
}

// The clock runs on without wrapping, into closed hours if need be.
void advance_clock(TickInput& input) {
    input.minute += 1;
    if (input.minute == 60) {
        input.minute = 0;
        input.hour += 1;
    }
}

}  // namespace

Result<SessionOutcome> Engine::session(const SessionRequest& request, SessionBuffer* buffer) {
    IeeeEnvironmentScope ieee;
    // Everything that can be refused is refused before the first change.
    if (request.close_at_end) {
        Status lengths =
            check_close_lengths(request.close.innovations.size(),
                                request.close.sector_base_variances.size(), roster_.size());
        if (!lengths) return Error{lengths.error()};
    }
    if (buffer) {
        std::uint64_t first_slice = session_slice_ticks(roster_.size());
        buffer->reserve_session(std::min(request.ticks, first_slice), roster_.size());
        buffer->ticks_written = request.ticks;
    }
    if (request.open_at_start) open_market();
    if (buffer) {
        for (std::size_t i = 0; i < roster_.size(); ++i)
            buffer->start_volume[i] = trading_[i].volume;
    }
    SessionOutcome outcome = session_ticks(request, buffer);
    if (outcome.stopped || outcome.interrupted || outcome.failure) return outcome;
    if (request.close_at_end) {
        session_innovations(request, attribution_, close_innovations_);
        Status closed = close_market({close_innovations_, request.close.sector_base_variances,
                                      request.close.roll_average_volume});
        if (!closed) return Error{closed.error()};
    }
    return outcome;
}

SessionOutcome Engine::session_ticks(const SessionRequest& request, SessionBuffer* buffer) {
    std::size_t n = roster_.size();
    TickInput input = request.tick;
    const std::uint64_t slice = session_slice_ticks(n);
    const bool bypass = bypasses_caches(request.ticks, n);
    SessionOutcome outcome;
    // Ends the session after `ran` ticks, short of what was asked.
    auto ended_after = [&](std::uint64_t ran) {
        if (buffer) buffer->ticks_written = ran;
        outcome.tick = ran;
        return outcome;
    };
    for (std::uint64_t first = 0, end = 0; first < request.ticks; first = end) {
        end = request.ticks - first > slice ? first + slice : request.ticks;
        // Between slices the caller may end the run; what ran stays run.
        if (first > 0 && request.keep_going && !request.keep_going()) {
            outcome.interrupted = true;
            return ended_after(first);
        }
        // Room for the slice, doubling so that copies stay a fraction of
        // the run; never the whole request up front.
        if (buffer && buffer->rows_held(n) < end) {
            std::uint64_t held = buffer->rows_held(n);
            std::uint64_t rows = held > request.ticks / 2 ? request.ticks : std::max(end, 2 * held);
            try {
                buffer->reserve_session(rows, n);
            } catch (const std::bad_alloc&) {
                outcome.failure = std::current_exception();
                return ended_after(first);
            }
        }
        for (std::uint64_t t = first; t < end; ++t) {
            outcome.draws += tick(input).draws;
            if (buffer) write_session_row(*buffer, t, bypass);

            // The stop fires on the first tick that leaves the band; no close.
            if (stop_triggered(request, trading_)) {
                if (buffer) buffer->ticks_written = t + 1;
                outcome.stopped = true;
                outcome.tick = t;
                return outcome;
            }
            advance_clock(input);
        }
    }
    outcome.tick = request.ticks;
    return outcome;
}

void Engine::write_session_row(SessionBuffer& buffer, std::uint64_t t, bool bypass) const {
    std::size_t n = roster_.size();
    std::size_t base = static_cast<std::size_t>(t) * n;
    // The day vectors hold a row per instrument; should one fall short, the
    // checked copy fills its gaps as the tick would have left them.
    if (tick_fundamental_.size() < n || tick_anchor_.size() < n || tick_components_.size() < n) {
        write_session_row_checked(buffer, base);
        return;
    }
    double* price = buffer.price.data() + base;
    double* volume = buffer.volume.data() + base;
    double* mispricing_s = buffer.mispricing_s.data() + base;
    for (std::size_t i = 0; i < n; ++i) {
        const TradingState& c = trading_[i];
        put_cell(price + i, c.price, bypass);
        put_cell(volume + i, c.volume, bypass);
        put_cell(mispricing_s + i, c.mispricing_s.value_or(NaN), bypass);
    }
    double* fundamental = buffer.tick_fundamental.data() + base;
    double* anchor = buffer.tick_anchor.data() + base;
    for (std::size_t i = 0; i < n; ++i) {
        put_cell(fundamental + i, tick_fundamental_[i], bypass);
        put_cell(anchor + i, tick_anchor_[i], bypass);
    }
    // Two columns at a time: half the passes over the rows, while two runs
    // of stores still fill whole lines (four or a block at a time measured
    // slower, their runs outnumbering the processor's write buffers).
    static_assert(TICK_COMPONENTS % 2 == 0);
    for (std::size_t k = 0; k < TICK_COMPONENTS; k += 2) {
        double* column = buffer.components[k].data() + base;
        double* next = buffer.components[k + 1].data() + base;
        for (std::size_t i = 0; i < n; ++i) {
            put_cell(column + i, tick_components_[i][k], bypass);
            put_cell(next + i, tick_components_[i][k + 1], bypass);
        }
    }
    cells_written(bypass);
}

void Engine::write_session_row_checked(SessionBuffer& buffer, std::size_t base) const {
    std::size_t n = roster_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const TradingState& c = trading_[i];
        std::size_t cell = base + i;
        buffer.price[cell] = c.price;
        buffer.volume[cell] = c.volume;
        buffer.mispricing_s[cell] = c.mispricing_s.value_or(NaN);
        buffer.tick_fundamental[cell] = i < tick_fundamental_.size() ? tick_fundamental_[i] : NaN;
        buffer.tick_anchor[cell] = i < tick_anchor_.size() ? tick_anchor_[i] : NaN;
        for (std::size_t k = 0; k < TICK_COMPONENTS; ++k) {
            buffer.components[k][cell] = i < tick_components_.size() ? tick_components_[i][k] : 0.0;
        }
    }
}

// --- Close ---------------------------------------------------------------------

// The close over one engine, stage by stage. Lives for the call only.
class DayClose {
public:
    DayClose(Engine& engine, const DayCloseRequest& request)
        : e_(engine),
          r_(request),
          p_(engine.model_),
          vix_ratio_(engine.economy_.vix / engine.model_.market_vol_vix_anchor) {}

    void run() {
        // Sized first: the close cannot fail once it has changed anything.
        e_.close_jumps_.assign(e_.roster_.size(), 0.0);
        if (p_.long_memory_sigma != 0.0) {
            e_.long_memory_states_.reserve(e_.roster_.size() * LONG_MEMORY_COMPONENTS);
        }
        for (std::size_t i = 0; i < e_.roster_.size(); ++i) close_instrument(i);
        update_market_variance();
        update_universe_stress();
        jump_mispricings();
        step_market_volume_state();
        step_instrument_volume_states();
        step_long_memory_states();
    }

private:
    // One instrument's day: its return feeds the GARCH variance, then the
    // daily figures roll over.
    void close_instrument(std::size_t i) {
        CompanyDetails& c = e_.roster_[i];
        TradingState& t = e_.trading_[i];
        double r = daily_return(t);
        const std::optional<double>& given = r_.innovations[i];
        double x = given && std::isfinite(*given) ? *given : r;
        update_garch_variance(c, t.market_cap, x, r_.sector_base_variances[i]);
        roll_mispricing_momentum(c, t, r);
        if (r_.roll_average_volume) roll_average_volume(c, t.volume);
    }

    static double daily_return(const TradingState& c) {
        return c.previous_close > 0.0 ? (c.price - c.previous_close) / c.previous_close : 0.0;
    }

    // The GARCH variance after innovation `x`, against the sector's base
    // variance: a single GJR update, or a cascade of components mixed with one.
    void update_garch_variance(CompanyDetails& c, double market_cap, double x, double base) {
        if (p_.garch_vix_coupling != 0.0) {
            double coupling = p_.garch_vix_coupling;
            base = base * ((coupling * vix_ratio_) * vix_ratio_ + (1.0 - coupling));
        }
        double persistence = garch_persistence(market_cap);
        double high = base * p_.garch_ceiling_multiple;
        double low = base * p_.garch_floor_multiple;
        double a = p_.garch_alpha;
        double g = p_.garch_gamma;
        // GJR update of one variance level; the asymmetric part only on a loss.
        auto gjr = [&](double level) {
            double h = persistence * level + ((x * a) * x + p_.garch_omega);
            if (x < 0.0) h = (x * g) * x + h;
            return bounds::num_clamp(h, low, high);
        };

        std::size_t components = cascade_components();
        if (components == 0) {
            c.garch_variance = gjr(c.garch_variance);
            return;
        }
        double total = (persistence + a) + g * 0.5;
        if (total <= 0.0 || total >= 1.0) {
            c.garch_variance = gjr(c.variance_components[0]);
            return;
        }
        double sum = update_cascade(c, components, x, base, total, low, high);
        double mean = sum / static_cast<double>(components);
        double single = gjr(c.variance_components[0]);
        double w = p_.garch_cascade_weight;
        c.garch_variance = mean * w + single * (1.0 - w);
    }

    // Persistence varies with size when dispersed: large caps remember longer.
    double garch_persistence(double market_cap) const {
        double persistence = p_.garch_beta;
        if (p_.garch_beta_dispersion != 0.0 && market_cap > 0.0) {
            double t = bounds::num_clamp(maths::log(market_cap / 20000000000.0) / 3.0, -1.0, 1.0);
            double ceiling = (0.97 - p_.garch_alpha) - p_.garch_gamma * 0.5;
            persistence = bounds::num_min(t * p_.garch_beta_dispersion + p_.garch_beta, ceiling);
            persistence = bounds::num_max(persistence, 0.0);
        }
        return persistence;
    }

    // Cascade: the first `components` levels, with half-lives growing by the
    // ratio from that of the total persistence. Returns their sum.
    double update_cascade(CompanyDetails& c, std::size_t components, double x, double base,
                          double total, double low, double high) const {
        double a = p_.garch_alpha;
        double g = p_.garch_gamma;
        double half_life = -LN_2 / maths::log(total);
        double shock = ((x < 0.0 ? g : 0.0) + a) * x * x;
        double ratio_power = 1.0;
        double sum = 0.0;
        for (std::size_t k = 0; k < components; ++k) {
            double phi = maths::exp(-LN_2 / (half_life * ratio_power));
            double beta_k = bounds::num_max((phi - a) - g * 0.5, 0.0);
            double& level = c.variance_components[k];
            level = bounds::num_clamp(
                beta_k * level + ((1.0 - ((a + beta_k) + g * 0.5)) * base + shock), low, high);
            sum += level;
            ratio_power = ratio_power * p_.garch_cascade_ratio;
        }
        return sum;
    }

    // Truncated toward zero; negative or NaN gives none, at most eight.
    std::size_t cascade_components() const {
        double k = p_.garch_cascade_components;
        if (!(k >= 1.0)) return 0;
        if (k >= static_cast<double>(VARIANCE_COMPONENTS)) return VARIANCE_COMPONENTS;
        return static_cast<std::size_t>(k);
    }

    // The day's return and the mispricing's move since the last close.
    static void roll_mispricing_momentum(CompanyDetails& c, TradingState& t, double r) {
        c.last_daily_return = r;
        if (t.mispricing_s) {
            double s = *t.mispricing_s;
            double prev = c.mispricing_s_prev_close.value_or(s);
            t.mispricing_momentum = s - prev;
            c.mispricing_s_prev_close = s;
        }
    }

    // A 20-day exponential average (weight 2/21) of the day's volume, rounded
    // half away from zero. 2.03 is a simulated day's volume as a multiple of
    // the average its ticks are scaled from (the intraday curve and the move
    // response lift them above a flat 1/390 each, about 2.03 under the first
    // preset); dividing by it puts the day back on the average's scale.
    static void roll_average_volume(CompanyDetails& c, double volume) {
        double v = volume / 2.03;
        if (v > 0.0) {
            c.avg_volume = std::round(v * 0.09523809523809523 + c.avg_volume * 0.9047619047619048);
        }
    }

    // The market factor's variance, then the day factor starts over.
    void update_market_variance() {
        MarketState& m = e_.market_;
        double sigma2 = p_.market_factor_sigma * p_.market_factor_sigma;
        double q = vix_ratio_;
        double c = p_.market_vol_vix_coupling;
        double alpha = p_.market_vol_alpha;
        double beta = p_.market_vol_beta;
        double f = m.day_factor;
        double high = p_.market_vol_ceiling_multiple * sigma2;
        double low = p_.market_vol_floor_multiple * sigma2;
        double target = ((1.0 - c) + c * (q * q)) * sigma2;

        if (p_.market_vol_slow_weight == 0.0) {
            double v = beta * m.variance + ((alpha * f) * f + ((1.0 - alpha) - beta) * target);
            v = bounds::num_clamp(v, low, high);
            m.variance = v;
            m.variance_components[0] = v;
        } else {
            // Two components: a fast one and a slow one that VIX moves less.
            double fast = beta * m.variance_components[0] +
                          (((1.0 - alpha) - beta) * target + (alpha * f) * f);
            fast = bounds::num_clamp(fast, low, high);
            if (p_.market_vol_slow_vix_damp != 0.0) {
                double damped = c * (1.0 - p_.market_vol_slow_vix_damp);
                target = sigma2 * ((q * q) * damped + (1.0 - damped));
            }
            double a = (1.0 - p_.market_vol_slow_gain) * p_.market_vol_slow_persistence;
            double gain = p_.market_vol_slow_persistence * p_.market_vol_slow_gain;
            double slow =
                a * m.variance_components[1] + ((gain * f) * f + ((1.0 - gain) - a) * target);
            slow = bounds::num_clamp(slow, low, high);
            m.variance_components = {fast, slow};
            double ws = p_.market_vol_slow_weight;
            m.variance = bounds::num_clamp(ws * slow + (1.0 - ws) * fast, low, high);
        }
        m.day_factor = 0.0;
    }

    // Stress rises to VIX's excess over the crisis threshold or the phase's
    // stress points, else decays.
    void update_universe_stress() {
        const EconomyState& econ = e_.economy_;
        double excess = econ.vix - p_.crisis_vix_threshold;
        if (!(excess > 0.0)) excess = 0.0;
        double regime =
            p_.regime_stress_points * PHASE_STRESS[static_cast<std::size_t>(econ.cycle_phase)];
        double& stress = e_.market_.universe_stress;
        stress =
            bounds::num_max(bounds::num_max(excess, regime), p_.universe_stress_decay * stress);
    }

    // Jumps, one for the market and one per instrument, shift the mispricing,
    // never the price: the next tick prices the new value.
    void jump_mispricings() {
        GameRng& jumps = e_.stream(Stream::jump);
        double market_intensity = p_.jump_intensity_market;
        double idio_intensity = p_.jump_intensity_idio;
        if (p_.jump_vix_coupling != 0.0) {
            double q = vix_ratio_;
            double factor = p_.jump_vix_coupling * q * q + (1.0 - p_.jump_vix_coupling);
            market_intensity = market_intensity * factor;
            idio_intensity = idio_intensity * factor;
        }
        double u = jumps.next_float();
        double z = jumps.next_normal();
        double market_jump =
            u < market_intensity ? p_.jump_mean_market + z * p_.jump_sigma_market : 0.0;

        for (std::size_t i = 0; i < e_.roster_.size(); ++i) {
            u = jumps.next_float();
            z = jumps.next_normal();
            double jump = (u < idio_intensity ? z * p_.jump_sigma_idio : 0.0) + market_jump;
            if (jump != 0.0) apply_jump(i, jump);
        }
    }

    void apply_jump(std::size_t i, double jump) {
        CompanyDetails& c = e_.roster_[i];
        TradingState& t = e_.trading_[i];
        double cap = p_.mispricing_cap;
        double s0 = t.mispricing_s.value_or(0.0);
        double s1 = bounds::num_clamp(s0 + jump, -cap, cap);
        e_.attribution_[i][slot(Component::jump)] += s1 - s0;
        e_.close_jumps_[i] = s1 - s0;
        t.mispricing_s = s1;
        // The part of the jump that is not momentum moves the reference too.
        double carried = (s1 - s0) * (1.0 - p_.jump_momentum_share);
        if (carried != 0.0 && c.mispricing_s_prev_close) {
            *c.mispricing_s_prev_close += carried;
        }
    }

    // The draw is taken whether or not the state moves.
    void step_market_volume_state() {
        double z = e_.stream(Stream::market_volume).next_normal();
        double& market = e_.market_.volume_state;
        if (p_.volume_persistence != 0.0 || p_.volume_innovation_sigma != 0.0) {
            market = z * p_.volume_innovation_sigma + p_.volume_persistence * market;
        }
    }

    // One draw per state entry whether or not the states move.
    void step_instrument_volume_states() {
        GameRng& own = e_.stream(Stream::instrument_volume);
        bool moves = p_.volume_idio_persistence != 0.0 || p_.volume_idio_sigma != 0.0;
        for (double& state : e_.instrument_volume_states_) {
            double z = own.next_normal();
            if (moves) state = state * p_.volume_idio_persistence + z * p_.volume_idio_sigma;
        }
    }

    // Each component is an AR(1) in days, with time scales growing
    // geometrically up to the horizon (horizon^((k+1)/K)) and a stationary
    // spread of sigma/sqrt(K) each; the fastest also falls by leverage x the
    // day's return, so volatility rises after a loss. The components of an instrument listed
    // since the last close start from a draw of that spread. One draw per
    // component, after the volume states; none while the option is off.
    void step_long_memory_states() {
        double sigma = p_.long_memory_sigma;
        if (sigma == 0.0) return;
        constexpr std::size_t K = LONG_MEMORY_COMPONENTS;
        double spread = sigma / std::sqrt(static_cast<double>(K));
        std::array<double, K> phi{};
        std::array<double, K> innovation{};
        for (std::size_t k = 0; k < K; ++k) {
            double halvings = static_cast<double>(K - 1 - k);
            phi[k] = maths::exp(-1.0 / (p_.long_memory_horizon / maths::pow(2.0, halvings)));
            innovation[k] = spread * std::sqrt(1.0 - phi[k] * phi[k]);
        }
        double limit = LONG_MEMORY_LIMIT * sigma;
        GameRng& own = e_.stream(Stream::instrument_volume);
        std::vector<double>& states = e_.long_memory_states_;
        std::size_t want = e_.roster_.size() * K;
        if (states.size() > want) states.resize(want);
        std::size_t have = states.size();
        for (std::size_t j = 0; j < want; ++j) {
            double z = own.next_normal();
            if (j < have) {
                double x = phi[j % K] * states[j] + innovation[j % K] * z;
                if (j % K == 0) {
                    x = x -
                        p_.long_memory_leverage * e_.roster_[j / K].last_daily_return.value_or(0.0);
                }
                // Ten of the component's spreads: the draws alone never
                // get there, a crash's leverage may.
                states[j] = bounds::num_clamp(x, -limit, limit);
            } else {
                states.push_back(spread * z);
            }
        }
    }

    Engine& e_;
    const DayCloseRequest& r_;
    const ModelParams& p_;
    // E.vix / market_vol_vix_anchor, as the close's stages read it.
    double vix_ratio_;
};

Status Engine::close_market(const DayCloseRequest& request) {
    IeeeEnvironmentScope ieee;
    Status lengths = check_close_lengths(request.innovations.size(),
                                         request.sector_base_variances.size(), roster_.size());
    if (!lengths) return lengths;
    DayClose(*this, request).run();
    cache_.invalidate(CacheReason::close);
    return Status::success();
}

void Engine::close_day(std::uint32_t day_number) {
    IeeeEnvironmentScope ieee;
    // GARCH innovations are the day's accumulated noise, not its return.
    close_innovations_.clear();
    for (const AttributionRow& row : attribution_) {
        close_innovations_.push_back(row[slot(Component::random_noise)]);
    }
    close_base_variances_.clear();
    for (const CompanyDetails& c : roster_) {
        const SectorSpec* spec = sectors::by_key(c.sector);
        close_base_variances_.push_back(spec ? spec->daily_sigma * spec->daily_sigma
                                             : FALLBACK_BASE_VARIANCE);
    }
    // The engine's own vectors always match the roster.
    (void)close_market({close_innovations_, close_base_variances_, false});
    advance_macro_day(day_number);
}

std::uint64_t Engine::advance_macro_day(std::uint32_t day_number) {
    day_count_ = day_number;
    MacroDaySummary summary =
        corvane::advance_macro_day(economy_, central_bank_, model_, stream(Stream::economy),
                                   roster_, trading_, market_.variance, day_number);
    cache_.invalidate(CacheReason::macro);
    draws_.economy += summary.economy_draws;
    return summary.economy_draws;
}

// --- Restore -------------------------------------------------------------------

Status Engine::check_day_state(std::size_t attribution, std::size_t tick_components,
                               std::size_t tick_fundamental, std::size_t tick_anchor) const {
    std::size_t n = roster_.size();
    struct Expected {
        const char* name;
        std::size_t given;
        std::size_t expected;
    };
    const Expected checks[] = {
        {"attribution", attribution, ATTRIBUTION_SLOTS * n},
        {"tick_components", tick_components, TICK_COMPONENTS * n},
        {"tick_fundamental", tick_fundamental, n},
        {"tick_anchor", tick_anchor, n},
    };
    for (const Expected& check : checks) {
        if (check.given != check.expected) {
            return Error{text::message(check.name, " has ", check.given, " values, expected ",
                                       check.expected)};
        }
    }
    return Status::success();
}

Status Engine::restore_day_state(std::span<const double> attribution,
                                 std::span<const double> tick_components,
                                 std::span<const double> tick_fundamental,
                                 std::span<const double> tick_anchor) {
    std::size_t n = roster_.size();
    Status valid = check_day_state(attribution.size(), tick_components.size(),
                                   tick_fundamental.size(), tick_anchor.size());
    if (!valid) return valid;
    // Build the new vectors first so that a failed allocation changes nothing.
    std::vector<AttributionRow> rows(n);
    std::vector<ComponentRow> components(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k)
            rows[i][k] = attribution[i * ATTRIBUTION_SLOTS + k];
        for (std::size_t k = 0; k < TICK_COMPONENTS; ++k)
            components[i][k] = tick_components[i * TICK_COMPONENTS + k];
    }
    std::vector<double> fundamental(tick_fundamental.begin(), tick_fundamental.end());
    std::vector<double> anchor(tick_anchor.begin(), tick_anchor.end());
    attribution_ = std::move(rows);
    tick_components_ = std::move(components);
    cache_.invalidate(CacheReason::restore);
    tick_fundamental_ = std::move(fundamental);
    tick_anchor_ = std::move(anchor);
    return Status::success();
}

}  // namespace corvane
