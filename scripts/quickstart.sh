#!/usr/bin/env bash
# Builds and installs pallix into the current Python, then runs the
# quick-start example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
PY=${PYTHON:-python3}
"$PY" -m pip install --quiet --no-build-isolation .
"$PY" examples/quickstart.py
