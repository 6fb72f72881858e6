"""Building and querying PyHNSW, against an exhaustive PyFlat scan and, for
orientation, hnswlib; all in one run.

    python bench/bench_hnsw.py [--n 20000] [--dim 128] [--queries 200] [--k 10]
                               [--data clustered] [--seed 20240611] [--repeat 2]
                               [--ef-points 10,20,100] [--no-hnswlib]
                               [--old REV [--old-n 10000]] [--quick] [--out DIR] [--installed]
    python bench/bench_hnsw.py --baseline [REV] [--repeat 5] [--n ...] [--queries ...]

Data: bench/data.py, the clustered set by default (100 Gaussian centres).
PyHNSW runs with its defaults (layers 5, ef_construction 200, ef_search 50,
euclidean), and once more per --ef-points value for the recall curve;
hnswlib with M 16, ef_construction 200, one thread.

--old REV also times the build of the module as committed at REV (built by
bench/build.py, run in a subprocess on the same data), alternating with this
tree's builds. For a quadratic build of an old commit, --old-n smaller than
--n times it on fewer points and scales the time by (n / old_n)^2; both
figures are printed.

Times are CPU seconds of the building process (time.process_time) unless
marked wall; the machine may be shared, and CPU time is the steadier of the
two. Builds run --repeat times and the fastest counts. Writes hnsw.json and
hnsw.png (with matplotlib) into bench/results.

With --baseline, instead: this tree and the module as committed at REV, both
built by bench/build.py, run --repeat times each, alternating, each run a
fresh process that builds the graph on the same data and queries it.
Printed: the median over runs of the build's CPU time and of the query
median, recall@k of each, and the ratios REV / this tree (above 1: this tree
is faster); written: hnsw_baseline.json. Graphs are drawn at random, so
answers may differ.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import numpy as np

import build
import data
import runs

HERE = Path(__file__).resolve().parent


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def hits(answers: list, exact: list[set], row_of: dict) -> float:
    """recall@k of PyHNSW answers (distance, vector) against exact id sets."""
    found = sum(len({row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in a} & e)
                for a, e in zip(answers, exact))
    return found / sum(len(e) for e in exact)


# PyFlat's name of each PyHNSW metric (None: its default).
FLAT_METRIC = {"euclidean": None, "angular": "cosine", "inner_product": "inner_product"}


def exact_ids(tarsim, rows: np.ndarray, queries: np.ndarray, k: int,
              metric: str = "euclidean") -> tuple[float, list[set]]:
    flat = tarsim.PyFlat(rows.shape[1], FLAT_METRIC[metric])
    flat.create(rows)
    median, answers = runs.per_query(lambda q: flat.search(q, k), queries)
    return median, [{i for i, _ in a} for a in answers]


# One run of one version: build, queries and recall; ARGS: bench folder, data
# file, k, then "build" to time only the build and "metric=NAME" for another
# metric than the euclidean.
CHILD = r"""
import json
import numpy as np
sys.path.insert(0, ARGS[0])
from bench_hnsw import exact_ids, hits
from runs import per_query, timed
sets = np.load(ARGS[1])
rows, queries, k = sets["rows"], sets["queries"], int(ARGS[2])
metric = next((a[len("metric="):] for a in ARGS[3:] if a.startswith("metric=")), "euclidean")
index = tarsim.PyHNSW(rows.shape[1], metric=metric)
cpu, wall = timed(lambda: index.create(rows))
out = {"cpu": cpu, "wall": wall, "module": tarsim.__file__}
if "build" not in ARGS[3:]:
    out["query"], answers = per_query(lambda q: index.search(q, k), queries)
    row_of = {row.tobytes(): i for i, row in enumerate(rows)}
    out["recall"] = hits(answers, exact_ids(tarsim, rows, queries, k, metric)[1], row_of)
print(json.dumps(out))
"""


def child(site: Path, sets: Path, k: int, *extra: str) -> dict:
    return runs.run_child(CHILD, site, HERE, sets, k, *extra)


def save_sets(folder: str, rows: np.ndarray, queries: np.ndarray) -> Path:
    path = Path(folder) / "sets.npz"
    np.savez(path, rows=rows, queries=queries)
    return path


def compare_with_baseline(args, rows: np.ndarray, queries: np.ndarray) -> None:
    rev = build.resolve(runs.baseline_rev(args))
    label = rev[:10]
    sides = {"this tree": build.module(None), label: build.module(rev)}
    with tempfile.TemporaryDirectory() as tmp:
        sets = save_sets(tmp, rows, queries)
        got = runs.alternate(args.repeat, sides, lambda site: child(site, sets, args.k))
    new, base = got["this tree"], got[label]
    print(f"PyHNSW, this tree against {label}, {args.data}, N = {args.n:,}, "
          f"dim = {rows.shape[1]}, k = {args.k}, {args.queries} queries, defaults; "
          f"{args.repeat} runs each, alternating; medians over runs")
    print(f"{'what':<24}{'this tree':>12}{label:>12}{'ratio':>9}   runs (this tree | base)")
    for key, what, unit, scale in (("cpu", "build (CPU)", "s", 1.0),
                                   ("query", "query median", "ms", 1e3)):
        a, b = runs.median_of(new, key), runs.median_of(base, key)
        detail = (" ".join(f"{r[key] * scale:.3f}" for r in new) + " | " +
                  " ".join(f"{r[key] * scale:.3f}" for r in base))
        print(f"{what:<24}{a * scale:>10.3f}{unit:<2}{b * scale:>10.3f}{unit:<2}{b / a:>8.2f}x"
              f"   {detail}")
    print(f"recall@{args.k}: this tree {runs.median_of(new, 'recall'):.4f}, "
          f"{label} {runs.median_of(base, 'recall'):.4f}")
    strip = [[{k: r[k] for k in ("cpu", "wall", "query", "recall")} for r in side]
             for side in (new, base)]
    runs.save(args, "hnsw_baseline", {"baseline": rev, "data": args.data,
                                      "runs": {"this tree": strip[0], "baseline": strip[1]}})


def run_hnswlib(rows: np.ndarray, queries: np.ndarray, exact: list[set], k: int,
                efs: list[int]) -> dict | None:
    try:
        import hnswlib
    except ImportError:
        return None
    n, dim = rows.shape
    index = hnswlib.Index(space="l2", dim=dim)
    index.set_num_threads(1)

    def make():
        index.init_index(max_elements=n, ef_construction=200, M=16, random_seed=1)
        index.add_items(rows, np.arange(n), num_threads=1)

    cpu, wall = runs.timed(make)
    points = []
    for ef in efs:
        index.set_ef(ef)
        median, answers = runs.per_query(
            lambda q: index.knn_query(q, k=k, num_threads=1)[0][0], queries)
        found = sum(len(set(a.tolist()) & e) for a, e in zip(answers, exact))
        points.append({"ef": ef, "median": median, "recall": found / (k * len(queries))})
    return {"cpu": cpu, "wall": wall, "points": points}


class OldBuild:
    """The build of the module at --old REV, timed in a subprocess on the first
    --old-n rows, one run per call."""

    def __init__(self, args, rows: np.ndarray, queries: np.ndarray) -> None:
        self.rev = build.resolve(args.old)
        self.site = build.module(self.rev)
        self.tmp = tempfile.TemporaryDirectory()
        self.sets = save_sets(self.tmp.name, rows[: args.old_n], queries[:1])
        self.n, self.at, self.k = len(rows), min(args.old_n, len(rows)), args.k
        self.runs: list[dict] = []

    def __call__(self) -> None:
        self.runs.append(child(self.site, self.sets, self.k, "build"))

    def summary(self) -> dict:
        self.tmp.cleanup()
        best = min(self.runs, key=lambda r: r["cpu"])
        return {"rev": self.rev, "n": self.at, "runs": [r["cpu"] for r in self.runs],
                "cpu": best["cpu"], "wall": best["wall"],
                "scaled": best["cpu"] * (self.n / self.at) ** 2}


def main() -> None:
    p = runs.parser(__doc__)
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--data", default="clustered", choices=data.SETS)
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--old", metavar="REV", help="also time the build of the module at REV")
    p.add_argument("--old-n", type=int, default=10_000,
                   help="with --old: size at which that build is timed")
    p.add_argument("--no-hnswlib", action="store_true")
    p.add_argument("--repeat", type=int, default=2,
                   help="builds of each kind (alternating with --old); the fastest counts")
    p.add_argument("--ef-points", default="10,20,100",
                   help="extra ef_search values for the plot (one more build each)")
    runs.baseline_option(p, "compare this tree with the module as committed at REV instead")
    args = p.parse_args()
    if args.quick:
        args.n, args.queries, args.old_n, args.repeat, args.ef_points = 1_500, 20, 500, 1, "10"
    rows, queries = data.load(args.data, args.n, args.queries, args.seed, args.dim)
    if args.baseline is not None:
        compare_with_baseline(args, rows, queries)
        return
    runs.use_tree(args)
    import tarsim

    n, dim, k = rows.shape[0], rows.shape[1], args.k
    row_of = {row.tobytes(): i for i, row in enumerate(rows)}
    assert len(row_of) == n
    t_flat, exact = exact_ids(tarsim, rows, queries, k)

    builds, grown = [], 0
    old_build = OldBuild(args, rows, queries) if args.old else None
    for r in range(args.repeat):
        index = tarsim.PyHNSW(dim, metric="euclidean")
        before = rss_bytes()
        builds.append(runs.timed(lambda: index.create(rows)))
        if r == 0:
            grown = rss_bytes() - before
        if old_build is not None:
            old_build()
        if r + 1 < args.repeat:
            del index
    old = old_build.summary() if old_build is not None else None
    cpu, wall = min(builds)
    t_hnsw, answers = runs.per_query(lambda q: index.search(q, k), queries)
    curve = [{"ef": 50, "median": t_hnsw, "recall": hits(answers, exact, row_of)}]
    for ef in [int(x) for x in args.ef_points.split(",") if x]:
        other = tarsim.PyHNSW(dim, ef_search=ef, metric="euclidean")
        other.create(rows)
        median, got = runs.per_query(lambda q: other.search(q, k), queries)
        curve.append({"ef": ef, "median": median, "recall": hits(got, exact, row_of)})
        del other
    curve.sort(key=lambda c: c["ef"])
    peer = None if args.no_hnswlib else run_hnswlib(rows, queries, exact, k,
                                                    [10, 20, 50, 100, 200, 400])

    print(f"PyHNSW, {args.data}, N = {n:,}, dim = {dim}, k = {k}, {len(queries)} queries; "
          f"defaults (layers 5, ef_construction 200, ef_search 50)")
    print(f"build: {cpu:.2f} s CPU ({wall:.2f} s wall), {n / cpu:,.0f} vectors/s; "
          f"runs: {', '.join(f'{c:.2f}' for c, _ in builds)} s CPU")
    if old is not None:
        print(f"build of {old['rev'][:10]}: {old['cpu']:.2f} s CPU at N = {old['n']:,} -> "
              f"{old['scaled']:.1f} s at N = {n:,}; ratio {old['scaled'] / cpu:.1f}x")
    print(f"query median: {t_hnsw * 1e3:.3f} ms; PyFlat.search median {t_flat * 1e3:.3f} ms "
          f"(ratio {t_hnsw / t_flat:.2f}); recall@{k} vs exact {curve_at(curve, 50):.4f}")
    print(f"memory: RSS grew {grown / 2**20:.1f} MiB during the build = "
          f"{grown / n:,.0f} bytes per node (vectors alone: {dim * 8} bytes)")
    for c in curve:
        print(f"  ef_search {c['ef']:>4}: median {c['median'] * 1e3:.3f} ms, "
              f"recall@{k} {c['recall']:.4f}")
    if peer is not None:
        print(f"hnswlib (M 16, ef_construction 200, 1 thread): build {peer['cpu']:.2f} s CPU "
              f"({peer['wall']:.2f} s wall)")
        for c in peer["points"]:
            print(f"  ef {c['ef']:>4}: median {c['median'] * 1e3:.3f} ms, "
                  f"recall@{k} {c['recall']:.4f}")
    runs.save(args, "hnsw", {
        "data": args.data, "n": n, "dim": dim, "k": k, "queries": len(queries),
        "build": {"cpu": cpu, "wall": wall, "runs": [c for c, _ in builds]},
        "bytes_per_node": grown / n, "flat_query": t_flat, "curve": curve,
        "hnswlib": peer, "old": old})
    plot(args, curve, peer, t_flat, n, dim, k)


def curve_at(curve: list[dict], ef: int) -> float:
    return next(c["recall"] for c in curve if c["ef"] == ef)


def plot(args, curve: list[dict], peer: dict | None, t_flat: float, n: int, dim: int,
         k: int) -> None:
    path = runs.plot_path(args, "hnsw")
    if path is None:
        return
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(6.5, 4))
    lines = [("PyHNSW (ef_search)", "o-", curve, (4, -10))]
    if peer is not None:
        lines.append(("hnswlib (ef)", "s-", peer["points"], (4, 4)))
    for label, style, points, offset in lines:
        ax.plot([c["median"] * 1e3 for c in points], [c["recall"] for c in points], style,
                label=label)
        for c in points:
            ax.annotate(str(c["ef"]), (c["median"] * 1e3, c["recall"]), fontsize=7,
                        textcoords="offset points", xytext=offset)
    ax.plot([t_flat * 1e3], [1.0], "k^", label="PyFlat.search (exact)")
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xlabel("ms per query (median, one thread)")
    ax.set_ylabel(f"recall@{k}")
    ax.set_title(f"{args.data}, N={n:,}, dim={dim}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot: {path}")


if __name__ == "__main__":
    main()
