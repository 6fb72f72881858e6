#!/usr/bin/env bash
# Cross-compiles the C++ core and its GoogleTest programs for 64-bit ARM
# (aarch64) and runs them under qemu-aarch64 twice: on the NEON path the
# kernels choose, then on the scalar path (TARSIM_SIMD_PATH=scalar). Needs
# the distribution's g++-aarch64-linux-gnu, qemu-user and googletest (the
# GoogleTest sources, built here for the target); installs them with apt-get
# when run as root.
# Where they cannot be had, says so and exits 0 without testing.
#
#   bash scripts/test_aarch64.sh [extra ctest arguments]
#
# Under emulation the programs run some ten times slower than natively, so
# the heaviest property tests run smaller cases (TARSIM_TESTS_EMULATED, see
# src/testing/emulated.hpp); each run takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/steps.sh
build="$root/build/aarch64"
toolchain="$root/cmake/aarch64-linux-gnu.cmake"
sysroot=/usr/aarch64-linux-gnu

skip() {
  echo "== aarch64 core tests: SKIPPED ($1)"
  exit 0
}

have_tools() {
  command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null &&
    [ -f /usr/src/googletest/CMakeLists.txt ]
}

if ! have_tools; then
  [ "$(id -u)" = 0 ] || skip "g++-aarch64-linux-gnu, qemu-user or googletest missing, and not root to install them"
  command -v apt-get >/dev/null || skip "g++-aarch64-linux-gnu, qemu-user or googletest missing, and no apt-get"
  echo "== Installing g++-aarch64-linux-gnu, qemu-user and googletest"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
           g++-aarch64-linux-gnu qemu-user googletest >/dev/null; }; then
    skip "apt-get could not install g++-aarch64-linux-gnu, qemu-user and googletest"
  fi
  have_tools || skip "the packages are installed but the tools are still missing"
fi

# The build tools: the test environment's when there is one.
if [ -x "$root/.venv/bin/cmake" ]; then
  cmake="$root/.venv/bin/cmake"
  ctest="$root/.venv/bin/ctest"
  ninja=(-G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja")
elif command -v cmake >/dev/null; then
  cmake=cmake
  ctest=ctest
  ninja=()
else
  skip "no cmake"
fi

echo "== aarch64: GoogleTest from /usr/src/googletest"
gtest_root="$build/gtest-root"
if [ ! -f "$gtest_root/lib/cmake/GTest/GTestConfig.cmake" ]; then
  "$cmake" -S /usr/src/googletest -B "$build/gtest" "${ninja[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.10 \
    -DCMAKE_INSTALL_PREFIX="$gtest_root" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
  "$cmake" --build "$build/gtest" -j 2 | talk_while_quiet
  "$cmake" --install "$build/gtest" >/dev/null
fi

echo "== aarch64: C++ core and its tests"
"$cmake" -S . -B "$build/core" "${ninja[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTARSIM_BUILD_TESTS=ON -DTARSIM_BUILD_MODULE=OFF \
  -DGTest_DIR="$gtest_root/lib/cmake/GTest" >/dev/null
"$cmake" --build "$build/core" -j 2 | talk_while_quiet

# The kernels must be vector code: NEON additions and multiplications of
# pairs of doubles.
neon="$build/core/CMakeFiles/tarsim_metrics.dir/src/metrics/kernels_neon.cpp.o"
if command -v aarch64-linux-gnu-objdump >/dev/null; then
  code=$(aarch64-linux-gnu-objdump -d "$neon")
  for op in fadd fmul; do
    grep -qE "\s$op\s+v[0-9]+\.2d" <<<"$code" ||
      { echo "!! no $op on .2d vectors in $neon: the NEON kernels are not vector code" >&2; exit 1; }
  done
fi

export QEMU_LD_PREFIX="$sysroot" TARSIM_TESTS_EMULATED=1
failed=0
for path in neon scalar; do
  start=$SECONDS
  echo "== aarch64: core tests under qemu-aarch64 -L $sysroot, $path path"
  if [ "$path" = neon ]; then unset TARSIM_SIMD_PATH; else export TARSIM_SIMD_PATH=$path; fi
  "$ctest" --test-dir "$build/core" --output-on-failure -j 2 "$@" | talk_while_quiet || failed=1
  echo "== aarch64: $path path took $((SECONDS - start)) s"
done
exit "$failed"
