"""The type stubs shipped beside the extension agree with the extension.

The stub is read from beside the installed module (so a wheel that leaves it or py.typed out
fails) and run with its annotations unevaluated, to inspect it like the runtime.
"""

import __future__
import inspect
import types
from pathlib import Path

import pytest

from corvane import _core

STUB_PATH = Path(_core.__file__).with_name("_core.pyi")
STUB = types.ModuleType("_core_stub")
exec(compile(STUB_PATH.read_text(encoding="utf-8"), str(STUB_PATH), "exec",
             flags=__future__.annotations.compiler_flag, dont_inherit=True), vars(STUB))
P = inspect.Parameter


def is_public(name):
    return not name.startswith("_") or name == "__version__"


# What the stub itself defines: its imports (Any, final...) are not the module's.
TOP = {name for name, value in vars(STUB).items()
       if getattr(value, "__module__", None) == STUB.__name__} | set(STUB.__annotations__)
RUNTIME_CLASSES = {name: value for name, value in vars(_core).items()
                   if is_public(name) and isinstance(value, type)}
EXCEPTIONS = {name for name, cls in RUNTIME_CLASSES.items() if issubclass(cls, BaseException)}


def defines(cls, name):
    # A class that defines __eq__ alone is given __hash__ = None: that is no definition.
    return callable(vars(cls).get(name))


def stub_members(name):
    """Each public member of a stub class and its kind; annotated names are attributes."""
    cls = getattr(STUB, name)
    members = {a: "attribute" for a in vars(cls).get("__annotations__", {})}
    for attribute, value in vars(cls).items():
        if isinstance(value, (property, staticmethod, classmethod)):
            members[attribute] = type(value).__name__
        elif callable(value):
            members[attribute] = "method"
    return {a: kind for a, kind in members.items() if is_public(a)}


def runtime_kind(attribute):
    if isinstance(attribute, types.GetSetDescriptorType):
        return "property"
    if not callable(attribute):
        return "attribute"
    if isinstance(attribute, staticmethod):
        return "staticmethod"
    if isinstance(attribute, (classmethod, types.ClassMethodDescriptorType)):
        return "classmethod"
    return "method"


def parameters(function, skip=0):
    """(name, kind, default) per parameter; 1000000 and 1000000.0 are different defaults
    to a reader, so a default carries its type. Nothing from the stub matches nothing."""
    if function is None:
        return ["<missing from the stub>"]
    found = list(inspect.signature(function).parameters.values())[skip:]
    return [(p.name, p.kind, p.default if p.default is P.empty else
             (type(p.default).__name__, p.default)) for p in found]


def signature_pairs():
    """(label, runtime parameters, stub parameters) for everything with a text signature."""
    for name, value in vars(_core).items():
        if is_public(name) and isinstance(value, types.BuiltinFunctionType):
            yield name, parameters(value), parameters(getattr(STUB, name, None))
    for name, cls in RUNTIME_CLASSES.items():
        if name in EXCEPTIONS:
            continue
        stub = getattr(STUB, name)
        if cls.__text_signature__ is not None:
            # The stub's `__new__(cls, ...)` is the constructor.
            yield f"{name}()", parameters(cls), parameters(vars(stub).get("__new__"), skip=1)
        for attribute, value in vars(cls).items():
            if not is_public(attribute) or runtime_kind(value) in ("property", "attribute"):
                continue
            function = getattr(cls, attribute)
            if function.__text_signature__ is None:
                continue
            expected = parameters(getattr(stub, attribute, None))
            if runtime_kind(value) == "method" and expected[:1] == [
                    ("self", P.POSITIONAL_OR_KEYWORD, P.empty)]:
                # The runtime's `$self` is positional-only; the stub writes a plain `self`.
                expected[0] = ("self", P.POSITIONAL_ONLY, P.empty)
            yield f"{name}.{attribute}", parameters(function), expected


class TestNames:
    def test_marker_names_kinds_and_bases_match(self):
        # The stub itself was read beside the module when this file loaded.
        assert STUB_PATH.with_name("py.typed").is_file()
        assert {name for name in TOP if is_public(name)} == {
            name for name in vars(_core) if is_public(name)}
        assert STUB.__annotations__["__version__"] == "str"
        for name in TOP - {"__version__"}:
            if is_public(name):
                assert isinstance(getattr(STUB, name), type) == (name in RUNTIME_CLASSES), name
        for name, cls in RUNTIME_CLASSES.items():
            stub_bases = [base.__name__ for base in getattr(STUB, name).__bases__
                          if base is not object]
            assert stub_bases == [base.__name__ for base in cls.__bases__ if base is not object]
        assert EXCEPTIONS == {"ValidationError", "OrderError"}


class TestSignatures:
    def test_parameters_kinds_and_defaults_match(self):
        pairs = list(signature_pairs())
        assert [f"{label}: stub {stub} != runtime {runtime}"
                for label, runtime, stub in pairs if stub != runtime] == []
        # Module functions, constructors, instance and static methods all took part.
        assert {"fair_value", "OrderBook()", "OrderBook.submit",
                "ModelParams.from_preset"} <= {label for label, _, _ in pairs}

    def test_members_and_their_kinds_match(self):
        for name, cls in RUNTIME_CLASSES.items():
            runtime = {a: runtime_kind(v) for a, v in vars(cls).items() if is_public(a)}
            assert stub_members(name) == runtime, name
            # A constructor exactly where the runtime documents one.
            stub = getattr(STUB, name)
            constructible = cls.__text_signature__ is not None
            assert defines(stub, "__new__") == constructible or name in EXCEPTIONS, name
            assert not defines(stub, "__init__"), name
            for dunder in ("__eq__", "__hash__"):
                assert defines(stub, dunder) == defines(cls, dunder), f"{name}.{dunder}"
            if not constructible and name not in EXCEPTIONS:
                with pytest.raises(TypeError, match="cannot create"):
                    cls()
