#!/usr/bin/env bash
# The daily loop: builds the package into the project's .venv and the C++
# suites, then runs both: CTest (with the comparison of our maths against a
# real musl build) and pytest against the installed package. About a minute
# and a half once built; a first run builds everything (a few minutes).
# The full gate (sanitizers, other compilers and ARM, fuzzing, leaks) is
# tools/check.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages $BUILD_PACKAGES $TEST_PACKAGES
use_project_environment
install_project test

build=build/cpp-tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON \
    -DCORVANE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j 2

# Run from outside the source tree so the installed package is what is tested.
(cd tests/python && "$PYTHON" -X dev -W error -m pytest -q -p no:cacheprovider .)
