#!/usr/bin/env bash
# Checks that the module's binary does not depend on where it was built: the
# checkout (tracked and new files, as they are now) is copied into two folders
# of different names and depths, a wheel is built in each, and the extension
# modules inside must be byte for byte the same.
#   bash scripts/reproducible.sh [python]   (default: .venv/bin/python, which
#                                            needs requirements-test.txt)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")  # the builds run elsewhere
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for place in a/tarsim somewhere/much/deeper/other-name; do
  mkdir -p "$work/$place"
  git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"  # a deleted file is not part of the checkout
  done | tar -c --null -T - | tar -x -C "$work/$place"
done

sos=()
for place in a/tarsim somewhere/much/deeper/other-name; do
  start=$SECONDS
  echo "   building a wheel in $work/$place ..."
  (cd "$work/$place" && "$python" -m pip wheel -q --no-build-isolation --no-deps \
    -w "$work/$place/dist" . >"$work/$place/build.log" 2>&1) || {
    cat "$work/$place/build.log" >&2
    echo "the wheel build in $work/$place failed" >&2
    exit 1
  }
  mkdir -p "$work/$place/unpacked"
  "$python" -m zipfile -e "$work/$place"/dist/*.whl "$work/$place/unpacked"
  so=$(find "$work/$place/unpacked" -name 'tarsim*.so')
  [ -n "$so" ] || { echo "no extension module in the wheel built in $place" >&2; exit 1; }
  sos+=("$so")
  echo "   built $(basename "$so") in $((SECONDS - start)) s"
done

if ! cmp "${sos[0]}" "${sos[1]}"; then
  echo "the two builds differ; strings only one of them holds:" >&2
  diff <(strings -n 8 "${sos[0]}" | sort -u) <(strings -n 8 "${sos[1]}" | sort -u) >&2 || true
  exit 1
fi
if strings -n 4 "${sos[0]}" | grep -F -e "$work" -e "$(pwd)"; then
  echo "the extension module holds a path of the machine that built it" >&2
  exit 1
fi
echo "   the two builds are identical ($(stat -c %s "${sos[0]}") bytes)"
