"""Where the bytes of a PyHNSW graph go, and how many stay resident after a
build, against an older commit; all in one run.

    python bench/bench_memory.py [--n 10000,20000,40000] [--queries 200] [--k 10]
                                 [--data patches] [--seed 20240611] [--repeat 2]
                                 [--baseline [REV]] [--prints REV] [--quick] [--out DIR]

Data: bench/data.py, the photo patches by default (dim 192).

For each N, this tree and REV (default: the merge-base with main), each
built by bench/build.py, run --repeat times, alternating, each run a fresh
process that bulk-builds a PyHNSW with its defaults (layers 5,
ef_construction 200, euclidean) from one array and then queries it.
Printed per N: the resident set's growth over the build divided by N
(read from /proc/self/statm after the build, and its peak from VmHWM), the
query median, and the ratios REV / this tree (above 1: this tree takes
less).

Then the C++ harness bench/graph_memory.cpp of this tree builds the same
rows with fixed level draws and prints the index's own accounting by part:
vectors, lists (held, and filled), the per-layer lists, where each list
lies, metadata rows, other bookkeeping, the sketch and codes, and the
working memory of the searches (scratch). With --prints REV the harness as
committed at REV (it must have one) builds the same and the fingerprints of
every list and answer are compared. Writes memory.json.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np

import build
import data
import runs

HERE = Path(__file__).resolve().parent

# One run of one version; ARGS: data file, k.
CHILD = r"""
import json, os, time
import numpy as np
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def peak():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM"))
sets = np.load(ARGS[0])
rows, queries, k = sets["rows"], sets["queries"], int(ARGS[1])
index = tarsim.PyHNSW(rows.shape[1], metric="euclidean")
index.insert(rows[0])  # the module's first allocations, before the count starts
before, c0 = resident(), time.process_time()
index.create(rows[1:])
out = {"cpu": time.process_time() - c0, "grown": resident() - before,
       "peak": peak() - before, "module": tarsim.__file__}
times = []
for q in queries:
    t0 = time.perf_counter()
    index.search(q, k)
    times.append(time.perf_counter() - t0)
out["query"] = sorted(times)[len(times) // 2]
print(json.dumps(out))
"""


def harness_at(rev: str) -> Path:
    """bench/graph_memory.cpp as committed at `rev`, built against that commit."""
    place = build.CACHE / f"harness-{build.resolve(rev)[:12]}"
    exe = place / "build" / "bench" / "graph_memory"
    if exe.exists():
        return exe
    shutil.rmtree(place, ignore_errors=True)
    (place / "src").mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(build.ROOT), "archive", build.resolve(rev)],
                                   check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(place / "src")], input=archive, check=True)
    build._run([build.tool("cmake"), "-S", str(place / "src"), "-B", str(place / "build"),
                "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={build.tool('ninja')}",
                "-DCMAKE_BUILD_TYPE=Release", "-DTARSIM_BUILD_BENCH=ON",
                "-DTARSIM_BUILD_MODULE=OFF", "-DTARSIM_BUILD_TESTS=OFF"])
    build._run([build.tool("cmake"), "--build", str(place / "build"), "--target",
                "bench_graph_memory", "-j", "2"])
    return exe


def run_exe(exe: Path, rows: np.ndarray, queries: np.ndarray, k: int) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "rows.bin"
        with open(path, "wb") as f:
            np.array([len(rows), len(queries), rows.shape[1]], dtype=np.int64).tofile(f)
            rows.tofile(f)
            queries.tofile(f)
        out = subprocess.run([str(exe), str(path), str(k), "5"], check=True,
                                   capture_output=True, text=True)
    return json.loads(out.stdout)


PARTS = ("vectors", "lists", "layer_lists", "list_index", "rows", "other", "sketch", "scratch")


def print_parts(n: int, parts: dict) -> None:
    per = {key: parts[key] / n for key in PARTS}
    slack = (parts["lists"] - parts["lists_used"] + parts["layer_lists"]
             - parts["layer_lists_used"]) / n
    print(f"  accounting, bytes per vector: total {parts['total'] / n:,.0f} = "
          + ", ".join(f"{key} {value:,.0f}" for key, value in per.items())
          + f"; of the lists' ids unfilled {slack:,.0f}")
    if "layer_entries" in parts:
        print("  list entries per vector that a walk of each layer reads: "
              + ", ".join(f"{e / n:,.0f}" for e in parts["layer_entries"]))


def main() -> None:
    p = runs.parser(__doc__)
    p.add_argument("--n", default="10000,20000,40000")
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--data", default="patches", choices=data.SETS)
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--repeat", type=int, default=2)
    runs.baseline_option(p, "the commit compared with")
    p.add_argument("--prints", metavar="REV", help="compare lists and answers with REV's harness")
    args = p.parse_args()
    sizes = [500, 1000] if args.quick else [int(s) for s in args.n.split(",")]
    rev = build.resolve(args.baseline or build.default_baseline())
    label = rev[:10]
    sides = {"this tree": build.module(None), label: build.module(rev)}
    other = harness_at(args.prints) if args.prints else None
    results = []
    for n in sizes:
        rows, queries = data.load(args.data, n, args.queries, args.seed)
        with tempfile.TemporaryDirectory() as tmp:
            sets = Path(tmp) / "sets.npz"
            np.savez(sets, rows=rows, queries=queries)
            got = runs.alternate(args.repeat, sides,
                                 lambda site: runs.run_child(CHILD, site, sets, args.k))
        new, base = got["this tree"], got[label]
        print(f"{args.data}, N = {n:,}, dim {rows.shape[1]}, defaults; {args.repeat} runs each,"
              f" alternating; medians over runs")
        print(f"  {'what':<28}{'this tree':>12}{label:>12}{'ratio':>9}")
        for key, what, scale, unit in (("grown", "resident after build / N", 1 / n, "B"),
                                       ("peak", "peak during build / N", 1 / n, "B"),
                                       ("cpu", "build (CPU)", 1.0, "s"),
                                       ("query", "query median", 1e3, "ms")):
            a, b = runs.median_of(new, key), runs.median_of(base, key)
            print(f"  {what:<28}{a * scale:>10,.3f}{unit:<2}{b * scale:>10,.3f}{unit:<2}"
                  f"{b / a:>8.2f}x")
        parts = run_exe(build.harness("graph_memory"), rows, queries, args.k)
        print_parts(n, parts)
        record = {"n": n, "this tree": new, "baseline": base, "parts": parts}
        if other is not None:
            theirs = run_exe(other, rows, queries, args.k)
            same = all(parts[key] == theirs[key] for key in ("lists_print", "answers_print"))
            print(f"  lists and answers against {args.prints}: {'same' if same else 'DIFFER'}")
            print_parts(n, theirs)
            record.update(prints=args.prints, same=same, their_parts=theirs)
        results.append(record)
    runs.save(args, "memory", {"baseline": rev, "data": args.data, "sizes": results})


if __name__ == "__main__":
    main()
