#!/usr/bin/env bash
# Runs every test of tarsim: installs what the tests need, builds and runs the
# C++ core tests, builds the release files twice in two folders (a manylinux
# wheel per interpreter and the source archive, scripts/reproducible.sh) and
# compares them, and runs the Python tests against a module built for every
# CPython 3.11+ on this machine (the default python3 in .venv, each other
# version X.Y in .venv-X.Y), then the sanitizer run on the default
# interpreter. Arguments go to pytest. A Python run whose Dask tests (tests/dask)
# were skipped or not run is reported so; in CI (CI set) that fails the run.
#
# Interpreters are python3 on PATH, python3.X on PATH and, with pyenv,
# $(pyenv root)/versions/*/bin/python3 (find_pythons in scripts/steps.sh). A
# Python version that pyproject.toml claims but that is not found is reported;
# in CI (CI set) it fails the run.
# Steps already done for the same sources are skipped (see scripts/steps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/steps.sh
begin=$SECONDS

# --- Interpreters -----------------------------------------------------------
load_pythons
default=${versions[0]}
mapfile -t missing < <(missing_pythons "${versions[@]}")
say "Python tests will run on: $(for v in "${versions[@]}"; do printf '%s (%s)  ' "$v" "${python_of[$v]}"; done)"
if [ "${#missing[@]}" -gt 0 ]; then
  echo "!! pyproject.toml claims Python ${missing[*]}, but no such interpreter was found:" \
       "those versions are NOT tested" >&2
fi

# --- GoogleTest --------------------------------------------------------------
# From the distribution's packages when running as root; otherwise it must be
# installed already where CMake finds it.
if [ ! -f /usr/include/gtest/gtest.h ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  start=$SECONDS
  say "installing GoogleTest (libgtest-dev) with apt-get"
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  took "$start"
fi

# --- The default interpreter: set-up, C++ core tests, reproducibility ---------
dv=$(venv_of "$default")
ensure_venv "$dv" python3
requirements=(requirements-test.txt)
[ -f requirements-dask.txt ] && requirements+=(requirements-dask.txt)
ensure_requirements "$dv" "${requirements[@]}"
ensure_module "$dv"

start=$SECONDS
say "C++ core tests: building build/tests"
mkdir -p build
if ! "$dv/bin/cmake" -S . -B build/tests -G Ninja -DTARSIM_BUILD_TESTS=ON -DTARSIM_BUILD_MODULE=OFF \
     -DCMAKE_MAKE_PROGRAM="$dv/bin/ninja" >build/cmake-tests.log 2>&1; then
  cat build/cmake-tests.log >&2
  if grep -q GTest build/cmake-tests.log; then
    echo "GoogleTest is missing. Install it (Debian/Ubuntu: apt-get install libgtest-dev," \
         "as root), or point CMake at an installed copy with GTEST_ROOT=<prefix>." >&2
  fi
  exit 1
fi
"$dv/bin/cmake" --build build/tests -j "$CMAKE_BUILD_PARALLEL_LEVEL" 2>&1 | talk_while_quiet
say "C++ core tests: running"
"$dv/bin/ctest" --test-dir build/tests --output-on-failure -j 2 2>&1 | talk_while_quiet
took "$start"

# The C++ core once more, cross-built for aarch64 and run under qemu
# (skipped, and said so, where the cross tools cannot be installed).
start=$SECONDS
say "C++ core tests for aarch64 under qemu, NEON then scalar path (2-4 minutes, 2 more for a first build)"
if bash "$root/scripts/test_aarch64.sh"; then aarch64=passed; else aarch64=FAILED; fi
took "$start"

# The release files: a manylinux wheel per interpreter and the source
# archive, the same bytes from two folders (checked once per sources and
# interpreters; the venvs of the other interpreters are made here).
wheels_stamp=$(stamp_of wheels "$(source_hash)" "${versions[*]}" "$(sha256sum <requirements-wheels.txt)")
if [ -n "$(source_hash)" ] && [ "$(cat "$dv/.tarsim/wheels" 2>/dev/null)" = "$wheels_stamp" ]; then
  say "release files: already checked for these sources and interpreters (build/wheels)"
else
  start=$SECONDS
  say "release files: built twice, in two folders, and compared (a minute or two per interpreter)"
  bash scripts/reproducible.sh
  echo "$wheels_stamp" >"$dv/.tarsim/wheels"
  took "$start"
fi

# --- Python tests, one interpreter after the other ---------------------------
declare -A result=()
failed=0
[ "$aarch64" = passed ] || failed=1
run_suite() {
  local version=$1 venv start tally dask
  venv=$(venv_of "$version")
  tally="$venv/.tarsim/tally.json"
  start=$SECONDS
  say "Python tests on $version ($venv)"
  rm -f "$tally"
  # Run from tests/ so that the installed module is imported, not the source
  # tree. tests/runner holds the plugins that write a line of progress every
  # few seconds and count what ran in each folder.
  if (cd "$root/tests" && PYTHONPATH="$root/tests/runner${PYTHONPATH:+:$PYTHONPATH}" \
      "$venv/bin/python" -m pytest -p no:cacheprovider -p progress_lines -p suite_tally \
      --suite-tally="$tally" "$root/tests" "${pytest_args[@]}"); then
    result[$version]=passed
  else
    result[$version]=FAILED
    failed=1
  fi
  dask=$("$venv/bin/python" "$root/tests/runner/suite_tally.py" "$tally" dask 2>/dev/null) \
    || dask="NOT RUN"
  if [ "$dask" != ran ]; then
    result[$version]+=" (Dask tests $dask)"
    echo "!! Python $version: the Dask tests were not all run: $dask" >&2
    [ -z "${CI:-}" ] || failed=1
  fi
  took "$start"
}
pytest_args=("$@")
run_suite "$default"
for version in "${versions[@]:1}"; do
  venv=$(venv_of "$version")
  ensure_venv "$venv" "${python_of[$version]}"
  ensure_requirements "$venv" "${requirements[@]}"
  ensure_module "$venv"
  run_suite "$version"
done

start=$SECONDS
say "sanitizers: build/asan, then the C++ and Python tests under them (a few minutes)"
if bash "$root/scripts/sanitize.sh" "$@"; then sanitized=passed; else sanitized=FAILED; failed=1; fi
took "$start"

# --- Summary -----------------------------------------------------------------
say "Summary ($(( (SECONDS - begin) / 60 )) min $(( (SECONDS - begin) % 60 )) s)"
for version in "${versions[@]}"; do
  printf '   Python %-7s %-9s %s\n' "$(python_identity "${python_of[$version]}" | cut -d' ' -f1)" \
    "${result[$version]:-not run}" "${python_of[$version]}"
done
printf '   C++ core on aarch64 %s\n' "$aarch64"
printf '   sanitizers (Python %s, without the Dask tests) %s\n' "$default" "$sanitized"
if [ -n "${CI:-}" ] && printf '%s\n' "${result[@]}" | grep -q "Dask tests"; then
  echo "!! CI must run the Dask tests on every interpreter: failing" >&2
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "!! not tested, no interpreter found: Python ${missing[*]} (claimed in pyproject.toml)" >&2
  if [ -n "${CI:-}" ]; then
    echo "!! CI must test every claimed version: failing" >&2
    failed=1
  fi
fi
exit "$failed"
