"""Fitting model coefficients so that a simulated market shows given
stylized facts, and loading the models such fits write.

Every candidate is simulated on the same universe and the same seeds
(common random numbers), so the objective is a deterministic function of
the coefficients and two candidates differ only by what they change. The
search is CMA-ES (the `cma` package, in the ``calibrate`` extra) over the
coefficients scaled to [0, 1] within their bounds.
"""

import concurrent.futures
import dataclasses
import functools
import json
import math
import os
import time
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import corvane
from corvane import _facts

EXTRA_HINT = "install the extra: pip install 'corvane[calibrate]'"

# The continuous coefficients that move the facts, each with the bounds the
# search keeps to: the noise of the market, sector and instrument factors
# (volatility, pairwise correlation), the instrument GARCH (clustering, and
# leverage through its asymmetry), the market volatility process
# (persistence of common volatility), and idiosyncratic jumps (tails).
DEFAULT_PARAMETERS: Mapping[str, tuple[float, float]] = {
    "market_factor_sigma": (0.002, 0.03),
    "sector_factor_sigma": (0.002, 0.03),
    "idio_sigma_scale": (0.1, 2.0),
    "garch_alpha": (0.01, 0.3),
    "garch_beta": (0.3, 0.97),
    "garch_gamma": (0.0, 0.5),
    "market_vol_alpha": (0.02, 0.5),
    "market_vol_beta": (0.3, 0.97),
    "jump_intensity_idio": (0.0, 0.05),
    "jump_sigma_idio": (0.01, 0.2),
}

# The size of a miss that counts as one unit of the objective, per figure
# (by the start of its name); a figure's miss is squared in these units.
SCALES = (
    ("volatility", 0.05),
    ("excess_kurtosis", 1.0),
    ("tail_index", 0.5),
    ("decay_exponent", 0.2),
    ("mean_pair_correlation", 0.05),
    ("volume_volatility", 0.1),
    ("gain_loss_asymmetry", 0.2),
    ("", 0.02),  # the autocorrelations and leverage
)
# What a candidate the model refuses (or a figure it cannot produce) costs.
REFUSED = 1e6
DEFAULT_SEEDS = (101, 202)
UNIVERSE_SEED = 0


def _scale(name: str) -> float:
    return next(s for prefix, s in SCALES if name.startswith(prefix))


@dataclasses.dataclass(frozen=True)
class Calibration:
    """What `corvane.calibrate` found: the best `model`, the `facts` it
    reaches (the mean over the fit's seeds) beside the `target` (name ->
    (value, weight)), and the `history` of every candidate in the order
    evaluated, each as (overrides, objective)."""

    model: Any
    facts: _facts.Facts
    target: Mapping[str, tuple[float, float]]
    objective: float
    history: tuple[tuple[Mapping[str, float], float], ...]
    seconds: float

    def report(self) -> str:
        """The facts reached beside the target, as a text table."""
        return self.facts.compare({k: v for k, (v, _) in self.target.items()}, names=("reached", "target"))

    def save(self, path: str | os.PathLike[str]) -> Path:
        """Writes the model as the JSON that ModelParams.from_dict (and
        `corvane simulate --model`) reads; returns the path."""
        path = Path(path)
        path.write_text(json.dumps(self.model.to_dict(), indent=1) + "\n")
        return path


def load_model(name_or_path: str | os.PathLike[str]) -> Any:
    """A ModelParams for a shipped model's name (a preset's, or one in the
    package's models folder) or for a JSON file that `Calibration.save`
    wrote. A file whose coefficients do not give the fingerprint it names is
    refused: it was edited or damaged."""
    text = os.fspath(name_or_path)
    shipped = Path(__file__).parent / "models" / f"{text}.json"
    if os.sep not in text and not text.endswith(".json"):
        if shipped.is_file():
            return load_model(shipped)
        try:
            return corvane.ModelParams.from_preset(text)
        except corvane.ValidationError:
            names = sorted(p.stem for p in shipped.parent.glob("*.json"))
            raise ValueError(
                f"load_model: no shipped model {text!r} (shipped: {', '.join(names) or 'none'}; "
                "or a preset, or a path to a .json file)"
            ) from None
    return read_model_file(text, "load_model")


def read_model_file(path: str | os.PathLike[str], caller: str = "") -> Any:
    """The ModelParams a model file holds: the dictionary ModelParams.to_dict
    gives, with an optional "description" text. Raises ValueError (or
    OSError) naming the file, after `caller` when given."""
    text = os.fspath(path)
    caller = f"{caller}: {text}" if caller else text
    values = json.loads(Path(text).read_text())
    if not isinstance(values, dict):
        raise ValueError(f"{caller} holds a JSON {type(values).__name__}, not a model's dictionary")
    if not isinstance(values.pop("description", ""), str):
        raise ValueError(f"{caller} has a description that is not a text")
    model = corvane.ModelParams.from_dict(values)
    named = values.get("name")
    if named is not None and named != model.fingerprint:
        raise ValueError(f"{caller} names {named} but its coefficients are {model.fingerprint}")
    return model


def _targets(target: Any) -> dict[str, tuple[float, float]]:
    """name -> (value, weight) from a Facts (every figure, weight 1, but the
    volume one, which depends on how a table counts volume) or a mapping
    of names to values or (value, weight) pairs."""
    if isinstance(target, _facts.Facts):
        figures = target.figures()
        figures.pop("volume_volatility", None)
        return {k: (v, 1.0) for k, v in figures.items() if math.isfinite(v)}
    if not isinstance(target, Mapping) or not target:
        raise TypeError("calibrate: target must be a Facts or a non-empty mapping of fact names to values")
    out = {}
    for name, spec in target.items():
        value, weight = (spec, 1.0) if isinstance(spec, (int, float)) else spec
        if not _known(str(name)):
            raise ValueError(f"calibrate: unknown fact {name!r}")
        out[str(name)] = (float(value), float(weight))
    return out


FIXED_NAMES = (
    "volatility", "excess_kurtosis", "tail_index", "acf_1", "decay_exponent", "leverage",
    "mean_pair_correlation", "volume_volatility", "gain_loss_asymmetry",
)  # fmt: skip


def _known(name: str) -> bool:
    """Whether `name` is one of Facts.figures()'s names, for any lag."""
    head, _, lag = name.rpartition("_")
    if name in FIXED_NAMES:
        return True
    return lag.isdigit() and int(lag) >= 1 and (head == "acf_abs" or (head == "excess_kurtosis" and int(lag) in _facts.HORIZONS))


def _lags_of(names: Any) -> tuple[int, ...]:
    lags = sorted({int(n.rsplit("_", 1)[1]) for n in names if n.startswith("acf_abs_")})
    return tuple(lags) or _facts.DEFAULT_LAGS


def simulate_closes(model: Any, *, size: int, days: int, seed: int, universe_seed: int = UNIVERSE_SEED) -> Any:
    """Closes and day volumes, both (days + 1) x size (row 0: the listing
    prices, no volume), of one market run a day at a time unrecorded."""
    import numpy as np

    engine = corvane.Engine(seed=seed, universe=corvane.random_instruments(size, seed=universe_seed), model=model)
    closes = np.empty((days + 1, size))
    volumes = np.full((days + 1, size), np.nan)
    closes[0] = [i.initial_price for i in engine.universe]
    for d in range(days):
        engine.run_days(1, record=False)
        closes[d + 1] = engine.prices(as_numpy=True)
        # The day's volume so far, which after the close is the whole day's
        # (the last row of session_volumes(), without copying the session).
        volumes[d + 1] = engine.column("volume", as_numpy=True)
    return closes, volumes


def evaluate(
    overrides: Mapping[str, float], *, model: Any, size: int, days: int, seeds: tuple[int, ...], lags: tuple[int, ...]
) -> _facts.Facts | None:
    """The facts of the model with `overrides`, averaged over `seeds`; None
    when the model refuses the overrides."""
    base = corvane.ModelParams.from_preset(model) if isinstance(model, str) else model
    try:
        params = corvane.ModelParams.from_dict({**base.to_dict(), **overrides})
    except corvane.ValidationError:
        return None
    measured = []
    for seed in seeds:
        closes, volumes = simulate_closes(params, size=size, days=days, seed=seed)
        measured.append(_facts.facts_of_arrays(closes, volumes, lags=lags))
    return _facts.mean(measured)


def objective(facts: _facts.Facts | None, target: Mapping[str, tuple[float, float]]) -> float:
    """Weighted squared misses, each in its figure's unit of scale."""
    if facts is None:
        return REFUSED
    figures = facts.figures()
    total = 0.0
    for name, (value, weight) in target.items():
        reached = figures.get(name, math.nan)
        total += REFUSED if not math.isfinite(reached) else weight * ((reached - value) / _scale(name)) ** 2
    return total


def calibrate(
    target: Any,
    *,
    model: Any = "kx-v14",
    parameters: Mapping[str, tuple[float, float]] | None = None,
    size: int = 30,
    days: int = 500,
    seeds: tuple[int, ...] = DEFAULT_SEEDS,
    budget: int = 200,
    executor: concurrent.futures.Executor | None = None,
    progress: bool | Callable[[int, int, float], Any] | None = None,
) -> Calibration:
    """Fits coefficients of `model` (a preset name or a ModelParams) so that
    its markets show the facts of `target`.

    `target` is a Facts (of the user's own data, say) or a mapping of figure
    names (as Facts.figures() names them) to a value or a (value, weight)
    pair. `parameters` maps coefficient names to (low, high) bounds; by
    default DEFAULT_PARAMETERS. Every candidate is simulated on `size`
    instruments of one fixed universe for `days` days under each of `seeds`,
    the same seeds for every candidate, and measured without bootstrap. The
    search is CMA-ES, seeded, starting from the model's own values; it
    stops after `budget` evaluations (the start counts as one). Candidates
    of one generation run at once on `executor` (by default a process pool
    of one worker per core; a thread pool also runs in parallel, as the
    simulation releases the interpreter lock). `progress`: None or True
    shows a tqdm bar when tqdm is installed, False nothing, a callable is
    called as progress(done, budget, best objective).
    """
    try:
        import cma
        import numpy as np
    except ImportError as error:
        raise RuntimeError(f"calibrate needs {error.name}: {EXTRA_HINT}") from None

    targets = _targets(target)
    parameters = dict(DEFAULT_PARAMETERS if parameters is None else parameters)
    base = corvane.ModelParams.from_preset(model) if isinstance(model, str) else model
    _check_search(parameters, budget=budget, size=size, days=days, seeds=seeds)
    run = functools.partial(
        evaluate, model=base, size=size, days=days, seeds=tuple(seeds), lags=_lags_of(targets)
    )
    own = executor is None
    if own:
        from corvane._sweep import _context

        executor = concurrent.futures.ProcessPoolExecutor(max_workers=os.cpu_count() or 1, mp_context=_context())
    search = _Search(np, parameters, targets, run, executor, progress, budget)
    started = time.monotonic()
    try:
        start = np.clip((np.array([getattr(base, n) for n in search.names]) - search.low) / search.span, 0.0, 1.0)
        search.run(cma, start)
    finally:
        search.close()
        if own:
            executor.shutdown()
    value, overrides, facts = search.best
    if facts is None:
        raise ValueError("calibrate: the model refused every candidate; narrow the bounds")
    return Calibration(
        model=corvane.ModelParams.from_dict({**base.to_dict(), **overrides}),
        facts=facts,
        target=targets,
        objective=value,
        history=tuple(search.history),
        seconds=time.monotonic() - started,
    )


def _check_search(parameters: Mapping[str, tuple[float, float]], *, budget: int, size: int, days: int, seeds: Any) -> None:
    settable = set(corvane.ModelParams.settable())
    for name, (low, high) in parameters.items():
        if name not in settable:
            raise ValueError(f"calibrate: {name!r} is not a settable coefficient")
        if not low < high:
            raise ValueError(f"calibrate: the bounds of {name!r} are empty: {low} >= {high}")
    if budget < 1 or size < 2 or days < 25 or not seeds:
        raise ValueError("calibrate: needs budget >= 1, size >= 2, days >= 25 and at least one seed")


class _Search:
    """CMA-ES over the coefficients scaled to [0, 1] within their bounds,
    keeping every candidate's objective in the order evaluated and the best."""

    def __init__(self, np: Any, parameters: Mapping[str, tuple[float, float]], targets: Mapping[str, tuple[float, float]],
                 run: Callable[[dict[str, float]], Any], executor: concurrent.futures.Executor,
                 progress: Any, budget: int):  # fmt: skip
        self.np, self.targets, self.measure, self.executor = np, targets, run, executor
        self.progress, self.budget = progress, budget
        self.names = list(parameters)
        self.low = np.array([parameters[n][0] for n in self.names])
        self.span = np.array([parameters[n][1] for n in self.names]) - self.low
        self.bar = _bar(progress, budget)
        self.history: list[tuple[dict[str, float], float]] = []
        self.best: tuple[float, dict[str, float], Any] = (math.inf, {}, None)

    def overrides_of(self, x: Any) -> dict[str, float]:
        return {n: float(v) for n, v in zip(self.names, self.low + self.span * self.np.clip(x, 0.0, 1.0))}

    def evaluate_all(self, points: list[Any]) -> list[float]:
        candidates = [self.overrides_of(x) for x in points]
        values = []
        for overrides, facts in zip(candidates, self.executor.map(self.measure, candidates)):
            value = objective(facts, self.targets)
            self.history.append((overrides, value))
            values.append(value)
            if value < self.best[0]:
                self.best = (value, overrides, facts)
            if callable(self.progress):
                self.progress(len(self.history), self.budget, self.best[0])
            elif self.bar is not None:
                self.bar.update(1)
                self.bar.set_postfix(best=f"{self.best[0]:.4g}")
        return values

    def run(self, cma: Any, start: Any) -> None:
        """From `start` (scaled), seeded, until the budget is spent."""
        self.evaluate_all([start])
        options = {"bounds": [0.0, 1.0], "seed": 1, "verbose": -9}
        search = cma.CMAEvolutionStrategy(start, 0.25, options)
        while len(self.history) < self.budget and not search.stop():
            points = search.ask()
            room = self.budget - len(self.history)
            if room < len(points):
                # The last, partial generation is evaluated but not learnt from.
                self.evaluate_all(points[:room])
                break
            search.tell(points, self.evaluate_all(points))

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _bar(progress: Any, total: int) -> Any:
    if progress is False or callable(progress):
        return None
    try:
        import tqdm
    except ImportError:
        return None
    return tqdm.tqdm(total=total, unit="candidate", leave=False)
