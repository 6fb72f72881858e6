"""The scripts a new user runs first."""
import ast
import os
import subprocess
import sys
import textwrap
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
