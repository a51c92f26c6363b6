#!/usr/bin/env bash
# The full gate, after the daily loop (tools/test.sh) has passed: the layout
# check, the strict type check, the C++ suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, the determinism table from other compilers,
# optimisation levels and 64-bit ARM, bounded fuzzing, leak checks, and the
# Python suite against a sanitized extension. About half an hour on two cores; it adds the arm64
# architecture and cross compilers to the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages $BUILD_PACKAGES $TEST_PACKAGES
install_cross_packages
use_project_environment
install_project test

# Other clang-format releases lay some constructs out differently, so only
# the one the project pins judges, and a different one is an error rather
# than a skipped check.
if ! clang-format --version | grep -q ' 14\.'; then
    echo "The layout check needs clang-format 14; found: $(clang-format --version)" >&2
    exit 1
fi
git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' \
    'tests/cpp/maths_oracle/*.cpp' 'bench/*.cpp' | xargs clang-format --dry-run --Werror

# The trading environment and back-tests, with what they import, pass the
# strict type check (mypy as the test extra pins it, set up in pyproject.toml).
"$PYTHON" -m mypy

# The C++ suites under the sanitizers (the maths comparison runs only in the
# optimised build: it is about bits, and it is the slowest suite).
sanitized=build/cpp-tests-sanitized
cmake -S . -B "$sanitized" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=ON \
    -DCORVANE_SANITIZE=ON >/dev/null
cmake --build "$sanitized" -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$sanitized" --output-on-failure -j 2 -E 'maths_matches_musl|core_has_no_fma'

# The same digests from other compilers, optimisation levels and 64-bit ARM.
bash tools/check_determinism.sh

# Bounded fuzzing of the order book, restore_state, from_dict and loads.
bash tools/fuzz.sh "$PYTHON" 45

# Reference counts under the debug interpreter, traced memory, and valgrind.
bash tools/check_leaks.sh "$PYTHON"

# The Python suite again, against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension, with the interpreter's allocations through malloc so
# the sanitizer sees them too.
module=build/module-sanitized
cmake -S . -B "$module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_MODULE=ON \
    -DCORVANE_SANITIZE=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$module" -j "$(nproc)" --target _core
bash tools/stage_package.sh "$module"
(cd tests/python &&
    PYTHONPATH="$PWD/../../$module/package" PYTHONMALLOC=malloc \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$PYTHON" -X dev -W error -m pytest -q -p no:cacheprovider .)
