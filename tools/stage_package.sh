#!/usr/bin/env bash
# Lays out the package with the extension built in build directory $1 as
# $1/package/corvane, for a suite to import from $1/package: every file the
# package ships (modules, stubs, shipped models), as an install would.
set -euo pipefail
cd "$(dirname "$0")/.."
module=$1
rm -rf "$module/package" && mkdir -p "$module/package"
cp -r python/corvane "$module/package/corvane"
rm -f "$module/package/corvane/"_core*.so
cp "$module"/_core*.so "$module/package/corvane/"
