"""Sharded indexes on a local Dask cluster against one index in this process.

    python bench/bench_dask.py [--n 40000] [--dim 128] [--shards 8] [--workers 2]
                               [--queries 200] [--batch 1000] [--sweep] [--sweep-n 20000]
                               [--quick] [--out DIR] [--installed]

In one run, printed as ratios:
- ShardedHNSW build (create from a numpy array: shipping to the workers
  included) at --n vectors, --shards shards on --workers worker processes,
  against one PyHNSW built here; recall@10 of both against exact answers;
- ShardedFlat.search_many throughput (one batch of --batch queries) against
  one PyFlat answering the same queries one by one.
--sweep adds, at --sweep-n vectors, ShardedHNSW build time against the shard
count and the latency of search_many against the shard count and the batch
size.

Data: the clustered set of bench/data.py (seed 4); default graph parameters,
euclidean. Times are wall seconds (time.perf_counter): the cluster spends
them in other processes. The machine may be shared with other work, so take
the ratios as indications. Writes dask.json into bench/results.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import data
import runs

def exact_top(data: np.ndarray, probes: np.ndarray, k: int) -> list[set[bytes]]:
    norms = (data ** 2).sum(axis=1)
    out = []
    for q in probes:
        d = norms - 2.0 * data @ q
        out.append({data[i].tobytes() for i in np.argsort(d, kind="stable")[:k]})
    return out


def recall(answers: list[list[tuple[float, list[float]]]], truth: list[set[bytes]]) -> float:
    found = sum(len({np.asarray(v, dtype=np.float64).tobytes() for _, v in a} & t)
                for a, t in zip(answers, truth))
    return found / sum(len(t) for t in truth)


def timed(call):  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main() -> None:
    parser = runs.parser(__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=40_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--sweep", action="store_true")
    parser.add_argument("--sweep-n", type=int, default=20_000)
    args = parser.parse_args()
    if args.quick:
        args.n, args.queries, args.batch, args.shards, args.sweep_n = 2_000, 20, 50, 2, 1_000
    # This tree's build, in this process and in the workers it starts.
    runs.use_tree(args)
    import tarsim
    from distributed import Client, LocalCluster

    from tarsim_dask import ShardedFlat, ShardedHNSW

    rows, probes = data.clustered(args.n, max(args.queries, args.batch), args.dim, seed=4)
    queries = probes[: args.queries]
    truth = exact_top(rows, queries, 10)

    # The single indexes first: the scheduler of a LocalCluster runs in this
    # process, and a long call into the module holds the interpreter lock, so
    # a cluster started before would miss its workers' heartbeats.
    one = tarsim.PyHNSW(args.dim, metric="euclidean")
    t_one, _ = timed(lambda: one.create(rows))
    r_one = recall([one.search(q, 10) for q in queries], truth)
    t_query_one, _ = timed(lambda: [one.search(q, 10) for q in queries])
    del one
    batch = probes[: args.batch]
    flat = tarsim.PyFlat(args.dim)
    flat.create(rows)
    t_flat, flat_answers = timed(lambda: [flat.search(q, 10) for q in batch])
    del flat

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        print(f"N = {args.n:,}, dim = {args.dim}, {args.shards} shards on {args.workers} "
              "worker processes of one thread; wall seconds")

        sharded = ShardedHNSW(client, args.dim, metric="euclidean", shards=args.shards)
        t_sharded, _ = timed(lambda: sharded.create(rows))
        r_sharded = recall(sharded.search_many(queries, 10), truth)
        t_query_sharded, _ = timed(lambda: sharded.search_many(queries, 10))
        sharded.close()

        print(f"{'what':<52}{'value':>12}{'ratio':>10}")
        print(f"{'one PyHNSW build':<52}{t_one:>11.2f}s{'1.00':>10}")
        print(f"{f'ShardedHNSW build, {args.shards} shards':<52}{t_sharded:>11.2f}s"
              f"{t_one / t_sharded:>9.1f}x")
        print(f"{'recall@10, one PyHNSW':<52}{r_one:>12.4f}")
        print(f"{'recall@10, ShardedHNSW':<52}{r_sharded:>12.4f}{r_sharded / r_one:>10.3f}")
        print(f"{f'{args.queries} queries, one PyHNSW one by one':<52}{t_query_one:>11.3f}s"
              f"{'1.00':>10}")
        print(f"{f'{args.queries} queries, ShardedHNSW.search_many':<52}{t_query_sharded:>11.3f}s"
              f"{t_query_one / t_query_sharded:>9.2f}x")

        sharded_flat = ShardedFlat(client, args.dim, shards=args.shards)
        sharded_flat.create(rows)
        sharded_flat.search_many(batch[:10], 10)  # warm the connections
        t_sflat, answers = timed(lambda: sharded_flat.search_many(batch, 10))
        assert answers == flat_answers  # exact, as promised
        sharded_flat.close()
        print(f"{f'PyFlat, {args.batch} queries one by one':<52}{args.batch / t_flat:>9.0f}q/s"
              f"{'1.00':>10}")
        print(f"{f'ShardedFlat.search_many, one batch of {args.batch}':<52}"
              f"{args.batch / t_sflat:>9.0f}q/s{t_flat / t_sflat:>9.2f}x")
        runs.save(args, "dask", {
            "n": args.n, "dim": args.dim, "shards": args.shards, "workers": args.workers,
            "build": {"one": t_one, "sharded": t_sharded},
            "recall": {"one": r_one, "sharded": r_sharded},
            "queries": {"count": args.queries, "one": t_query_one, "sharded": t_query_sharded},
            "flat_batch": {"size": args.batch, "one_by_one": t_flat, "sharded": t_sflat}})

        if args.sweep:
            sweep(client, rows[: args.sweep_n], probes, args)


def sweep(client, data: np.ndarray, probes: np.ndarray, args: argparse.Namespace) -> None:  # type: ignore[no-untyped-def]
    from tarsim_dask import ShardedFlat, ShardedHNSW

    print(f"\nShardedHNSW build against the shard count, N = {len(data):,}")
    for shards in (2, 4, 8, 16):
        index = ShardedHNSW(client, args.dim, metric="euclidean", shards=shards)
        t, _ = timed(lambda: index.create(data))
        index.close()
        print(f"  {shards:>3} shards: {t:7.2f}s")

    print(f"\nsearch_many latency (ms per call, k = 10) against shards and batch size, "
          f"N = {len(data):,}")
    batches = (1, 10, 100, 1000)
    print("  " + f"{'':<24}" + "".join(f"{f'batch {b}':>12}" for b in batches))
    for kind in ("ShardedFlat", "ShardedHNSW"):
        for shards in (1, 2, 8):
            if kind == "ShardedFlat":
                index = ShardedFlat(client, args.dim, shards=shards)
            else:
                index = ShardedHNSW(client, args.dim, metric="euclidean", shards=shards)
            index.create(data)
            index.search_many(probes[:10], 10)
            cells = []
            for b in batches:
                reps = max(1, 20 // b)
                t, _ = timed(lambda: [index.search_many(probes[:b], 10) for _ in range(reps)])
                cells.append(f"{t / reps * 1e3:>10.1f}ms")
            index.close()
            print(f"  {f'{kind}, {shards} shards':<24}" + "".join(cells))


if __name__ == "__main__":
    main()
