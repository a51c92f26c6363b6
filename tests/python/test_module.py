import subprocess
import sys

import corvane
from corvane import _core


# The module's registration order; classes and functions not built yet are
# simply absent, but whatever is present keeps its place.
ORDER = [
    "GameRng", "version", "fixed_simulation_digest", "check_rate", "fair_value", "sectors",
    "step_mispricing_daily", "apply_mispricing", "characteristic_root_moduli",
    "crowd_adjusted_root_moduli", "impulse_response", "model_preset", "MispricingState",
    "FairValue", "OrderBook", "Fill", "MatchResult", "PriceLevel", "SweepCost", "ModelParams",
    "Engine", "Instrument", "Macro", "TickResult", "EngineBatch", "News", "NewsImpact",
    "ArrowStream", "fills_stream", "market_status", "random_instruments", "sector_volatility",
    "sector_daily_sigma", "stationary_sigma", "ValidationError", "OrderError", "__version__",
]


class TestModule:
    def test_version_and_docstring(self):
        assert corvane.__version__ == _core.__version__ == _core.version() == "0.4.3"
        assert _core.__doc__.startswith("The compiled extension.")
        assert "corvane" in _core.__doc__
        assert _core.__file__.endswith(".abi3.so")

    def test_registration_order(self):
        names = [n for n in vars(_core) if not n.startswith("__") or n == "__version__"]
        assert names == [n for n in ORDER if n in names]
        assert names[-3:] == ["ValidationError", "OrderError", "__version__"]

    def test_package_reexports_everything(self):
        for name in vars(_core):
            if not name.startswith("_"):
                assert getattr(corvane, name) is getattr(_core, name)

    def test_import_in_fresh_interpreter_is_silent(self):
        out = subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-c", "import corvane"],
            capture_output=True,
            text=True,
            check=True,
        )
        assert out.stdout == "" and out.stderr == ""


class TestExceptions:
    def test_distinct_value_errors(self):
        for exc in (_core.ValidationError, _core.OrderError):
            assert issubclass(exc, ValueError) and exc.__name__ in ORDER
        assert not issubclass(_core.ValidationError, _core.OrderError)
        assert not issubclass(_core.OrderError, _core.ValidationError)
        assert _core.ValidationError("m").args == ("m",)

    def test_docs(self):
        assert _core.ValidationError.__module__ == "_core"
        assert _core.ValidationError.__doc__.startswith(
            "Raised when construction input is rejected at the boundary."
        )
        assert _core.OrderError.__doc__.endswith(
            "Callers reasonably handle the two differently."
        )


class TestDefaultSimulation:
    def run(self, *args):
        return subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-m", "corvane", *args],
            capture_output=True,
            text=True,
        )

    def test_prints_the_digest_of_the_run(self):
        out = self.run("--size", "5", "--days", "1", "--ticks", "10")
        assert out.returncode == 0, out.stderr
        digest = corvane.fixed_simulation_digest(
            size=5, universe_seed=0, seed=7, days=1, ticks=10, preset="kx-v14"
        )
        assert out.stdout.splitlines()[-1] == f"final-state digest: {digest}"

    def test_unknown_preset_is_an_error_not_a_traceback(self):
        out = self.run("--size", "1", "--days", "0", "--preset", "kx-v99")
        assert out.returncode == 2
        assert out.stderr == 'error: unknown preset "kx-v99"\n'
