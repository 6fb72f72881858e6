#!/usr/bin/env bash
# Runs every test of tarsim on a fresh machine: installs what the tests need,
# builds and runs the C++ core tests, builds and installs the module into a
# virtual environment, and runs the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# GoogleTest for the C++ core tests, from the distribution's packages.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  else
    sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev >/dev/null
  fi
fi

# The Python side: a virtual environment with the test requirements and the module.
python3 -m venv .venv
venv="$root/.venv/bin"
"$venv/python" -m pip install -q --upgrade pip
"$venv/python" -m pip install -q -r requirements-test.txt
"$venv/python" -m pip install -q --no-build-isolation .

echo "== C++ core tests"
"$venv/cmake" -S . -B build/tests -G Ninja -DTARSIM_BUILD_TESTS=ON -DTARSIM_BUILD_MODULE=OFF \
  -DCMAKE_MAKE_PROGRAM="$venv/ninja" >/dev/null
"$venv/cmake" --build build/tests
"$venv/ctest" --test-dir build/tests --output-on-failure -j 2
bash "$root/scripts/test_aarch64.sh"

echo "== Python tests"
cd "$root/tests"  # import the installed module, not the source tree
"$venv/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
bash "$root/scripts/sanitize.sh" "$@"
