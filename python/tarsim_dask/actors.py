"""The shards: Dask actors in the worker processes, one index each.

Every call answers with the number of vectors the shard holds, so that the
client can tell a shard from a fresh one its worker made after a restart.
An error of the shard's index travels as `errors.Raised`, never as text.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from tarsim import PyFlat, PyHNSW

from .errors import Raised, captured


class FlatShard:
    def __init__(self, dim: int, metric: str | None) -> None:
        self._index = PyFlat(dim, metric)
        self._count = 0

    def add(self, rows: np.ndarray) -> tuple[int, Raised | None]:
        try:
            if len(rows):
                self._index.create(rows)
        except Exception as error:  # noqa: BLE001 - sent back to the client
            return self._count, captured(error)
        self._count += len(rows)
        return self._count, None

    def count(self) -> int:
        return self._count

    def search(self, queries: np.ndarray, k: int) -> tuple[int, Any]:
        """Local ids and distances, one row per query (every query finds the same
        number), or None when the index counts as empty (none stored, or
        dimension 0)."""
        ids = []
        distances = []
        for query in queries:
            try:
                found = self._index.search(query, k)
            except ValueError:  # EmptyIndex
                return self._count, None
            ids.append([i for i, _ in found])
            distances.append([d for _, d in found])
        shape = (len(queries), len(ids[0]) if ids else 0)
        return self._count, (np.array(ids, dtype=np.int64).reshape(shape),
                             np.array(distances, dtype=np.float64).reshape(shape))


class HNSWShard:
    def __init__(self, params: tuple[Any, ...]) -> None:
        self._index = PyHNSW(*params)
        self._dim = int(params[0])
        self._count = 0

    def add(self, rows: np.ndarray, metadata: list[Any] | None,
            creating: bool) -> tuple[int, Raised | None]:
        """Stores the rows one at a time, as a bulk build does, so that the count
        stays exact when one fails; a failure stops there with the error that
        the same call (create or insert) of one index raises."""
        for i, vector in enumerate(rows):
            entry = None if metadata is None else metadata[i]
            try:
                if creating:
                    self._index.create(rows[i:i + 1], None if entry is None else [entry])
                else:
                    self._index.insert(vector, entry)
            except Exception as error:  # noqa: BLE001 - sent back to the client
                return self._count, captured(error)
            self._count += 1
        return self._count, None

    def count(self) -> int:
        return self._count

    def search(self, queries: Any, k: int, filter: Any) -> tuple[int, list[Any]]:
        """Per query, its (distances, vectors) arrays or the error it raised."""
        if not self._count:  # nothing to find, nor to refuse a filter with
            nothing = (np.empty(0, dtype=np.float64), np.empty((0, self._dim), dtype=np.float64))
            return 0, [nothing] * len(queries)
        answers: list[Any] = []
        for query in queries:
            try:
                found = self._index.search(query, k, filter)
            except ValueError as error:
                answers.append(captured(error))
                continue
            # Arrays travel as buffers; the client makes lists of the few it keeps.
            vectors = np.empty((len(found), self._dim), dtype=np.float64)
            for position, (_, stored) in enumerate(found):
                vectors[position] = stored
            answers.append((np.array([d for d, _ in found], dtype=np.float64), vectors))
        return self._count, answers


def feed(actor: Any, rows: np.ndarray, *args: Any) -> tuple[int, Raised | None]:
    """Task run on a worker: hands rows computed there to a shard."""
    result: tuple[int, Raised | None] = actor.add(rows, *args).result()
    return result
