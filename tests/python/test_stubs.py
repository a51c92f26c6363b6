"""The type stubs shipped beside the extension agree with the extension.

The stub is read from where the installed module lives, so these tests also
catch a wheel that leaves it (or py.typed) out.
"""

import ast
import inspect
import types
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


def stub_members(name):
    """Methods, properties and class attributes (annotated names) of a stub class."""
    members = stub_methods(name)
    for node in STUB_CLASSES[name].body:
        if isinstance(node, ast.AnnAssign):
            members[node.target.id] = node
    return members


def stub_kind(function):
    if isinstance(function, ast.AnnAssign):
        return "attribute"
    found = decorators(function) & {"property", "staticmethod", "classmethod"}
    return found.pop() if found else "method"


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
            if not is_public(attribute) or runtime_kind(value) in ("property", "attribute"):
                continue
            function = getattr(cls, attribute)
            if function.__text_signature__ is None:
                continue
            stub = stub_parameters(methods.get(attribute))
            if runtime_kind(value) == "classmethod":
                # Bound to the class, the runtime shows no `cls`.
                stub = stub[1:]
            elif stub[:1] == [("self", P.POSITIONAL_OR_KEYWORD, P.empty)]:
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
            stub = {a: stub_kind(f) for a, f in stub_members(name).items() if is_public(a)}
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
