"""The scripts a new user runs first."""
import ast
import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_demo_help_shows_its_whole_description_without_the_demo_packages():
    demo = ROOT / "scripts" / "demo.py"
    done = subprocess.run([sys.executable, str(demo), "--help"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    doc = ast.get_docstring(ast.parse(demo.read_text(encoding="utf-8")))
    assert doc is not None
    prose = doc.split("\n\n    python ")[0]
    assert len(prose.split()) > 50  # both paragraphs, not the first line
    # Every sentence arrives whole (argparse keeps the line breaks as written).
    assert " ".join(prose.split()) in " ".join(done.stdout.split()), done.stdout


# bash, git and sha256sum run without the sanitizer runtime that a sanitized
# test run preloads for the interpreter.
TOOLS_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def source_hash(checkout: Path) -> str:
    done = subprocess.run(["bash", "-c", "source scripts/steps.sh && source_hash"], cwd=checkout,
                          env=TOOLS_ENV, capture_output=True, text=True, timeout=60, check=True)
    return done.stdout.strip()


def test_build_stamp_changes_with_every_source_change_and_only_then(tmp_path: Path):
    # The set-up scripts skip rebuilding the module when this hash is unchanged,
    # so a source change it missed would leave a stale module under test.
    checkout = tmp_path / "checkout"
    for name, text in {"scripts/steps.sh": (ROOT / "scripts" / "steps.sh").read_text(),
                       "src/core.cpp": "int a;\n", "src/old.hpp": "\n", "CMakeLists.txt": "x\n",
                       "tests/test_x.py": "\n", "README.md": "\n", ".gitignore": "build/\n"}.items():
        (checkout / name).parent.mkdir(parents=True, exist_ok=True)
        (checkout / name).write_text(text)
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@t", "-C", str(checkout)]

    def run_git(*args: str) -> None:
        subprocess.run(git + list(args), env=TOOLS_ENV, check=True)

    run_git("init", "-q")
    run_git("add", "-A")
    run_git("commit", "-qm", "start")

    seen = [source_hash(checkout)]
    assert len(seen[0]) == 64

    def changed() -> bool:
        now = source_hash(checkout)
        new = now not in seen
        seen.append(now)
        return new

    (checkout / "src/core.cpp").write_text("int b;\n")           # an edit, not committed
    assert changed()
    (checkout / "src/new.cpp").write_text("\n")                  # a new file
    assert changed()
    (checkout / "src/old.hpp").unlink()                          # a deleted file
    assert changed()
    (checkout / "src/core.cpp").rename(checkout / "src/main.cpp")  # a rename, same bytes
    assert changed()
    (checkout / "CMakeLists.txt").write_text("y\n")
    assert changed()
    run_git("add", "-A")                                         # committing changes nothing
    run_git("commit", "-qm", "more")
    assert not changed()
    (checkout / "tests/test_x.py").write_text("# more\n")        # not part of the module
    (checkout / "README.md").write_text("more\n")
    (checkout / "build").mkdir()
    (checkout / "build/out.o").write_text("ignored\n")
    assert not changed()


def test_interpreter_discovery_keeps_one_cpython_per_version_from_3_11_and_names_the_missing(
        tmp_path: Path):
    # Stand-ins for interpreters answer the version question as CPython or PyPy
    # would; a fake pyenv points at their folder.
    bin_dir, root = tmp_path / "bin", tmp_path / "pyenv"
    bin_dir.mkdir()

    def interpreter(path: Path, answer: str) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"#!/bin/sh\n{answer}\n")
        path.chmod(0o755)

    interpreter(bin_dir / "python3", "echo cpython 3 11")
    interpreter(bin_dir / "python3.12", "echo cpython 3 12")
    interpreter(bin_dir / "pyenv", f"echo {root}")
    for version, answer in {"3.10.4": "echo cpython 3 10", "3.12.9": "echo cpython 3 12",
                            "3.14.0": "echo cpython 3 14", "broken": "exit 1",
                            "pypy3.13": "echo pypy 3 13"}.items():
        interpreter(root / "versions" / version / "bin" / "python3", answer)
    for tool in ("sed", "dirname"):  # all that the discovery runs besides the shell
        (bin_dir / tool).symlink_to(subprocess.run(["bash", "-c", f"command -v {tool}"],
                                                   capture_output=True, text=True,
                                                   check=True).stdout.strip())
    env = dict(TOOLS_ENV, PATH=str(bin_dir))
    script = textwrap.dedent("""\
        source scripts/steps.sh
        found=$(find_pythons)
        echo "$found"
        echo --
        missing_pythons $(while read -r version _; do echo "$version"; done <<<"$found")
        """)
    done = subprocess.run(["/bin/bash", "-c", script], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    found, missing = done.stdout.split("--\n")
    assert found.splitlines() == ["3.11 python3", "3.12 python3.12",
                                  f"3.14 {root}/versions/3.14.0/bin/python3"]
    assert missing.split() == ["3.13"]  # claimed in pyproject.toml, found only as PyPy


def load_script(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_wheel_checks_want_one_manylinux_wheel_per_interpreter_and_the_same_bytes(tmp_path: Path):
    check = load_script(ROOT / "scripts" / "wheel_check.py")
    good = ["tarsim-0.1.0-cp311-cp311-manylinux_2_34_x86_64.whl",
            "tarsim-0.1.0-cp312-cp312-manylinux2014_x86_64.manylinux_2_17_x86_64.whl",
            "tarsim-0.1.0.tar.gz"]
    assert check.tag_problems(good, ["3.11", "3.12"]) == []
    unrepaired = good[:1] + ["tarsim-0.1.0-cp312-cp312-linux_x86_64.whl", good[2]]
    assert [p.split(":")[0] for p in check.tag_problems(unrepaired, ["3.11", "3.12"])] == [
        "tarsim-0.1.0-cp312-cp312-linux_x86_64.whl"]
    half = ["tarsim-0.1.0-cp312-cp312-manylinux_2_34_x86_64.linux_x86_64.whl", good[2]]
    assert len(check.tag_problems(half, ["3.12"])) == 1
    missing = check.tag_problems(good[:1], ["3.11", "3.12"])
    assert any("3.12" in p for p in missing) and any("source archive" in p for p in missing)
    second = "tarsim-0.1.0-cp311-cp311-manylinux_2_28_x86_64.whl"
    assert check.tag_problems(good + [second], ["3.11", "3.12"])  # two wheels for 3.11
    assert check.tag_problems(good, ["3.11"])                     # a wheel nobody asked for

    # Two folders with one wheel each whose only difference is a member's date.
    folders = []
    for name, date in (("a", (2026, 1, 1, 0, 0, 0)), ("b", (2026, 1, 1, 0, 0, 2))):
        folder = tmp_path / name
        folder.mkdir()
        (folder / "tarsim-c.tar.gz").write_bytes(b"same")
        with zipfile.ZipFile(folder / good[0], "w") as wheel:
            wheel.writestr(zipfile.ZipInfo("tarsim.so", date), b"\x7fELF")
        folders.append(folder)
    problems = check.same_problems(*folders)
    assert problems[0] == f"{good[0]} differs" and "tarsim.so" in problems[1], problems
    (folders[1] / good[0]).write_bytes((folders[0] / good[0]).read_bytes())
    assert check.same_problems(*folders) == []
    (folders[1] / "tarsim-c.tar.gz").unlink()
    assert check.same_problems(*folders) == [f"only in {folders[0]}: tarsim-c.tar.gz"]


def test_suite_tally_tells_a_skipped_folder_from_one_that_ran(tmp_path: Path):
    # A stand-in project: its dask folder is skipped by an import that fails
    # (as when dask is not installed) and by a skip mark; its flat folder runs.
    files = {"pyproject.toml": "[tool.pytest.ini_options]\n",
             "tests/dask/test_cluster.py": "import pytest\npytest.importorskip('no_such_mod')\n"
                                           "def test_a(): pass\n",
             "tests/dask/test_more.py": "import pytest\n@pytest.mark.skip\ndef test_b(): pass\n"
                                        "def test_c(): pass\n",
             "tests/flat/test_x.py": "import pytest\ndef test_d(): pass\n"
                                     "@pytest.mark.xfail(strict=True)\ndef test_e(): assert 0\n",
             "tests/test_top.py": "def test_f(): assert 0\n"}
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    runner = ROOT / "tests" / "runner"
    tally_file = tmp_path / "tally.json"
    env = dict(os.environ, PYTHONPATH=str(runner))
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p",
                           "suite_tally", f"--suite-tally={tally_file}", "tests"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stdout  # test_f fails
    tally = json.loads(tally_file.read_text())
    assert tally == {"": {"passed": 0, "failed": 1, "skipped": 0},
                     "dask": {"passed": 1, "failed": 0, "skipped": 2},
                     "flat": {"passed": 2, "failed": 0, "skipped": 0}}

    def verdict(folder: str) -> str:
        return subprocess.run([sys.executable, str(runner / "suite_tally.py"), str(tally_file),
                               folder], capture_output=True, text=True, check=True,
                              timeout=60).stdout.strip()

    assert [verdict(f) for f in ("dask", "flat", "hnsw")] == ["SKIPPED (2 of 3)", "ran", "NOT RUN"]
