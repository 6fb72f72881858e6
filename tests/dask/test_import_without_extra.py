"""`import tarsim_dask` without its dependencies names the extra that brings
them, in both install forms. Runs without dask installed: the packages are
hidden from a child interpreter by a finder placed first on sys.meta_path."""
from __future__ import annotations

import os
import subprocess
import sys
import tomllib
from pathlib import Path

import importlib.util

import pytest

ROOT = Path(__file__).resolve().parents[2]

CHILD = """
import sys

class Hide:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == sys.argv[1]:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, Hide())
try:
    import tarsim_dask
except ImportError as error:
    print(type(error).__name__, error.name)
    print(error)
"""


ORDER = ["numpy", "dask", "distributed"]


@pytest.mark.parametrize("hidden", ORDER)
def test_the_error_names_the_extra(hidden: str):
    # The packages checked before the hidden one must be there, or the error
    # names one of them instead.
    for earlier in ORDER[:ORDER.index(hidden)]:
        if importlib.util.find_spec(earlier) is None:
            pytest.skip(f"{earlier} is not installed")
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    assert "dask" in extras and any(r.startswith("distributed") or "distributed" in r
                                    for r in extras["dask"])
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "python"),
                                                      env.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-c", CHILD, hidden], capture_output=True, text=True,
                            timeout=60, env=env, cwd=ROOT)
    assert result.returncode == 0, result.stderr
    first, message = result.stdout.split("\n", 1)
    assert first == f"ImportError {hidden}", result.stdout
    assert 'pip install "tarsim[dask]"' in message
    assert 'pip install ".[dask]"' in message
    assert repr(hidden) in message
