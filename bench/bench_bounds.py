"""PyFlat.search with the sketch bounds, against a baseline build without
them, on photo patches and on Gaussian data; all in one run. With --graph,
the PyHNSW build and queries instead (defaults, euclidean), on the patches,
the clustered data of bench_hnsw.py and the Gaussian data.

    python bench/bench_bounds.py [--baseline 7c8b593] [--n 100000] [--queries 200]
                                 [--k 10] [--repeat 3] [--seed 1] [--graph]

Graph mode: build seconds and the median query time of each build, best of
--repeat alternating runs, recall@10 against the exact answers, and from
bench/graph_bounds.cpp (built against this tree) the same graph built with
and without the bounds on the same level draws: whether every list and
answer is the same to the bit, and the neighbours ruled out per insertion.

Data:
  patches   8x8x3 = 192 float64 values 0..255, cut at random positions from
            the photos that scikit-image ships (astronaut, coffee, chelsea,
            rocket, hubble_deep_field, immunohistochemistry, retina, cat),
            equal numbers per photo, shuffled with a fixed seed;
  gaussian  i.i.d. standard normal, dim 128.
The queries are --queries more vectors drawn the same way, not in the index.

The baseline is the module as committed at --baseline, built from
`git archive` into a temporary directory; the current build is the
installed tarsim. Each runs in its own subprocess on the same data, the two
alternating --repeat times, and the fastest run of each is kept. The
answers of the two builds are compared (ids and distance bits).

Also printed: the bytes one search reads (sketch records plus the rows
scored exactly) as a share of the stored vectors' bytes, and the sketch
bytes per vector, from bench/bounds_bytes.cpp built against this tree.
TARSIM_BOUNDS=off in the environment turns the bounds off (a testing knob).
The machine may be shared: times are wall-clock per query.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from baseline import build_module

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
METRICS = [None, "inner_product", "cosine"]
NAMES = ["euclidean", "inner_product", "cosine"]
PHOTOS = ["astronaut", "coffee", "chelsea", "rocket", "hubble_deep_field",
          "immunohistochemistry", "retina", "cat"]


def patches(count: int, seed: int) -> np.ndarray:
    import skimage.data

    rng = np.random.default_rng(seed)
    per = -(-count // len(PHOTOS))
    out = []
    for name in PHOTOS:
        image = np.asarray(getattr(skimage.data, name)(), dtype=np.float64)[:, :, :3]
        ys = rng.integers(0, image.shape[0] - 8 + 1, per)
        xs = rng.integers(0, image.shape[1] - 8 + 1, per)
        out.append(np.stack([image[y:y + 8, x:x + 8, :].reshape(-1) for y, x in zip(ys, xs)]))
    data = np.concatenate(out)
    rng.shuffle(data)
    return np.ascontiguousarray(data[:count])


def gaussian(count: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((count, 128))


CHILD = r"""
import json, sys, time
import numpy as np
if sys.argv[1] != "-":
    sys.path.insert(0, sys.argv[1])
import tarsim
raw = np.load(sys.argv[2])
n, k = int(sys.argv[3]), int(sys.argv[4])
data, queries = raw[:n], [q.tolist() for q in raw[n:]]
out = {"module": tarsim.__file__}
for metric, name in zip([None, "inner_product", "cosine"], ["euclidean", "inner_product", "cosine"]):
    index = tarsim.PyFlat(raw.shape[1], metric)
    index.create(np.ascontiguousarray(data))
    index.search(queries[0], k)
    answers = []
    start = time.perf_counter()
    for q in queries:
        answers.append(index.search(q, k))
    seconds = (time.perf_counter() - start) / len(queries)
    flat = [(i, float(d).hex()) for a in answers for i, d in a]
    out[name] = {"seconds": seconds, "answers": hash(tuple(flat))}
print(json.dumps(out))
"""


GRAPH_CHILD = r"""
import json, sys, time, statistics
import numpy as np
if sys.argv[1] != "-":
    sys.path.insert(0, sys.argv[1])
import tarsim
raw = np.load(sys.argv[2])
n, k = int(sys.argv[3]), int(sys.argv[4])
data = np.ascontiguousarray(raw[:n])
queries = [q.tolist() for q in raw[n:]]
index = tarsim.PyHNSW(raw.shape[1], metric="euclidean")
start = time.perf_counter()
index.create(data)
build = time.perf_counter() - start
row_of = {row.tobytes(): i for i, row in enumerate(data)}
times, found = [], 0
for q, qv in zip(queries, raw[n:]):
    start = time.perf_counter()
    answer = index.search(q, k)
    times.append(time.perf_counter() - start)
    got = {row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in answer}
    exact = set(np.argsort(((data - qv) ** 2).sum(axis=1), kind="stable")[:k].tolist())
    found += len(got & exact)
print(json.dumps({"module": tarsim.__file__, "build": build,
                  "query": statistics.median(times), "recall": found / (k * len(queries))}))
"""


def clustered(count: int, seed: int) -> np.ndarray:
    # As bench_hnsw.py makes them: 100 Gaussian centres in dim 128.
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (100, 128))
    return centres[rng.integers(0, 100, count)] + rng.normal(0.0, 1.0, (count, 128))


def run_graph_child(module_dir: str, data_file: Path, n: int, k: int) -> dict:
    cwd = module_dir if module_dir != "-" else tempfile.gettempdir()
    out = subprocess.run([sys.executable, "-c", GRAPH_CHILD, module_dir, str(data_file), str(n),
                          str(k)], check=True, capture_output=True, text=True, cwd=cwd)
    return json.loads(out.stdout.strip().splitlines()[-1])


def graph_check(workdir: Path, data: np.ndarray, n: int, k: int) -> dict | None:
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        return None
    exe = workdir / "graph_bounds"
    if not exe.exists():
        src = ROOT / "src"
        sources = [str(p) for p in sorted((src / "metrics").glob("*.cpp"))]
        sources += [str(p) for p in sorted((src / "hnsw").glob("*.cpp"))
                    if not p.name.startswith("py_")]
        sources += [str(src / "sketch" / "sketch.cpp"), str(src / "filter" / "filter.cpp"),
                    str(src / "metadata" / "metadata.cpp")]
        subprocess.run([compiler, "-O2", "-std=c++20", "-ffp-contract=off", "-I", str(src),
                        "-o", str(exe), str(HERE / "graph_bounds.cpp"), *sources], check=True)
    raw = workdir / "graph_rows.bin"
    with open(raw, "wb") as f:
        np.array([n, data.shape[0] - n, data.shape[1]], dtype=np.int64).tofile(f)
        np.ascontiguousarray(data, dtype=np.float64).tofile(f)
    out = subprocess.run([str(exe), str(raw), str(k)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def graph_main(args: argparse.Namespace) -> None:
    n = args.n
    total = n + args.queries
    sets = {"patches": patches(total, args.seed), "clustered": clustered(total, args.seed),
            "gaussian": gaussian(total, args.seed)}
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        print(f"building the baseline {args.baseline} ...", flush=True)
        baseline = str(build_module(args.baseline, work))
        for name, data in sets.items():
            data_file = work / f"{name}.npy"
            np.save(data_file, data)
            best: dict[str, dict[str, float]] = {"base": {}, "new": {}}
            for _ in range(args.repeat):
                for build, module in (("base", baseline), ("new", "-")):
                    result = run_graph_child(module, data_file, n, args.k)
                    for key in ("build", "query"):
                        best[build][key] = min(best[build].get(key, result[key]), result[key])
                    best[build]["recall"] = result["recall"]
            check = graph_check(work, data, n, args.k)
            rows.append((name, best, check))
            print(f"  {name} done", flush=True)

    print(f"\nPyHNSW, n = {n}, defaults, euclidean, k = {args.k}, {args.queries} queries; "
          f"baseline {args.baseline}; best of {args.repeat} alternating runs (wall clock)")
    print(f"{'data':9} {'build base s':>12} {'build s':>8} {'speed-up':>8} {'query base ms':>13} "
          f"{'query ms':>8} {'speed-up':>8} {'recall base':>11} {'recall':>6} "
          f"{'ruled out/ins':>13} {'same':>5}")
    for name, best, check in rows:
        b, c = best["base"], best["new"]
        per = f"{check['skipped_build'] / n:.0f}" if check else "-"
        same = ("yes" if check["same"] else "NO") if check else "-"
        print(f"{name:9} {b['build']:12.2f} {c['build']:8.2f} {b['build'] / c['build']:7.2f}x "
              f"{b['query'] * 1e3:13.3f} {c['query'] * 1e3:8.3f} {b['query'] / c['query']:7.2f}x "
              f"{b['recall']:11.3f} {c['recall']:6.3f} {per:>13} {same:>5}")


def run_child(module_dir: str, data_file: Path, n: int, k: int) -> dict:
    env = dict(os.environ, PYTHONHASHSEED="0")
    cwd = module_dir if module_dir != "-" else tempfile.gettempdir()
    out = subprocess.run([sys.executable, "-c", CHILD, module_dir, str(data_file), str(n),
                          str(k)], check=True, capture_output=True, text=True, cwd=cwd, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def bytes_read(workdir: Path, data: np.ndarray, n: int, k: int) -> dict | None:
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        return None
    exe = workdir / "bounds_bytes"
    if not exe.exists():
        sources = [str(p) for p in sorted((ROOT / "src" / "metrics").glob("*.cpp"))]
        sources += [str(ROOT / "src" / "sketch" / "sketch.cpp"), str(ROOT / "src" / "flat" / "flat.cpp")]
        subprocess.run([compiler, "-O2", "-std=c++20", "-ffp-contract=off", "-I", str(ROOT / "src"),
                        "-o", str(exe), str(HERE / "bounds_bytes.cpp"), *sources], check=True)
    raw = workdir / "rows.bin"
    with open(raw, "wb") as f:
        np.array([n, data.shape[0] - n, data.shape[1]], dtype=np.int64).tofile(f)
        np.ascontiguousarray(data, dtype=np.float64).tofile(f)
    out = subprocess.run([str(exe), str(raw), str(k)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--baseline", default="7c8b593")
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--graph", action="store_true", help="PyHNSW instead of PyFlat")
    args = parser.parse_args()
    if args.graph:
        graph_main(args)
        return

    total = args.n + args.queries
    sets = {"patches": patches(total, args.seed), "gaussian": gaussian(total, args.seed)}
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        print(f"building the baseline {args.baseline} ...", flush=True)
        baseline = str(build_module(args.baseline, work))
        rows = []
        for name, data in sets.items():
            data_file = work / f"{name}.npy"
            np.save(data_file, data)
            best: dict[str, dict[str, float]] = {"base": {}, "new": {}}
            answers: dict[str, dict[str, int]] = {"base": {}, "new": {}}
            for _ in range(args.repeat):
                for build, module in (("base", baseline), ("new", "-")):
                    result = run_child(module, data_file, args.n, args.k)
                    for metric in NAMES:
                        t = result[metric]["seconds"]
                        best[build][metric] = min(best[build].get(metric, t), t)
                        answers[build][metric] = result[metric]["answers"]
            share = bytes_read(work, data, args.n, args.k)
            for metric in NAMES:
                same = answers["base"][metric] == answers["new"][metric]
                b, c = best["base"][metric], best["new"][metric]
                s = share[metric] if share else None
                rows.append((name, metric, b, c, same, s))

    print(f"\nPyFlat.search, n = {args.n}, k = {args.k}, {args.queries} queries; "
          f"baseline {args.baseline}; fastest of {args.repeat} alternating runs")
    print(f"{'data':9} {'metric':14} {'baseline ms':>11} {'bounds ms':>10} {'speed-up':>9} "
          f"{'read share':>10} {'sketch B/vec':>12} {'same':>5}")
    for name, metric, b, c, same, s in rows:
        share = f"{s['share']:.1%}" if s else "-"
        record = f"{s['sketch_bytes']:.0f}" if s else "-"
        print(f"{name:9} {metric:14} {b * 1e3:11.3f} {c * 1e3:10.3f} {b / c:8.2f}x "
              f"{share:>10} {record:>12} {'yes' if same else 'NO':>5}")


if __name__ == "__main__":
    main()
