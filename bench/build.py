"""Builds what the benchmarks run, the way users and CMake build it.

module(rev) installs the package of commit `rev` (extracted with `git
archive`), or of this working tree when rev is None, with pip into a folder
of its own under build-bench/ (git-ignored), and returns that folder: put it
first on sys.path to import that version of tarsim and tarsim_dask. Both
sides of a comparison are built the same way, by the project's own build
(pyproject.toml and CMakeLists.txt), so they differ only in their sources.
A commit's build is kept and reused; the working tree's is rebuilt
incrementally on every call.

harness(name) builds the C++ program bench/<name>.cpp of this tree as the
CMake target bench_<name> (option TARSIM_BUILD_BENCH, the project's flags)
and returns its path; run_harness() runs one on rows written to a file.

default_baseline() is the commit a comparison takes when none is given: the
merge-base with the branch main when this branch has left it, else HEAD~.
"""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build-bench"


def git(*args: str) -> str:
    return subprocess.run(["git", "-C", str(ROOT), *args], check=True, capture_output=True,
                          text=True).stdout.strip()


def resolve(rev: str) -> str:
    return git("rev-parse", "--verify", rev + "^{commit}")


def default_baseline() -> str:
    head = resolve("HEAD")
    try:
        base = git("merge-base", "HEAD", "main")
    except subprocess.CalledProcessError:
        base = head
    return base if base != head else resolve("HEAD~")


def tool(name: str) -> str:
    """The build tool next to this interpreter (a virtual environment's), else PATH's."""
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else name


def _run(cmd: list[str], **kw) -> None:
    done = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit(f"failed: {' '.join(cmd)}")


def module(rev: str | None) -> Path:
    """The folder holding the installed package of commit `rev`, or of this working tree."""
    if rev is None:
        place, src = CACHE / "tree", ROOT
    else:
        place = CACHE / f"rev-{resolve(rev)[:12]}"
        src = place / "src"
    site = place / "site"
    if rev is not None and (site / ".built").exists():
        return site
    if rev is not None:
        shutil.rmtree(src, ignore_errors=True)
        src.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", resolve(rev)],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    shutil.rmtree(site, ignore_errors=True)
    print(f"building {'this tree' if rev is None else rev} into {site} ...", file=sys.stderr,
          flush=True)
    cmd = [sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-compile",
           "--target", str(site), f"--config-settings=build-dir={place / 'build'}"]
    # With the build backend at hand, both sides use the same copy of it.
    if importlib.util.find_spec("scikit_build_core") is not None:
        cmd.append("--no-build-isolation")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL",
                                                                      "2"))
    _run(cmd + [str(src)], env=env)
    (site / ".built").touch()
    return site


_configured = False


def harness(name: str) -> Path:
    """bench/<name>.cpp built by CMake with the project's flags, against this tree."""
    global _configured
    build = CACHE / "harness"
    if not _configured:
        generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"] \
            if shutil.which(tool("ninja")) else []
        _run([tool("cmake"), "-S", str(ROOT), "-B", str(build), *generator,
              "-DCMAKE_BUILD_TYPE=Release", "-DTARSIM_BUILD_BENCH=ON",
              "-DTARSIM_BUILD_MODULE=OFF", "-DTARSIM_BUILD_TESTS=OFF"])
        _configured = True
    _run([tool("cmake"), "--build", str(build), "--target", f"bench_{name}", "-j", "2"])
    return build / "bench" / name


def run_harness(name: str, rows: np.ndarray, queries: np.ndarray, *args) -> dict:
    """Runs a harness on a file of n, queries, dim (int64), then the rows and the
    queries (float64); returns the JSON object it prints."""
    exe = harness(name)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "rows.bin"
        with open(path, "wb") as f:
            np.array([len(rows), len(queries), rows.shape[1]], dtype=np.int64).tofile(f)
            np.ascontiguousarray(rows, dtype=np.float64).tofile(f)
            np.ascontiguousarray(queries, dtype=np.float64).tofile(f)
        out = subprocess.run([str(exe), str(path), *map(str, args)], check=True,
                             capture_output=True, text=True)
    return json.loads(out.stdout)
