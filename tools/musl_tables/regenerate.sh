#!/bin/sh
# Rebuilds src/core/maths_tables.cpp from the tables inside musl's static libc.
# Needs musl-gcc (Debian: musl-tools, musl-dev). Usage: tools/musl_tables/regenerate.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Ask the linker which libc.a it really used (-print-file-name answers for the host libc).
musl-gcc -static -O2 -o "$tmp/print_tables" "$here/print_tables.c" -Wl,--trace > "$tmp/trace"
libc=$(sed -n 's/^(\{0,1\}\([^()]*libc\.a\).*/\1/p' "$tmp/trace" | head -n 1)

# The struct layouts in print_tables.c assume these object sizes (7 table bits each).
check_size() {
    size=$(nm -S "$libc" 2>/dev/null | awk -v s="$1" '$3 == "R" && $4 == s { print $2 }')
    if [ "$size" != "$2" ]; then
        echo "unexpected size for $1 in $libc: '$size' (want $2)" >&2
        exit 1
    fi
}
check_size __exp_data 0000000000000870
check_size __log_data 0000000000001090
check_size __pow_log_data 0000000000001048

# musl's dynamic loader prints its version when run directly.
version=$(for ld in /lib/ld-musl-*.so.1; do "$ld" 2>&1; done | sed -n 's/^Version //p' | head -n 1)
"$tmp/print_tables" "${version:-unknown}" > "$tmp/maths_tables.cpp"
mv "$tmp/maths_tables.cpp" "$root/src/core/maths_tables.cpp"
echo "wrote $root/src/core/maths_tables.cpp"
