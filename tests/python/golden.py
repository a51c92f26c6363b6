"""Values pinned once in tests/data/golden.csv, shared with the C++ tests."""

import csv
import pathlib

with open(pathlib.Path(__file__).parent.parent / "data" / "golden.csv", newline="") as f:
    GOLDEN = {row["name"]: row["value"] for row in csv.DictReader(f)}
