#!/usr/bin/env bash
# Leak checks of the extension: reference counts under Debian's debug
# interpreter (an extension built against its headers, with Py_DEBUG, so that
# its own increments are counted too), traced memory, and a valgrind run.
# Usage: tools/check_leaks.sh PYTHON   (the project environment's interpreter,
# with corvane and the nanoarrow sources installed)
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
module=build/module-debug
nanoarrow=$("$python" -c "import arx_nanoarrow_sources as s; print(s.bundle_root())")

# Debian's debug headers pick up the release pyconfig.h through Python.h's
# own directory, so Py_DEBUG is set here explicitly.
cmake -S . -B "$module" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_MODULE=ON \
    -DPython_EXECUTABLE=/usr/bin/python3.11-dbg -DCMAKE_CXX_FLAGS=-DPy_DEBUG \
    -DCORVANE_NANOARROW_DIR="$nanoarrow" >/dev/null
cmake --build "$module" -j "$(nproc)" --target _core >/dev/null
bash tools/stage_package.sh "$module"
PYTHONPATH="$module/package" python3.11-dbg tools/check_leaks.py

# Valgrind: nothing definitely lost, and no error, in the extension's frames
# (the interpreter's own start-up reports are not ours to fix).
log=$(mktemp)
PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --num-callers=40 \
    "$python" tools/check_leaks.py --valgrind >"$log" 2>&1 || true
"$python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
blocks = re.split(r"\n==\d+== \n", text)
ours = [b for b in blocks if "_core.abi3.so" in b and ("lost" in b or "Invalid" in b
                                                       or "uninitialised" in b)]
for block in ours:
    print(block)
print(f"valgrind: {len(ours)} report(s) in the extension's frames")
sys.exit(1 if ours else 0)
PY
rm -f "$log"
