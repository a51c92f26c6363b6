"""Fits and checks the shipped "realistic-equities" model.

    python tools/fit_realistic.py fit      # about 30 minutes on two cores
    python tools/fit_realistic.py check    # the facts table, about a minute
    python tools/fit_realistic.py recover  # parameter recovery, about a minute

`fit` calibrates kx-v14 with the long-memory option to the stylized facts
published for real equities, refining the shipped model when there is one.
The shipped one took four rounds: 200 candidates on three seeds from
kx-v14; 200 more with the leverage coupling added; 160 more on five seeds,
aiming deeper at leverage, which the second missed on unseen seeds; 110
more aiming higher at co-movement, which the third missed there
and writes python/corvane/models/realistic-equities.json; `check` measures the written model (and kx-v14
beside it) on 100 instruments x 1,000 days over three seeds and universes
the fit never saw, and prints the table the README carries. `recover`
measures a market with two known coefficients on seeds of its own and
checks that a calibration finds them again from those facts alone.
"""

import argparse
import concurrent.futures
import json
import sys
import time
from pathlib import Path

import corvane
from corvane import _calibrate, _facts

MODEL_FILE = Path(__file__).resolve().parent.parent / "python" / "corvane" / "models" / "realistic-equities.json"

# Daily returns of single US stocks (Cont 2001 and the literature since):
# heavy tails with a tail index near 3, no linear autocorrelation, |r|
# clustering that decays slowly (a power law with exponent 0.2 to 0.4),
# a negative leverage correlation, co-movement around 0.3. Weights favour
# the long lags, which are the hardest to reach.
TARGET = {
    "volatility": (0.30, 1.0),
    "excess_kurtosis": (6.0, 0.5),
    "tail_index": (3.0, 1.0),
    "acf_1": (0.0, 1.0),
    "acf_abs_1": (0.25, 1.0),
    "acf_abs_20": (0.12, 2.0),
    "acf_abs_50": (0.08, 3.0),
    "acf_abs_100": (0.05, 1.0),
    "decay_exponent": (0.3, 1.0),
    "leverage": (-0.12, 3.0),
    "mean_pair_correlation": (0.32, 3.0),
}

PARAMETERS = {
    "long_memory_sigma": (0.2, 1.3),
    "long_memory_horizon": (20.0, 400.0),
    "long_memory_leverage": (0.0, 6.0),
    "idio_sigma_scale": (0.3, 1.2),
    "market_factor_sigma": (0.004, 0.02),
    "sector_factor_sigma": (0.004, 0.02),
    "garch_alpha": (0.01, 0.15),
    "garch_beta": (0.3, 0.9),
    "garch_gamma": (0.0, 0.5),
    "jump_intensity_idio": (0.0, 0.02),
    "jump_sigma_idio": (0.01, 0.1),
}

FIT = {"size": 30, "days": 1000, "seeds": (1001, 1002, 1003, 1004, 1005), "budget": 110}
CHECK_SEEDS = (7001, 7002, 7003)
RANGES = {
    "excess_kurtosis": (3.0, 15.0),
    "acf_1": (-0.05, 0.05),
    "acf_abs_1": (0.15, None),
    "acf_abs_20": (0.08, None),
    "acf_abs_50": (0.04, None),
    "leverage": (None, -0.05),
    "mean_pair_correlation": (0.2, 0.5),
}


def fit() -> None:
    started = time.monotonic()
    start = corvane.load_model(MODEL_FILE) if MODEL_FILE.exists() else corvane.ModelParams.from_preset("kx-v14")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        result = corvane.calibrate(TARGET, model=start, parameters=PARAMETERS, executor=pool, progress=True, **FIT)
    minutes = (time.monotonic() - started) / 60
    print(result.report())
    values = result.model.to_dict()
    values["description"] = (
        "kx-v14 with long-memory volatility and its leverage coupling, calibrated to the published "
        "stylized facts of daily returns of real equities (CMA-ES over "
        f"{FIT['size']} instruments x {FIT['days']} days x {len(FIT['seeds'])} seeds; this round "
        f"{len(result.history)} candidates in {minutes:.0f} minutes). "
        "tools/fit_realistic.py check measures it on unseen seeds."
    )
    MODEL_FILE.parent.mkdir(exist_ok=True)
    MODEL_FILE.write_text(json.dumps(values, indent=1) + "\n")
    print(f"wrote {MODEL_FILE} ({result.model.fingerprint}) in {minutes:.1f} minutes")


def _measure(args: tuple[str, int]) -> _facts.Facts:
    name, seed = args
    model = corvane.load_model(name)
    closes, volumes = _calibrate.simulate_closes(model, size=100, days=1000, seed=seed, universe_seed=seed)
    return _facts.facts_of_arrays(closes, volumes, lags=(1, 5, 20, 50, 100))


def _inside(name: str, value: float) -> str:
    low, high = RANGES.get(name, (None, None))
    if (low is not None and value < low) or (high is not None and value > high):
        return f"**{value:.3f}** (outside)"
    return f"{value:.3f}"


def check() -> None:
    started = time.monotonic()
    names = ("realistic-equities", "kx-v14")
    jobs = [(n, s) for n in names for s in CHECK_SEEDS]
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        measured = list(pool.map(_measure, jobs))
    by_model = {n: _facts.mean(measured[i * len(CHECK_SEEDS) : (i + 1) * len(CHECK_SEEDS)]) for i, n in enumerate(names)}
    rows = ["volatility", "excess_kurtosis", "tail_index", "acf_1", "acf_abs_1", "acf_abs_20", "acf_abs_50",
            "acf_abs_100", "decay_exponent", "leverage", "mean_pair_correlation"]  # fmt: skip
    print("| fact | range for real equities | realistic-equities | kx-v14 |")
    print("|---|---|---|---|")
    for row in rows:
        low, high = RANGES.get(row, (None, None))
        wanted = "" if low is None and high is None else (
            f"{low} to {high}" if low is not None and high is not None else (f">= {low}" if low is not None else f"<= {high}")
        )  # fmt: skip
        values = [by_model[n].figures()[row] for n in names]
        print(f"| {row} | {wanted} | {_inside(row, values[0])} | {values[1]:.3f} |")
    print(f"\n(mean over seeds {CHECK_SEEDS}, 100 instruments x 1,000 days; {time.monotonic() - started:.0f} s)")


KNOWN = {"garch_beta": 0.85, "idio_sigma_scale": 0.9}


def recover() -> None:
    """Facts of kx-v14 with KNOWN on seeds the search never uses, then a
    calibration of those two coefficients (from kx-v14's values) to them."""
    started = time.monotonic()
    truth = corvane.ModelParams.from_preset("kx-v14", **KNOWN)
    measured = []
    for seed in (901, 902, 903):
        closes, volumes = _calibrate.simulate_closes(truth, size=30, days=500, seed=seed, universe_seed=seed)
        measured.append(_facts.facts_of_arrays(closes, volumes, lags=_facts.DEFAULT_LAGS))
    bounds = {"garch_beta": (0.3, 0.97), "idio_sigma_scale": (0.3, 1.5)}
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        result = corvane.calibrate(_facts.mean(measured), parameters=bounds, budget=60, executor=pool, progress=False)
    for name, value in KNOWN.items():
        found = getattr(result.model, name)
        print(f"{name}: known {value}, found {found:.4f} ({100 * (found - value) / value:+.1f}%)")
    print(f"objective {result.objective:.3g}; {len(result.history)} candidates in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("step", choices=("fit", "check", "recover"))
    {"fit": fit, "check": check, "recover": recover}[parser.parse_args().step]()
    sys.exit(0)
