"""The type stubs shipped beside the extension agree with the extension.

The stub is read from where the installed module lives, so these tests also
catch a wheel that leaves it (or py.typed) out.
"""

import __future__
import ast
import inspect
import types
import typing
from pathlib import Path

import pytest

from corvane import _core

STUB = Path(_core.__file__).with_name("_core.pyi")
TREE = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))
P = inspect.Parameter


def is_public(name):
    return not name.startswith("_") or name == "__version__"


def stub_top_level():
    names = {}
    for node in TREE.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((target.id, node) for target in node.targets)
    return names


TOP = stub_top_level()
STUB_CLASSES = {name: node for name, node in TOP.items() if isinstance(node, ast.ClassDef)}
RUNTIME_CLASSES = {
    name: value
    for name, value in vars(_core).items()
    if is_public(name) and isinstance(value, type)
}
EXCEPTIONS = {name for name, cls in RUNTIME_CLASSES.items() if issubclass(cls, BaseException)}


def decorators(function):
    return {d.id for d in function.decorator_list if isinstance(d, ast.Name)}


def stub_methods(name):
    return {n.name: n for n in STUB_CLASSES[name].body if isinstance(n, ast.FunctionDef)}


def stub_kind(function):
    found = decorators(function) & {"property", "staticmethod"}
    return found.pop() if found else "method"


def runtime_kind(attribute):
    if isinstance(attribute, types.GetSetDescriptorType):
        return "property"
    if isinstance(attribute, staticmethod):
        return "staticmethod"
    return "method"


def stub_parameters(function):
    """(name, kind, default) per parameter; default is P.empty when absent.

    A function missing from the stub has no parameters at all, which no
    runtime signature here matches.
    """
    if not isinstance(function, ast.FunctionDef):
        return [("<missing from the stub>", None, P.empty)]
    args = function.args
    positional = [(a, P.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, P.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [(a, kind, d) for (a, kind), d in zip(positional, defaults)]
    if args.vararg:
        out.append((args.vararg, P.VAR_POSITIONAL, None))
    out += [(a, P.KEYWORD_ONLY, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append((args.kwarg, P.VAR_KEYWORD, None))
    return [
        (a.arg, kind, P.empty if d is None else ast.literal_eval(d)) for a, kind, d in out
    ]


def runtime_parameters(signature):
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


def typed(parameters):
    # 1000000 and 1000000.0 are different defaults to a reader.
    return [(n, k, d if d is P.empty else (type(d).__name__, d)) for n, k, d in parameters]


def signature_pairs():
    """(label, runtime signature, stub parameters) for everything with a text signature."""
    for name, value in vars(_core).items():
        if is_public(name) and isinstance(value, types.BuiltinFunctionType):
            yield name, inspect.signature(value), stub_parameters(TOP.get(name))
    for name, cls in RUNTIME_CLASSES.items():
        if name in EXCEPTIONS:
            continue
        methods = stub_methods(name)
        if cls.__text_signature__ is not None:
            # The stub's `__new__(cls, ...)` is the constructor.
            yield f"{name}()", inspect.signature(cls), stub_parameters(methods.get("__new__"))[1:]
        for attribute, value in vars(cls).items():
            if not is_public(attribute) or runtime_kind(value) == "property":
                continue
            function = getattr(cls, attribute)
            if function.__text_signature__ is None:
                continue
            stub = stub_parameters(methods.get(attribute))
            if stub[:1] == [("self", P.POSITIONAL_OR_KEYWORD, P.empty)]:
                # The runtime's `$self` is positional-only; the stub writes a plain `self`.
                stub[0] = ("self", P.POSITIONAL_ONLY, P.empty)
            yield f"{name}.{attribute}", inspect.signature(function), stub


class TestNames:
    def test_stub_and_marker_are_installed_with_the_module(self):
        assert STUB.is_file()
        assert STUB.with_name("py.typed").is_file()

    def test_public_names_match(self):
        runtime = {name for name in vars(_core) if is_public(name)}
        assert {name for name in TOP if is_public(name)} == runtime
        assert ast.unparse(TOP["__version__"].annotation) == "str"

    def test_classes_are_classes_and_functions_functions(self):
        for name, node in TOP.items():
            if not is_public(name) or name == "__version__":
                continue
            assert isinstance(node, ast.ClassDef) == (name in RUNTIME_CLASSES), name

    def test_bases(self):
        for name, cls in RUNTIME_CLASSES.items():
            stub_bases = [ast.unparse(base) for base in STUB_CLASSES[name].bases]
            runtime_bases = [base.__name__ for base in cls.__bases__ if base is not object]
            assert stub_bases == runtime_bases, name
        assert EXCEPTIONS == {"ValidationError", "OrderError"}


class TestSignatures:
    def test_parameters_kinds_and_defaults_match(self):
        checked = []
        mismatches = []
        for label, runtime, stub in signature_pairs():
            checked.append(label)
            if typed(stub) != typed(runtime_parameters(runtime)):
                mismatches.append(f"{label}: stub {stub} != runtime {runtime}")
        assert mismatches == []
        # Module functions, constructors, instance and static methods all took part.
        assert {"fair_value", "OrderBook()", "OrderBook.submit", "ModelParams.from_preset"} <= set(
            checked
        )

    def test_members_and_their_kinds_match(self):
        for name, cls in RUNTIME_CLASSES.items():
            runtime = {a: runtime_kind(v) for a, v in vars(cls).items() if is_public(a)}
            methods = stub_methods(name)
            stub = {a: stub_kind(f) for a, f in methods.items() if is_public(a)}
            assert stub == runtime, name
            # A constructor exactly where the runtime documents one.
            constructible = cls.__text_signature__ is not None
            assert ("__new__" in methods) == constructible or name in EXCEPTIONS, name
            assert "__init__" not in methods, name
            for dunder in ("__eq__", "__hash__"):
                assert (dunder in methods) == (dunder in vars(cls)), f"{name}.{dunder}"

    def test_classes_without_a_constructor_cannot_be_called(self):
        for name, cls in RUNTIME_CLASSES.items():
            if name not in EXCEPTIONS and "__new__" not in stub_methods(name):
                with pytest.raises(TypeError, match="cannot create"):
                    cls()


# ---- Result types, checked against values the module actually returns ----

STUB_NAMESPACE = {"__name__": "_core_stub"}
exec(
    compile(TREE, str(STUB), "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True),
    STUB_NAMESPACE,
)


def conforms(value, annotation):
    """Whether `value` is of the stub's type: exactly, so a float is not an int."""
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if annotation is typing.Any:
        return True
    if annotation is None or annotation is type(None):
        return value is None
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg) for arg in args)
    if origin is typing.Literal:
        return type(value) is str and value in args
    if origin is list:
        return type(value) is list and all(conforms(item, args[0]) for item in value)
    if origin is tuple:
        return (
            type(value) is tuple
            and len(value) == len(args)
            and all(map(conforms, value, args))
        )
    if origin is dict:
        return type(value) is dict and all(
            conforms(k, args[0]) and conforms(v, args[1]) for k, v in value.items()
        )
    if annotation.__module__ == "_core_stub":
        return type(value) is getattr(_core, annotation.__name__)
    return type(value) is annotation


def result_type(key):
    """The stub's result type of "function", "Class.method" or "Class.property"."""
    owner, _, name = key.rpartition(".")
    member = vars(STUB_NAMESPACE[owner])[name] if owner else STUB_NAMESPACE[name]
    function = getattr(member, "__func__", getattr(member, "fget", member))
    return typing.get_type_hints(function, STUB_NAMESPACE)["return"]


@pytest.fixture(scope="module")
def seen():
    """What the module hands back, keyed by the stub entry that promises its type."""
    book = _core.OrderBook("A-0", 10.0)
    empty = _core.OrderBook("B-0")
    rng = _core.GameRng(1, 2)
    model = _core.ModelParams.from_preset()
    state = _core.MispricingState(0.1)
    # Evaluated in order: the book fills up before it is traded against.
    return {
        "version": [_core.version()],
        "fixed_simulation_digest": [
            _core.fixed_simulation_digest(
                size=2, universe_seed=0, seed=1, days=1, ticks=2, preset="kx-v14"
            )
        ],
        "check_rate": [_core.check_rate("r", 0.1)],
        "fair_value": [
            _core.fair_value(sector="technology", eps=2),
            _core.fair_value(sector="energy", book_value_per_share=5.0),
        ],
        "sectors": [_core.sectors()],
        "step_mispricing_daily": [_core.step_mispricing_daily(state, shock=0.1)],
        "apply_mispricing": [_core.apply_mispricing(10, 0)],
        "characteristic_root_moduli": [_core.characteristic_root_moduli()],
        "crowd_adjusted_root_moduli": [_core.crowd_adjusted_root_moduli()],
        "impulse_response": [_core.impulse_response(3)],
        "model_preset": [_core.model_preset()],
        "market_status": [_core.market_status(hour, 0, 2) for hour in (3, 8, 10, 17)],
        "random_instruments": [_core.random_instruments(12, seed=1)],
        "sector_volatility": [_core.sector_volatility("utilities")],
        "sector_daily_sigma": [_core.sector_daily_sigma("utilities")],
        "stationary_sigma": [_core.stationary_sigma(0.01), _core.stationary_sigma(0.01, phi=1.5)],
        "GameRng.__new__": [rng],
        "GameRng.next_float": [rng.next_float()],
        "GameRng.next_normal": [rng.next_normal(), rng.next_normal()],
        "GameRng.next_int": [rng.next_int(1, 5)],
        "GameRng.next_bool": [rng.next_bool(0.5)],
        "MispricingState.__new__": [state, _core.MispricingState(0.1, 0.2)],
        "OrderBook.__new__": [book, empty],
        "OrderBook.post_limit": [book.post_limit("sell", 10, 5, owner="maker")],
        "OrderBook.append_maker_level": [
            book.append_maker_level("sell", 11.0, 5.0, owner="maker"),
            *(empty.append_maker_level("buy", 1.0, 1.0, owner="m") for _ in range(33)),
        ],
        "OrderBook.submit": [
            book.submit("buy", 7.0),
            book.submit("buy", 1.0, limit_price=9.0, post_remainder=True),
        ],
        "OrderBook.sweep_cost": [book.sweep_cost("buy", 1.0), empty.sweep_cost("buy", 1.0)],
        "OrderBook.price_levels": [book.price_levels("sell"), book.price_levels("buy")],
        "OrderBook.depth": [book.depth("sell")],
        "OrderBook.cancel_order": [book.cancel_order("none")],
        "OrderBook.cancel_all_for": [empty.cancel_all_for("m")],
        "ModelParams.from_preset": [model],
        "ModelParams.from_dict": [_core.ModelParams.from_dict(model.to_dict())],
        "ModelParams.to_dict": [model.to_dict()],
        "ModelParams.settable": [_core.ModelParams.settable()],
        "ModelParams.__getattr__": [model.garch_beta, model.book_levels],
        "ModelParams.__eq__": [model == model],
        "ModelParams.__hash__": [hash(model)],
        "Instrument.__new__": [
            _core.Instrument("X", "energy", initial_price=5, shares_outstanding=10, eps=1)
        ],
        "Macro.__new__": [
            _core.Macro(),
            *(_core.Macro(cycle=c) for c in ("peak", "contraction", "trough", "recovery")),
            _core.Macro(corporate_bond_yield=0.05),
        ],
    }


def instances(value):
    if isinstance(value, (list, tuple)):
        for item in value:
            yield from instances(item)
    elif type(value) in RUNTIME_CLASSES.values():
        yield value
        if isinstance(value, _core.MatchResult):
            yield from value.fills


class TestResultTypes:
    def test_every_function_and_method_returns_its_stub_type(self, seen):
        promised = {name for name in TOP if is_public(name) and name not in STUB_CLASSES}
        promised.discard("__version__")
        for name in STUB_CLASSES:
            promised |= {
                f"{name}.{method}"
                for method, f in stub_methods(name).items()
                if stub_kind(f) != "property"
            }
        assert set(seen) == promised
        for key, values in seen.items():
            annotation = result_type(key)
            for value in values:
                assert conforms(value, annotation), f"{key} returned {value!r}"

    def test_every_property_has_its_stub_type(self, seen):
        objects = list(instances(list(seen.values())))
        for name, cls in RUNTIME_CLASSES.items():
            properties = [m for m, f in stub_methods(name).items() if stub_kind(f) == "property"]
            found = [o for o in objects if type(o) is cls]
            assert found or not properties, f"no {name} to read"
            for prop in properties:
                annotation = result_type(f"{name}.{prop}")
                for value in (getattr(o, prop) for o in found):
                    assert conforms(value, annotation), f"{name}.{prop} is {value!r}"

    def test_both_branches_of_optional_results_were_seen(self, seen):
        assert None in seen["stationary_sigma"] and None in seen["OrderBook.sweep_cost"]
        assert None in seen["OrderBook.append_maker_level"]
        assert {"pre_market", "open", "after_hours", "closed"} == set(seen["market_status"])


SAMPLE = """\
import corvane
from corvane import *
from corvane import ModelParams, OrderBook

keys: list[str] = sectors()
try:
    check_rate("r", 5.0)
except ValidationError as error:
    message: str = str(error)

book = OrderBook("A-0", 10.0)
book.post_limit("sell", 10.0, 5, owner="maker")
result = book.submit("buy", 3, limit_price=11.0)
prices: list[float] = [fill.price for fill in result.fills]
average: float | None = result.average_price
model = ModelParams.from_preset(garch_beta=0.7)
beta: float = model.garch_beta
same: bool = ModelParams.from_dict(model.to_dict()) == model
caps = [i.market_cap + 1.0 for i in corvane.random_instruments(3, seed=7)]
release: str = corvane.__version__
book.depth(side=1)
"""


def test_mypy_reads_the_stubs(tmp_path):
    api = pytest.importorskip("mypy.api")
    sample = tmp_path / "sample.py"
    sample.write_text(SAMPLE)
    out, err, status = api.run(
        ["--strict", "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", str(sample)]
    )
    # Everything type-checks but the last line, which passes an int as a side.
    errors = [line for line in out.splitlines() if ": error:" in line]
    last = len(SAMPLE.splitlines())
    assert len(errors) == 1 and errors[0].startswith(f"{sample}:{last}:"), out + err
    assert errors[0].endswith("[arg-type]"), out
    assert status == 1
