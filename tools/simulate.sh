#!/usr/bin/env bash
# Installs corvane and runs the default simulation.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages
"$PYTHON" -m pip install --quiet .
cd /tmp && "$PYTHON" -m corvane "$@"
