#!/usr/bin/env bash
# Installs corvane into the project's environment (.venv) and runs the
# default simulation.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages
use_project_environment
"$PYTHON" -m pip install --quiet .
cd /tmp && "$PYTHON" -m corvane "$@"
