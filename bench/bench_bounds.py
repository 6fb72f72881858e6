"""PyFlat.search with the sketch bounds against the same search without them,
on the data sets of bench/data.py; with --graph, the PyHNSW build and
queries instead (defaults, euclidean unless --metric says otherwise). All in
one run.

    python bench/bench_bounds.py [--data patches,gaussian,text] [--n 100000] [--queries 200]
                                 [--k 10] [--repeat 3] [--seed 1] [--dim 128]
                                 [--baseline [REV]] [--quick] [--out DIR] [--installed]
    python bench/bench_bounds.py --graph [--metric euclidean|angular|inner_product]
                                 [--data patches,clustered,gaussian,text] [--n 20000] ...

The two sides: this tree's build as it is and the same build with
TARSIM_BOUNDS=off in its environment (the knob that turns the bounds off);
with --baseline, this tree against the module as committed at REV instead
(both built by bench/build.py). Each side runs in its own process on the same
data, the two alternating --repeat times, and the fastest run of each is
kept. The text set has fewer rows than the default n: it is measured at as
many as it holds.

Flat mode: the median time per query of each metric, whether both sides give
the same answers (ids and distance bits), and, from the harness
bench/bounds_bytes.cpp (built with CMake against this tree), the bytes one
search reads (sketch records plus the rows scored exactly) as a share of the
stored vectors' bytes, and the sketch bytes per vector. Written:
bounds.json.

Graph mode: the build's CPU seconds and the median query time of each side,
recall@k against the exact answers, and from bench/graph_bounds.cpp the same
graph built with and without the bounds on the same level draws: whether
every list and answer is the same to the bit, and the neighbours ruled out
per insertion. Written: bounds_graph.json.
The machine may be shared: times are wall-clock per query.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np

import bench_hnsw
import build
import data
import runs

NAMES = ["euclidean", "inner_product", "cosine"]

# One run of one version of PyFlat: per metric, the median time per query and
# a hash of every answer (ids and distance bits).
CHILD = r"""
import json, statistics, time
import numpy as np
sets = np.load(ARGS[0])
rows, queries, k = sets["rows"], [q.tolist() for q in sets["queries"]], int(ARGS[1])
out = {"module": tarsim.__file__}
for metric in ("euclidean", "inner_product", "cosine"):
    index = tarsim.PyFlat(rows.shape[1], None if metric == "euclidean" else metric)
    index.create(rows)
    index.search(queries[0], k)
    answers, times = [], []
    for q in queries:
        start = time.perf_counter()
        answers.append(index.search(q, k))
        times.append(time.perf_counter() - start)
    flat = [(i, float(d).hex()) for a in answers for i, d in a]
    out[metric] = {"seconds": statistics.median(times), "answers": hash(tuple(flat))}
print(json.dumps(out))
"""


def sides(args) -> tuple[dict[str, tuple], str]:
    """The two sides as name -> (module folder, environment), and what the second is."""
    tree = build.module(None)
    if args.baseline is None:
        return {"bounds": (tree, {}), "no bounds": (tree, {"TARSIM_BOUNDS": "off"})}, \
            "this tree with TARSIM_BOUNDS=off"
    rev = build.resolve(runs.baseline_rev(args))
    return {"this tree": (tree, {}), rev[:10]: (build.module(rev), {})}, rev


def fastest(got: list[dict], key) -> float:
    return min(key(r) for r in got)


def flat_set(args, name: str, rows, queries, pair: dict, tmp: str) -> list[dict]:
    sets = Path(tmp) / f"{name}.npz"
    np.savez(sets, rows=rows, queries=queries)
    got = runs.alternate(args.repeat, pair,
                         lambda side: runs.run_child(CHILD, side[0], sets, args.k, env=side[1]))
    new, base = got.values()
    share = build.run_harness("bounds_bytes", rows, queries, args.k)
    return [{"data": name, "n": len(rows), "metric": m,
             "new": fastest(new, lambda r: r[m]["seconds"]),
             "base": fastest(base, lambda r: r[m]["seconds"]),
             "same": {r[m]["answers"] for r in new + base} == {new[0][m]["answers"]},
             "share": share[m]["share"], "sketch_bytes": share[m]["sketch_bytes"]}
            for m in NAMES]


def graph_set(args, name: str, rows, queries, pair: dict, tmp: str) -> dict:
    sets = bench_hnsw.save_sets(tmp, rows, queries)
    got = runs.alternate(args.repeat, pair,
                         lambda side: runs.run_child(bench_hnsw.CHILD, side[0], bench_hnsw.HERE,
                                                     sets, args.k, f"metric={args.metric}",
                                                     env=side[1]))
    new, base = got.values()
    check = build.run_harness("graph_bounds", rows, queries, args.k, "both", "-", args.metric)
    return {"data": name, "n": len(rows), "metric": args.metric,
            "new": {k: fastest(new, lambda r: r[k]) for k in ("cpu", "query")},
            "base": {k: fastest(base, lambda r: r[k]) for k in ("cpu", "query")},
            "recall": {"new": new[-1]["recall"], "base": base[-1]["recall"]},
            "ruled_out_per_insertion": check["skipped_build"] / len(rows),
            "same": check["same"]}


def print_flat(args, rows: list[dict], against: str) -> None:
    print(f"\nPyFlat.search, k = {args.k}, {args.queries} queries; against {against}; "
          f"fastest of {args.repeat} alternating runs")
    print(f"{'data':9} {'n':>7} {'metric':14} {'base ms':>9} {'ms':>8} {'speed-up':>9} "
          f"{'read share':>10} {'sketch B/vec':>12} {'same':>5}")
    for r in rows:
        print(f"{r['data']:9} {r['n']:7} {r['metric']:14} {r['base'] * 1e3:9.3f} "
              f"{r['new'] * 1e3:8.3f} {r['base'] / r['new']:8.2f}x {r['share']:>10.1%} "
              f"{r['sketch_bytes']:>12.0f} {'yes' if r['same'] else 'NO':>5}")


def print_graph(args, rows: list[dict], against: str) -> None:
    print(f"\nPyHNSW, defaults, {args.metric}, k = {args.k}, {args.queries} queries; against "
          f"{against}; fastest of {args.repeat} alternating runs (build: CPU seconds)")
    print(f"{'data':9} {'n':>6} {'build base s':>12} {'build s':>8} {'speed-up':>8} "
          f"{'query base ms':>13} {'query ms':>8} {'speed-up':>8} {'recall base':>11} "
          f"{'recall':>6} {'ruled out/ins':>13} {'same':>5}")
    for r in rows:
        b, c = r["base"], r["new"]
        print(f"{r['data']:9} {r['n']:6} {b['cpu']:12.2f} {c['cpu']:8.2f} "
              f"{b['cpu'] / c['cpu']:7.2f}x {b['query'] * 1e3:13.3f} {c['query'] * 1e3:8.3f} "
              f"{b['query'] / c['query']:7.2f}x {r['recall']['base']:11.3f} "
              f"{r['recall']['new']:6.3f} {r['ruled_out_per_insertion']:13.0f} "
              f"{'yes' if r['same'] else 'NO':>5}")


def main() -> None:
    p = runs.parser(__doc__)
    p.add_argument("--graph", action="store_true", help="PyHNSW instead of PyFlat")
    p.add_argument("--data", help="comma-separated sets (default: patches,gaussian,text; "
                                  "with --graph patches,clustered,gaussian,text)")
    p.add_argument("--n", type=int, help="stored rows (default 100000; with --graph 20000)")
    p.add_argument("--metric", default="euclidean", choices=list(bench_hnsw.FLAT_METRIC),
                   help="with --graph: the graph's metric")
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--dim", type=int, default=128,
                   help="dimension of the clustered and Gaussian sets")
    runs.baseline_option(p, "compare this tree with the module as committed at REV instead "
                            "of with TARSIM_BOUNDS=off")
    args = p.parse_args()
    if args.n is None:
        args.n = 20_000 if args.graph else 100_000
    if args.quick:
        args.n, args.queries, args.repeat = (1_500 if args.graph else 10_000), 10, 1
    chosen = data.names(args.data or ("patches,clustered,gaussian,text" if args.graph
                                      else "patches,gaussian,text"))
    pair, against = sides(args)
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in chosen:
            n = min(args.n, data.capacity(name, args.queries))
            # The clustered rows and queries are one draw, as this script has
            # always made them.
            rows, queries = data.load(name, n, args.queries, args.seed, args.dim, block=True)
            one = graph_set if args.graph else flat_set
            got = one(args, name, rows, queries, pair, tmp)
            out += got if isinstance(got, list) else [got]
            print(f"  {name} done", flush=True)
    (print_graph if args.graph else print_flat)(args, out, against)
    runs.save(args, "bounds_graph" if args.graph else "bounds",
              {"against": against, "k": args.k, "queries": args.queries, "rows": out})


if __name__ == "__main__":
    main()
