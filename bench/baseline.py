"""A committed version of the module, for benchmarks that compare this tree
with it in the same run.

build_module(rev, workdir) extracts `rev` with `git archive` into workdir and
builds the extension there (Release, no tests); with rev None it builds this
working tree the same way, into workdir; run_child(code, module_dir,
*args) runs a script in a fresh interpreter that imports tarsim from
module_dir (or the installed module when module_dir is None) and returns the
JSON object the script prints last. Running both versions as children, one
after the other, gives each the same start: a fresh process, the same data
from the same seed.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Put first in a child script: imports tarsim from argv[1] when it is not
# empty, and leaves the remaining arguments in ARGS.
PRELUDE = r"""
import sys
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
ARGS = sys.argv[2:]
import tarsim
"""


def resolve(rev: str) -> str:
    return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--verify", rev + "^{commit}"],
                          check=True, capture_output=True, text=True).stdout.strip()


def tool(name: str) -> str:
    """The build tool next to this interpreter (a virtual environment's), else PATH's."""
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else name


def build_module(rev: str | None, workdir: Path) -> Path:
    """Builds the module of commit `rev`, or of this working tree when rev is
    None, the same way either way; returns the folder that holds it."""
    build = workdir / "build"
    if rev is None:
        src = ROOT
    else:
        src = workdir / "src"
        src.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    subprocess.run([tool("cmake"), "-S", str(src), "-B", str(build), "-G", "Ninja",
                    f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTARSIM_BUILD_TESTS=OFF"], check=True, capture_output=True)
    subprocess.run([tool("cmake"), "--build", str(build), "--target", "tarsim", "-j", "2"],
                   check=True, capture_output=True)
    return build


def run_child(code: str, module_dir: Path | None, *args) -> dict:
    where = str(module_dir) if module_dir is not None else ""
    out = subprocess.run([sys.executable, "-c", PRELUDE + code, where, *map(str, args)],
                         check=True, capture_output=True, text=True,
                         cwd=module_dir if module_dir is not None else Path(__file__).parent)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    if module_dir is not None:
        assert result["module"].startswith(str(module_dir)), result["module"]
    return result
