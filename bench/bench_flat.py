"""Exhaustive search and bulk loading of PyFlat, against the peers a user
would reach for, all measured in one run.

    python bench/bench_flat.py [--n 100000] [--dim 128] [--k 10] [--queries 50]
                               [--data gaussian] [--seed 7] [--quick] [--out DIR] [--installed]
    python bench/bench_flat.py --baseline [REV] [--repeat 5] [--n ...] [--queries ...]

Peers: numpy brute force as a user writes it, faiss's flat index (float32,
one thread; left out when faiss is not installed), and a plain C++
sequential read of the same bytes (bench/read_bandwidth.cpp), the floor of
any exhaustive scan. Then the bulk load from a 2-D array against a plain
copy, and from a list of lists. Writes flat.json and flat.png (with
matplotlib) into bench/results.

With --baseline, instead: this tree and the module as committed at REV, both
built by bench/build.py, run --repeat times each, alternating, each run a
fresh process on the same data (every metric). Printed: the median of each
side's per-run medians and the ratio REV / this tree (above 1: this tree is
faster); written: flat_baseline.json. The machine may be shared;
alternating spreads any disturbance over both.
"""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

import numpy as np

import build
import data
import runs

# One run of one version: search medians per metric and the bulk load.
CHILD = r"""
import json, statistics, time
import numpy as np
sets = np.load(ARGS[0])
X, Q = sets["rows"], sets["queries"]
k = int(ARGS[1])
out = {"module": tarsim.__file__, "answers": []}
for metric in ("euclidean", "inner_product", "cosine"):
    index = tarsim.PyFlat(X.shape[1], metric)
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
    tarsim.PyFlat(X.shape[1]).create(X)
    creates.append(time.perf_counter() - start)
out["create"] = statistics.median(creates)
print(json.dumps(out))
"""
KEYS = ("euclidean", "inner_product", "cosine", "create")


def median_time(fn, repeats: int) -> float:
    return runs.per_query(lambda _: fn(), range(repeats))[0]


def numpy_search(X: np.ndarray, q: np.ndarray, k: int) -> np.ndarray:
    # Brute force the way a user would write it.
    d = np.sqrt(((X - q) ** 2).sum(1))
    idx = np.argpartition(d, k)[:k]
    return idx[np.argsort(d[idx], kind="stable")]


def faiss_search(X: np.ndarray, queries: np.ndarray, k: int) -> float | None:
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(X.shape[1])
    index.add(X.astype(np.float32))
    q32 = queries.astype(np.float32)
    return runs.per_query(lambda q: index.search(q[None, :], k), q32)[0]


def read_floor(doubles: int) -> float:
    """Best time of a plain C++ sequential read of `doubles` float64 values."""
    out = subprocess.run([str(build.harness("read_bandwidth")), str(doubles), "40"],
                         check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


def compare_with_baseline(args, X: np.ndarray, Q: np.ndarray) -> None:
    rev = build.resolve(runs.baseline_rev(args))
    label = rev[:10]
    sides = {"this tree": build.module(None), label: build.module(rev)}
    with tempfile.TemporaryDirectory() as tmp:
        sets = Path(tmp) / "sets.npz"
        np.savez(sets, rows=X, queries=Q)
        got = runs.alternate(args.repeat, sides,
                             lambda site: runs.run_child(CHILD, site, sets, args.k))
    new, base = got["this tree"], got[label]
    same = all(a["answers"] == b["answers"] for a in new for b in base)
    print(f"PyFlat, this tree against {label}, {args.data}, N = {args.n:,}, dim = {X.shape[1]}, "
          f"k = {args.k}, {args.queries} queries, {args.repeat} runs each, alternating; "
          f"medians over runs")
    print(f"{'what':<28}{'this tree':>12}{label:>12}{'ratio':>9}   runs (this tree | base)")
    for key in KEYS:
        a, b = runs.median_of(new, key), runs.median_of(base, key)
        name = f"search {key}" if key != "create" else "create from numpy"
        detail = (" ".join(f"{r[key] * 1e3:.2f}" for r in new) + " | " +
                  " ".join(f"{r[key] * 1e3:.2f}" for r in base))
        print(f"{name:<28}{a * 1e3:>10.2f}ms{b * 1e3:>10.2f}ms{b / a:>8.2f}x   {detail}")
    print(f"same answers in every run: {'yes' if same else 'NO'}")
    strip = [{k: r[k] for k in KEYS} for r in new], [{k: r[k] for k in KEYS} for r in base]
    runs.save(args, "flat_baseline", {"baseline": rev, "same": same,
                                      "runs": {"this tree": strip[0], "baseline": strip[1]}})


def main() -> None:
    p = runs.parser(__doc__)
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--queries", type=int, default=50)
    p.add_argument("--data", default="gaussian", choices=data.SETS)
    p.add_argument("--seed", type=int, default=7)
    runs.baseline_option(p, "compare this tree with the module as committed at REV instead")
    p.add_argument("--repeat", type=int, default=5,
                   help="with --baseline: runs of each version, alternating")
    args = p.parse_args()
    if args.quick:
        args.n, args.queries, args.repeat = 5_000, 10, 2
    X, queries = data.load(args.data, args.n, args.queries, args.seed, args.dim)
    if args.baseline is not None:
        compare_with_baseline(args, X, queries)
        return
    runs.use_tree(args)
    import tarsim

    n, dim, k = X.shape[0], X.shape[1], args.k
    index = tarsim.PyFlat(dim)
    index.create(X)
    # Same answers first: ids of the k nearest agree with numpy.
    for q in queries[:5]:
        assert [i for i, _ in index.search(q, k)] == list(numpy_search(X, q, k)), \
            "PyFlat and numpy disagree"

    t_flat = runs.per_query(lambda q: index.search(q, k), queries)[0]
    few = queries[: max(5, len(queries) // 5)]
    t_numpy = runs.per_query(lambda q: numpy_search(X, q, k), few)[0]
    t_faiss = faiss_search(X, queries, k)
    t_read = read_floor(X.size)

    rows = X[:20_000]
    as_lists = rows.tolist()
    t_create_np = median_time(lambda: tarsim.PyFlat(dim).create(X), 5)
    t_copy = median_time(lambda: X.copy(), 5)
    t_create_list = median_time(lambda: tarsim.PyFlat(dim).create(as_lists), 3)

    print(f"PyFlat, {args.data}, N = {n:,}, dim = {dim}, k = {k}, float64, euclidean")
    print(f"{'what':<48}{'time':>12}{'ratio':>10}")
    search = [("PyFlat.search (median)", "PyFlat.search", t_flat),
              ("numpy sqrt(((X-q)**2).sum(1)) + argpartition", "numpy brute force", t_numpy),
              ("faiss IndexFlatL2 (float32, 1 thread)", "faiss flat (float32)", t_faiss),
              ("plain C++ sequential read of the same bytes", "C++ read floor", t_read)]
    for what, _, t in search:
        if t is not None:
            print(f"{what:<48}{t * 1e3:>10.2f}ms{t / t_flat:>9.2f}x")
    print(f"scan: {X.nbytes / t_flat / 1e9:.1f} GB/s = {100 * t_read / t_flat:.0f}% of the "
          f"read bandwidth ({X.nbytes / t_read / 1e9:.1f} GB/s)")
    print(f"create from a 2-D numpy array ({n:,} rows): {t_create_np * 1e3:.1f} ms, "
          f"{t_create_np / t_copy:.2f}x a plain copy ({t_copy * 1e3:.1f} ms)")
    print(f"create from a list of lists ({len(as_lists):,} rows): {t_create_list * 1e3:.1f} ms, "
          f"{len(as_lists) / t_create_list / 1e6:.2f} M vectors/s")
    runs.save(args, "flat", {
        "data": args.data, "n": n, "dim": dim, "k": k, "queries": len(queries),
        "search": {"tarsim": t_flat, "numpy": t_numpy, "faiss": t_faiss, "read_floor": t_read},
        "create": {"numpy": t_create_np, "copy": t_copy, "lists": t_create_list,
                   "list_rows": len(as_lists)}})

    path = runs.plot_path(args, "flat")
    if path is None:
        return
    import matplotlib.pyplot as plt

    shown = [(short, t) for _, short, t in search if t is not None]
    fig, ax = plt.subplots(figsize=(6, 3))
    ax.barh([w for w, _ in shown], [t * 1e3 for _, t in shown],
            color=["tab:blue", "tab:orange", "tab:green", "tab:gray"][: len(shown)])
    ax.set_xlabel("ms per query (median)")
    ax.set_title(f"Exhaustive search, {args.data}, N={n:,}, dim={dim}, k={k}")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot: {path}")


if __name__ == "__main__":
    main()
