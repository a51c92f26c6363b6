"""The long-memory volatility option: off by default and out of every digest,
its components an exact AR(1) family, its scale on the instrument's noise."""

import math
import struct

import numpy as np
import pytest

import corvane
from corvane import Engine, ModelParams

K = 4


def states_of(engine):
    raw = engine.state_snapshot().get("long_memory_states", b"")
    return np.frombuffer(raw, dtype=np.float64).reshape(-1, K)


def switched_on(sigma=0.4, days=1):
    """Three instruments with the option at `sigma`, run `days` days."""
    model = ModelParams.from_preset("kx-v14", long_memory_sigma=sigma)
    engine = Engine(seed=1, universe=corvane.random_instruments(3, seed=1), model=model)
    if days:
        engine.run_days(days, record=False)
    return engine


def with_states(engine, states):
    snapshot = engine.state_snapshot()
    snapshot["long_memory_states"] = np.ascontiguousarray(states, dtype=np.float64).tobytes()
    engine.restore_state(snapshot)


class TestModel:
    def test_off_value_leaves_every_digest_as_it_was(self):
        preset = ModelParams.from_preset("kx-v14")
        assert ModelParams.from_preset("kx-v14", long_memory_sigma=0.0, long_memory_horizon=256.0) == preset
        assert ModelParams.from_preset("kx-v14", long_memory_sigma=0.0).fingerprint == "kx-v14"
        assert "long_memory_sigma" not in preset.to_dict() and preset.long_memory_horizon == 256.0
        on = ModelParams.from_preset("kx-v14", long_memory_sigma=0.5, long_memory_horizon=40.0)
        values = on.to_dict()
        assert len(values) == 125 and values["long_memory_sigma"] == 0.5 and values["long_memory_horizon"] == 40.0
        assert "long_memory_leverage" not in values
        assert on.fingerprint.startswith("custom-") and ModelParams.from_dict(values) == on
        # Written before the option existed, a dictionary still reads as the model it was.
        assert ModelParams.from_dict(preset.to_dict()) == preset

    @pytest.mark.parametrize("name, value, message", [
        ("long_memory_sigma", -0.1, "long_memory_sigma must lie in [0, 2], got -0.1"),
        ("long_memory_sigma", 2.5, "long_memory_sigma must lie in [0, 2], got 2.5"),
        ("long_memory_horizon", 0.5, "long_memory_horizon must lie in [1, 100000] days, got 0.5"),
        ("long_memory_leverage", 101.0, "long_memory_leverage must lie in [0, 100], got 101"),
    ])  # fmt: skip
    def test_refusals(self, refusal, name, value, message):
        assert refusal(ModelParams.from_preset, "kx-v14", **{name: value}) == message


def test_components_are_the_stated_autoregressions():
    # Each component k of every instrument: x' = phi_k x + sqrt(1 - phi_k^2) s z,
    # phi_k = exp(-2^(3-k) / horizon), s = sigma / 2, starting from N(0, s^2).
    sigma, horizon = 0.6, 8.0
    model = ModelParams.from_preset("kx-v14", long_memory_sigma=sigma, long_memory_horizon=horizon)
    engine = Engine(seed=4, universe=corvane.random_instruments(150, seed=2), model=model)
    assert states_of(engine).size == 0
    path = []
    for _ in range(120):
        engine.run_days(1, record=False)
        path.append(states_of(engine))
    path = np.array(path)  # days x instruments x components
    spread = sigma / math.sqrt(K)
    for k in range(K):
        phi = math.exp(-(2.0 ** (K - 1 - k)) / horizon)
        x = path[:, :, k]
        assert x.std() == pytest.approx(spread, rel=0.06)
        lagged = (x[1:] * x[:-1]).sum() / (x[:-1] ** 2).sum()
        assert lagged == pytest.approx(phi, abs=0.02)
        innovations = (x[1:] - phi * x[:-1]) / math.sqrt(1.0 - phi * phi)
        assert innovations.std() == pytest.approx(spread, rel=0.03)
        assert abs(np.corrcoef(innovations.ravel(), x[:-1].ravel())[0, 1]) < 0.02


def test_leverage_lowers_the_fastest_component_by_its_multiple_of_the_return():
    # The same market with and without the coupling is the same up to the
    # second close (the first only draws the components); there the fastest
    # component differs by -leverage x the day's return, the others not at all.
    universe = corvane.random_instruments(30, seed=3)
    plain, coupled = (Engine(seed=5, universe=universe, model=ModelParams.from_preset(
        "kx-v14", long_memory_sigma=0.5, long_memory_leverage=lev)) for lev in (0.0, 4.0))
    for e in (plain, coupled):
        e.run_days(2, record=False)
    returns = plain.column("last_daily_return", as_numpy=True)
    assert np.array_equal(coupled.column("last_daily_return", as_numpy=True), returns) and returns.std() > 0
    a, b = states_of(plain), states_of(coupled)
    assert np.array_equal(a[:, 1:], b[:, 1:])
    np.testing.assert_allclose(b[:, 0] - a[:, 0], -4.0 * returns, rtol=1e-9, atol=1e-15)


def test_the_scale_multiplies_the_instruments_own_noise():
    # With the market term switched off, a tick's noise is the instrument's
    # own and sector noise, both scaled by exp(sum of components - sigma^2):
    # the same tick from the same state but the last instrument's components
    # moves by exactly that ratio.
    sigma = 0.5
    model = ModelParams.from_preset("kx-v14", long_memory_sigma=sigma, market_factor_sigma=0.0,
                                    jump_intensity_market=0.0, jump_intensity_idio=0.0)
    engines = [Engine(seed=6, universe=corvane.random_instruments(5, seed=1), model=model) for _ in range(2)]
    for e in engines:
        e.run_days(2, record=False)
    base = states_of(engines[0])
    raised = base.copy()
    raised[-1] = [0.3, -0.1, 0.4, 0.2]
    with_states(engines[1], raised)
    noise = []
    for e in engines:
        e.open_market()
        e.tick(9, 30, 2)
        noise.append(e.attribution("random_noise", as_numpy=True).copy())
    ratio = math.exp(raised[-1].sum() - base[-1].sum())
    assert noise[1][-1] == pytest.approx(noise[0][-1] * ratio, rel=1e-12)
    assert np.array_equal(noise[1][:-1], noise[0][:-1])


class TestSnapshot:
    def test_carried_only_when_switched_on_and_checked_on_restore(self, refusal):
        off = switched_on(sigma=0.0)
        assert "long_memory_states" not in off.state_snapshot()
        e = switched_on()
        assert states_of(e).shape == (3, K)
        refusals = [
            (off, bytes(8 * K), "long_memory_states has 4 values, but the model's long-memory option is off"),
            (e, bytes(8 * 5), "long_memory_states has 5 values, expected 12 (4 per instrument)"),
            (e, struct.pack("<d", math.nan) + bytes(8 * 11), "long_memory_states holds NaN at position 0; "
             "the engine writes only finite values there"),
            (e, bytes(8 * 7) + struct.pack("<d", -8.5) + bytes(8 * 4),
             "long_memory_states[7] is -8.5, beyond 5 x long_memory_sigma; no run reaches it"),
        ]  # fmt: skip
        for target, raw, message in refusals:
            snapshot = target.state_snapshot()
            snapshot["long_memory_states"] = raw
            before = target.state_digest()
            assert refusal(target.restore_state, snapshot) == message
            assert target.state_digest() == before

    def test_a_state_from_before_the_first_close_has_none(self):
        fresh, later = switched_on(days=0), switched_on(days=2)
        later.restore_state(fresh.state_snapshot())
        assert states_of(later).size == 0
        for e in (fresh, later):
            e.run_days(1, record=False)
        assert np.array_equal(states_of(later), states_of(fresh)) and later.prices() == fresh.prices()

    def test_a_listing_draws_its_components_at_the_next_close(self):
        e = switched_on()
        before = states_of(e)
        e.list_instrument(corvane.Instrument("NEW", "energy", initial_price=30.0, shares_outstanding=5e6))
        e.delist(0)
        assert np.array_equal(states_of(e), before[1:])
        e.run_days(1, record=False)
        assert states_of(e).shape == (3, K)
