#!/usr/bin/env bash
# Installs corvane and its command's extra into the project's environment
# (.venv) when the sources changed, and runs the default simulation in the
# caller's folder: tables, a summary and a chart under ./corvane-run.
set -euo pipefail
caller="$PWD"
cd "$(dirname "$0")/.."
source tools/setup.sh
install_debian_packages $BUILD_PACKAGES
use_project_environment
install_project cli
cd "$caller" && "$PYTHON" -m corvane simulate "$@"
