#!/usr/bin/env bash
# Checks the release files: the checkout (tracked and new files, as they are
# now) is copied into two folders of different names and depths, and
# scripts/wheels.sh builds its wheels and source archive in each. Each set
# must carry one manylinux wheel per interpreter (wheels.sh checks that), the
# two sets must be the same byte for byte, and no extension module may hold a
# path of the machine that built it. The first set is kept in build/wheels.
#   bash scripts/reproducible.sh
# The builds use the checkout's virtual environments (see scripts/wheels.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/steps.sh
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}  # the copies have no history
export SOURCE_DATE_EPOCH TARSIM_VENVS=$root

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
places=(a/tarsim somewhere/much/deeper/other-name)
for place in "${places[@]}"; do
  mkdir -p "$work/$place"
  git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"  # a deleted file is not part of the checkout
  done | tar -c --null -T - | tar -x -C "$work/$place"
done

for place in "${places[@]}"; do
  say "release files built in $work/$place"
  bash "$work/$place/scripts/wheels.sh" "$work/$place/dist"
done

load_pythons
python=$(venv_of "${versions[0]}")/bin/python
say "comparing the two sets"
"$python" scripts/wheel_check.py same "$work/${places[0]}/dist" "$work/${places[1]}/dist" >/dev/null
for wheel in "$work/${places[0]}"/dist/*.whl; do
  rm -rf "$work/unpacked"
  "$python" -m zipfile -e "$wheel" "$work/unpacked"
  for so in "$work"/unpacked/tarsim*.so; do
    [ -f "$so" ] || { echo "$(basename "$wheel"): no extension module" >&2; exit 1; }
    if strings -n 4 "$so" | grep -F -e "$work" -e "$root"; then
      echo "$(basename "$wheel"): the extension module holds a path of the machine that built it" >&2
      exit 1
    fi
  done
done
rm -rf build/wheels
mkdir -p build
cp -r "$work/${places[0]}/dist" build/wheels
echo "   the two sets are identical, byte for byte; kept in build/wheels:"
"$python" scripts/wheel_check.py tags build/wheels "${versions[@]}"
