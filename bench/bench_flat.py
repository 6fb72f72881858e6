"""Exhaustive search and bulk loading of PyFlat, against the peers a user
would reach for, all measured in one run.

    python bench/bench_flat.py [--n 100000] [--dim 128] [--k 10] [--queries 50]

Prints a table with ratios and writes bench/results/flat.png when matplotlib
is installed.
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--queries", type=int, default=50)
    args = parser.parse_args()

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
