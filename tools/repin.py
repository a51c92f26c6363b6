#!/usr/bin/env python3
"""Re-pins the golden values after an intended model change.

    python3 tools/repin.py

Builds the C++ suites (build/cpp-tests), runs them with CORVANE_REPIN set so
every golden comparison writes down the value it saw, runs the determinism
table, and rewrites tests/data/golden.csv and tests/data/expected_digests.txt
with what they produce. Prints every value that changed; the Python tests
read the same files. Review the printed list before committing it: a value
that moved unexpectedly is a fault, not a pin to update.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
BUILD = ROOT / "build" / "cpp-tests"


def build() -> None:
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCORVANE_BUILD_TESTS=ON"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j", str(os.cpu_count() or 1),
                    "--target", "corvane_cpp_tests", "digest_table"], check=True)


def observed_golden() -> dict[str, str]:
    with tempfile.TemporaryDirectory() as scratch:
        record = Path(scratch) / "observed.csv"
        subprocess.run([str(BUILD / "tests" / "cpp" / "corvane_cpp_tests"), "--gtest_brief=1"],
                       env={**os.environ, "CORVANE_REPIN": str(record)}, check=True)
        lines = record.read_text().splitlines() if record.exists() else []
    return dict(line.split(",", 1) for line in lines)


def rewrite_golden(seen: dict[str, str]) -> list[str]:
    path = DATA / "golden.csv"
    header, *rows = path.read_text().splitlines()
    changes, out = [], [header]
    for row in rows:
        name, old = row.split(",", 1)
        new = seen.get(name, old)
        if new != old:
            changes.append(f"{name}: {old} -> {new}")
        out.append(f"{name},{new}")
    path.write_text("\n".join(out) + "\n")
    return changes


def rewrite_digest_table() -> list[str]:
    path = DATA / "expected_digests.txt"
    old = dict(line.rsplit(" ", 1) for line in path.read_text().splitlines() if " " in line)
    table = subprocess.run([str(BUILD / "tests" / "cpp" / "determinism" / "digest_table")],
                           check=True, capture_output=True, text=True).stdout
    new = dict(line.rsplit(" ", 1) for line in table.splitlines() if " " in line)
    path.write_text(table)
    return [f"{name}: {old.get(name, '(new)')} -> {digest}"
            for name, digest in new.items() if old.get(name) != digest]


def main() -> int:
    build()
    changes = rewrite_golden(observed_golden()) + rewrite_digest_table()
    for change in changes:
        print(change)
    print(f"{len(changes)} pinned values changed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
