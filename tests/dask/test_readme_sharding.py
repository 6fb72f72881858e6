"""The examples of the README's sharding section, run on a real cluster.

They start worker processes, which the README's other examples never do, so
they are fenced as `py` (highlighted as Python, but not among the `python`
blocks that tests/test_readme.py runs and tests/test_typing.py checks) and
run here instead, where a missing dask.distributed or the sanitizer run skips
them. Each runs as a script (`__name__ == "__main__"`), as a user would run it.
"""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from cluster_support import skip_unless_usable

skip_unless_usable()

from test_readme import README, fenced_blocks  # noqa: E402

HEADING = "## Sharding over a Dask cluster"


def section_blocks():
    text = README.read_text(encoding="utf-8")
    assert HEADING in text
    section = text[text.index(HEADING):]
    end = section.find("\n## ", len(HEADING))
    section = section if end < 0 else section[:end]
    offset = text[: text.index(HEADING)].count("\n")
    return [(b, b.line + offset) for b in fenced_blocks(section) if b.language == "py"]


BLOCKS = section_blocks()


def test_the_section_has_its_examples():
    assert len(BLOCKS) >= 2
    assert any("LocalCluster" in block.code for block, _ in BLOCKS)


@pytest.mark.parametrize("block,line", BLOCKS, ids=[f"README.md:{line}" for _, line in BLOCKS])
def test_example_runs_as_a_script(block, line, tmp_path: Path):
    script = tmp_path / f"readme_{line}.py"
    script.write_text("\n" * (line - 1) + block.code, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=90, env=dict(os.environ))
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_typecheck(tmp_path: Path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    files = []
    for block, line in BLOCKS:
        path = tmp_path / f"readme_{line}.py"
        path.write_text("\n" * (line - 1) + block.code, encoding="utf-8")
        files.append(str(path))
    # Strict, except that dask's own untyped functions may be called.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                             "--untyped-calls-exclude=distributed",
                             "--untyped-calls-exclude=dask",
                             "--cache-dir", str(tmp_path / "cache"), *files],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
