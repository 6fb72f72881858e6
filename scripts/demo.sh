#!/usr/bin/env bash
# The main job: builds tarsim into a virtual environment together with what
# the demo needs (requirements-demo.txt: the build tools, scikit-learn for its
# bundled digits, tqdm for the progress bars) and runs scripts/demo.py. Works
# on a fresh machine with Python 3.11+ and a C++20 compiler; arguments go to
# the demo (e.g. --k 5). A rerun skips what is already done: the environment,
# the packages, and the build when the sources have not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/steps.sh

ensure_venv .venv python3
ensure_requirements .venv requirements-demo.txt
ensure_module .venv

say "demo"
.venv/bin/python scripts/demo.py "$@"
