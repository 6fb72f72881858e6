# Set-up steps shared by scripts/test.sh and scripts/demo.sh (sourced, not
# run). Each step says what it is doing and how long it took, and skips what
# is already done: a virtual environment that exists for the same interpreter,
# requirements installed from an unchanged file, a module built from the same
# sources. What a step has done is recorded in stamps under <venv>/.tarsim/,
# written only after the step succeeded.

# Two cores at most for the compiler, and no pip self-advertisement.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

steps_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# absolute PATH: PATH made absolute (it need not exist).
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }

# shown PATH: PATH as a reader of the output wants it, relative to the project.
shown() { echo "${1#"$steps_root"/}"; }

# say MESSAGE: a phase heading.
say() { echo "== $*"; }

# took START: how long since START (a value of $SECONDS).
took() { echo "   ($(( SECONDS - $1 )) s)"; }

# The interpreter's "X.Y.Z implementation" (fails when it does not run).
python_identity() {
  "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3], sys.implementation.name)' 2>/dev/null
}

# ensure_venv DIR PYTHON: a virtual environment at DIR made with PYTHON,
# remade when it is missing, broken or made with another interpreter version.
ensure_venv() {
  local dir python=$2 want have start=$SECONDS
  dir=$(absolute "$1")
  want=$(python_identity "$python") || { echo "$python does not run" >&2; return 1; }
  have=$(python_identity "$dir/bin/python" || true)
  if [ "$have" = "$want" ] && [ -x "$dir/bin/pip" ]; then
    say "$(shown "$dir"): Python ${want% *}, already set up"
    return
  fi
  say "$(shown "$dir"): creating a virtual environment with Python ${want% *} ($python; about 10 s)"
  "$python" -m venv --clear "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  mkdir -p "$dir/.tarsim"
  took "$start"
}

# stamp_of WORDS...: one line that changes whenever any of WORDS does.
stamp_of() { printf '%s\n' "$@" | sha256sum | cut -d' ' -f1; }

# ensure_requirements DIR FILE...: pip-installs each requirements file into
# the environment at DIR unless that file, unchanged, was installed there
# already. pip's own output shows what is being fetched and installed.
ensure_requirements() {
  local dir file stamp start
  dir=$(absolute "$1")
  shift
  mkdir -p "$dir/.tarsim"
  for file in "$@"; do
    stamp=$(stamp_of "$(python_identity "$dir/bin/python")" "$(sha256sum <"$file")")
    if [ "$(cat "$dir/.tarsim/$(basename "$file")" 2>/dev/null)" = "$stamp" ]; then
      say "$(shown "$dir"): $file already installed"
      continue
    fi
    start=$SECONDS
    say "$(shown "$dir"): installing $file (from PyPI; up to a minute the first time)"
    # The pipeline fails when pip does (pipefail); grep finding nothing is fine.
    if ! "$dir/bin/python" -m pip install --progress-bar on -r "$file" \
        | { grep -v -e '^Requirement already satisfied' || true; }; then
      echo "pip could not install $file" >&2
      return 1
    fi
    echo "$stamp" >"$dir/.tarsim/$(basename "$file")"
    took "$start"
  done
}

# The sources of the module as they are in the checkout now (tracked files and
# new ones that git does not ignore, with their contents), as one hash; empty
# outside a git checkout. Tests, benchmarks, scripts, CI, documentation and
# requirement lists do not go into the wheel and are left out.
source_hash() {
  (cd "$steps_root" && git rev-parse --git-dir >/dev/null 2>&1) || return 0
  (
    cd "$steps_root"
    git ls-files -z -co --exclude-standard -- . \
        ':!tests/' ':!bench/' ':!scripts/' ':!.ci/' ':!*.md' ':!requirements*.txt' \
      | while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done \
      | sort -z | xargs -0 -r sha256sum | sha256sum | cut -d' ' -f1
  )
}

# The hash of the tarsim extension installed in the environment at DIR; empty
# when there is none.
installed_module_hash() {
  local so
  so=$(cd / && "$1/bin/python" -c 'import importlib.util as u; s = u.find_spec("tarsim"); print(s.origin if s and s.origin else "")' 2>/dev/null) || true
  [ -n "$so" ] && [ -f "$so" ] && sha256sum <"$so" | cut -d' ' -f1
  return 0
}

# compile_progress: of a build's output on stdin, the compiler's and the
# linker's progress lines, shortened to "[3/32] src/flat/flat.cpp".
compile_progress() {
  sed -u -n -E -e 's#^.*(\[[0-9]+/[0-9]+\]) Building CXX object .*\.dir/(.*)\.o$#   \1 \2#p' \
               -e 's#^.*(\[[0-9]+/[0-9]+\]) Linking CXX [a-z ]+ (.*)$#   \1 linking \2#p'
}

# talk_while_quiet: copies its input to its output, line by line, and says
# that the step is still running after every 15 s without a line, so that a
# log shows progress while one long compile or test runs.
talk_while_quiet() {
  local line partial="" quiet=0
  while true; do
    if IFS= read -r -t 15 line; then
      printf '%s\n' "$partial$line"
      partial="" quiet=0
    elif [ $? -gt 128 ]; then  # timed out, keeping what came of a line
      partial+=$line
      quiet=$((quiet + 15))
      echo "   ... still running ($quiet s since the last line)"
    else
      [ -z "$partial$line" ] || printf '%s\n' "$partial$line"
      return 0
    fi
  done
}

# ensure_module DIR: builds and installs tarsim into the environment at DIR
# (which must hold the build tools: scikit-build-core, cmake, ninja) unless
# the module installed there was built from the same sources. The build tree
# stays in build/wheel-X.Y so that a rebuild after a small change compiles
# only what changed.
ensure_module() {
  local dir sources stamp start version log
  dir=$(absolute "$1")
  sources=$(source_hash)
  version=$("$dir/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  stamp=$(stamp_of "$(python_identity "$dir/bin/python")" "$sources")
  # The stamp names the sources and the installed file, so a module installed
  # into the environment some other way is rebuilt as well.
  if [ -n "$sources" ] && [ "$(cat "$dir/.tarsim/module" 2>/dev/null)" = "$stamp $(installed_module_hash "$dir")" ]; then
    say "$(shown "$dir"): tarsim is already built from these sources"
    return
  fi
  start=$SECONDS
  say "$(shown "$dir"): building and installing tarsim (about 30 s from scratch, less after small changes)"
  mkdir -p "$dir/.tarsim"
  rm -f "$dir/.tarsim/module"
  log="$dir/.tarsim/build.log"
  # Show the compiler's progress lines, keep everything in the log.
  if ! "$dir/bin/python" -m pip install -v --no-build-isolation --no-deps \
      -C build-dir="$steps_root/build/wheel-$version" "$steps_root" 2>&1 \
    | tee "$log" | compile_progress; then
    tail -n 60 "$log" >&2
    echo "building tarsim failed; the whole output is in $(shown "$log")" >&2
    return 1
  fi
  [ -z "$sources" ] || echo "$stamp $(installed_module_hash "$dir")" >"$dir/.tarsim/module"
  took "$start"
}

# find_pythons: the interpreters to test, one line "X.Y command" for each
# CPython X.Y >= 3.11 found, the first command found for each version winning.
# python3 on PATH comes first (the default interpreter); then python3.X on
# PATH for every 3.X that pyproject.toml claims; then, with pyenv,
# $(pyenv root)/versions/*/bin/python3.
find_pythons() {
  local p id impl major minor candidates=() seen=" "
  command -v python3 >/dev/null && candidates+=(python3)
  for p in $(claimed_pythons); do
    command -v "python$p" >/dev/null && candidates+=("python$p")
  done
  if command -v pyenv >/dev/null; then
    for p in "$(pyenv root)"/versions/*/bin/python3; do
      [ -x "$p" ] && candidates+=("$p")
    done
  fi
  for p in "${candidates[@]}"; do
    id=$("$p" -c 'import sys; print(sys.implementation.name, *sys.version_info[:2])' 2>/dev/null) \
      || continue
    read -r impl major minor <<<"$id"
    [ "$impl" = cpython ] && [ "$major" = 3 ] && [ "$minor" -ge 11 ] 2>/dev/null || continue
    case $seen in *" $major.$minor "*) continue ;; esac
    seen="$seen$major.$minor "
    echo "$major.$minor $p"
  done
}

# claimed_pythons: the Python versions that pyproject.toml claims, one a line.
claimed_pythons() {
  sed -n -E 's/.*"Programming Language :: Python :: (3\.[0-9]+)".*/\1/p' "$steps_root/pyproject.toml"
}

# missing_pythons VERSION...: the claimed versions not among VERSION...
missing_pythons() {
  local version found=" $* "
  for version in $(claimed_pythons); do
    case $found in *" $version "*) ;; *) echo "$version" ;; esac
  done
}

# load_pythons: fills the arrays versions (X.Y, the default interpreter first)
# and python_of (X.Y -> command) from find_pythons, and fails unless the
# default interpreter is python3 on PATH and CPython 3.11 or later.
load_pythons() {
  local version command
  versions=()
  declare -gA python_of=()
  while read -r version command; do
    versions+=("$version")
    python_of[$version]=$command
  done < <(find_pythons)
  [ "${#versions[@]}" -gt 0 ] || { echo "no CPython 3.11 or later found" >&2; return 1; }
  [ "${python_of[${versions[0]}]}" = python3 ] \
    || { echo "python3 on PATH must be CPython 3.11 or later (it is the default interpreter)" >&2; return 1; }
}

# venv_of VERSION: the virtual environment of Python VERSION: .venv for the
# default interpreter (the first of versions), .venv-X.Y for each other, in
# the folder TARSIM_VENVS (by default the checkout).
venv_of() {
  local base=${TARSIM_VENVS:-$steps_root}
  if [ "$1" = "${versions[0]}" ]; then echo "$base/.venv"; else echo "$base/.venv-$1"; fi
}
