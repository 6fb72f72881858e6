"""What the benchmark scripts share: their common options, the version of
tarsim they import, runs in fresh interpreters, alternation, timing and the
results file.

Every script takes --quick (tiny sizes, an end-to-end check in seconds whose
results go to bench/results/quick/, which git ignores) and --out (the folder
of the results). A script writes its figures as <name>.json beside its plot
<name>.png: the README's tables are made from these files by
bench/report.py, so each figure there can be traced to the run, commit and
machine that gave it.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import build

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

# Put first in a child script: imports tarsim from argv[1] when it is not
# empty, and leaves the remaining arguments in ARGS.
PRELUDE = r"""
import sys
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
ARGS = sys.argv[2:]
import tarsim
"""


def parser(doc: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=doc,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="tiny sizes: checks the script end to end; results go to results/quick")
    p.add_argument("--out", type=Path, help="folder of the results (default bench/results)")
    p.add_argument("--installed", action="store_true",
                   help="measure the tarsim this interpreter imports instead of building this tree")
    return p


def baseline_option(p: argparse.ArgumentParser, what: str) -> None:
    p.add_argument("--baseline", metavar="REV", nargs="?", const="",
                   help=f"{what}; REV defaults to the merge-base with main (HEAD~ on main)")


def baseline_rev(args: argparse.Namespace) -> str:
    return args.baseline or build.default_baseline()


def use_tree(args: argparse.Namespace) -> Path | None:
    """Makes `import tarsim` (here and in processes started from here) take this
    tree's build, unless --installed; returns its folder."""
    if args.installed:
        return None
    site = build.module(None)
    sys.path.insert(0, str(site))
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(site)] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    return site


def run_child(code: str, module_dir: Path | None, *args, env: dict | None = None) -> dict:
    """Runs PRELUDE + code in a fresh interpreter that imports tarsim from
    module_dir (the installed one when None); returns the JSON object it prints last."""
    where = str(module_dir) if module_dir is not None else ""
    out = subprocess.run([sys.executable, "-c", PRELUDE + code, where, *map(str, args)],
                         check=True, capture_output=True, text=True, cwd=tempfile.gettempdir(),
                         env=dict(os.environ, PYTHONHASHSEED="0", **(env or {})))
    result = json.loads(out.stdout.strip().splitlines()[-1])
    if module_dir is not None:
        assert result["module"].startswith(str(module_dir)), result["module"]
    return result


def alternate(repeat: int, sides: dict[str, object], run) -> dict[str, list]:
    """run(side) `repeat` times for each side; who goes first swaps every round,
    so that a load that drifts during the run favours neither."""
    runs: dict[str, list] = {name: [] for name in sides}
    order = list(sides.items())
    for r in range(repeat):
        for name, side in order[:: 1 if r % 2 == 0 else -1]:
            runs[name].append(run(side))
    return runs


def median_of(runs: list[dict], key: str) -> float:
    return statistics.median(r[key] for r in runs)


def timed(fn) -> tuple[float, float]:
    """(CPU seconds, wall seconds) of one call."""
    c0, w0 = time.process_time(), time.perf_counter()
    fn()
    return time.process_time() - c0, time.perf_counter() - w0


def per_query(fn, queries) -> tuple[float, list]:
    """Median wall time of fn(q) over the queries, and the answers."""
    times, answers = [], []
    for q in queries:
        start = time.perf_counter()
        answers.append(fn(q))
        times.append(time.perf_counter() - start)
    return statistics.median(times), answers


def out_dir(args: argparse.Namespace) -> Path:
    folder = args.out or (RESULTS / "quick" if args.quick else RESULTS)
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def _machine() -> dict:
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), "")
    except OSError:
        pass
    return {"cpu": model, "cores": os.cpu_count(), "system": platform.platform(),
            "python": platform.python_version()}


def save(args: argparse.Namespace, name: str, results: dict) -> Path:
    """Writes <name>.json into the results folder: the figures with the
    command line, the commit (and whether the tree had changes) and the machine."""
    # The results folder itself does not count: an earlier benchmark of the
    # same round has just written into it.
    dirty = bool(build.git("status", "--porcelain", "--untracked-files=no", "--", ".",
                           ":(exclude)bench/results"))
    record = {
        "script": Path(sys.argv[0]).name, "argv": sys.argv[1:],
        "commit": build.resolve("HEAD"), "changes": dirty,
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": _machine(),
        "options": {k: (str(v) if isinstance(v, Path) else v) for k, v in vars(args).items()},
        "results": results,
    }
    path = out_dir(args) / f"{name}.json"
    path.write_text(json.dumps(record, indent=1) + "\n")
    print(f"results: {path}", file=sys.stderr)
    return path


def plot_path(args: argparse.Namespace, name: str) -> Path | None:
    """Where to write <name>.png, or None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    return out_dir(args) / f"{name}.png"
