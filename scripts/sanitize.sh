#!/usr/bin/env bash
# Builds the module and the C++ core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan, runs the C++ tests there, then
# runs the whole Python test suite against the sanitized module. Any report
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/asan"
reports="$build/reports"

source scripts/steps.sh
ensure_venv .venv python3
ensure_requirements .venv requirements-test.txt
venv="$root/.venv/bin"

echo "== Sanitized build (build/asan)"
"$venv/cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARSIM_SANITIZE=ON -DTARSIM_BUILD_TESTS=ON -DTARSIM_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$venv/python" -DCMAKE_MAKE_PROGRAM="$venv/ninja" >/dev/null
"$venv/cmake" --build "$build" 2>&1 | talk_while_quiet

rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:detect_invalid_pointer_pairs=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

echo "== C++ core tests under the sanitizers"
ASAN_OPTIONS="$common:detect_leaks=1:log_path=$reports/asan-ctest" \
  "$venv/ctest" --test-dir "$build" --output-on-failure -j 2 2>&1 | talk_while_quiet

# The interpreter is not built with the sanitizers: the ASan runtime has to be
# loaded before it, and leak detection is off because the interpreter's own
# allocations at exit are not ours. The test run imports the module from
# build/asan; pytest runs from build/asan so that nothing else named tarsim
# comes first.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
asan_runtime=$("$compiler" -print-file-name=libasan.so)
ubsan_runtime=$("$compiler" -print-file-name=libubsan.so)
export LD_PRELOAD="$asan_runtime $ubsan_runtime"
export ASAN_OPTIONS="$common:detect_leaks=0:log_path=$reports/asan"
export PYTHONPATH="$build:$root/tests/hardening:$root/tests/runner"
export TARSIM_SANITIZED=1
cd "$build"
imported=$("$venv/python" -c 'import tarsim; print(tarsim.__file__)')
echo "== Python tests against $imported"
case "$imported" in
  "$build"/*) ;;
  *) echo "the sanitized module was not the one imported" >&2; exit 1 ;;
esac
status=0
"$venv/python" -m pytest -p no:cacheprovider -p sanitize_profile -p progress_lines "$root/tests" "$@" \
  || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "== Sanitizer reports" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit "$status"
