#!/usr/bin/env bash
# Bounded fuzzing: the order book under libFuzzer (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer), then restore_state, ModelParams.from_dict
# and corvane.loads under atheris against an extension built with clang's
# coverage instrumentation and AddressSanitizer. Each target starts from its
# corpus in the repository and runs for SECONDS (default 45); new inputs go
# to a scratch folder, so the checkout is left as it was.
# Usage: tools/fuzz.sh PYTHON [SECONDS]   (PYTHON with atheris and the nanoarrow sources)
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
seconds=${2:-45}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
clang=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${clang[@]}" \
    -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target order_book_fuzz >/dev/null
# Runs one fuzzer; on a finding prints its whole report and fails.
run() {
    local log="$scratch/log"
    if ! "$@" >"$log" 2>&1; then
        cat "$log"
        exit 1
    fi
    grep -E '^stat::(number_of_executed_units|new_units)' "$log"
}

echo "== order_book"
mkdir -p "$scratch/order_book"
UBSAN_OPTIONS=halt_on_error=1 run build/fuzz/tests/cpp/fuzz/order_book_fuzz \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/" \
    "$scratch/order_book" tests/cpp/fuzz/corpus/order_book

# atheris brings the fuzzer and the AddressSanitizer runtime the extension
# links against.
module=build/module-fuzz
cmake -S . -B "$module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${clang[@]}" \
    -DCORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE="$python" \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,fuzzer-no-link" >/dev/null
cmake --build "$module" -j "$(nproc)" --target _core >/dev/null
bash tools/stage_package.sh "$module"
runtime=$("$python" -c "import atheris; print(atheris.path())")/asan_with_fuzzer.so
for target in restore_state from_dict loads; do
    echo "== $target"
    mkdir -p "$scratch/$target"
    PYTHONPATH="$module/package" LD_PRELOAD="$runtime" \
        ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
        run "$python" tests/python/fuzz/fuzz_surface.py "$target" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch/$target" \
        "tests/python/fuzz/corpus/$target"
done
