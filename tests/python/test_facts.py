import dataclasses
import json
import math
import pickle
from pathlib import Path

import numpy as np
import pytest

import corvane

stats = pytest.importorskip("scipy.stats")
stattools = pytest.importorskip("statsmodels.tsa.stattools")


def closes_of(returns):
    return 50.0 * np.exp(np.vstack([np.zeros(returns.shape[1]), np.cumsum(returns, axis=0)]))


class TestAgainstReferences:
    """One instrument, so each median is that instrument's figure."""

    def test_moments_and_acf_match_scipy_and_statsmodels(self):
        rng = np.random.default_rng(11)
        r = 0.01 * rng.standard_t(4, 3000) * (1.0 + 0.5 * np.sin(np.arange(3000) / 40.0))
        f = corvane.facts(closes_of(r[:, None]), lags=(1, 2, 7, 30, 100), ci=False)
        acf_abs = stattools.acf(np.abs(r), nlags=100, fft=False)
        for lag in (1, 2, 7, 30, 100):
            assert f.acf_abs[lag] == pytest.approx(acf_abs[lag], abs=1e-12)
        assert f.acf_1 == pytest.approx(stattools.acf(r, nlags=1, fft=False)[1], abs=1e-12)
        for h in (1, 5, 20):
            sums = r[: len(r) // h * h].reshape(-1, h).sum(axis=1)
            assert f.excess_kurtosis[h] == pytest.approx(stats.kurtosis(sums), abs=1e-12)
        assert f.gain_loss_asymmetry == pytest.approx(stats.skew(r), abs=1e-12)
        assert f.leverage == pytest.approx(stats.pearsonr(r[:-1], np.abs(r[1:]))[0], abs=1e-12)
        assert f.volatility == pytest.approx(np.std(r, ddof=1) * math.sqrt(252), abs=1e-12)
        # Four instruments: each one's mean correlation with the other three.
        several = r.reshape(750, 4)
        pairs = np.corrcoef(several, rowvar=False)
        own = [np.mean([pairs[i, j] for j in range(4) if j != i]) for i in range(4)]
        several = corvane.facts(closes_of(several), ci=False)
        assert several.mean_pair_correlation == pytest.approx(np.median(own), abs=1e-12)
        # A power law of known exponent is fitted back exactly.
        lags = np.array([1.0, 5, 20])
        assert corvane._facts._decay(np, lags, 0.3 * lags**-0.4) == pytest.approx(0.4, abs=1e-12)


class TestKnownValues:
    def test_student_t_tails_and_aggregational_gaussianity(self):
        rng = np.random.default_rng(3)
        # Student-t(10): excess kurtosis 6/(10-4) = 1, and 1/h for an iid
        # sum of h days.
        f = corvane.facts(closes_of(0.01 * rng.standard_t(10, (20000, 40))), ci=False)
        assert [f.excess_kurtosis[h] for h in (1, 5, 20)] == [
            pytest.approx(1.0, abs=0.2), pytest.approx(0.2, abs=0.1), pytest.approx(0.05, abs=0.1)]
        # Student-t(5): its tail index is 5, but Hill on the largest 5% has
        # a known second-order bias; the estimate must meet the estimator's
        # population value at that threshold (E log(|T|/u) given |T| > u).
        f5 = corvane.facts(closes_of(0.01 * rng.standard_t(5, (20000, 40))), ci=False)
        u = stats.t.isf(0.025, 5)
        from scipy import integrate

        mean_log = integrate.quad(lambda x: math.log(x / u) * 2 * stats.t.pdf(x, 5), u, math.inf)[0] / 0.05
        assert f5.tail_index == pytest.approx(1.0 / mean_log, abs=0.1)
        assert 3.0 < f5.tail_index < 5.0

    def test_garch_squared_returns_decay_like_its_persistence(self):
        univariate = pytest.importorskip("arch.univariate")
        omega, alpha, beta = 0.05, 0.1, 0.8
        series = []
        for k in range(30):
            normal = univariate.Normal(seed=np.random.default_rng(k))
            model = univariate.ZeroMean(None, volatility=univariate.GARCH(), distribution=normal)
            series.append(model.simulate([omega, alpha, beta], 5000, burn=500)["data"].to_numpy() ** 2)
        # Feeding r^2 as the log returns makes acf_abs the ACF of r^2.
        f = corvane.facts(closes_of(1e-3 * np.array(series).T), lags=(1, 5, 10, 20), ci=False)
        rho1 = alpha * (1 - alpha * beta - beta**2) / (1 - 2 * alpha * beta - beta**2)
        # Sample ACFs of r^2 converge slowly (heavy fourth moments): 0.015
        # absolute over 30 series of 5,000 days.
        for lag in (1, 5, 10, 20):
            assert f.acf_abs[lag] == pytest.approx(rho1 * (alpha + beta) ** (lag - 1), abs=0.015)


class TestInputs:
    def test_every_table_form_reads_as_the_array(self):
        rng = np.random.default_rng(7)
        closes = closes_of(0.02 * rng.standard_normal((79, 6)))
        volumes = rng.uniform(1e5, 1e6, closes.shape)
        expected = corvane.facts(closes, ci=False)
        days = np.repeat(np.arange(80), 6)
        order = rng.permutation(days.size)  # rows in any order
        columns = {
            "Date": np.datetime64("2020-01-01") + days[order],
            "Ticker": np.array([f"T{i}" for i in range(6)] * 80)[order],
            "close": closes.ravel()[order],
            "volume": volumes.ravel()[order],
        }
        pa = pytest.importorskip("pyarrow")
        pl = pytest.importorskip("polars")
        pd = pytest.importorskip("pandas")
        table = pa.table(columns)
        with_volume = corvane.facts(table, ci=False)
        assert dataclasses.replace(with_volume, volume_volatility=None) == expected
        # Equal facts need both the same shape and the same figures.
        for changed in ({"acf_1": with_volume.acf_1 + 1e-9}, {"days": with_volume.days + 1}):
            assert dataclasses.replace(with_volume, **changed) != with_volume
        returns = np.diff(np.log(closes), axis=0)
        own = [stats.pearsonr(volumes[1:, i], np.abs(returns[:, i]))[0] for i in range(6)]
        assert with_volume.volume_volatility == pytest.approx(np.median(own), abs=1e-12)
        for form in (pl.from_arrow(table), pd.DataFrame(columns), table.to_reader()):
            assert corvane.facts(form, ci=False) == with_volume

    def test_gaps_use_each_instruments_longest_run(self):
        rng = np.random.default_rng(8)
        closes = closes_of(0.01 * rng.standard_normal((300, 3)))
        holed = closes.copy()
        holed[:100, 0] = np.nan
        f = corvane.facts(holed, lags=(1, 2), ci=False)
        alone = [corvane.facts(c[:, None], lags=(1, 2), ci=False) for c in (closes[100:, 0], *closes.T[1:])]
        assert f.acf_1 == pytest.approx(np.median([a.acf_1 for a in alone]), abs=1e-12)
        # One whose longest run is three closes, late in the span, measures nothing.
        short = np.full((len(closes), 1), np.nan)
        short[200:203, 0] = closes[200:203, 0]
        assert corvane.facts(np.hstack([holed, short]), lags=(1, 2), ci=False).acf_1 == f.acf_1
        pairs = np.corrcoef(np.diff(np.log(closes[100:]), axis=0), rowvar=False)
        assert f.mean_pair_correlation == pytest.approx(np.median((pairs.sum(axis=0) - 1) / 2), abs=1e-12)

    @pytest.mark.parametrize("table, message", [
        (np.ones(5), "days x instruments"), (np.ones((3, 2)), "at least 4 days"),
        (object(), "expected a table"),
        # A table's names, as pyarrow gives them, with no close among them.
        (type("Table", (), {"column_names": ["day", "ticker", "price"]})(), "no close column")])
    def test_refusals(self, table, message):
        with pytest.raises((ValueError, TypeError), match=message):
            corvane.facts(table)
        # Four days, three returns, are enough.
        assert corvane.facts(closes_of(0.01 * np.eye(3, 2)), lags=(1,), ci=False).days == 4


def test_result_of_a_simulated_market():
    engine = corvane.Engine(seed=1, universe=corvane.random_instruments(20, seed=0))
    engine.run_days(120)
    f, again = (corvane.facts(engine.bars(grain="day")) for _ in range(2))
    assert f == again and f.ci == again.ci  # the bootstrap is seeded
    assert (f.instruments, f.days) == (20, 120)
    assert set(f.ci) == set(f.figures()) and all(low <= high for low, high in f.ci.values())
    d = f.to_dict()
    assert d["acf_abs"][20] == f.acf_abs[20] and d["excess_kurtosis"] == f.excess_kurtosis[1]
    assert pickle.loads(pickle.dumps(f)) == f
    with pytest.raises(AttributeError):
        f.volatility = 0.0
    assert "acf_abs_20" in repr(f) and "mean_pair_correlation" in f.compare(f)


class TestCalibrate:
    def test_smoke_fit_of_two_coefficients(self, tmp_path):
        pytest.importorskip("cma")
        from concurrent.futures import ThreadPoolExecutor

        bounds = {"idio_sigma_scale": (0.2, 2.0), "garch_alpha": (0.01, 0.3)}
        seen = []
        with ThreadPoolExecutor(2) as pool:
            fit = corvane.calibrate({"volatility": 0.4, "acf_abs_1": (0.1, 2.0)}, parameters=bounds,
                                    size=6, days=40, seeds=(3,), budget=8, executor=pool,
                                    progress=lambda done, total, best: seen.append((done, total)))
        assert seen == [(k, 8) for k in range(1, 9)] and len(fit.history) == 8
        # The search starts at the preset's own values and keeps to the bounds.
        start = corvane.ModelParams.from_preset("kx-v14")
        assert fit.history[0][0] == {name: getattr(start, name) for name in bounds}
        assert all(low <= o[name] <= high for o, _ in fit.history for name, (low, high) in bounds.items())
        best, value = min(fit.history, key=lambda h: h[1])
        assert fit.objective == value and {n: getattr(fit.model, n) for n in bounds} == best
        # The figures it reports are those of that model's own market: the
        # recorded daily closes of the same run give the same volatility.
        engine = corvane.Engine(seed=3, universe=corvane.random_instruments(6, seed=0), model=fit.model)
        engine.run_days(40)
        pa = pytest.importorskip("pyarrow")
        closes = np.asarray(pa.table(engine.bars(grain="day")).column("close")).reshape(40, 6)
        initial = [i.initial_price for i in engine.universe]
        measured = corvane.facts(np.vstack([initial, closes]), ci=False)
        assert measured.volatility == pytest.approx(fit.facts.volatility, abs=1e-12)
        path = fit.save(tmp_path / "model.json")
        assert corvane.load_model(path) == fit.model
        assert corvane.load_model("kx-v1") == corvane.ModelParams.from_preset("kx-v1")
        # The shipped realistic model (installed with the package) is kx-v14
        # with the long-memory option on, under the fingerprint its file names.
        shipped = corvane.load_model("realistic-equities")
        assert shipped.long_memory_sigma > 0 and shipped.fingerprint.startswith("custom-")
        described = json.loads((Path(corvane.__file__).parent / "models" / "realistic-equities.json").read_text())
        assert described["name"] == shipped.fingerprint and "calibrated" in described["description"]
        custom = corvane.ModelParams.from_preset("kx-v14", garch_omega=3e-06)
        text = json.dumps(custom.to_dict())
        (tmp_path / "bad.json").write_text(text.replace('"garch_omega": 3e-06', '"garch_omega": 4e-06'))
        with pytest.raises(ValueError, match=f"names {custom.fingerprint}"):
            corvane.load_model(tmp_path / "bad.json")

    @pytest.mark.parametrize("target, kwargs, message", [
        ({"volatilty": 0.2}, {}, "unknown fact"),
        ({"excess_kurtosis_7": 3.0}, {}, "unknown fact"),  # kurtosis is measured at 1, 5 and 20 days
        ({"volatility": 0.2}, {"parameters": {"garch_alfa": (0, 1)}}, "not a settable"),
        ({"volatility": 0.2}, {"parameters": {"garch_alpha": (0.2, 0.1)}}, "empty"),
        ({}, {}, "non-empty mapping"),
        ({"volatility": 0.2}, {"days": 24}, "days >= 25"),
        ({"volatility": 0.2}, {"seeds": ()}, "at least one seed"),
    ])
    def test_refusals_come_before_any_simulation(self, target, kwargs, message):
        pytest.importorskip("cma")
        with pytest.raises((ValueError, TypeError), match=message):
            corvane.calibrate(target, executor=RefusingExecutor(), **kwargs)
        with pytest.raises(ValueError, match="no shipped model 'realistic'"):
            corvane.load_model("realistic")


class RefusingExecutor:
    def map(self, *args):
        raise AssertionError("simulated before refusing")


def test_command_line_measures_and_fits(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    pytest.importorskip("cma")
    from corvane import cli

    chart = tmp_path / "facts.png"
    assert cli.main(["facts", "--preset", "kx-v1", "--size", "5", "--days", "40", "--chart", str(chart)]) == 0
    assert chart.stat().st_size > 0 and "acf_abs_20" in capsys.readouterr().out
    # A file of daily closes, in either format, measures as its closes do.
    pa, pcsv, pq = (pytest.importorskip(m) for m in ("pyarrow", "pyarrow.csv", "pyarrow.parquet"))
    closes = closes_of(0.01 * np.random.default_rng(3).standard_normal((40, 3)))
    day, name = np.indices(closes.shape)
    table = pa.table({"date": day.ravel(), "instrument": name.ravel(), "close": closes.ravel()})
    pcsv.write_csv(table, tmp_path / "closes.csv")
    pq.write_table(table, tmp_path / "closes.parquet")
    expected = str(corvane.facts(closes))
    for path in (tmp_path / "closes.csv", tmp_path / "closes.parquet"):
        assert cli.main(["facts", str(path), "--chart", str(chart)]) == 0
        assert capsys.readouterr().out.startswith(expected)
    out = tmp_path / "model.json"
    argv = ["calibrate", "--target", "volatility=0.3", "--size", "4", "--days", "30", "--budget", "2", "--out", str(out)]
    assert cli.main(argv) == 0
    assert corvane.load_model(out).fingerprint in capsys.readouterr().out
    assert cli.main(["calibrate", "--target", "volatility", "--out", str(out)]) == 1
