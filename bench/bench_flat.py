"""Exhaustive search and bulk loading of PyFlat, against the peers a user
would reach for, all measured in one run.

    python bench/bench_flat.py [--n 100000] [--dim 128] [--k 10] [--queries 50]
                               [--baseline REV [--repeat 5]]

Prints a table with ratios and writes bench/results/flat.png when matplotlib
is installed.

With --baseline REV, instead: the module as committed at REV is built from
`git archive` into a temporary directory, this working tree is built the
same way, and the two run --repeat times each, alternating (who goes first
swaps every run), each run a fresh process on the same seeded data (every
metric). Printed: the median of each side's per-run
medians and the ratio REV / this tree (above 1: this tree is faster). The
machine may be shared; alternating spreads any disturbance over both.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tarsim

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

# One run of one version against the baseline (see baseline.py): search
# medians per metric and the bulk load, on data from the seed.
CHILD = r"""
import json, statistics, time
import numpy as np
n, dim, k, queries, seed = map(int, ARGS)
rng = np.random.default_rng(seed)
X = rng.standard_normal((n, dim))
Q = rng.standard_normal((queries, dim))
out = {"module": tarsim.__file__, "answers": []}
for metric in ("euclidean", "inner_product", "cosine"):
    index = tarsim.PyFlat(dim, metric)
    index.create(X)
    times = []
    for q in Q:
        start = time.perf_counter()
        got = index.search(q, k)
        times.append(time.perf_counter() - start)
    out[metric] = statistics.median(times)
    out["answers"].append(got)
    del index
creates = []
for _ in range(3):
    start = time.perf_counter()
    tarsim.PyFlat(dim).create(X)
    creates.append(time.perf_counter() - start)
out["create"] = statistics.median(creates)
print(json.dumps(out))
"""


def median_time(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def read_bandwidth_seconds(doubles: int) -> float | None:
    """Best time of a plain C++ sequential read of `doubles` float64 values."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "read_bandwidth")
        subprocess.run([compiler, "-O3", "-mavx2", "-o", exe, str(HERE / "read_bandwidth.cpp")],
                       check=True)
        out = subprocess.run([exe, str(doubles), "40"], check=True, capture_output=True, text=True)
        return float(out.stdout.split()[0])


def numpy_search(X: np.ndarray, q: np.ndarray, k: int) -> np.ndarray:
    # Brute force the way a user would write it.
    d = np.sqrt(((X - q) ** 2).sum(1))
    idx = np.argpartition(d, k)[:k]
    return idx[np.argsort(d[idx], kind="stable")]


def compare_with_baseline(args) -> None:
    import baseline

    rev = baseline.resolve(args.baseline)
    runs: dict[str, list[dict]] = {"this tree": [], rev[:10]: []}
    with tempfile.TemporaryDirectory() as tmp:
        old = baseline.build_module(rev, Path(tmp) / "base")
        cur = baseline.build_module(None, Path(tmp) / "tree")
        child = (args.n, args.dim, args.k, args.queries, 7)
        # Who goes first swaps every run, so that a load that drifts during
        # the run favours neither.
        for r in range(args.repeat):
            for side in (("this tree", cur), (rev[:10], old))[:: 1 if r % 2 == 0 else -1]:
                runs[side[0]].append(baseline.run_child(CHILD, side[1], *child))
    new, base = runs["this tree"], runs[rev[:10]]
    same = all(a["answers"] == b["answers"] for a in new for b in base)
    print(f"PyFlat, this tree against {args.baseline} ({rev[:10]}), N = {args.n:,}, "
          f"dim = {args.dim}, k = {args.k}, {args.queries} queries, {args.repeat} runs each, "
          f"alternating; medians over runs")
    print(f"{'what':<28}{'this tree':>12}{rev[:10]:>12}{'ratio':>9}   runs (this tree | base)")
    for key in ("euclidean", "inner_product", "cosine", "create"):
        a = statistics.median(r[key] for r in new)
        b = statistics.median(r[key] for r in base)
        label = f"search {key}" if key != "create" else "create from numpy"
        detail = (" ".join(f"{r[key] * 1e3:.2f}" for r in new) + " | " +
                  " ".join(f"{r[key] * 1e3:.2f}" for r in base))
        print(f"{label:<28}{a * 1e3:>10.2f}ms{b * 1e3:>10.2f}ms{b / a:>8.2f}x   {detail}")
    print(f"same answers in every run: {'yes' if same else 'NO'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--queries", type=int, default=50)
    parser.add_argument("--baseline", metavar="REV",
                        help="compare with the module as committed at REV instead")
    parser.add_argument("--repeat", type=int, default=5,
                        help="with --baseline: runs of each version, alternating")
    args = parser.parse_args()
    if args.baseline:
        compare_with_baseline(args)
        return

    rng = np.random.default_rng(7)
    X = rng.standard_normal((args.n, args.dim))
    queries = rng.standard_normal((args.queries, args.dim))
    nbytes = X.nbytes

    index = tarsim.PyFlat(args.dim)
    index.create(X)

    # Same answers first: ids of the k nearest agree with numpy.
    for q in queries[:5]:
        ours = [i for i, _ in index.search(q, args.k)]
        assert ours == list(numpy_search(X, q, args.k)), "PyFlat and numpy disagree"

    qi = iter(range(10**9))
    t_flat = median_time(lambda: index.search(queries[next(qi) % args.queries], args.k),
                         args.queries)
    qi = iter(range(10**9))
    t_numpy = median_time(lambda: numpy_search(X, queries[next(qi) % args.queries], args.k),
                          max(5, args.queries // 5))
    t_read = read_bandwidth_seconds(X.size)

    # Bulk loading.
    rows = X[:20_000]
    as_lists = rows.tolist()
    t_create_np = median_time(lambda: tarsim.PyFlat(args.dim).create(X), 5)
    t_copy = median_time(lambda: X.copy(), 5)
    t_create_list = median_time(lambda: tarsim.PyFlat(args.dim).create(as_lists), 3)

    gbps = nbytes / t_flat / 1e9
    print(f"PyFlat, N = {args.n:,}, dim = {args.dim}, k = {args.k}, float64, euclidean")
    print(f"{'what':<44}{'time':>12}{'ratio':>12}")
    print(f"{'PyFlat.search (median)':<44}{t_flat * 1e3:>10.2f}ms{'1.00':>12}")
    print(f"{'numpy sqrt(((X-q)**2).sum(1)) + argpartition':<44}{t_numpy * 1e3:>10.2f}ms"
          f"{t_numpy / t_flat:>11.2f}x")
    if t_read is not None:
        print(f"{'plain C++ sequential read of the same bytes':<44}{t_read * 1e3:>10.2f}ms"
              f"{t_read / t_flat:>11.2f}x")
        print(f"scan: {gbps:.1f} GB/s = {100 * (nbytes / t_flat) / (nbytes / t_read):.0f}% of the "
              f"read bandwidth ({nbytes / t_read / 1e9:.1f} GB/s)")
    else:
        print(f"scan: {gbps:.1f} GB/s (no C++ compiler for the read reference)")
    print(f"create from a 2-D numpy array ({args.n:,} rows): {t_create_np * 1e3:.1f} ms, "
          f"{t_create_np / t_copy:.2f}x a plain copy ({t_copy * 1e3:.1f} ms), "
          f"{args.n / t_create_np / 1e6:.2f} M vectors/s")
    print(f"create from a list of lists (20,000 rows): {t_create_list * 1e3:.1f} ms, "
          f"{len(as_lists) / t_create_list / 1e6:.2f} M vectors/s")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    RESULTS.mkdir(exist_ok=True)
    labels = ["PyFlat.search", "numpy brute force"] + (["C++ read floor"] if t_read else [])
    values = [t_flat * 1e3, t_numpy * 1e3] + ([t_read * 1e3] if t_read else [])
    fig, ax = plt.subplots(figsize=(6, 3))
    ax.barh(labels, values, color=["tab:blue", "tab:orange", "tab:gray"][: len(values)])
    ax.set_xlabel("ms per query (median)")
    ax.set_title(f"Exhaustive search, N={args.n:,}, dim={args.dim}, k={args.k}")
    fig.tight_layout()
    fig.savefig(RESULTS / "flat.png", dpi=120)
    print(f"plot: {RESULTS / 'flat.png'}", file=sys.stderr)


if __name__ == "__main__":
    main()
