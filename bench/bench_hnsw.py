"""Building and querying PyHNSW, against the per-node-list build it replaced,
an exhaustive PyFlat scan and, for orientation, hnswlib; all in one run.

    python bench/bench_hnsw.py [--n 20000] [--dim 128] [--queries 200]
                               [--old-n 10000] [--repeat 2] [--no-old] [--no-hnswlib]
    python bench/bench_hnsw.py --baseline REV [--repeat 5] [--n ...] [--queries ...]

Data: --n points around 100 Gaussian centres (seeded), queries drawn the same
way. PyHNSW runs with its defaults (layers 5, ef_construction 200,
ef_search 50, euclidean); hnswlib with M 16, ef_construction 200, one thread.

The straightforward build is the module as committed at OLD_COMMIT, built
from `git archive` into a temporary directory and run in a subprocess on the
same data. It is quadratic and slow, so it runs at --old-n points and its
time is scaled to --n by (n / old_n)^2; both figures are printed.

Times are CPU seconds of this process (time.process_time) unless marked
wall; the machine may be shared, and CPU time is the steadier of the two.
Both builds run --repeat times, alternating, and the fastest run of each
is reported (with all runs).
Writes bench/results/hnsw.png when matplotlib is installed.

With --baseline REV, instead: the module as committed at REV and this working
tree are built the same way (see baseline.py) and run --repeat times each,
alternating (who goes first swaps every run), each run a fresh process that
builds the graph on the same data and queries it. Printed: the median over
runs of the build's CPU time and of the query median, recall@k of each, and
the ratios REV / this tree (above 1: this tree is faster). Graphs are drawn at random, so answers may differ.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tarsim

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"

# The last commit before the build was made fast: one list per node,
# visited test before the distance, every distance computed in full.
OLD_COMMIT = "ef8f8e6f5372d8f75836e07a5b5c7706158dd02e"

CLUSTERS = 100


def clustered(n: int, queries: int, dim: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, dim))
    data = centres[rng.integers(0, CLUSTERS, n)] + rng.normal(0.0, 1.0, (n, dim))
    probes = centres[rng.integers(0, CLUSTERS, queries)] + rng.normal(0.0, 1.0, (queries, dim))
    return data, probes


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def timed(fn) -> tuple[float, float]:
    """(CPU seconds, wall seconds) of one call."""
    c0, w0 = time.process_time(), time.perf_counter()
    fn()
    return time.process_time() - c0, time.perf_counter() - w0


def per_query(fn, queries: np.ndarray) -> tuple[float, list]:
    """Median wall time of fn(q) over the queries, and the answers."""
    times, answers = [], []
    for q in queries:
        start = time.perf_counter()
        answers.append(fn(q))
        times.append(time.perf_counter() - start)
    return statistics.median(times), answers


# --------------------------------------------------------------- old build

CHILD = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
import tarsim
sys.path.insert(0, sys.argv[2])
from bench_hnsw import clustered
n, dim, seed = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
data, _ = clustered(n, 1, dim, seed)
index = tarsim.PyHNSW(dim, metric="euclidean")
c0, w0 = time.process_time(), time.perf_counter()
index.create(data)
print(json.dumps({"cpu": time.process_time() - c0, "wall": time.perf_counter() - w0,
                  "module": tarsim.__file__}))
"""


def build_old_module(workdir: Path) -> Path:
    src, build = workdir / "src", workdir / "build"
    src.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", OLD_COMMIT],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    subprocess.run(["cmake", "-S", str(src), "-B", str(build), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTARSIM_BUILD_TESTS=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "tarsim"], check=True,
                   capture_output=True)
    return build


def old_build_seconds(module_dir: Path, n: int, dim: int, seed: int) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, str(module_dir), str(HERE), str(n),
                          str(dim), str(seed)],
                         check=True, capture_output=True, text=True, cwd=module_dir)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    assert result["module"].startswith(str(module_dir)), result["module"]
    return result


# --------------------------------------------------------------- baseline

BASELINE_CHILD = r"""
import json
import numpy as np
sys.path.insert(0, ARGS[0])
from bench_hnsw import clustered, per_query, timed
n, dim, queries, k, seed = map(int, ARGS[1:])
data, probes = clustered(n, queries, dim, seed)
flat = tarsim.PyFlat(dim)
flat.create(data)
exact = [{i for i, _ in flat.search(q, k)} for q in probes]
row_of = {row.tobytes(): i for i, row in enumerate(data)}
index = tarsim.PyHNSW(dim, metric="euclidean")
cpu, wall = timed(lambda: index.create(data))
median, answers = per_query(lambda q: index.search(q, k), probes)
found = sum(len({row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in a} & e)
            for a, e in zip(answers, exact))
print(json.dumps({"cpu": cpu, "wall": wall, "query": median,
                  "recall": found / (k * len(probes)), "module": tarsim.__file__}))
"""


def compare_with_baseline(args) -> None:
    import baseline

    rev = baseline.resolve(args.baseline)
    new, base = [], []
    with tempfile.TemporaryDirectory() as tmp:
        old = baseline.build_module(rev, Path(tmp) / "base")
        cur = baseline.build_module(None, Path(tmp) / "tree")
        child = (HERE, args.n, args.dim, args.queries, args.k, args.seed)
        # Who goes first swaps every run, so that a load that drifts during
        # the run favours neither.
        for r in range(args.repeat):
            for runs, module in ((new, cur), (base, old))[:: 1 if r % 2 == 0 else -1]:
                runs.append(baseline.run_child(BASELINE_CHILD, module, *child))
    print(f"PyHNSW, this tree against {args.baseline} ({rev[:10]}), N = {args.n:,}, "
          f"dim = {args.dim}, {CLUSTERS} clusters, k = {args.k}, {args.queries} queries, "
          f"defaults; {args.repeat} runs each, alternating; medians over runs")
    print(f"{'what':<24}{'this tree':>12}{rev[:10]:>12}{'ratio':>9}   runs (this tree | base)")
    for key, label, unit, scale in (("cpu", "build (CPU)", "s", 1.0),
                                    ("query", "query median", "ms", 1e3)):
        a = statistics.median(r[key] for r in new)
        b = statistics.median(r[key] for r in base)
        detail = (" ".join(f"{r[key] * scale:.3f}" for r in new) + " | " +
                  " ".join(f"{r[key] * scale:.3f}" for r in base))
        print(f"{label:<24}{a * scale:>10.3f}{unit:<2}{b * scale:>10.3f}{unit:<2}{b / a:>8.2f}x"
              f"   {detail}")
    print(f"recall@{args.k}: this tree {statistics.median(r['recall'] for r in new):.4f}, "
          f"{rev[:10]} {statistics.median(r['recall'] for r in base):.4f}")


# --------------------------------------------------------------- hnswlib

def run_hnswlib(data: np.ndarray, queries: np.ndarray, exact: list[set], k: int,
                efs: list[int]) -> dict | None:
    try:
        import hnswlib
    except ImportError:
        return None
    n, dim = data.shape
    index = hnswlib.Index(space="l2", dim=dim)
    index.set_num_threads(1)

    def build():
        index.init_index(max_elements=n, ef_construction=200, M=16, random_seed=1)
        index.add_items(data, np.arange(n), num_threads=1)

    cpu, wall = timed(build)
    points = []
    for ef in efs:
        index.set_ef(ef)
        median, answers = per_query(lambda q: index.knn_query(q, k=k, num_threads=1)[0][0],
                                    queries)
        found = sum(len(set(a.tolist()) & e) for a, e in zip(answers, exact))
        points.append({"ef": ef, "median": median, "recall": found / (k * len(queries))})
    return {"cpu": cpu, "wall": wall, "points": points}


# --------------------------------------------------------------- main

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--old-n", type=int, default=10_000,
                        help="size at which the straightforward build is timed")
    parser.add_argument("--no-old", action="store_true")
    parser.add_argument("--no-hnswlib", action="store_true")
    parser.add_argument("--repeat", type=int, default=2,
                        help="builds of each kind, alternating; the fastest counts")
    parser.add_argument("--ef-points", default="10,20,100",
                        help="extra ef_search values for the plot (one more build each)")
    parser.add_argument("--baseline", metavar="REV",
                        help="compare with the module as committed at REV instead")
    args = parser.parse_args()
    if args.baseline:
        compare_with_baseline(args)
        return
    n, dim, k = args.n, args.dim, args.k

    data, queries = clustered(n, args.queries, dim, args.seed)
    row_of = {row.tobytes(): i for i, row in enumerate(data)}
    assert len(row_of) == n

    # Exhaustive answers (also the exact reference for recall).
    flat = tarsim.PyFlat(dim)
    flat.create(data)
    t_flat, flat_answers = per_query(lambda q: flat.search(q, k), queries)
    exact = [{i for i, _ in a} for a in flat_answers]

    # The graph index with default parameters; the build is timed --repeat
    # times, alternating with the straightforward build, and the fastest run
    # of each counts (the machine may be shared; the least disturbed run is
    # the best estimate of each).
    builds, olds = [], []
    grown = 0
    old_tmp = None if args.no_old else tempfile.TemporaryDirectory()
    old_module = None if old_tmp is None else build_old_module(Path(old_tmp.name))
    for r in range(args.repeat):
        index = tarsim.PyHNSW(dim, metric="euclidean")
        rss_before = rss_bytes()
        builds.append(timed(lambda: index.create(data)))
        if r == 0:
            grown = rss_bytes() - rss_before
        if old_module is not None:
            olds.append(old_build_seconds(old_module, min(args.old_n, n), dim, args.seed))
        if r + 1 < args.repeat:
            del index
    cpu, wall = min(builds)
    t_hnsw, answers = per_query(lambda q: index.search(q, k), queries)
    found = 0
    for a, e in zip(answers, exact):
        ids = {row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in a}
        found += len(ids & e)
    recall = found / (k * len(queries))

    # More ef_search values for the plot: one build each.
    curve = [{"ef": 50, "median": t_hnsw, "recall": recall}]
    for ef in [int(x) for x in args.ef_points.split(",") if x]:
        other = tarsim.PyHNSW(dim, ef_search=ef, metric="euclidean")
        other.create(data)
        median, got = per_query(lambda q: other.search(q, k), queries)
        hits = sum(len({row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in a} & e)
                   for a, e in zip(got, exact))
        curve.append({"ef": ef, "median": median, "recall": hits / (k * len(queries))})
        del other
    curve.sort(key=lambda p: p["ef"])

    old = min(olds, key=lambda o: o["cpu"]) if olds else None
    if old_tmp is not None:
        old_tmp.cleanup()
    peer = None if args.no_hnswlib else run_hnswlib(data, queries, exact, k, [10, 20, 50, 100,
                                                                             200, 400])

    print(f"PyHNSW, N = {n:,}, dim = {dim}, {CLUSTERS} clusters, k = {k}, "
          f"{args.queries} queries; defaults (layers 5, ef_construction 200, ef_search 50)")
    print(f"build: {cpu:.2f} s CPU ({wall:.2f} s wall), {n / cpu:,.0f} vectors/s; "
          f"runs: {', '.join(f'{c:.2f}' for c, _ in builds)} s CPU")
    if old is not None:
        scale = (n / args.old_n) ** 2 if args.old_n < n else 1.0
        est = old["cpu"] * scale
        at = f"at N = {min(args.old_n, n):,}" + (f", x{scale:.1f} for N = {n:,}" if scale > 1 else "")
        runs = ", ".join(f"{o['cpu']:.2f}" for o in olds)
        print(f"straightforward build ({OLD_COMMIT[:10]}): {old['cpu']:.2f} s CPU "
              f"({old['wall']:.2f} s wall) {at} -> {est:.1f} s; ratio {est / cpu:.1f}x; "
              f"runs: {runs} s CPU")
    print(f"query median: {t_hnsw * 1e3:.3f} ms; PyFlat.search median {t_flat * 1e3:.3f} ms "
          f"(ratio {t_hnsw / t_flat:.2f}); recall@{k} vs exact {recall:.4f}")
    print(f"memory: RSS grew {grown / 2**20:.1f} MiB during the build = "
          f"{grown / n:,.0f} bytes per node (vectors alone: {dim * 8} bytes)")
    for p in curve:
        print(f"  ef_search {p['ef']:>4}: median {p['median'] * 1e3:.3f} ms, "
              f"recall@{k} {p['recall']:.4f}")
    if peer is not None:
        print(f"hnswlib (M 16, ef_construction 200, 1 thread): build {peer['cpu']:.2f} s CPU "
              f"({peer['wall']:.2f} s wall)")
        for p in peer["points"]:
            print(f"  ef {p['ef']:>4}: median {p['median'] * 1e3:.3f} ms, "
                  f"recall@{k} {p['recall']:.4f}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return
    RESULTS.mkdir(exist_ok=True)
    fig, ax = plt.subplots(figsize=(6.5, 4))
    ax.plot([p["median"] * 1e3 for p in curve], [p["recall"] for p in curve], "o-",
            label="PyHNSW (ef_search)")
    for p in curve:
        ax.annotate(str(p["ef"]), (p["median"] * 1e3, p["recall"]), fontsize=7,
                    textcoords="offset points", xytext=(4, -10))
    if peer is not None:
        ax.plot([p["median"] * 1e3 for p in peer["points"]],
                [p["recall"] for p in peer["points"]], "s-", label="hnswlib (ef)")
        for p in peer["points"]:
            ax.annotate(str(p["ef"]), (p["median"] * 1e3, p["recall"]), fontsize=7,
                        textcoords="offset points", xytext=(4, 4))
    ax.plot([t_flat * 1e3], [1.0], "k^", label="PyFlat.search (exact)")
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xlabel("ms per query (median, one thread)")
    ax.set_ylabel(f"recall@{k}")
    ax.set_title(f"N={n:,}, dim={dim}, {CLUSTERS} Gaussian clusters")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(RESULTS / "hnsw.png", dpi=120)
    print(f"plot: {RESULTS / 'hnsw.png'}", file=sys.stderr)


if __name__ == "__main__":
    main()
