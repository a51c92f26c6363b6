import subprocess
import sys

import pytest

import corvane
from corvane import _core


class TestModule:
    def test_version(self):
        assert corvane.__version__ == "0.4.3"
        assert _core.version() == "0.4.3"

    def test_docstring_names_the_wrapper(self):
        assert _core.__doc__.startswith("The compiled extension.")
        assert "corvane" in _core.__doc__

    def test_package_reexports_everything(self):
        for name in vars(_core):
            if not name.startswith("_"):
                assert getattr(corvane, name) is getattr(_core, name)

    def test_registration_order_puts_exceptions_and_version_last(self):
        names = [n for n in vars(_core) if not n.startswith("__") or n == "__version__"]
        assert names[0] == "GameRng"
        assert names[-3:] == ["ValidationError", "OrderError", "__version__"]

    def test_extension_is_abi3(self):
        assert _core.__file__.endswith(".abi3.so")

    def test_import_in_fresh_interpreter_draws_nothing(self):
        # A fresh process importing the package must not fail or print.
        out = subprocess.run(
            [sys.executable, "-X", "dev", "-W", "error", "-c", "import corvane"],
            capture_output=True,
            text=True,
            check=True,
        )
        assert out.stdout == "" and out.stderr == ""


class TestExceptions:
    @pytest.mark.parametrize("exc", [_core.ValidationError, _core.OrderError])
    def test_subclass_value_error(self, exc):
        assert issubclass(exc, ValueError)
        with pytest.raises(ValueError):
            raise exc("x")

    def test_distinct(self):
        assert not issubclass(_core.ValidationError, _core.OrderError)
        assert not issubclass(_core.OrderError, _core.ValidationError)

    def test_names_and_docs(self):
        assert _core.ValidationError.__module__ == "_core"
        assert _core.ValidationError.__name__ == "ValidationError"
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
