#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through CTest (once as the
# release build, once under AddressSanitizer and UndefinedBehaviorSanitizer),
# the engine tests that start threads under ThreadSanitizer, then the Python
# API tests with pytest against a freshly installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
PY=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

# The release build also builds the extension module, and pip installs it
# from this same build tree below, so the engine is compiled once for both.
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPALLIX_BUILD_TESTS=ON -DPALLIX_BUILD_MODULE=ON -DPALLIX_WERROR=ON >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

# GCC reports false -Wrestrict hits in sanitized code, so no -Werror here.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPALLIX_BUILD_TESTS=ON -DPALLIX_BUILD_MODULE=OFF -DPALLIX_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$JOBS" --target engine_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$JOBS"

# ThreadSanitizer cannot share a build with the sanitizers above; its own
# build makes only the engine and the tests that run it on several threads
# (tests/engine/CMakeLists.txt). halt_on_error ends a test at its first
# report, which fails it; every report is also kept in a file, so that one
# made in a child process a test forks fails the run as well.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPALLIX_BUILD_TESTS=ON -DPALLIX_BUILD_MODULE=OFF -DPALLIX_TSAN=ON >/dev/null
cmake --build build/tsan -j "$JOBS" --target engine_tsan_tests
rm -rf build/tsan/reports && mkdir -p build/tsan/reports
# GCC 12's ThreadSanitizer cannot place its shadow memory beside an address
# layout randomised with more than 28 bits (newer kernels' default: it
# stops with "unexpected memory mapping"); the tests then run without that
# randomisation.
tsan_run=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
  tsan_run=(setarch "$(uname -m)" -R)
fi
tsan_status=0
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/engine/tsan.supp:log_path=$PWD/build/tsan/reports/tsan" \
  "${tsan_run[@]}" ctest --test-dir build/tsan -L tsan --output-on-failure -j "$JOBS" || tsan_status=$?
if compgen -G "build/tsan/reports/tsan*" >/dev/null; then
  cat build/tsan/reports/tsan* >&2
  echo "ThreadSanitizer reported the above" >&2
  tsan_status=1
fi
[ "$tsan_status" -eq 0 ] || exit "$tsan_status"

# The package goes into this checkout's own build tree, not the
# interpreter's site-packages: another checkout's run installing there
# meanwhile would rewrite the module under the child interpreters these
# tests start, which then die loading a half-written file (SIGBUS).
site=$PWD/build/tests/site
"$PY" -m pip install --quiet --no-build-isolation --no-deps --upgrade --target "$site" \
  --config-settings=build-dir=build/tests \
  --config-settings=cmake.define.PALLIX_BUILD_TESTS=ON \
  --config-settings=cmake.define.PALLIX_WERROR=ON .
PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" "$PY" -m pytest -q tests/python
