"""The scripts a new user runs first."""
import ast
import subprocess
import sys
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
