#!/usr/bin/env bash
# Builds the determinism table (tests/cpp/determinism) with several compilers,
# optimisation levels and for 64-bit ARM, runs each build (and two of them
# under every lane set of the lane-wise maths) and compares its digests with
# the pinned table. ARM compilers contract a*b+c into fused
# multiply-adds unless told not to, so the ARM build run under qemu-user is
# the real test of the no-contraction rule; a build with one unit compiled
# -ffp-contract=fast must therefore be caught there.
#
# Needs Debian's clang-14, g++-aarch64-linux-gnu, libssl-dev:arm64 and
# qemu-user (tools/check.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
pinned="$PWD/tests/data/expected_digests.txt"
root=build/determinism

build() {
    local name=$1
    shift
    cmake -S . -B "$root/$name" -G Ninja -DCORVANE_BUILD_DIGEST_TABLE=ON "$@" >/dev/null
    cmake --build "$root/$name" -j "$(nproc)" --target digest_table >/dev/null
}

check() {
    local name=$1
    shift
    echo "== $name"
    "$@" "$root/$name/tests/cpp/determinism/digest_table" --check "$pinned"
}

# The same table with the lane-wise maths held to each instruction set the
# build and CPU offer: every one must give the pinned bits.
check_lanes() {
    local name=$1
    shift
    local lanes=$1
    shift
    for set in $lanes; do
        echo "== $name, $set lanes"
        status=0
        "$@" "$root/$name/tests/cpp/determinism/digest_table" --lanes "$set" --check "$pinned" \
            || status=$?
        # 2: this CPU lacks the set (AVX2 on an older machine).
        if [ "$status" = 2 ]; then echo "(not available here)"; elif [ "$status" != 0 ]; then exit 1; fi
    done
}

build gcc-O0 -DCMAKE_BUILD_TYPE=Debug
check gcc-O0
build gcc-O2 -DCMAKE_BUILD_TYPE=RelWithDebInfo
check gcc-O2
check_lanes gcc-O2 "scalar sse2 avx2"
build clang-O2 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
    -DCMAKE_CXX_COMPILER=clang++-14
check clang-O2
build sanitized -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 check sanitized

arm=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake")
build aarch64 "${arm[@]}"
check aarch64 qemu-aarch64
check_lanes aarch64 "scalar neon" qemu-aarch64
build aarch64-contracted "${arm[@]}" -DCORVANE_PLANT_CONTRACTION=ON
echo "== aarch64-contracted (must differ)"
if "$root/aarch64-contracted/tests/cpp/determinism/digest_table" --check "$pinned" \
    >/dev/null 2>&1 || qemu-aarch64 "$root/aarch64-contracted/tests/cpp/determinism/digest_table" \
    --check "$pinned"; then
    echo "the planted contraction was not caught" >&2
    exit 1
fi
echo "caught: the contracted build differs from the pinned table"
