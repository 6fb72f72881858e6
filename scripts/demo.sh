#!/usr/bin/env bash
# The main job: builds tarsim into a virtual environment together with what
# the demo needs (scikit-learn for its bundled digits, tqdm for the progress
# bars) and runs scripts/demo.py. Works on a fresh machine with Python 3.11+
# and a C++20 compiler; arguments go to the demo (e.g. --k 5).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv .venv
venv="$(pwd)/.venv/bin"
"$venv/python" -m pip install -q --upgrade pip
"$venv/python" -m pip install -q scikit-learn tqdm numpy
echo "== building and installing tarsim"
"$venv/python" -m pip install -q .

echo "== demo"
"$venv/python" scripts/demo.py "$@"
