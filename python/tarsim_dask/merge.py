"""The merge of the shards' answers in the order one index uses."""

from __future__ import annotations

from typing import Any

import numpy as np


def nan_last_order(distances: np.ndarray, *ties: np.ndarray) -> np.ndarray:
    """Positions along the last axis ranked by distance, then by each tie key
    in turn: numbers ascending with -0.0 equal to +0.0 (they compare equal),
    NaN after every number and equal to every NaN."""
    nan = np.isnan(distances)
    # The last key of lexsort is the first criterion.
    return np.lexsort((*reversed(ties), np.where(nan, 0.0, distances), nan), axis=-1)


def global_ids(ranges: list[tuple[int, int]], local: np.ndarray) -> np.ndarray:
    """Global ids of a shard's local ids: its (start, count) ranges hold local
    ids in order."""
    counts = np.array([count for _, count in ranges], dtype=np.int64)
    ends = np.cumsum(counts)
    which = np.searchsorted(ends, local, side="right")
    starts = np.array([start for start, _ in ranges], dtype=np.int64)
    return np.asarray(starts[which] + local - (ends - counts)[which], dtype=np.int64)


def merge_flat(found: list[tuple[np.ndarray, np.ndarray]], k: int) -> list[list[tuple[int, float]]]:
    """The first k of every query over the shards' (global ids, distances)
    rows, by (distance, id)."""
    ids = np.concatenate([i for i, _ in found], axis=1)
    distances = np.concatenate([d for _, d in found], axis=1)
    order = nan_last_order(distances, ids)[:, :k]
    kept_ids = np.take_along_axis(ids, order, axis=-1).tolist()
    kept = np.take_along_axis(distances, order, axis=-1).tolist()
    return [list(zip(i, d)) for i, d in zip(kept_ids, kept)]


def merge_graph(answers: list[tuple[int, np.ndarray, np.ndarray]],
                k: int) -> list[tuple[float, list[float]]]:
    """The first k of one query over the shards' (shard number, distances,
    vectors) answers, by distance, then shard, then rank within the shard."""
    if not answers:
        return []
    distances = np.concatenate([d for _, d, _ in answers])
    shard = np.concatenate([np.full(len(d), n, dtype=np.int64) for n, d, _ in answers])
    rank = np.concatenate([np.arange(len(d), dtype=np.int64) for _, d, _ in answers])
    vectors: list[Any] = [v for _, _, v in answers]
    offsets = np.cumsum([0] + [len(d) for _, d, _ in answers])
    out = []
    for position in nan_last_order(distances, shard, rank)[:k].tolist():
        which = int(np.searchsorted(offsets, position, side="right")) - 1
        out.append((float(distances[position]),
                    vectors[which][position - offsets[which]].tolist()))
    return out
