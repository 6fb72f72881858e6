"""The data sets of the benchmarks, in one place, so that every script
measures on the same arrays from the same seeds.

    load(name, n, queries, seed, dim=128, block=False) -> (rows, queries)

Sets (float64, C-contiguous):
  patches    8x8x3 = 192 values 0..255, cut at random positions from the
             photos that scikit-image ships, equal numbers per photo,
             shuffled with the seed; the queries are further patches (the
             last rows of one draw of n + queries);
  clustered  points around 100 Gaussian centres (spread 4, noise 1) in
             dimension `dim`; the queries are drawn the same way;
  gaussian   i.i.d. standard normal in dimension `dim`;
  text       sentence embeddings of documentation paragraphs, 384 values of
             unit length (see TEXT below); the index takes the first n rows,
             and the queries are the last rows, held out of every index
             size, each plus Gaussian noise of 1e-3 drawn from the seed, so
             that no query is a stored row.

`block` only matters for the clustered set: with it the queries are the last
rows of one draw of n + queries, otherwise they are drawn after the rows
(each script keeps the convention its earlier figures were taken with).
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SETS = ("patches", "clustered", "gaussian", "text")
PHOTOS = ["astronaut", "coffee", "chelsea", "rocket", "hubble_deep_field",
          "immunohistochemistry", "retina", "cat"]
CLUSTERS = 100
# The embeddings live beside the repository, not in it (46 MB);
# TARSIM_TEXT_DATA names another copy.
TEXT = Path(os.environ.get("TARSIM_TEXT_DATA",
                           ROOT.parent / "shared" / "data" / "scidocs_minilm_f32.npy"))
TEXT_NOISE = 1e-3


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


def _around(rng: np.random.Generator, centres: np.ndarray, count: int) -> np.ndarray:
    return centres[rng.integers(0, CLUSTERS, count)] + rng.normal(0.0, 1.0,
                                                                 (count, centres.shape[1]))


def clustered(n: int, queries: int, dim: int, seed: int,
              block: bool = False) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (CLUSTERS, dim))
    if block:
        return _split(_around(rng, centres, n + queries), n)
    rows = _around(rng, centres, n)
    return rows, _around(rng, centres, queries)


def gaussian(n: int, queries: int, dim: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    # One draw of n + queries rows gives the same rows as two draws in turn.
    return _split(np.random.default_rng(seed).standard_normal((n + queries, dim)), n)


def text(n: int, queries: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    if not TEXT.is_file():
        raise SystemExit(f"the text embeddings are not at {TEXT}: set TARSIM_TEXT_DATA, or "
                         "leave the text set out")
    rows = np.load(TEXT).astype(np.float64)
    if n + queries > len(rows):
        raise SystemExit(f"the text set has {len(rows):,} rows, fewer than {n:,} + {queries:,}")
    noise = np.random.default_rng(seed).normal(0.0, TEXT_NOISE, (queries, rows.shape[1]))
    return (np.ascontiguousarray(rows[:n]),
            np.ascontiguousarray(rows[len(rows) - queries:] + noise))


def load(name: str, n: int, queries: int, seed: int, dim: int = 128,
         block: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """The n stored rows and the query rows of the set `name`."""
    if name == "patches":
        return _split(patches(n + queries, seed), n)
    if name == "clustered":
        return clustered(n, queries, dim, seed, block)
    if name == "gaussian":
        return gaussian(n, queries, dim, seed)
    if name == "text":
        return text(n, queries, seed)
    raise SystemExit(f"unknown data set {name!r}: one of {', '.join(SETS)}")


def capacity(name: str, queries: int) -> int:
    """The most rows the set `name` can store beside `queries` queries."""
    if name != "text":
        return 2**62
    if not TEXT.is_file():
        return 0
    return len(np.load(TEXT, mmap_mode="r")) - queries


def names(text_arg: str) -> list[str]:
    """The sets of a comma-separated command-line value, checked."""
    chosen = [s for s in text_arg.split(",") if s]
    for s in chosen:
        if s not in SETS:
            raise SystemExit(f"unknown data set {s!r}: one of {', '.join(SETS)}")
    return chosen


def _split(rows: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    return np.ascontiguousarray(rows[:n]), np.ascontiguousarray(rows[n:])
