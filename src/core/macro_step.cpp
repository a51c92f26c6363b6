#include "core/macro_step.hpp"

#include <array>
#include <cmath>

#include "core/bounds.hpp"
#include "core/maths.hpp"

namespace corvane {
namespace {

using bounds::nan_clamp;
using bounds::nan_max;
using bounds::nan_min;

// A normal shock of standard deviation `sigma` about zero.
double shock(double sigma, double z) { return 0.0 + sigma * z; }

// Phase-indexed tables, in the order expansion, peak, contraction, trough,
// recovery.
template <class T>
using ByPhase = std::array<T, 5>;
constexpr ByPhase<double> GROWTH_TARGET = {3.0, 1.25, -1.5, -0.25, 2.25};
constexpr ByPhase<double> UNEMPLOYMENT_DRIFT = {-0.015, 0.0, 0.09, 0.012, -0.03};
constexpr ByPhase<double> INFLATION_DRIFT = {0.0006, 0.0006, -0.0008, -0.0004, 0.0004};
constexpr ByPhase<double> SENTIMENT_OFFSET = {0.0, 5.0, -20.0, -15.0, -5.0};
constexpr ByPhase<double> CREDIT_STRESS = {1.0, 1.1, 2.8, 3.5, 1.4};
constexpr ByPhase<double> BASE_RECESSION_PROBABILITY = {0.1, 0.3, 0.7, 0.5, 0.2};
constexpr ByPhase<double> VIX_LEVEL = {14.0, 18.0, 25.0, 22.0, 16.0};
constexpr ByPhase<double> FEAR_GREED_OFFSET = {15.0, 5.0, -25.0, -20.0, 10.0};

// A phase lasts a Weibull-distributed number of months (shape k, scale
// lambda) and is never left before its minimum.
struct PhaseDuration {
    double minimum_months;
    double shape;
    double scale;
};
constexpr ByPhase<PhaseDuration> PHASE_DURATION = {{
    {6.0, 1.8, 36.0},
    {2.0, 2.0, 6.0},
    {4.0, 0.7, 12.0},
    {2.0, 1.5, 4.0},
    {4.0, 1.3, 12.0},
}};

// The phase clock advances a thirtieth of a month a day; below this a phase
// is new and gets its entry shock (its first two days).
constexpr double PHASE_ENTRY_WINDOW = 0.034333333333333334;
constexpr double MONTHS_PER_DAY = 0.03333333333333333;
constexpr double TWO_PI = 6.283185307179586;
constexpr std::uint64_t MINUTES_PER_DAY = 1440;
constexpr std::uint64_t CARTEL_MEETING_INTERVAL_DAYS = 90;
// Central-bank purchases at full QE; the P/E boost and yield pressure scale
// with the share still bought.
constexpr double QE_FULL_PURCHASES = 120.0;

std::size_t index_of(CyclePhase phase) { return static_cast<std::size_t>(phase); }

bool contracting(CyclePhase phase) {
    return phase == CyclePhase::contraction || phase == CyclePhase::trough;
}
bool growing(CyclePhase phase) {
    return phase == CyclePhase::expansion || phase == CyclePhase::recovery;
}

// The economy stream with its count of values handed out.
class EconomyDraws {
public:
    explicit EconomyDraws(GameRng& rng) : rng_(rng) {}
    double uniform() {
        ++count_;
        return rng_.next_float();
    }
    double normal() {
        ++count_;
        return rng_.next_normal();
    }
    std::uint64_t count() const { return count_; }

private:
    GameRng& rng_;
    std::uint64_t count_ = 0;
};

// Day arithmetic is signed so that the days before the seasonal origin stay
// exact: floor((d - 1) / 365) whole years have passed before day d.
std::int64_t year_start(std::int64_t day) {
    std::int64_t elapsed = day - 1;
    std::int64_t years = elapsed / 365;
    if (elapsed % 365 < 0) --years;
    return 365 * years;
}

// ---------------------------------------------------------------------------
// Reading the market: what the roster tells the economy.

struct MarketReading {
    // Percent moves, capitalisation-weighted.
    double tick_return = 0.0;
    double close_return = 0.0;
    // The VIX level the market variance implies.
    double realised_vix = 0.0;
};

bool active(const CompanyDetails& company) { return company.tradable && !company.suspended; }

// Capitalisation-weighted percent move of the active instruments away from
// the base `base_of` gives; instruments without a positive base sit out.
// A roster that contributes no capitalisation has not moved.
template <class BaseOf>
double weighted_return(std::span<const CompanyDetails> roster,
                       std::span<const TradingState> trading, BaseOf base_of) {
    double weighted = 0.0;
    double capitalisation = 0.0;
    for (std::size_t i = 0; i < roster.size(); ++i) {
        if (!active(roster[i])) continue;
        const TradingState& company = trading[i];
        std::optional<double> base = base_of(company);
        if (!base || !(*base > 0.0)) continue;
        weighted += 100.0 * (company.price - *base) / *base * company.market_cap;
        capitalisation += company.market_cap;
    }
    return capitalisation == 0.0 ? 0.0 : weighted / capitalisation;
}

MarketReading read_market(EconomyState& economy, const ModelParams& model,
                          std::span<const CompanyDetails> roster,
                          std::span<const TradingState> trading, double market_variance) {
    // Market P/E over the profitable names with a plausible multiple.
    double weighted_pe = 0.0;
    double capitalisation = 0.0;
    for (std::size_t i = 0; i < roster.size(); ++i) {
        const CompanyDetails& company = roster[i];
        if (!active(company) || !company.eps || !(*company.eps > 0.0)) continue;
        double pe = trading[i].price / *company.eps;
        if (pe > 0.0 && pe < 200.0) {
            capitalisation += trading[i].market_cap;
            weighted_pe += pe * trading[i].market_cap;
        }
    }
    if (capitalisation > 0.0) economy.market_pe = weighted_pe / capitalisation;

    MarketReading reading;
    reading.tick_return = weighted_return(
        roster, trading, [](const TradingState& c) { return c.previous_tick_price; });
    economy.previous_day_market_return = reading.tick_return;
    if (model.vix_return_source != 0.0 && !roster.empty()) {
        reading.close_return = weighted_return(roster, trading, [](const TradingState& c) {
            return std::optional<double>(c.previous_close);
        });
    }
    if (model.vix_realised_vol_weight != 0.0) {
        reading.realised_vix =
            std::sqrt(market_variance) * model.market_vol_vix_anchor / model.market_factor_sigma;
    }
    return reading;
}

// ---------------------------------------------------------------------------
// Growth shocks at phase entry and each quarter.

// One uniform, whatever the phase, for as long as the phase is new.
void phase_entry_shock(EconomyState& economy, EconomyDraws& draws) {
    if (!(economy.months_in_current_phase < PHASE_ENTRY_WINDOW)) return;
    double u = draws.uniform();
    double growth = economy.gdp_growth;
    switch (economy.cycle_phase) {
        case CyclePhase::expansion: growth = growth + 0.5; break;
        case CyclePhase::peak: break;
        case CyclePhase::contraction: growth = growth + -((u + u) + 2.0); break;
        case CyclePhase::trough: growth = growth + -0.5; break;
        case CyclePhase::recovery: growth = growth + 1.0; break;
    }
    economy.gdp_growth = nan_clamp(growth, -10.0, 6.0);
}

// One normal: a quarter of the way to the phase's growth target.
void quarterly_growth(EconomyState& economy, EconomyDraws& draws) {
    double z = draws.normal();
    double g = economy.gdp_growth;
    double target = GROWTH_TARGET[index_of(economy.cycle_phase)];
    economy.gdp_growth = nan_clamp(g + (target - g) * 0.25 + shock(0.3, z), -10.0, 6.0);
}

// ---------------------------------------------------------------------------
// The monthly block: the slow series, once every 30 days.
//
// Exactly eight normals, drawn up front in this order: growth, unemployment,
// jobs, inflation, consumer confidence, business confidence, housing index,
// home starts. `start` is the economy as the day found it; `e.gdp_growth` is
// the growth after the phase-entry and quarterly shocks.

struct MonthlyNormals {
    double growth;
    double unemployment;
    double jobs;
    double inflation;
    double consumer_confidence;
    double business_confidence;
    double housing_index;
    double home_starts;
};

MonthlyNormals draw_monthly_normals(EconomyDraws& draws) {
    MonthlyNormals z{};
    z.growth = draws.normal();
    z.unemployment = draws.normal();
    z.jobs = draws.normal();
    z.inflation = draws.normal();
    z.consumer_confidence = draws.normal();
    z.business_confidence = draws.normal();
    z.housing_index = draws.normal();
    z.home_starts = draws.normal();
    return z;
}

// An eighth of the way to the phase's growth target, twice as hard while
// growth runs against the phase.
double growth_pull(const EconomyState& e, double z) {
    const CyclePhase phase = e.cycle_phase;
    const double g = e.gdp_growth;
    bool wrong_sign = (growing(phase) && g < 0.0) || (contracting(phase) && g > 0.0);
    double k = wrong_sign ? 2.0 : 1.0;
    return nan_clamp((GROWTH_TARGET[index_of(phase)] - g) * 0.12 * k + g + shock(0.1, z), -10.0,
                     6.0);
}

// Unemployment: back towards structural, phase drift, Okun's law. Each point
// it rises costs half a million jobs a month against a trend of 200,000.
double unemployment_and_jobs(EconomyState& e, const EconomyState& start, double g2,
                             const MonthlyNormals& z) {
    const CyclePhase phase = e.cycle_phase;
    const double u0 = start.unemployment_rate;
    double okun = growing(phase) && g2 > 1.0 ? -0.08 * g2 : 0.0;
    double u1 = nan_clamp(0.06 * (e.structural_unemployment - u0) +
                              ((UNEMPLOYMENT_DRIFT[index_of(phase)] + u0) + 0.2 * (2.0 - g2)) +
                              okun + shock(0.06, z.unemployment),
                          2.5, 15.0);
    e.unemployment_rate = u1;
    e.jobs_created =
        nan_clamp((u1 - u0) * -500000.0 + 200000.0 + shock(30000.0, z.jobs), -500000.0, 500000.0);
    return u1;
}

// Wages chase inflation and, once it runs hot, stay close behind it.
double wage_growth(EconomyState& e, const EconomyState& start) {
    const double infl = start.inflation_rate;
    double wage_target = 0.5 * (e.structural_unemployment - start.unemployment_rate) + 0.7 * infl;
    if (infl > 3.0) wage_target = nan_max(wage_target, 0.8 * infl);
    double wage1 = (wage_target - start.wage_growth) * 0.15 + start.wage_growth;
    e.wage_growth = wage1;
    return wage1;
}

// Inflation: reversion, drift, tight money and dear oil, tariffs and the
// dollar (both about their neutral 5% and 100), the Phillips curve, wages
// above 2%, and a wage-price spiral above 3% inflation and 4% wage growth.
// Core inflation follows at three tenths of the gap a month.
void inflation(EconomyState& e, const EconomyState& start, const ModelParams& model, double u1,
               double wage1, double z) {
    const double infl = start.inflation_rate;
    const double wage = start.wage_growth;
    const double fed = start.federal_funds_rate;
    const double oil = start.oil_price;
    double policy_drag = fed > infl ? -0.04 * (fed - infl) : fed > 3.0 ? -0.015 * (fed - 3.0) : 0.0;
    double oil_drag = oil > 80.0 ? 0.01 * (oil - 80.0) : oil < 50.0 ? 0.005 * (oil - 50.0) : 0.0;

    double a = model.inflation_reversion * (INFLATION_TARGET - infl) + infl;
    a = a + INFLATION_DRIFT[index_of(e.cycle_phase)];
    a = a + policy_drag;
    a = a + oil_drag;
    double b = ((start.tariff_rate - 5.0) * 0.01) * 0.03 + a;
    b = b - ((start.usd_index - 100.0) * 0.01) * 0.03;
    b = b - (u1 - e.structural_unemployment) * PHILLIPS_CURVE_COEFF;
    double spiral = infl > 3.0 && wage > 4.0 ? 0.02 * (infl - 3.0) * (wage - 4.0) : 0.0;
    double c = (nan_max(0.0, wage1 - 2.0) * 0.08 + spiral) + b;
    double infl1 =
        nan_max(nan_min(shock(0.04, z) + c, model.inflation_ceiling), model.inflation_floor);
    e.inflation_rate = infl1;
    double core = e.core_inflation;
    e.core_inflation = nan_clamp((infl1 - core) * 0.3 + core, -1.0, 12.0);
}

// Confidence: towards a level set by growth, jobs and the phase, lifted by
// greed (about a neutral 50) and the month's market return. Returns the new
// consumer confidence, which housing reads.
double confidence(EconomyState& e, const EconomyState& start, const MonthlyNormals& z) {
    const double r30 = e.rolling_market_return_30d;
    double confidence_target = ((5.0 * start.gdp_growth + 100.0) - 3.0 * start.unemployment_rate) +
                               SENTIMENT_OFFSET[index_of(e.cycle_phase)];
    double cc = e.consumer_confidence;
    double cc1 = nan_clamp((confidence_target - cc) * 0.25 + cc +
                               ((e.fear_greed_index - 50.0) / 50.0) * 2.0 + 3.0 * r30 +
                               shock(3.0, z.consumer_confidence),
                           40.0, 130.0);
    e.consumer_confidence = cc1;
    double bc = e.business_confidence;
    e.business_confidence = nan_clamp(
        (confidence_target - bc) * 0.2 + bc + 4.5 * r30 + shock(4.5, z.business_confidence), 40.0,
        130.0);
    return cc1;
}

// Housing: mortgage rates (about a neutral 5%) and confidence set the level,
// at the pace a liquid market allows; recession odds over 30% push it down.
// Starts follow rates and growth; turnover dries up with dear mortgages and
// unemployment over 5%.
void housing(EconomyState& e, const EconomyState& start, double cc1, const MonthlyNormals& z) {
    const double g0 = start.gdp_growth;
    const double u0 = start.unemployment_rate;
    const double m = e.mortgage_rate_30y;
    const double rp = e.recession_probability;
    double housing_target =
        nan_clamp((g0 + g0) + ((m - 5.0) * -4.0 + 100.0) + (cc1 - 100.0) * 0.1, 75.0, 130.0);
    double liquidity = nan_max(0.3, e.housing_transaction_volume / 100.0);
    double distress = rp > 0.3 ? (rp - 0.3) * -2.0 : 0.0;
    double h = e.housing_index;
    e.housing_index = nan_clamp(
        (distress + (housing_target - h) * 0.08 * liquidity) + shock(0.3, z.housing_index) + h,
        75.0, 180.0);

    double growth_boost = g0 > 2.0 ? 0.02 : g0 < 0.0 ? -0.05 : 0.0;
    double factor =
        1.0 + nan_max(-0.3, (m - 5.0) * -0.05) + growth_boost + shock(1.0, z.home_starts) * 0.02;
    e.home_starts_monthly = nan_clamp(e.home_starts_monthly * factor, 500000.0, 2000000.0);

    double volume_target =
        nan_max(30.0, (100.0 - 15.0 * nan_max(0.0, m - 5.0)) - nan_max(0.0, 5.0 * (u0 - 5.0)));
    double volume = e.housing_transaction_volume;
    e.housing_transaction_volume = volume + 0.3 * (volume_target - volume);
}

// Labour: slumps push people out of work for good and out of the force;
// structural unemployment rises with the long-term jobless.
void labour_force(EconomyState& e, const EconomyState& start) {
    const double g0 = start.gdp_growth;
    const double u0 = start.unemployment_rate;
    double ltu = e.long_term_unemployment_rate;
    double participation_target;
    if (contracting(e.cycle_phase)) {
        participation_target = 60.0 - 0.5 * (u0 - 5.0);
        ltu = ltu + 0.05 * (0.4 * u0 - ltu);
    } else {
        participation_target = 63.0 + 0.3 * (g0 - 1.0);
        ltu = nan_max(0.5, 0.97 * ltu);
    }
    e.long_term_unemployment_rate = ltu;
    double lfp = e.labor_force_participation;
    e.labor_force_participation = nan_clamp(lfp + 0.01 * (participation_target - lfp), 55.0, 68.0);
    e.structural_unemployment = 4.0 + 0.3 * ltu;
}

// Fiscal: stimulus in a slump (more once unemployment passes 7%), paid for
// with debt, a twelfth of the yearly rate each month; wound down after, and
// debt repaid towards 60% of output while growth is strong. Returns the
// growth with the stimulus added.
double fiscal_policy(EconomyState& e, const EconomyState& start, double g2) {
    const double u0 = start.unemployment_rate;
    if (contracting(e.cycle_phase)) {
        double stimulus = nan_min(6.0, u0 > 7.0 ? 1.0 + nan_min(4.0, 0.8 * (u0 - 5.0)) : 1.0);
        e.fiscal_stimulus = stimulus;
        e.government_debt_to_gdp = e.government_debt_to_gdp + stimulus / 12.0;
        return g2 + FISCAL_MULTIPLIER * stimulus / 12.0;
    }
    e.fiscal_stimulus = nan_max(0.0, e.fiscal_stimulus - 0.2);
    if (g2 > 2.0) e.government_debt_to_gdp = nan_max(60.0, e.government_debt_to_gdp - 0.05);
    return g2;
}

void monthly_block(EconomyState& e, const EconomyState& start, const ModelParams& model,
                   EconomyDraws& draws) {
    const MonthlyNormals z = draw_monthly_normals(draws);
    double g2 = growth_pull(e, z.growth);
    double u1 = unemployment_and_jobs(e, start, g2, z);
    double wage1 = wage_growth(e, start);
    inflation(e, start, model, u1, wage1, z.inflation);
    double cc1 = confidence(e, start, z);
    housing(e, start, cc1, z);
    labour_force(e, start);
    e.gdp_growth = fiscal_policy(e, start, g2);
}

// ---------------------------------------------------------------------------
// The daily block: markets, yields and sentiment.
//
// Draw order, whatever the state: one normal for the oil inventory, the
// cartel's uniforms (none between meetings, one or two at a meeting), then
// one normal each for oil, gold, copper, the dollar index, the trade
// balance, the VIX, the 10-year yield and fear-and-greed. Values read from
// `start` are those the day found, before any shock or monthly update.

// Every 90 days the producers meet: a cheap barrel invites a supply cut, a
// dear one more supply, a fair one a small surprise either way. The days
// since the last meeting are an unsigned difference: a last meeting dated
// after today (a restored state) wraps round to a long wait, so the
// producers meet at once.
double cartel_supply_shock(EconomyState& e, double oil0, std::uint32_t day, EconomyDraws& draws) {
    std::uint64_t d = day;
    if (d - e.oil_last_opec_day < CARTEL_MEETING_INTERVAL_DAYS) return 0.0;
    e.oil_last_opec_day = d;
    double x = oil0 - 80.0;
    if (x < -10.0) {
        if (draws.uniform() < 0.6) return 3.0 * draws.uniform() + 3.0;
    } else if (x > 10.0) {
        if (draws.uniform() < 0.5) return -(3.0 * draws.uniform() + 2.0);
    } else if (draws.uniform() < 0.2) {
        return 3.0 * (draws.uniform() - 0.5);
    }
    return 0.0;
}

void oil_market(EconomyState& e, const EconomyState& start, std::uint32_t day,
                EconomyDraws& draws) {
    const double g0 = start.gdp_growth;
    const double oil0 = start.oil_price;

    // Growth drains inventories; an overfull store weighs on the price and a
    // depleted one lifts it.
    double z_inventory = draws.normal();
    double inventory =
        nan_clamp(e.oil_inventory_level - (0.15 * g0 + shock(0.5, z_inventory)), 0.0, 100.0);
    e.oil_inventory_level = inventory;
    double inventory_effect = inventory > 60.0   ? 0.08 * (60.0 - inventory)
                              : inventory < 40.0 ? 0.08 * (40.0 - inventory)
                                                 : 0.0;

    double supply_shock = cartel_supply_shock(e, oil0, day, draws);

    // A yearly demand cycle on top of reversion to a growth-dependent level.
    std::int64_t d = day;
    std::int64_t season_day = d - year_start(d) - 90;
    double seasonal = 1.0 + 0.03 * maths::sin(TWO_PI * static_cast<double>(season_day) / 365.0);
    double pre = ((((OIL_BASELINE + 3.0 * g0) - oil0) * 0.03 + oil0) + inventory_effect) -
                 0.08 * (start.usd_index - 100.0) + supply_shock;
    double z_oil = draws.normal();
    e.oil_price = nan_clamp(seasonal * (pre + shock(2.0, z_oil)), 35.0, 150.0);
}

void metals(EconomyState& e, const EconomyState& start, const ModelParams& model,
            EconomyDraws& draws) {
    const double g0 = start.gdp_growth;
    const double infl0 = start.inflation_rate;
    const double fed0 = start.federal_funds_rate;
    const double vix0 = start.vix;
    const double gold0 = start.gold_price;
    const double r_prev = start.previous_day_market_return;

    // Gold: a fair level set by inflation and real rates, plus crisis and
    // panic bids and fear.
    double fair =
        (((infl0 - 2.5) * 50.0 + nan_max(0.0, 150.0 * (infl0 - 2.0))) + GOLD_EQUILIBRIUM_BASE) +
        (fed0 - infl0) * -100.0;
    double threshold = model.crisis_vix_threshold;
    double crisis = g0 < -1.0 && vix0 > threshold
                        ? nan_min(5.0, (vix0 - threshold) * 0.15 + std::fabs(g0))
                        : 0.0;
    double panic = r_prev < -1.0 ? 2.0 * std::fabs(r_prev) : 0.0;
    double drift = panic + ((nan_max(0.0, 1.5 * (infl0 - 2.0)) - 0.8 * (fed0 - infl0)) + crisis) +
                   (fair - gold0) * GOLD_MEAN_REVERSION + (50.0 - start.fear_greed_index) * 0.03;
    double z_gold = draws.normal();
    e.gold_price = nan_clamp(gold0 + (drift + shock(3.0, z_gold)), 800.0, 5000.0);

    // Copper follows growth and housing, against the dollar.
    double z_copper = draws.normal();
    double copper = e.copper_price;
    e.copper_price = nan_clamp(copper +
                                   (0.02 * g0 + 0.001 * (start.housing_index - 100.0) -
                                    0.003 * (start.usd_index - 100.0)) +
                                   shock(0.04, z_copper),
                               2.0, 8.0);
}

void dollar_and_trade(EconomyState& e, const EconomyState& start, const ModelParams& model,
                      EconomyDraws& draws) {
    const double usd0 = start.usd_index;
    const double vix0 = start.vix;

    // The dollar follows the policy rate and is bid in a crisis.
    double threshold = model.usd_crisis_vix_threshold;
    double crisis = vix0 > threshold ? 0.05 * (vix0 - threshold) : 0.0;
    double z_usd = draws.normal();
    e.usd_index =
        nan_clamp(usd0 + (crisis + ((start.federal_funds_rate - 2.5) * 3.0 + 100.0 - usd0) * 0.02) +
                      shock(0.3, z_usd),
                  80.0, 130.0);

    double z_trade = draws.normal();
    double balance = e.trade_balance;
    e.trade_balance = nan_clamp(
        balance + ((usd0 - 100.0) * -0.3 + 0.5 * e.tariff_rate) * 0.01 + shock(0.5, z_trade),
        -200.0, 50.0);
}

void vix(EconomyState& e, const EconomyState& start, const ModelParams& model,
         const MarketReading& market, std::uint32_t day, EconomyDraws& draws) {
    // The phase sets a level; the amplitude scales it about 19.
    double level = VIX_LEVEL[index_of(e.cycle_phase)];
    double amplitude = model.vix_cycle_amplitude;
    double cyc = amplitude == 1.0 ? level : (level - 19.0) * amplitude + 19.0;

    // Falling markets and hot inflation raise the target.
    double source = model.vix_return_source;
    double ret = source == 0.0 ? market.tick_return
                               : market.close_return * source + (1.0 - source) * market.tick_return;
    ret = nan_clamp(ret, -model.vix_return_clamp, model.vix_return_clamp);
    double gain = ret < 0.0 ? model.vix_return_gain : model.vix_return_gain_up;
    double lift = nan_min(nan_max(0.0, (start.inflation_rate - 3.0) * 0.2) - ret * gain,
                          model.vix_target_shock_cap);
    double target = cyc + lift;

    // The first half of each 30.44-day month carries half a point more.
    std::int64_t d = day;
    std::int64_t y = d - 1 - year_start(d);
    double day_in_month =
        static_cast<double>(y + 1) - std::floor(std::floor(static_cast<double>(y) / 30.44) * 30.44);
    if (day_in_month <= 15.0) target = 0.5 + target;

    double weight = model.vix_realised_vol_weight;
    if (weight != 0.0) target = market.realised_vix * weight + (1.0 - weight) * target;

    double z = draws.normal();
    double vix0 = start.vix;
    e.vix =
        nan_clamp((target - vix0) * model.vix_mean_reversion + vix0 + shock(0.15, z), 10.0, 80.0);
}

void treasury_yields(EconomyState& e, const EconomyState& start, EconomyDraws& draws) {
    const double infl0 = start.inflation_rate;
    const double fed0 = start.federal_funds_rate;

    // Term premium for inflation and debt on top of the policy rate.
    double target = ((nan_max(0.0, 0.3 * (infl0 - 2.0)) + 1.0) +
                     nan_max(0.0, 0.002 * (start.government_debt_to_gdp - 100.0))) +
                    fed0;
    double z = draws.normal();
    double y = e.treasury_yield_10y;
    double y1 = nan_clamp((target - y) * 0.05 + y + shock(0.03, z), 0.5, 12.0);

    // After a big market day money moves with or against bonds, depending on
    // whether inflation is the worry.
    double r_prev = start.previous_day_market_return;
    if (std::fabs(r_prev) > 0.5) {
        double flow = infl0 > 4.0 ? -0.02 * r_prev : infl0 < 3.0 ? 0.02 * r_prev : 0.0;
        y1 = nan_clamp(y1 + flow, 0.5, 12.0);
    }
    e.treasury_yield_10y = y1;
    e.treasury_yield_2y = 0.85 * fed0 + 0.15 * y1;
}

void fear_and_greed(EconomyState& e, const EconomyState& start, const MarketReading& market,
                    EconomyDraws& draws) {
    const double fg0 = start.fear_greed_index;
    double target = (((start.vix - 15.0) * -0.8 + (3.0 * start.gdp_growth + 50.0)) +
                     FEAR_GREED_OFFSET[index_of(e.cycle_phase)]) +
                    5.0 * market.tick_return;
    double z = draws.normal();
    e.fear_greed_index = nan_clamp((target - fg0) * 0.25 + fg0 + shock(2.0, z), 0.0, 100.0);
}

// Levels, recession odds, the phase clock and the rolling return. Draws nothing.
void daily_bookkeeping(EconomyState& e, const MarketReading& market, double level_growth) {
    e.gdp = e.gdp * (1.0 + (level_growth / 100.0) / 365.0);
    e.cpi = e.cpi * (1.0 + (e.inflation_rate / 100.0) / 365.0);

    // Recession odds drift to the phase's base, higher under an inverted curve.
    double base = BASE_RECESSION_PROBABILITY[index_of(e.cycle_phase)];
    double y10 = e.treasury_yield_10y;
    double y2 = e.treasury_yield_2y;
    if (y10 < y2) base = base + nan_min(0.25, 0.15 * std::fabs(y10 - y2));
    double rp = e.recession_probability;
    e.recession_probability = nan_clamp((nan_min(0.95, base) - rp) * 0.1 + rp, 0.05, 0.95);

    e.months_in_current_phase = e.months_in_current_phase + MONTHS_PER_DAY;

    double r30 = e.rolling_market_return_30d;
    e.rolling_market_return_30d = (market.tick_return - r30) / 30.0 + r30;
}

// Credit and mortgages never trade too close to the 10-year yield.
void credit_floor(EconomyState& e, const ModelParams& model) {
    double gain = model.daily_credit_floor_gain;
    if (!(gain > 0.0)) return;
    double y = e.treasury_yield_10y;
    e.corporate_bond_yield = nan_max(e.corporate_bond_yield, y + 0.8 * gain);
    e.mortgage_rate_30y = nan_max(e.mortgage_rate_30y, y + 0.5 * gain);
}

void daily_block(EconomyState& e, const EconomyState& start, const ModelParams& model,
                 const MarketReading& market, double level_growth, std::uint32_t day,
                 EconomyDraws& draws) {
    oil_market(e, start, day, draws);
    metals(e, start, model, draws);
    dollar_and_trade(e, start, model, draws);
    vix(e, start, model, market, day, draws);
    treasury_yields(e, start, draws);
    fear_and_greed(e, start, market, draws);
    daily_bookkeeping(e, market, level_growth);
    credit_floor(e, model);
}

// ---------------------------------------------------------------------------
// The business cycle.

// The state's pull towards or away from the next phase, added in a fixed
// order to the duration hazard.
double adjusted_for_conditions(double p, const EconomyState& e) {
    const double infl = e.inflation_rate;
    const double rate = e.federal_funds_rate;
    const double u = e.unemployment_rate;
    const double g = e.gdp_growth;
    const double y10 = e.treasury_yield_10y;
    const double y2 = e.treasury_yield_2y;
    switch (e.cycle_phase) {
        case CyclePhase::expansion:
            if (infl > 4.0) p = p + 0.1;
            if (rate > 5.0) p = p + 0.1;
            if (y2 > y10) p = p + nan_min(0.15, 0.08 * (y2 - y10));
            if (e.market_pe && *e.market_pe > 28.0) {
                p = p + nan_min(0.1, 0.005 * (*e.market_pe - 28.0));
            }
            if (u > 8.0 || g < 1.0) p = p - 0.2;
            break;
        case CyclePhase::peak: break;
        case CyclePhase::contraction:
            if (rate < 1.0) p = p + 0.1;
            if (g < -2.0) p = p + 0.05;
            if (u > 10.0) p = p + 0.05;
            if (y10 - y2 > 1.5) p = p + 0.05;
            break;
        case CyclePhase::trough:
            if (rate < 3.0) p = p + 0.1;
            if (u > 8.0) p = p + 0.05;
            break;
        case CyclePhase::recovery:
            if (u > 10.0) p = p - 0.1;
            break;
    }
    return p;
}

// One uniform, and only once the phase has lasted its minimum.
bool cycle_transition(EconomyState& e, EconomyDraws& draws) {
    const PhaseDuration& duration = PHASE_DURATION[index_of(e.cycle_phase)];
    double m = e.months_in_current_phase;
    if (m < duration.minimum_months) return false;

    // The Weibull hazard of leaving the phase after m months.
    double k = duration.shape;
    double lambda = duration.scale;
    double hazard = m <= 0.0 ? 0.0 : maths::pow(m / lambda, k - 1.0) * (k / lambda);
    double p = nan_clamp(adjusted_for_conditions(nan_min(0.8, hazard), e), 0.0, 0.3);

    double u = draws.uniform();
    if (!(p > u)) return false;
    e.cycle_phase = static_cast<CyclePhase>((index_of(e.cycle_phase) + 1) % PHASE_DURATION.size());
    e.months_in_current_phase = 0.0;
    return true;
}

// ---------------------------------------------------------------------------
// The central bank.

struct PolicyDecision {
    double move;
    // Absent when the score is left alone.
    std::optional<double> score_change;
    std::uint8_t code;
};

// The first rule that matches decides. Only the two crisis rules draw: one
// uniform for the size of their cut.
PolicyDecision decide(const EconomyState& e, const CentralBank& bank, EconomyDraws& draws) {
    const double infl = e.inflation_rate;
    const double rate = e.federal_funds_rate;
    const double u = e.unemployment_rate;
    const double g = e.gdp_growth;
    const bool slump = contracting(e.cycle_phase);

    if (u > 10.0 && g < -2.0) {
        double v = draws.uniform();
        return {-(1.0 + 0.5 * v), -0.5, 3};
    }
    if (g < 0.0 && u > 8.0) {
        double v = draws.uniform();
        return {-(0.5 + 0.5 * v), -0.4, 3};
    }
    if (g >= 0.0 && u > 8.0 && infl < 3.0) return {-0.75, -0.4, 5};
    if (slump && g < 0.0 && u > 7.0) {
        if (rate > infl) return {-0.25, -0.2, 2};
        return {0.0, std::nullopt, 6};
    }
    if (slump && rate > 5.0) return {-0.25, -0.15, 2};

    // A rule-based gap between where the rate belongs and where it is.
    const double target = bank.target_inflation;
    const double gap = infl - target;
    const double t =
        0.1 * bank.hawkish_dovish_score +
        ((bank.target_unemployment - u) * 0.5 + (gap * 0.5 + ((infl / target - 1.0) * 0.5 + 2.0))) -
        rate;
    if (t > 2.0 && infl > rate && infl > target + 4.0) {
        return {infl - rate > 4.0 ? 1.0 : 0.75, 0.4, 0};
    }
    if (infl > 4.0 && infl - rate > 2.0) return {0.75, 0.35, 0};
    if (infl > target + 2.0 && t > 1.0) return {0.5, 0.3, 0};
    if (infl > target + 1.0 && t > 0.5) return {0.25, 0.2, 1};
    if (infl < target + 2.0 && u > bank.target_unemployment + 1.0 && t < -0.5) {
        return {-0.25, -0.2, 2};
    }
    if (infl < target + 1.5 && t < -1.0 && slump) return {-0.5, -0.3, 3};
    if (u < 8.0 && infl > rate && infl > target + 1.5) {
        return {infl - rate > 3.0 ? 0.5 : 0.25, 0.15, 4};
    }
    return {0.0, std::nullopt, 6};
}

struct MeetingOutcome {
    std::uint8_t decision_code;
    std::uint8_t roll;
};

// Hikes are scaled up the further inflation is off target; cuts are not.
// Returns the move made.
double set_policy_rate(EconomyState& e, CentralBank& bank, const PolicyDecision& decision) {
    double gap = std::fabs(e.inflation_rate - bank.target_inflation);
    double scale = gap > 4.0 ? nan_max(2.0, gap / 1.5) : nan_max(1.0, 0.5 * gap);
    if (decision.score_change) {
        bank.hawkish_dovish_score =
            nan_clamp(bank.hawkish_dovish_score + *decision.score_change, -1.0, 1.0);
    }
    double move = decision.move > 0.0 ? decision.move * scale : decision.move;
    e.federal_funds_rate = nan_clamp(e.federal_funds_rate + move, 0.0, 8.0);
    return move;
}

// The curve, prime, mortgages and credit reprice off the new rate, replacing
// the daily block's values. The 10-year goes half way to a point over the
// rate (plus an inflation premium over 2%); spreads widen with the VIX over
// 12 and, for credit, with the phase's stress.
void reprice_rates(EconomyState& e, double move) {
    const double rate = e.federal_funds_rate;
    const double infl = e.inflation_rate;
    double y = e.treasury_yield_10y;
    double y1 = nan_clamp(
        (1.0 + rate + nan_max(0.0, 0.3 * (infl - 2.0)) - y) * 0.5 + y + 0.5 * move, 0.5, 12.0);
    e.treasury_yield_10y = y1;
    e.prime_rate = rate + 3.0;
    e.treasury_yield_2y = 0.85 * rate + 0.15 * y1;
    double v = e.vix;
    double mortgage_spread = nan_clamp(1.5 + 0.015 * (v - 12.0), 1.5, 2.8);
    e.mortgage_rate_30y =
        nan_min(nan_max(nan_max(e.prime_rate + 0.5, y1 + mortgage_spread), y1 + 0.5), y1 + 3.5);
    double credit_spread =
        nan_clamp((1.0 + 0.02 * (v - 12.0)) * CREDIT_STRESS[index_of(e.cycle_phase)], 0.8, 6.0);
    e.corporate_bond_yield = nan_max(y1 + 0.3, nan_max(y1 + 0.8, y1 + credit_spread));
}

// Two uniforms at every meeting: six weeks and up to a fortnight away;
// three weeks and up to ten days, with less jitter, while inflation is
// running away. Returns the roll of the first, floor(6u).
double schedule_next_meeting(const EconomyState& e, CentralBank& bank, std::uint64_t now,
                             EconomyDraws& draws) {
    const double infl = e.inflation_rate;
    bool urgent = infl > 4.0 && infl > e.federal_funds_rate + 2.0;
    double roll = std::floor(6.0 * draws.uniform());
    double jitter = std::floor(draws.uniform() * (urgent ? 10.0 : 14.0));
    bank.next_meeting_date = now + (urgent ? 21 : 42) * MINUTES_PER_DAY +
                             static_cast<std::uint64_t>(jitter) * MINUTES_PER_DAY;
    bank.last_meeting_date = now;
    return roll;
}

// QE starts at the zero bound in a contraction and tapers by 15 a meeting in
// expansion; while it buys, it lifts multiples and presses on the 10-year
// (spread over a 252-day year).
void quantitative_easing(EconomyState& e, CentralBank& bank) {
    if (e.cycle_phase == CyclePhase::contraction && e.federal_funds_rate <= 0.25) {
        bank.qe_active = true;
        bank.qe_monthly_purchases = QE_FULL_PURCHASES;
    } else if (e.cycle_phase == CyclePhase::expansion && bank.qe_active) {
        bank.qe_monthly_purchases = bank.qe_monthly_purchases - 15.0;
        if (bank.qe_monthly_purchases <= 0.0) {
            bank.qe_active = false;
            bank.qe_monthly_purchases = 0.0;
        }
    }
    double q = bank.qe_monthly_purchases;
    if (bank.qe_active && q > 0.0) {
        e.qe_pe_boost = (q / QE_FULL_PURCHASES) * 0.1;
        e.treasury_yield_10y =
            nan_max(0.1, (-0.5 * (q / QE_FULL_PURCHASES)) / 252.0 + e.treasury_yield_10y);
    } else {
        e.qe_pe_boost = 0.0;
    }
}

ForwardGuidance guidance(double hawkish_dovish_score) {
    return hawkish_dovish_score > 0.3    ? ForwardGuidance::ongoing_increases
           : hawkish_dovish_score < -0.3 ? ForwardGuidance::accommodative
                                         : ForwardGuidance::as_appropriate;
}

// Held on schedule, or at once when inflation runs more than four points
// over both 4% and the policy rate. Reads the phase after the cycle test.
std::optional<MeetingOutcome> central_bank_meeting(EconomyState& e, CentralBank& bank,
                                                   std::uint32_t day, EconomyDraws& draws) {
    const std::uint64_t now = std::uint64_t{day} * MINUTES_PER_DAY;
    const double infl = e.inflation_rate;
    bool emergency = infl - e.federal_funds_rate > 4.0 && infl > 4.0;
    if (!(now >= bank.next_meeting_date || emergency)) return std::nullopt;

    PolicyDecision decision = decide(e, bank, draws);
    double move = set_policy_rate(e, bank, decision);
    reprice_rates(e, move);
    double roll = schedule_next_meeting(e, bank, now, draws);
    quantitative_easing(e, bank);
    bank.forward_guidance = guidance(bank.hawkish_dovish_score);
    return MeetingOutcome{decision.code, static_cast<std::uint8_t>(roll)};
}

}  // namespace

MacroDaySummary advance_macro_day(EconomyState& economy, CentralBank& bank,
                                  const ModelParams& model, GameRng& economy_stream,
                                  std::span<const CompanyDetails> roster,
                                  std::span<const TradingState> trading, double market_variance,
                                  std::uint32_t day_number) {
    EconomyDraws draws(economy_stream);
    MacroDaySummary summary;
    // The day's starting values: every shock and update below reads these
    // where the model speaks of the economy "as the day found it".
    const EconomyState start = economy;

    // Market P/E and returns from the roster.
    MarketReading market = read_market(economy, model, roster, trading, market_variance);
    // Growth: the phase-entry jolt, then the quarterly pull.
    phase_entry_shock(economy, draws);
    if (day_number % 90 == 0) quarterly_growth(economy, draws);
    // Output grows at this rate today, whatever the monthly block decides.
    const double level_growth = economy.gdp_growth;
    // The slow series once a month; markets, yields and sentiment every day.
    if (day_number % 30 == 0) monthly_block(economy, start, model, draws);
    daily_block(economy, start, model, market, level_growth, day_number, draws);
    // The business cycle may turn, and then the central bank may meet.
    summary.phase_changed = cycle_transition(economy, draws);
    if (auto meeting = central_bank_meeting(economy, bank, day_number, draws)) {
        summary.meeting_held = true;
        summary.decision_code = meeting->decision_code;
        summary.meeting_roll = meeting->roll;
    }
    summary.economy_draws = draws.count();
    return summary;
}

}  // namespace corvane
