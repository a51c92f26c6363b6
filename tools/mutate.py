#!/usr/bin/env python3
"""Measures how many faults the tests catch.

Plants one small fault at a time in one of three layers: the core
(src/core), the binding (src/python) or the package (python/corvane/*.py).
In C++ a fault is a flipped comparison or operator, a tweaked constant, two
statements swapped or an error return dropped; in Python also a dropped guard
or raise, a slice off by one, two string keys swapped, a `not` dropped, or a
return of the wrong variable. C++ mutants rebuild incrementally with CMake;
package mutants need no build. The work happens in a copy of the checkout
under build/, so the files being edited stay untouched; even there each file
is restored after its mutant, whatever happens.

    python tools/mutate.py --count 100 --seed 1 [--python /work/devvenv/bin/python]
    python tools/mutate.py --count 30 --layers package   # the Python package only
    python tools/mutate.py --retry saved-results.jsonl   # its survivors again
    python tools/mutate.py --full ...   # survivors meet every Python test

--layers (default core,binding,package) picks the layers; the sample is
split evenly between them, as the core alone holds most of the candidates.
A core mutant meets the C++ suite first (with the maths oracle) and the
Python suite only if that passes; a binding mutant meets the Python suite.
A package mutant meets the Python tests that import its module (the whole
fast list for the package's __init__), run against the unmutated extension
with the mutated .py in its package directory.
It is *caught* when a suite fails (or hangs past the time limit),
*survived* when every suite it met passes, *equivalent* when every object
file is byte for byte what the unmutated build made, or for Python the
syntax tree is unchanged (nothing observable changed), *stillborn* when it
does not compile, and *stale* (on a retry) when its text is no longer in
the source. Results go to build/mutate/results.jsonl, one line a mutant,
and a summary to stdout.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The Python tests that exercise most of the bindings in a few seconds.
FAST_PYTHON_TESTS = [
    "test_engine.py",
    "test_params.py",
    "test_order_book.py",
    "test_snapshot.py",
    "test_digest.py",
    "test_economy.py",
    "test_universe.py",
    "test_valuation.py",
    "test_tables.py",
    "test_module.py",
    "test_generator.py",
    "test_arrow.py",
    "test_recording.py",
    "test_hostile.py",
    "test_boundaries.py",
    # A second or two each, and the only tests of pickling, replayed order
    # logs, stateful sequences and the stubs.
    "test_pickling.py",
    "test_records.py",
    "test_stateful.py",
    "test_stubs.py",
    # The array views of every read-out and the clock.
    "test_arrays.py",
    "test_clock.py",
]

# The Python tests that import each package module; a module not named
# here meets the whole fast list.
PACKAGE_TESTS = {
    "env.py": ["test_env.py", "test_vector_env.py", "test_multiagent.py"],
    "_backtest.py": ["test_env.py"],
    "_pnl.py": ["test_env.py"],
    "_rewards.py": ["test_env.py", "test_multiagent.py"],
    "_render.py": ["test_env.py", "test_multiagent.py"],
    "_multiagent.py": ["test_multiagent.py"],
    "_vector_env.py": ["test_vector_env.py"],
    "_gym.py": ["test_env.py", "test_vector_env.py"],
    "_sweep.py": ["test_sweep.py", "test_env.py"],
    "_records.py": ["test_records.py", "test_stateful.py", "test_pickling.py", "test_module.py",
                    "test_fork.py"],
    "_whatif.py": ["test_fork.py"],
    "_whatif_cli.py": ["test_fork.py"],
    "_facts.py": ["test_facts.py"],
    "_facts_cli.py": ["test_facts.py"],
    "_calibrate.py": ["test_facts.py"],
    "_charts.py": ["test_cli.py", "test_facts.py", "test_fork.py"],
    "cli.py": ["test_cli.py", "test_fork.py", "test_facts.py"],
    "__main__.py": ["test_cli.py"],
}
# Native sources that callers reach mostly through the environments: their
# faults meet the environments' tests after the fast ones.
ENVIRONMENT_TESTS = ["test_env.py", "test_vector_env.py", "test_multiagent.py"]
NATIVE_TESTS = {name: ENVIRONMENT_TESTS for name in
                ("trading_desk.cpp", "trading_desk.hpp", "book_reads.cpp", "desk.cpp")}
LAYERS = {"core": "src/core", "binding": "src/python", "package": "python/corvane"}

SWAPS = {
    " < ": " <= ",
    " <= ": " < ",
    " > ": " >= ",
    " >= ": " > ",
    " == ": " != ",
    " != ": " == ",
    " + ": " - ",
    " - ": " + ",
    " * ": " / ",
    " && ": " || ",
    " || ": " && ",
    "true": "false",
    "false": "true",
}
TOKEN = re.compile(r" (?:<=|>=|==|!=|&&|\|\||[<>+\-*]) |\b(?:true|false)\b")
NUMBER = re.compile(r"(?<![\w.])(\d+\.\d+|\d+)(?![\w.'])")
DECLARATION = re.compile(r"\s*(?:const\s+|constexpr\s+|static\s+|inline\s+)*[\w:<>,]+[&*]?\s+(\w+)\s*(?:=|\{|\(|;)")
ERROR_RETURN = re.compile(r"\breturn\b[^;]*(?:[Ee]rror|fail|nullptr|NULL|-1\b|Err\b|invalid)[^;]*;")


@dataclass
class Mutant:
    path: str
    line: int
    kind: str
    before: str
    after: str

    @property
    def name(self) -> str:
        return f"{self.path}:{self.line} {self.kind}"


def code_part(line: str) -> str:
    """The line without its trailing comment (string literals left whole)."""
    in_string = False
    i = 0
    while i < len(line):
        ch = line[i]
        if ch == "\\" and in_string:
            i += 2
            continue
        if ch == '"':
            in_string = not in_string
        elif not in_string and line.startswith("//", i):
            return line[:i]
        i += 1
    return line


def outside_strings(line: str, start: int) -> bool:
    return line[:start].count('"') % 2 == 0


def bump(literal: str) -> str:
    if "." in literal:
        whole, frac = literal.split(".")
        last = int(frac[-1])
        return f"{whole}.{frac[:-1]}{last + 1 if last < 9 else 8}"
    return str(int(literal) + 1)


def mutants_of(path: Path) -> list[Mutant]:
    rel = str(path.relative_to(ROOT))
    lines = path.read_text().splitlines(keepends=True)
    found: list[Mutant] = []
    for n, text in enumerate(lines):
        stripped = text.strip()
        if not stripped or stripped.startswith(("//", "#", "*", "/*")):
            continue
        if "static_assert" in stripped or "= delete" in stripped or "= default" in stripped:
            continue
        code = code_part(text)
        for m in TOKEN.finditer(code):
            if not outside_strings(code, m.start()):
                continue
            token = m.group(0)
            new = text[: m.start()] + SWAPS[token] + text[m.end() :]
            found.append(Mutant(rel, n + 1, f"'{token.strip()}'->'{SWAPS[token].strip()}'", text, new))
        for m in NUMBER.finditer(code):
            if not outside_strings(code, m.start()) or "[" in code[: m.start()][-1:]:
                continue
            literal = m.group(1)
            new = text[: m.start(1)] + bump(literal) + text[m.end(1) :]
            found.append(Mutant(rel, n + 1, f"constant {literal}->{bump(literal)}", text, new))
        m = ERROR_RETURN.search(code)
        if m and stripped.startswith(("if", "return")):
            new = text[: m.start()] + "(void)0;" + text[m.end() :]
            found.append(Mutant(rel, n + 1, "error return dropped", text, new))
        # Two whole adjacent statements at one indentation swapped: a draw
        # moved, or a check moved after the change it guards.
        # Skipped: a pair whose second statement reads what the first
        # declares (it would not compile) and a pair of declarations (the
        # compiler orders those itself).
        if n + 1 < len(lines) and n > 0:
            following = lines[n + 1]
            declared = DECLARATION.match(code)
            indent = len(text) - len(text.lstrip())
            if (
                code.rstrip().endswith(";")
                and code_part(following).rstrip().endswith(";")
                and indent == len(following) - len(following.lstrip())
                and code_part(lines[n - 1]).rstrip().endswith((";", "{", "}"))
                and not stripped.startswith(("return", "case", "break", "using", "namespace"))
                and not following.strip().startswith(("return", "break", "//"))
                and "{" not in code
                and "}" not in code
                and not (declared and re.search(rf"\b{declared.group(1)}\b", following))
                and not (declared and DECLARATION.match(following))
            ):
                found.append(Mutant(rel, n + 1, "swapped with next statement", text + following, following + text))
    return found


PY_SWAPS = {
    " < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ",
    " == ": " != ", " != ": " == ", " + ": " - ", " - ": " + ",
    " * ": " / ", " / ": " * ", " // ": " % ", " and ": " or ", " or ": " and ",
    " is None": " is not None", " is not None": " is None",
    " in ": " not in ", " not in ": " in ",
    "True": "False", "False": "True", "not ": "",
    "min(": "max(", "max(": "min(",
}
PY_TOKEN = re.compile(
    r" (?:<=|>=|==|!=|//|[<>+\-*/]) | (?:and|or) | is (?:not )?None\b| (?:not )?in "
    r"|\b(?:True|False)\b|(?<![\w.])not |\b(?:min|max)\("
)
PY_STRING = re.compile(r"\"[A-Za-z_$][\w$]*\"")
SIMPLE = re.compile(r"\s*[\w.\[\]\"']+\s*(?:[-+*/]?=[^=]|\()")
ASSIGNING = re.compile(r"\s*[\w.\[\]\"']+\s*[-+*/]?=[^=]")
OPEN_ENDS = ("(", "[", "{", ",", ":", "\\")
KEYWORDS = ("return", "raise", "def ", "class ", "if ", "elif ", "for ", "while ", "with ", "try", "assert ")
PY_ASSIGN = re.compile(r"\s*(\w+)(?:\s*:\s*[^=]+)?\s*=[^=]")


def python_code_part(line: str) -> str:
    """The line without its trailing comment (naive about '#' in strings:
    such lines only lose candidates)."""
    cut = line.find("#")
    return line if cut < 0 else line[:cut]


def python_mutants_of(path: Path) -> list[Mutant]:
    rel = str(path.relative_to(ROOT))
    lines = path.read_text().splitlines(keepends=True)
    found: list[Mutant] = []

    def add(n: int, kind: str, new: str) -> None:
        found.append(Mutant(rel, n + 1, kind, lines[n], new))

    in_doc = False
    for n, text in enumerate(lines):
        stripped = text.strip()
        # Docstrings and comments hold no behaviour.
        if stripped.count('"""') == 1:
            in_doc = not in_doc
            continue
        if in_doc or not stripped or stripped.startswith(("#", '"""', "import ", "from ")):
            continue
        code = python_code_part(text)
        for m in PY_TOKEN.finditer(code):
            if code[: m.start()].count('"') % 2 or code[: m.start()].count("'") % 2:
                continue
            token = m.group(0)
            if token.strip() in ("in", "not in") and re.search(r"\bfor\b", code[: m.start()]):
                continue  # a loop's own `in`
            new = text[: m.start()] + PY_SWAPS[token] + text[m.end() :]
            found.append(Mutant(rel, n + 1, f"'{token.strip()}'->'{PY_SWAPS[token].strip()}'", text, new))
        for m in NUMBER.finditer(code):
            if code[: m.start()].count('"') % 2 or code[: m.start()].count("'") % 2:
                continue
            literal = m.group(1)
            new = text[: m.start(1)] + bump(literal) + text[m.end(1) :]
            kind = "slice off by one" if re.search(r"[\[:]-?$", code[: m.start()]) else "constant"
            add(n, f"{kind} {literal}->{bump(literal)}", new)
        # A guard dropped: the condition never holds, so its raise or early
        # return never happens.
        guard = re.match(r"(\s*)(?:el)?if (.+):\s*$", code)
        if guard and n + 1 < len(lines) and lines[n + 1].strip().startswith(("raise", "return")):
            head = "elif" if stripped.startswith("elif") else "if"
            add(n, "guard dropped", f"{guard.group(1)}{head} False:\n")
        if stripped.startswith("raise ") and stripped.endswith(")") and stripped.count("(") == stripped.count(")"):
            add(n, "raise dropped", text[: len(text) - len(text.lstrip())] + "pass\n")
        # Two string keys of one line swapped (a field read or written
        # under the other's name).
        keys = list(PY_STRING.finditer(code))
        if len(keys) >= 2 and keys[0].group(0) != keys[1].group(0):
            a, b = keys[0], keys[1]
            new = text[: a.start()] + b.group(0) + text[a.end() : b.start()] + a.group(0) + text[b.end() :]
            add(n, f"keys {a.group(0)} and {b.group(0)} swapped", new)
        # A return of the wrong variable: the nearest other name assigned
        # above in the same function.
        ret = re.match(r"(\s*)return ([A-Za-z_]\w*)\s*$", code)
        if ret:
            indent = len(ret.group(1))
            for k in range(n - 1, -1, -1):
                above = lines[k]
                if above.strip() and len(above) - len(above.lstrip()) < indent and above.lstrip().startswith("def "):
                    break
                assigned = PY_ASSIGN.match(above)
                if assigned and assigned.group(1) != ret.group(2) and not above.lstrip().startswith("self."):
                    add(n, f"returns {assigned.group(1)} for {ret.group(2)}", f"{ret.group(1)}return {assigned.group(1)}\n")
                    break
        # Two adjacent simple statements at one indentation swapped (each a
        # whole line: an assignment or a call).
        if n + 1 < len(lines):
            following = python_code_part(lines[n + 1])
            if (
                SIMPLE.match(code)
                and SIMPLE.match(following)
                and len(text) - len(text.lstrip()) == len(following) - len(following.lstrip())
                and not code.rstrip().endswith(OPEN_ENDS)
                and not following.rstrip().endswith(OPEN_ENDS)
                and not code.lstrip().startswith(KEYWORDS)
                and not following.lstrip().startswith(KEYWORDS)
                # Two calls in a row are mostly drawing; an assignment is state.
                and (ASSIGNING.match(code) or ASSIGNING.match(following))
            ):
                found.append(Mutant(rel, n + 1, "swapped with next statement", text + lines[n + 1], lines[n + 1] + text))
    return found


def all_mutants(layers: list[str]) -> dict[str, list[Mutant]]:
    """Every candidate, by layer."""
    pools: dict[str, list[Mutant]] = {}
    for layer in layers:
        folder = ROOT / LAYERS[layer]
        if layer == "package":
            files = sorted(p for p in folder.iterdir() if p.suffix == ".py" and p.name != "__main__.py")
            pools[layer] = [m for p in files for m in python_mutants_of(p)]
        else:
            # The tables are data checked against their own generator elsewhere.
            files = sorted(
                p for p in folder.iterdir()
                if p.suffix in (".cpp", ".hpp") and p.name not in ("maths_tables.cpp",)
            )
            pools[layer] = [m for p in files for m in mutants_of(p)]
    return pools


def run(cmd: list[str], cwd: Path, timeout: float, env: dict | None = None) -> tuple[str, str]:
    """('ok' | 'fail' | 'timeout', output tail)."""
    try:
        proc = subprocess.run(
            cmd,
            cwd=cwd,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=timeout,
            start_new_session=True,
        )
    except subprocess.TimeoutExpired:
        return "timeout", ""
    return ("ok" if proc.returncode == 0 else "fail"), proc.stdout[-2000:]


class Workspace:
    """A copy of the checkout with one build of the C++ tests and the module:
    the core is compiled once for both."""

    def __init__(self, base: Path, python: str, jobs: int, layers: list[str],
                 module: Path | None = None) -> None:
        self.layers = layers
        self.module = module
        self.full = False
        self.base = base
        self.tree = base / "tree"
        self.build_dir = base / "build"
        self.package = base / "package"
        self.python = python
        self.jobs = str(jobs)
        self.targets: set[str] = set()

    def prepare(self) -> None:
        listed = set(subprocess.run(
            ["git", "ls-files", "-co", "--exclude-standard"],
            cwd=ROOT, check=True, stdout=subprocess.PIPE, text=True,
        ).stdout.split())
        if self.tree.exists():
            for old in self.tree.rglob("*"):
                if old.is_file() and str(old.relative_to(self.tree)) not in listed:
                    old.unlink()
        for rel in sorted(listed):
            source = ROOT / rel
            if not source.is_file():
                continue
            target = self.tree / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            if not target.exists() or target.read_bytes() != source.read_bytes():
                # A fresh time stamp: the source's own may be older than the
                # objects an earlier run built, and the build would skip it.
                shutil.copyfile(source, target)
                shutil.copymode(source, target)
        if self.module is not None:
            self.link_package([self.module])
            return
        subprocess.run(
            ["cmake", "-S", str(self.tree), "-B", str(self.build_dir), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DCORVANE_WERROR=ON", "-DCORVANE_BUILD_TESTS=ON",
             "-DCORVANE_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={self.python}"],
            check=True, stdout=subprocess.DEVNULL,
        )
        # The package alone needs only the module.
        needed = () if set(self.layers) & {"core", "binding"} else (MODULE_TARGET,)
        if self.build(*needed) != "ok":
            sys.exit("the unmutated tree does not build")
        listing = subprocess.run(["ninja", "-C", str(self.build_dir), "-t", "targets", "all"],
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
        self.targets = {line.split(":")[0] for line in listing.splitlines()}
        self.link_package(list(self.build_dir.glob("_core*.so")))

    def link_package(self, extensions: list[Path]) -> None:
        """The importable package: the tree's .py files and the extension."""
        pkg = self.package / "corvane"
        pkg.mkdir(parents=True, exist_ok=True)
        for f in [*(self.tree / "python/corvane").iterdir(), *extensions]:
            link = pkg / f.name
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(f)

    def build(self, *targets: str) -> str:
        """Builds the given targets (everything when none): a core fault the
        C++ suite catches need not wait for the module to relink."""
        chosen = [arg for t in targets for arg in ("--target", t)]
        status, _ = run(["cmake", "--build", str(self.build_dir), "-j", self.jobs, *chosen],
                        self.tree, 1800)
        return status

    def objects_digest(self) -> str:
        digest = hashlib.sha256()
        if self.module is not None:
            return digest.hexdigest()
        for target in ("corvane_core.dir", "_core.dir"):
            for obj in sorted((self.build_dir / "CMakeFiles" / target).rglob("*.o")):
                digest.update(obj.read_bytes())
        return digest.hexdigest()

    def ctest(self, timeout: float) -> str:
        status, _ = run(["ctest", "--test-dir", str(self.build_dir), "-j", self.jobs,
                         "--stop-on-failure"], self.tree, timeout)
        return status

    def pytest(self, timeout: float, tests: list[str] = FAST_PYTHON_TESTS) -> str:
        env = dict(os.environ, PYTHONPATH=str(self.package), PYTHONDONTWRITEBYTECODE="1")
        tests = [t for t in tests if (self.tree / "tests/python" / t).exists()]
        status, _ = run([self.python, "-X", "dev", "-W", "error", "-m", "pytest", "-x", "-q",
                         "-p", "no:cacheprovider", *tests], self.tree / "tests/python", timeout, env)
        return status


# What the C++ suite runs on (the maths oracle, about a second, only where
# musl-gcc built its reference), and the module the Python suite imports.
CPP_TARGETS = ("corvane_cpp_tests", "digest_table", "compare_with_musl")
MODULE_TARGET = "_core"


def judge(space: Workspace, mutant: Mutant, baseline: str, timeout: float,
          phases: dict[str, float]) -> str:
    """Builds and tests one planted fault, cheapest step first: the C++ suite
    (a few seconds) before the module's relink and the Python suite. A
    mutant survives only when every suite it reaches passes."""
    def step(name: str, action) -> str:
        began = time.monotonic()
        status = action()
        phases[name] = round(time.monotonic() - began, 1)
        return status

    if mutant.path.endswith(".py"):
        return judge_python(space, mutant, timeout, phases)
    in_core = mutant.path.startswith("src/core")
    cpp_targets = tuple(t for t in CPP_TARGETS if t in space.targets)
    # A core header may reach the binding's own objects: build those too
    # before deciding the objects are unchanged.
    first = cpp_targets if in_core and mutant.path.endswith(".cpp") else (
        (*cpp_targets, MODULE_TARGET) if in_core else (MODULE_TARGET,))
    if step("build", lambda: space.build(*first)) != "ok":
        return "stillborn"
    if space.objects_digest() == baseline:
        return "equivalent"
    if in_core and step("ctest", lambda: space.ctest(timeout)) != "ok":
        return "caught"
    if MODULE_TARGET not in first and step("module", lambda: space.build(MODULE_TARGET)) != "ok":
        return "stillborn"
    tests = FAST_PYTHON_TESTS + NATIVE_TESTS.get(Path(mutant.path).name, [])
    if step("pytest", lambda: space.pytest(timeout, tests)) != "ok":
        return "caught"
    return confirmed_survivor(space, timeout, phases)


def confirmed_survivor(space: Workspace, timeout: float, phases: dict[str, float]) -> str:
    """With --full, a mutant the quick suites missed meets every Python test
    before it counts as survived: the quick lists leave out the slower
    files, which catch some of what they miss."""
    if not space.full:
        return "survived"
    began = time.monotonic()
    status = space.pytest(timeout, sorted(p.name for p in (space.tree / "tests/python").glob("test_*.py")))
    phases["full"] = round(time.monotonic() - began, 1)
    return "caught" if status != "ok" else "survived"


def judge_python(space: Workspace, mutant: Mutant, timeout: float, phases: dict[str, float]) -> str:
    """A package mutant: no build, only the tests that import its module."""
    target = space.tree / mutant.path
    mutated = target.read_text()
    original = (ROOT / mutant.path).read_text()
    try:
        tree = ast.parse(mutated)
    except SyntaxError:
        return "stillborn"
    if ast.dump(tree) == ast.dump(ast.parse(original)):
        return "equivalent"
    tests = PACKAGE_TESTS.get(Path(mutant.path).name, FAST_PYTHON_TESTS)
    began = time.monotonic()
    status = space.pytest(timeout, tests)
    phases["pytest"] = round(time.monotonic() - began, 1)
    return "caught" if status != "ok" else confirmed_survivor(space, timeout, phases)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=600, help="seconds per suite")
    parser.add_argument("--only", help="regular expression a mutant's name must match")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--layers", default="core,binding,package",
                        help="comma-separated layers to plant faults in: core (src/core), binding "
                             "(src/python), package (python/corvane/*.py; no rebuild, meets the "
                             "Python tests that import its module); the count is split evenly")
    parser.add_argument("--retry", metavar="RESULTS",
                        help="run exactly the survivors recorded in an earlier results file")
    parser.add_argument("--full", action="store_true",
                        help="a mutant the quick suites miss meets the whole Python suite before it "
                             "counts as survived")
    parser.add_argument("--module", type=Path,
                        help="package layer only: a built _core extension of the unmutated "
                             "source to import, instead of building one in the copy")
    args = parser.parse_args()
    layers = [layer.strip() for layer in args.layers.split(",") if layer.strip()]
    if not layers or any(layer not in LAYERS for layer in layers):
        parser.error(f"--layers takes a comma-separated subset of {', '.join(LAYERS)}")

    if args.retry:
        # The very mutants, not a fresh draw: the source may have moved since.
        fields = ("path", "line", "kind", "before", "after")
        with open(args.retry) as earlier:
            records = [json.loads(line) for line in earlier]
        sample = [Mutant(**{f: r[f] for f in fields}) for r in records if r["outcome"] == "survived"]
        if args.only:
            sample = [m for m in sample if re.search(args.only, m.name)]
        # Headers last: each rebuilds most of the tree.
        sample.sort(key=lambda m: m.path.endswith(".hpp"))
    else:
        pools = all_mutants(layers)
        if args.only:
            pools = {k: [m for m in pool if re.search(args.only, m.name)] for k, pool in pools.items()}
        # An even share per layer (the first layers take the remainder), so
        # the thousands of core candidates do not drown the package's.
        chooser = random.Random(args.seed)
        sample = []
        for i, layer in enumerate(layers):
            share = args.count // len(layers) + (i < args.count % len(layers))
            sample += chooser.sample(pools[layer], min(share, len(pools[layer])))
    if args.list:
        for m in sample:
            print(m.name)
        return

    if args.retry:
        layers = sorted({next(k for k, d in LAYERS.items() if m.path.startswith(d)) for m in sample})
    if args.module is not None and layers != ["package"]:
        parser.error("--module serves the package layer alone: C++ mutants need their own build")
    module = None if args.module is None else args.module.resolve()
    space = Workspace(ROOT / "build/mutate", args.python, args.jobs, layers, module)
    space.full = args.full
    space.prepare()
    baseline = space.objects_digest()
    cpp_ok = "core" not in layers or space.ctest(args.timeout) == "ok"
    python_tests = sorted(set(FAST_PYTHON_TESTS).union(*PACKAGE_TESTS.values())) if "package" in layers else FAST_PYTHON_TESTS
    if not cpp_ok or space.pytest(args.timeout, python_tests) != "ok":
        sys.exit("the suites fail on the unmutated tree")

    # A terminated run still restores the file it was working on.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    results_path = space.base / "results.jsonl"
    counts: dict[str, int] = {}
    survivors: list[Mutant] = []
    with results_path.open("w") as results:
        for i, mutant in enumerate(sample, 1):
            target = space.tree / mutant.path
            original = target.read_text()
            started = time.monotonic()
            phases: dict[str, float] = {}
            try:
                mutated = original.replace(mutant.before, mutant.after, 1)
                # Locate by line so a repeated text mutates the right place.
                lines = original.splitlines(keepends=True)
                k = mutant.line - 1
                span = mutant.before.count("\n")
                if "".join(lines[k : k + span]) == mutant.before:
                    mutated = "".join(lines[:k]) + mutant.after + "".join(lines[k + span :])
                if mutated == original:
                    outcome = "stale"  # the source no longer holds the text
                else:
                    target.write_text(mutated)
                    outcome = judge(space, mutant, baseline, args.timeout, phases)
            finally:
                target.write_text(original)
            counts[outcome] = counts.get(outcome, 0) + 1
            if outcome == "survived":
                survivors.append(mutant)
            record = dict(asdict(mutant), outcome=outcome, seconds=round(time.monotonic() - started),
                          phases=phases)
            results.write(json.dumps(record) + "\n")
            results.flush()
            print(f"[{i}/{len(sample)}] {outcome:10} {mutant.name}", flush=True)
    if set(layers) & {"core", "binding"}:
        space.build()

    live = counts.get("caught", 0) + counts.get("survived", 0)
    print(f"\n{len(sample)} mutants: " + ", ".join(f"{v} {k}" for k, v in sorted(counts.items())))
    if live:
        print(f"caught {counts.get('caught', 0)} of {live} that change behaviour "
              f"({100 * counts.get('caught', 0) / live:.0f}%)")
    for m in survivors:
        print(f"survived: {m.name}\n    - {m.before.strip()}\n    + {m.after.strip()}")


if __name__ == "__main__":
    main()
