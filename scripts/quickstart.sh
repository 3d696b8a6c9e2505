#!/usr/bin/env bash
# Builds and installs pallix into the current Python, then runs the
# quick-start example.
#
# The build runs first through CMake, so Ninja prints its progress ([n/N]
# per compiled file) during the minutes it takes; pip then installs from
# that same build tree, which is already up to date, the way
# scripts/test.sh does. (pip alone would print nothing until it is done.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
PY=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}
BUILD=build/quickstart

echo "== building the extension module in $BUILD (-j $JOBS)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPALLIX_BUILD_TESTS=OFF -DPALLIX_BUILD_MODULE=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"

echo "== installing into $("$PY" -c 'import sys; print(sys.prefix)')"
"$PY" -m pip install --quiet --no-build-isolation --config-settings=build-dir="$BUILD" .

echo "== running examples/quickstart.py"
"$PY" examples/quickstart.py
