"""The type stubs: checked against the built module and used on real code.

src/tarsim.pyi is the one source of the stubs. The wheel installs it twice:
as tarsim.pyi beside the extension (found by IDEs and pyright) and as the stub
package tarsim-stubs (PEP 561; mypy looks for stubs of an installed top-level
module only there).
"""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import tarsim
from test_readme import BLOCKS

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent
SOURCE_STUB = ROOT / "src" / "tarsim.pyi"
SITE_PACKAGES = Path(sysconfig.get_paths()["platlib"]).resolve()
INSTALLED = Path(tarsim.__file__).resolve().parent == SITE_PACKAGES


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


def run(args: list[str], cwd: Path, use_source_stub: bool) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if use_source_stub:
        env["MYPYPATH"] = str(ROOT / "src")
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def run_mypy(files: list[Path], cwd: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    # Code that users write against an installed tarsim is checked with the
    # stubs that the wheel installed; a module built elsewhere (PYTHONPATH)
    # is checked with the source stubs.
    return run(["mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
                *map(str, files)], cwd, use_source_stub=not INSTALLED)


def test_stubs_match_the_built_module(tmp_path: Path):
    result = run(["mypy.stubtest", "tarsim"], tmp_path, use_source_stub=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(not INSTALLED, reason="tarsim is not installed in site-packages")
def test_wheel_installs_the_stubs_where_type_checkers_look():
    source = SOURCE_STUB.read_bytes()
    assert (SITE_PACKAGES / "tarsim.pyi").read_bytes() == source
    assert (SITE_PACKAGES / "tarsim-stubs" / "__init__.pyi").read_bytes() == source


def test_readme_examples_typecheck(tmp_path: Path, mypy_cache: Path):
    files = []
    for block in BLOCKS:
        path = tmp_path / f"readme_{block.line}.py"
        path.write_text("\n" * (block.line - 1) + block.code, encoding="utf-8")
        files.append(path)
    result = run_mypy(files, tmp_path, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


# Lines marked "# refused" must be reported by mypy and fail at run time;
# lines marked "# wrong type" must be reported by mypy (they run, but the
# annotation is wrong). Every other line must pass mypy and run.
MISUSE = textwrap.dedent("""\
    import numpy as np
    from tarsim import PyFlat, PyHNSW

    flat = PyFlat(3, metric="cosine")
    flat.create(np.zeros((2, 3)))
    flat.insert(np.zeros(3, dtype=np.float32))
    flat.insert(range(3))
    flat.insert(b"abc")
    ids: list[tuple[int, float]] = flat.search((1, 2.0, True), k=np.int64(2))
    flat.insert("abc")  # refused
    flat.insert([1.0, "2"])  # refused
    flat.insert(np.float64(1.0))  # refused
    PyFlat(3, metric=1)  # refused
    PyFlat(3.0)  # refused
    flat.search([1.0, 2.0, 3.0], k=1.5)  # refused
    flat.insert([1.0, 2.0, 3.0], [("a", 1)])  # refused
    wrong: list[tuple[float, list[float]]] = flat.search([1.0, 2.0, 3.0])  # wrong type

    graph = PyHNSW(3, 5, 16, 200, 50, "euclidean", ["color", "size"])
    graph.insert([1.0, 2.0, 3.0], [("color", "red"), ("size", 2), ("ok", True)])
    graph.create(np.ones((2, 3)), [[("color", "red"), ("size", 2.5)]] * 2)
    found: list[tuple[float, list[float]]] = graph.search([1.0, 2.0, 3.0], 5, ("color", "red"))
    graph.insert([1.0, 2.0, 3.0], [["color", "red"]])  # refused
    graph.insert([1.0, 2.0, 3.0], [("color", None)])  # refused
    graph.insert([1.0, 2.0, 3.0], {"color": "red"})  # refused
    graph.search([1.0, 2.0, 3.0], filter=["color", "red"])  # refused
    graph.search([1.0, 2.0, 3.0], filter=("color", [1]))  # refused
    graph.create([[1.0, 2.0, 3.0]], [("color", "red")])  # refused
    PyHNSW(3, metric="euclidean", schema=[1, 2])  # refused
    graph.remove([1.0, 2.0, 3.0])  # refused
    class Sub(PyFlat): ...  # refused
    bad: list[tuple[int, float]] = graph.search([1.0, 2.0, 3.0])  # wrong type
    """)


def test_stubs_accept_what_the_module_accepts_and_refuse_the_rest(tmp_path: Path,
                                                                    mypy_cache: Path):
    lines = MISUSE.splitlines()
    path = tmp_path / "misuse.py"
    path.write_text(MISUSE, encoding="utf-8")
    result = run_mypy([path], tmp_path, mypy_cache)
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines()
                if line.startswith("misuse.py:") and ": error:" in line}
    expected = {number for number, line in enumerate(lines, start=1)
                if line.endswith(("# refused", "# wrong type"))}
    assert reported == expected, result.stdout + result.stderr

    # The same lines at run time: what the stubs accept runs, what they refuse fails.
    namespace: dict[str, object] = {}
    for number, line in enumerate(lines, start=1):
        code = compile("\n" * (number - 1) + line, "misuse.py", "exec")
        if line.endswith("# refused"):
            with pytest.raises((TypeError, ValueError, AttributeError)):
                exec(code, namespace)
        else:
            exec(code, namespace)
