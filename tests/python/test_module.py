import importlib.metadata
import importlib.util
import inspect
import pickle
import re
from pathlib import Path

import pytest

import corvane
from corvane import _core


class TestModule:
    def test_version(self):
        # Written once, in CMakeLists.txt; the package metadata and the module both read it.
        cmake = (Path(__file__).parents[2] / "CMakeLists.txt").read_text()
        written = re.search(r"project\(corvane VERSION ([0-9.]+)", cmake).group(1)
        assert corvane.__version__ == _core.__version__ == _core.version() == written
        assert importlib.metadata.version("corvane") == written
        assert _core.__file__.endswith(".abi3.so")

    def test_package_reexports_everything(self):
        for name in vars(_core):
            if not name.startswith("_"):
                assert getattr(corvane, name) is getattr(_core, name)


class TestExceptions:
    def test_pickling_and_printed_name(self):
        for kind in (_core.ValidationError, _core.OrderError):
            error = kind("bad input")
            error.detail = 3
            back = pickle.loads(pickle.dumps(error))
            assert type(back) is kind and back.args == ("bad input",) and back.detail == 3
        assert repr(_core.ValidationError) == "<class '_core.ValidationError'>"


class HostileArgument:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__


class TestBindingToolkit:
    def test_a_second_module_object_leaves_the_first_working(self):
        spec = importlib.util.find_spec("corvane._core")
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        assert second.MispricingState is not _core.MispricingState
        state = _core.MispricingState(s=0.1)
        assert type(_core.step_mispricing_daily(state)) is _core.MispricingState
        assert type(second.step_mispricing_daily(state)) is second.MispricingState
        assert second.step_mispricing_daily(state).s == _core.step_mispricing_daily(state).s

    def test_one_positional_argument_too_many_is_refused_by_every_call(self):
        universe = corvane.random_instruments(4, seed=5)
        owners = [corvane.Engine(seed=5, universe=universe), corvane.OrderBook("X", last_price=10.0),
                  corvane.EngineBatch(seeds=[1, 2], universe=universe), corvane.GameRng(1, 2),
                  corvane._core]
        for owner in owners:
            for name in dir(owner):
                call = getattr(owner, name)
                if name.startswith("_") or not getattr(call, "__text_signature__", None):
                    continue
                params = inspect.signature(call).parameters.values()
                n = sum(p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in params)
                with pytest.raises(TypeError, match=rf"takes (at most {n} positional|no arguments)"):
                    call(*[None] * (n + 1))

    def test_types_are_immutable_and_never_hand_out_an_unbuilt_object(self):
        for cls in (_core.MatchResult, _core.Instrument, _core.Engine):
            with pytest.raises(TypeError, match="immutable"):
                cls.__new__ = lambda t: object.__new__(t)
            with pytest.raises(TypeError, match="is not safe"):
                object.__new__(cls)

    @pytest.mark.parametrize("error", [KeyboardInterrupt(), MemoryError("caller's"), ValueError()])
    def test_a_callers_conversion_error_passes_through(self, error):
        with pytest.raises(type(error)):
            corvane.GameRng(HostileArgument(error), 1)
        with pytest.raises(type(error)):
            corvane.fair_value(eps=HostileArgument(error), sector="technology")

    def test_text_that_is_not_text_names_the_argument(self):
        with pytest.raises(ValueError, match="argument 'sector' is not valid text") as raised:
            corvane.sector_volatility("\udc80")
        assert isinstance(raised.value.__cause__, UnicodeEncodeError)

    # What a parameter cannot take is refused by name: integers are never wrapped, nor
    # text and numbers swapped. fixed_simulation_digest is left out of test_hostile (its
    # arguments are work), so it is here.
    @pytest.mark.parametrize("call, error, message", [
        (lambda: corvane.GameRng(0, 2**32), OverflowError,
         "GameRng() argument 'sequence' is out of range (0 to 4294967295)"),
        (lambda: corvane.random_instruments(-1), OverflowError, "random_instruments() argument "
         "'n' is out of range (an unsigned 64-bit integer is required)"),
        (lambda: corvane.fixed_simulation_digest(size=1, universe_seed=0, seed=2**32, days=1,
                                                 ticks=1, preset="kx-v14"), OverflowError,
         "fixed_simulation_digest() argument 'seed' is out of range (0 to 4294967295)"),
        (lambda: corvane.Macro(vix="15"), TypeError,
         "Macro() argument 'vix' must be float, not str"),
        (lambda: corvane.Macro(cycle=3), TypeError,
         "Macro() argument 'cycle' must be str, not int"),
        (lambda: corvane.Macro(15.0), TypeError, "Macro() takes at most 0 positional arguments "
         "(1 given)"),
        # Said once: the interpreter's own wording is not repeated after it.
        (lambda: corvane.fair_value(eps=10**400, sector="technology"), OverflowError,
         "fair_value() argument 'eps' is too large to convert to float"),
        (lambda: corvane.GameRng(1, 2, **{"seed\0x": 1}), TypeError,
         "GameRng() got an unexpected keyword argument 'seed\\x00x'"),
        (lambda: corvane.GameRng(1.0, 2), TypeError,
         "GameRng() argument 'seed' must be int, not float"),
        (lambda: corvane.GameRng(1), TypeError,
         "GameRng() missing required argument 'sequence' (pos 2)"),
        # What could not be allocated is said.
        (lambda: corvane.impulse_response(10**18), MemoryError,
         "cannot allocate a response of 1000000000000000001 days"),
    ])
    def test_arguments_of_the_wrong_kind_are_refused_by_name(self, call, error, message):
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == message

    def test_quoted_caller_text_is_cut_at_200_characters(self, refusal):
        assert refusal(corvane.sector_volatility, "é" * 10**6).startswith(
            'unknown sector "' + "é" * 200 + '…". Valid')

    def test_a_long_impulse_response_stops_on_ctrl_c(self, ctrl_c):
        with ctrl_c(0.2):
            corvane.impulse_response(2**28)
