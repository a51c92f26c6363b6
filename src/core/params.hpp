// The model's coefficients: one immutable record of every number the price,
// volatility, volume, news and macro model reads, shipped as fourteen named
// presets. A model is a preset or a fingerprinted deviation from one, so that
// a name always identifies an exact model.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace corvane {

// Constants fixed in this build. They are published with every model so that
// its dictionary is complete, but the code that uses them reads them from
// here, so the published value is always the value the engine runs.
inline constexpr double DAILY_SHOCK_CAP = 0.15;
inline constexpr double NEUTRAL_DISCOUNT_RATE = 0.04;
inline constexpr double RATE_PE_SENSITIVITY = 1.5;
inline constexpr double RATE_ADJUSTMENT_FLOOR = 0.5;
inline constexpr double GROWTH_DURATION_SCALE = 2.0;
inline constexpr double LOSS_MAKING_PRICE_TO_BOOK = 1.2;
inline constexpr double FAIR_VALUE_FLOOR = 0.01;
inline constexpr double DEFAULT_SECTOR_ANCHOR_PE = 18.0;
inline constexpr double BOOK_LEVELS = 10.0;
inline constexpr double INVENTORY_LIMIT_LEVELS = 12.0;
inline constexpr double INFLATION_TARGET = 2.0;
inline constexpr double PHILLIPS_CURVE_COEFF = 0.2;
inline constexpr double OIL_BASELINE = 75.0;
inline constexpr double GOLD_EQUILIBRIUM_BASE = 2200.0;
inline constexpr double GOLD_MEAN_REVERSION = 0.002;
inline constexpr double FISCAL_MULTIPLIER = 0.3;

struct NamedConstant {
    std::string_view name;
    double value;
};

// The carried read-only constants in their published order. Besides these,
// every "sector_daily_sigma_" + sector key is carried (from the sector table).
inline constexpr std::array<NamedConstant, 16> CARRIED_READ_ONLY = {{
    {"daily_shock_cap", DAILY_SHOCK_CAP},
    {"neutral_discount_rate", NEUTRAL_DISCOUNT_RATE},
    {"rate_pe_sensitivity", RATE_PE_SENSITIVITY},
    {"rate_adjustment_floor", RATE_ADJUSTMENT_FLOOR},
    {"growth_duration_scale", GROWTH_DURATION_SCALE},
    {"loss_making_price_to_book", LOSS_MAKING_PRICE_TO_BOOK},
    {"fair_value_floor", FAIR_VALUE_FLOOR},
    {"default_sector_anchor_pe", DEFAULT_SECTOR_ANCHOR_PE},
    {"book_levels", BOOK_LEVELS},
    {"inventory_limit_levels", INVENTORY_LIMIT_LEVELS},
    {"inflation_target", INFLATION_TARGET},
    {"phillips_curve_coeff", PHILLIPS_CURVE_COEFF},
    {"oil_baseline", OIL_BASELINE},
    {"gold_equilibrium_base", GOLD_EQUILIBRIUM_BASE},
    {"gold_mean_reversion", GOLD_MEAN_REVERSION},
    {"fiscal_multiplier", FISCAL_MULTIPLIER},
}};

inline constexpr std::string_view SECTOR_DAILY_SIGMA_PREFIX = "sector_daily_sigma_";

// The order is the order a fingerprint tries them in and messages list them.
inline constexpr std::array<std::string_view, 14> SHIPPED_PRESETS = {
    "kx-v1", "kx-v2", "kx-v3",  "kx-v4",  "kx-v5",  "kx-v6",  "kx-v7",
    "kx-v8", "kx-v9", "kx-v10", "kx-v11", "kx-v12", "kx-v13", "kx-v14",
};
inline constexpr std::string_view DEFAULT_PRESET = "kx-v14";

// "unknown model preset \"x\". Shipped presets: kx-v1, ..., kx-v14"
std::string unknown_preset_message(std::string_view name);

// Ticks in a trading day; the per-tick persistence is derived with it.
inline constexpr double TICKS_PER_DAY = 390.0;

// One entry of a model's canonical serialisation.
struct CanonicalPair {
    std::string name;
    double value;
};

// 96 binary64 fields in stored order. The initialisers are the default
// preset, kx-v14, so `ModelParams{}` is the model an engine runs when given
// none; every other preset differs from it in a few fields only.
struct ModelParams {
    // Market, sector and instrument-own noise.
    double market_factor_sigma = 0.008829098749522557;
    double sector_vix_coupling = 1.0;
    double sector_factor_sigma = 0.0099802949;
    double sector_loading = 0.58821442;
    double sector_loading_beta_slope = 0.0;
    double crisis_blend_variance_damp = 0.0;
    double qe_pe_gain = 1.0;
    double idio_sigma_scale = 0.59604441;
    double idio_sigma_beta_exponent = 0.0;

    // Order flow and inflation.
    double order_flow_coefficient = 50.0;
    double informed_flow_fraction = 0.35;
    double inflation_reversion = 0.55;
    double inflation_ceiling = 6.0;
    double inflation_floor = -1.0;

    // News.
    double endogenous_news_intensity = 0.05;
    double endogenous_news_sigma = 0.020360516;
    double news_sector_weight = 0.5;
    double news_market_weight = 0.3;
    double news_peer_weight = 0.05;
    double news_peer_weight_down = 0.05;
    double news_peer_vix_coupling = 8.0;

    // Crash amplifier and crisis blend.
    double crash_amplifier_threshold = 2.0;
    double crash_amplifier_slope = 0.2;
    double crisis_blend_ramp = 1.4;
    double crisis_blend_cap = 0.98;
    double crisis_blend_gain = 0.8275881;
    double crisis_blend_source = 1.0;

    // Instrument GARCH variance.
    double garch_omega = 2e-06;
    double garch_alpha = 0.059507211981547736;
    double garch_beta = 0.6853150814664563;
    double garch_gamma = 0.18318536187800277;
    double garch_ceiling_multiple = 5.0;
    double garch_vix_coupling = 0.14219611;
    double garch_floor_multiple = 0.25;

    // Market volatility process.
    double market_vol_alpha = 0.28035004;
    double market_vol_beta = 0.69244622;
    double market_vol_ceiling_multiple = 32.0;
    double market_vol_floor_multiple = 0.05;
    double market_vol_vix_coupling = 0.9540498202999739;
    double market_vol_vix_anchor = 15.98426471;
    double market_vol_slow_persistence = 0.0;
    double market_vol_slow_gain = 0.0;

    // Fair-value floor, slow market volatility.
    double fair_value_book_floor = 0.0;
    double market_vol_slow_weight = 0.0;

    // Volume and GARCH cascade.
    double volume_variance_gain = 0.028403829887593345;
    double volume_idio_persistence = 0.0;
    double volume_idio_variance_gain = 0.0;
    double volume_idio_sigma = 0.0;
    double garch_cascade_components = 0.0;
    double garch_cascade_ratio = 3.0;
    double garch_cascade_weight = 1.0;
    double volume_move_floor = 0.6;
    double volume_move_response = 0.6;
    double volume_move_cap = 12.0;
    double volume_move_noise = 0.2;

    // Universe stress.
    double universe_stress_decay = 0.0;
    double universe_stress_weight = 0.0;
    double regime_stress_points = 0.0;
    double market_vol_slow_vix_damp = 0.0;

    // Jumps.
    double jump_intensity_market = 0.0565753337;
    double jump_mean_market = -0.008521833617959641;
    double jump_sigma_market = 0.0028601822465565054;
    double jump_intensity_idio = 0.0068895346;
    double jump_sigma_idio = 0.08745117;
    double jump_vix_coupling = 0.2626;
    double garch_beta_dispersion = 0.0;
    double jump_momentum_share = 0.0;

    // Volume process, size effects.
    double volume_persistence = 0.7;
    double volume_innovation_sigma = 0.21;
    double size_effect_smoothness = 0.0;
    double size_effect_exponent = 0.15;
    double spread_size_smoothness = 0.0;
    double spread_size_exponent = 0.455;

    // VIX and crisis thresholds.
    double vix_mean_reversion = 0.12;
    double vix_realised_vol_weight = 0.0;
    double vix_return_source = 1.0;
    double vix_cycle_amplitude = 0.0;
    double vix_return_gain = 17.0;
    double vix_return_gain_up = 17.0;
    double vix_return_clamp = 15.0;
    double vix_target_shock_cap = 45.0;
    double crisis_vix_threshold = 30.88325108;
    double usd_crisis_vix_threshold = 25.5;
    double daily_credit_floor_gain = 0.0;

    // Mispricing model. `mispricing_phi` and `s_phi_tick` are derived from the
    // half-life and carried as recorded bits; they are never set directly.
    double mispricing_half_life_days = 60.0;
    double mispricing_phi = 0.9885140203528962;
    double s_phi_tick = 0.9999703787643346;
    double momentum_theta = 0.018551562499999993;
    double mispricing_cap = 0.9;
    double crowd_valuation_gain = 0.006;
    double crowd_momentum_gain = 0.02;
    double crowd_lean_cap = 0.02;

    // Circuit breaker and price cap.
    double price_breaker_fraction = 0.25;
    double price_hard_cap = 50000.0;

    // Long-memory volatility: each instrument's noise is scaled by the
    // exponential of a sum of slow log-volatility components whose time
    // scales double up to `long_memory_horizon` days, so that volatility
    // clusters over months; `long_memory_leverage` lowers the fastest
    // component by that multiple of the day's return, lifting it after a loss. Each is
    // out of the digest at its initial value.
    double long_memory_sigma = 0.0;
    double long_memory_horizon = 256.0;
    double long_memory_leverage = 0.0;

    // Hidden band multipliers, kept in step with `price_breaker_fraction`:
    // not named, not in the digest, not in any dictionary.
    double breaker_band_upper = 1.25;
    double breaker_band_lower = 0.75;

    // A copy of a shipped preset; nothing for any other name (exact,
    // case-sensitive: "kx-v01", "KX-V1" and "kx-v15" are not presets).
    static std::optional<ModelParams> preset(std::string_view name) noexcept;
    // The model an engine runs without a model argument (kx-v14).
    static ModelParams default_preset() noexcept { return ModelParams{}; }

    // A coefficient by name: a carried constant, or one of the 95 settable
    // and 2 derived fields. The hidden band multipliers have no name.
    std::optional<double> get(std::string_view name) const noexcept;
    // The 95 settable names in ascending byte order; a fresh vector per call.
    static std::vector<std::string_view> settable_names();
    // A carried constant's value, including "sector_daily_sigma_" + key.
    static std::optional<double> carried_read_only(std::string_view name) noexcept;

    // A copy with one coefficient replaced (and its dependants recomputed),
    // or the refusal. `*this` is never changed.
    Result<ModelParams> with_override(std::string_view name, double value) const;
    // The canonical pairs, sorted by name byte-wise: 122, and one more for
    // each optional coefficient away from its off value.
    std::vector<CanonicalPair> to_pairs() const;
    // SHA-256 of the canonical serialisation, 64 lower-case hex digits.
    std::string digest() const;
    // The shipped preset this model is bit-identical to, else "custom-" and
    // the first eight hex digits of the digest.
    std::string fingerprint() const;
};

enum class FieldKind { settable, derived, hidden };

struct FieldInfo {
    std::string_view name;
    double ModelParams::*member;
    FieldKind kind;
};

// Every field in stored order: the one table that name lookup, the settable
// list and the canonical pairs are driven by.
inline constexpr std::array<FieldInfo, 99> MODEL_FIELDS = {{
    {"market_factor_sigma", &ModelParams::market_factor_sigma, FieldKind::settable},
    {"sector_vix_coupling", &ModelParams::sector_vix_coupling, FieldKind::settable},
    {"sector_factor_sigma", &ModelParams::sector_factor_sigma, FieldKind::settable},
    {"sector_loading", &ModelParams::sector_loading, FieldKind::settable},
    {"sector_loading_beta_slope", &ModelParams::sector_loading_beta_slope, FieldKind::settable},
    {"crisis_blend_variance_damp", &ModelParams::crisis_blend_variance_damp, FieldKind::settable},
    {"qe_pe_gain", &ModelParams::qe_pe_gain, FieldKind::settable},
    {"idio_sigma_scale", &ModelParams::idio_sigma_scale, FieldKind::settable},
    {"idio_sigma_beta_exponent", &ModelParams::idio_sigma_beta_exponent, FieldKind::settable},
    {"order_flow_coefficient", &ModelParams::order_flow_coefficient, FieldKind::settable},
    {"informed_flow_fraction", &ModelParams::informed_flow_fraction, FieldKind::settable},
    {"inflation_reversion", &ModelParams::inflation_reversion, FieldKind::settable},
    {"inflation_ceiling", &ModelParams::inflation_ceiling, FieldKind::settable},
    {"inflation_floor", &ModelParams::inflation_floor, FieldKind::settable},
    {"endogenous_news_intensity", &ModelParams::endogenous_news_intensity, FieldKind::settable},
    {"endogenous_news_sigma", &ModelParams::endogenous_news_sigma, FieldKind::settable},
    {"news_sector_weight", &ModelParams::news_sector_weight, FieldKind::settable},
    {"news_market_weight", &ModelParams::news_market_weight, FieldKind::settable},
    {"news_peer_weight", &ModelParams::news_peer_weight, FieldKind::settable},
    {"news_peer_weight_down", &ModelParams::news_peer_weight_down, FieldKind::settable},
    {"news_peer_vix_coupling", &ModelParams::news_peer_vix_coupling, FieldKind::settable},
    {"crash_amplifier_threshold", &ModelParams::crash_amplifier_threshold, FieldKind::settable},
    {"crash_amplifier_slope", &ModelParams::crash_amplifier_slope, FieldKind::settable},
    {"crisis_blend_ramp", &ModelParams::crisis_blend_ramp, FieldKind::settable},
    {"crisis_blend_cap", &ModelParams::crisis_blend_cap, FieldKind::settable},
    {"crisis_blend_gain", &ModelParams::crisis_blend_gain, FieldKind::settable},
    {"crisis_blend_source", &ModelParams::crisis_blend_source, FieldKind::settable},
    {"garch_omega", &ModelParams::garch_omega, FieldKind::settable},
    {"garch_alpha", &ModelParams::garch_alpha, FieldKind::settable},
    {"garch_beta", &ModelParams::garch_beta, FieldKind::settable},
    {"garch_gamma", &ModelParams::garch_gamma, FieldKind::settable},
    {"garch_ceiling_multiple", &ModelParams::garch_ceiling_multiple, FieldKind::settable},
    {"garch_vix_coupling", &ModelParams::garch_vix_coupling, FieldKind::settable},
    {"garch_floor_multiple", &ModelParams::garch_floor_multiple, FieldKind::settable},
    {"market_vol_alpha", &ModelParams::market_vol_alpha, FieldKind::settable},
    {"market_vol_beta", &ModelParams::market_vol_beta, FieldKind::settable},
    {"market_vol_ceiling_multiple", &ModelParams::market_vol_ceiling_multiple, FieldKind::settable},
    {"market_vol_floor_multiple", &ModelParams::market_vol_floor_multiple, FieldKind::settable},
    {"market_vol_vix_coupling", &ModelParams::market_vol_vix_coupling, FieldKind::settable},
    {"market_vol_vix_anchor", &ModelParams::market_vol_vix_anchor, FieldKind::settable},
    {"market_vol_slow_persistence", &ModelParams::market_vol_slow_persistence, FieldKind::settable},
    {"market_vol_slow_gain", &ModelParams::market_vol_slow_gain, FieldKind::settable},
    {"fair_value_book_floor", &ModelParams::fair_value_book_floor, FieldKind::settable},
    {"market_vol_slow_weight", &ModelParams::market_vol_slow_weight, FieldKind::settable},
    {"volume_variance_gain", &ModelParams::volume_variance_gain, FieldKind::settable},
    {"volume_idio_persistence", &ModelParams::volume_idio_persistence, FieldKind::settable},
    {"volume_idio_variance_gain", &ModelParams::volume_idio_variance_gain, FieldKind::settable},
    {"volume_idio_sigma", &ModelParams::volume_idio_sigma, FieldKind::settable},
    {"garch_cascade_components", &ModelParams::garch_cascade_components, FieldKind::settable},
    {"garch_cascade_ratio", &ModelParams::garch_cascade_ratio, FieldKind::settable},
    {"garch_cascade_weight", &ModelParams::garch_cascade_weight, FieldKind::settable},
    {"volume_move_floor", &ModelParams::volume_move_floor, FieldKind::settable},
    {"volume_move_response", &ModelParams::volume_move_response, FieldKind::settable},
    {"volume_move_cap", &ModelParams::volume_move_cap, FieldKind::settable},
    {"volume_move_noise", &ModelParams::volume_move_noise, FieldKind::settable},
    {"universe_stress_decay", &ModelParams::universe_stress_decay, FieldKind::settable},
    {"universe_stress_weight", &ModelParams::universe_stress_weight, FieldKind::settable},
    {"regime_stress_points", &ModelParams::regime_stress_points, FieldKind::settable},
    {"market_vol_slow_vix_damp", &ModelParams::market_vol_slow_vix_damp, FieldKind::settable},
    {"jump_intensity_market", &ModelParams::jump_intensity_market, FieldKind::settable},
    {"jump_mean_market", &ModelParams::jump_mean_market, FieldKind::settable},
    {"jump_sigma_market", &ModelParams::jump_sigma_market, FieldKind::settable},
    {"jump_intensity_idio", &ModelParams::jump_intensity_idio, FieldKind::settable},
    {"jump_sigma_idio", &ModelParams::jump_sigma_idio, FieldKind::settable},
    {"jump_vix_coupling", &ModelParams::jump_vix_coupling, FieldKind::settable},
    {"garch_beta_dispersion", &ModelParams::garch_beta_dispersion, FieldKind::settable},
    {"jump_momentum_share", &ModelParams::jump_momentum_share, FieldKind::settable},
    {"volume_persistence", &ModelParams::volume_persistence, FieldKind::settable},
    {"volume_innovation_sigma", &ModelParams::volume_innovation_sigma, FieldKind::settable},
    {"size_effect_smoothness", &ModelParams::size_effect_smoothness, FieldKind::settable},
    {"size_effect_exponent", &ModelParams::size_effect_exponent, FieldKind::settable},
    {"spread_size_smoothness", &ModelParams::spread_size_smoothness, FieldKind::settable},
    {"spread_size_exponent", &ModelParams::spread_size_exponent, FieldKind::settable},
    {"vix_mean_reversion", &ModelParams::vix_mean_reversion, FieldKind::settable},
    {"vix_realised_vol_weight", &ModelParams::vix_realised_vol_weight, FieldKind::settable},
    {"vix_return_source", &ModelParams::vix_return_source, FieldKind::settable},
    {"vix_cycle_amplitude", &ModelParams::vix_cycle_amplitude, FieldKind::settable},
    {"vix_return_gain", &ModelParams::vix_return_gain, FieldKind::settable},
    {"vix_return_gain_up", &ModelParams::vix_return_gain_up, FieldKind::settable},
    {"vix_return_clamp", &ModelParams::vix_return_clamp, FieldKind::settable},
    {"vix_target_shock_cap", &ModelParams::vix_target_shock_cap, FieldKind::settable},
    {"crisis_vix_threshold", &ModelParams::crisis_vix_threshold, FieldKind::settable},
    {"usd_crisis_vix_threshold", &ModelParams::usd_crisis_vix_threshold, FieldKind::settable},
    {"daily_credit_floor_gain", &ModelParams::daily_credit_floor_gain, FieldKind::settable},
    {"mispricing_half_life_days", &ModelParams::mispricing_half_life_days, FieldKind::settable},
    {"mispricing_phi", &ModelParams::mispricing_phi, FieldKind::derived},
    {"s_phi_tick", &ModelParams::s_phi_tick, FieldKind::derived},
    {"momentum_theta", &ModelParams::momentum_theta, FieldKind::settable},
    {"mispricing_cap", &ModelParams::mispricing_cap, FieldKind::settable},
    {"crowd_valuation_gain", &ModelParams::crowd_valuation_gain, FieldKind::settable},
    {"crowd_momentum_gain", &ModelParams::crowd_momentum_gain, FieldKind::settable},
    {"crowd_lean_cap", &ModelParams::crowd_lean_cap, FieldKind::settable},
    {"price_breaker_fraction", &ModelParams::price_breaker_fraction, FieldKind::settable},
    {"price_hard_cap", &ModelParams::price_hard_cap, FieldKind::settable},
    {"long_memory_sigma", &ModelParams::long_memory_sigma, FieldKind::settable},
    {"long_memory_horizon", &ModelParams::long_memory_horizon, FieldKind::settable},
    {"long_memory_leverage", &ModelParams::long_memory_leverage, FieldKind::settable},
    {"breaker_band_upper", &ModelParams::breaker_band_upper, FieldKind::hidden},
    {"breaker_band_lower", &ModelParams::breaker_band_lower, FieldKind::hidden},
}};

static_assert(sizeof(ModelParams) == MODEL_FIELDS.size() * sizeof(double));

}  // namespace corvane
