"""PyFlat.search with the sketch bounds, against a baseline build without
them, on photo patches and on Gaussian data; all in one run.

    python bench/bench_bounds.py [--baseline 7c8b593] [--n 100000] [--queries 200]
                                 [--k 10] [--repeat 3] [--seed 1]

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


def build_baseline(commit: str, workdir: Path) -> Path:
    src, build = workdir / "src", workdir / "build"
    src.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", commit],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    subprocess.run(["cmake", "-S", str(src), "-B", str(build), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTARSIM_BUILD_TESTS=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "tarsim", "-j", "2"],
                   check=True, capture_output=True)
    return build


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
    args = parser.parse_args()

    total = args.n + args.queries
    sets = {"patches": patches(total, args.seed), "gaussian": gaussian(total, args.seed)}
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        print(f"building the baseline {args.baseline} ...", flush=True)
        baseline = str(build_baseline(args.baseline, work))
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
