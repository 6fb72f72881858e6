"""Vectors as float64 rows, by the element rules of one index, on the client
for lists and numpy arrays and on the workers for the blocks of a dask array;
and the checks of the arguments that are the companion's own."""

from __future__ import annotations

import math
import numbers
from typing import Any

import dask.array as da
import numpy as np

from tarsim import PyFlat


def is_dask_array(value: object) -> bool:
    return isinstance(value, da.Array)


def row(vector: Any) -> np.ndarray:
    """One vector as a new float64 array, after an index accepted it."""
    if isinstance(vector, np.ndarray) and vector.dtype.kind in "biuf":
        return np.array(vector, dtype=np.float64).reshape(-1)
    return np.array([float(x) for x in vector], dtype=np.float64)


def rows(vectors: Any, dim: int, count: int | None = None) -> np.ndarray:
    """The first `count` (default all) vectors as a new (count, dim) float64
    array, after an index accepted them; every one of them has length dim."""
    n = len(vectors) if count is None else count
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.dtype.kind in "biuf":
        return np.array(vectors[:n], dtype=np.float64)
    out = np.empty((n, dim), dtype=np.float64)
    for i in range(n):
        out[i] = row(vectors[i])
    return out


def first_bad_length(vectors: Any, dim: int) -> int | None:
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2:
        return None if vectors.shape[1] == dim or len(vectors) == 0 else 0
    for i, vector in enumerate(vectors):
        if len(vector) != dim:
            return i
    return None


def block_rows(block: np.ndarray) -> np.ndarray:
    """Run on a worker: one block of a dask array (all its columns) as float64
    rows. Elements other than numbers are read as one index reads the same
    numpy block, with its errors and messages (a None raises TypeError)."""
    if block.dtype.kind not in "biuf" and len(block):
        PyFlat(block.shape[1]).create(block)
    return rows(block, block.shape[1])


def dask_rows(array: Any) -> Any:
    """A 2-D dask array as float64 rows under one index's element rules."""
    return array.rechunk({1: -1}).map_blocks(block_rows, dtype=np.float64)


def dask_shape(array: Any) -> tuple[int, int]:
    if array.ndim != 2:
        raise TypeError("argument 'vectors': a dask array of vectors must have two dimensions")
    if any(c != c for c in array.chunks[0]):
        array.compute_chunk_sizes()
    return int(sum(array.chunks[0])), int(array.shape[1])


def checked_timeout(value: Any, name: str) -> float:
    """A wait in seconds: a real number, finite and above zero."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"{name} must be a finite number of seconds above zero, got {value!r}")
    return seconds
