"""ShardedFlat: an exact index spread over shards."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from tarsim import PyFlat

from .actors import FlatShard
from .conversion import dask_shape, first_bad_length, is_dask_array, row, rows
from .core import DEFAULT_ADD_TIMEOUT, DEFAULT_TIMEOUT, Sharded
from .merge import global_ids, merge_flat


class ShardedFlat(Sharded):
    """An exact index spread over shards on a Dask cluster.

    Answers, errors and messages are those of one `tarsim.PyFlat` holding all
    the vectors in the same order: `search` returns (global id, distance) in
    distance order, ties by id.

    `shards` defaults to the number of workers. With `keep_vectors` (the
    default) the client keeps a copy of the vectors it sends, from which
    `rebuild()` recreates lost shards; vectors from a dask array are not
    copied (the array is recomputed instead). `timeout` is how many seconds a
    search waits for all the shards together; `add_timeout` how many a call
    that adds vectors waits for them (an hour by default).
    """

    _shard_class = FlatShard

    def __init__(self, client: Any, dim: int, metric: str | None = None,
                 shards: int | None = None, *, keep_vectors: bool = True,
                 timeout: float = DEFAULT_TIMEOUT,
                 add_timeout: float = DEFAULT_ADD_TIMEOUT) -> None:
        PyFlat(dim, metric)  # the argument errors of one index
        self._metric = metric
        super().__init__(client, dim, shards, keep_vectors, timeout, add_timeout)

    def _shard_args(self) -> tuple[Any, ...]:
        return (self._dim, self._metric)

    def _add_args(self, metadata: list[Any] | None, creating: bool) -> tuple[Any, ...]:
        return ()

    def _scratch(self) -> PyFlat:
        return PyFlat(self._dim, self._metric)

    def insert(self, vector: Any) -> None:
        """Insert one vector; its id is the number of vectors stored before it."""
        self._scratch().insert(vector)
        self._add_one(row(vector), None)

    def create(self, vectors: Any) -> None:
        """Add a list, 2-D numpy array or 2-D dask array of vectors.

        A dask array's chunks are computed on the workers and handed to the
        shards there; they never pass through the client.
        """
        if is_dask_array(vectors):
            n, width = dask_shape(vectors)
            if n == 0:
                self._scratch().create([])
            if width != self._dim:
                self._scratch().create(np.zeros((1, width)))  # the length failure
            self._add_many(None, vectors, n, None)
            return
        try:
            self._scratch().create(vectors)
        except (Exception, KeyboardInterrupt):
            raise
        except BaseException:
            # The module's panic at a vector of the wrong length: one index
            # keeps every vector before it.
            bad = first_bad_length(vectors, self._dim)
            if bad:
                self._add_many(rows(vectors, self._dim, bad), None, bad, None)
            raise
        converted = rows(vectors, self._dim)
        self._add_many(converted, None, len(converted), None)

    def search(self, query: Any, k: int | None = None) -> list[tuple[int, float]]:
        """The k (None: 1; 0: one) nearest by (distance, id), as (id, distance)."""
        return self.search_many([query], k)[0]

    def search_many(self, queries: Any, k: int | None = None) -> list[list[tuple[int, float]]]:
        """One answer per query, as `search` gives; one round trip per shard."""
        if is_dask_array(queries):
            queries = queries.compute()
        scratch = self._scratch()
        for query in queries:
            try:
                scratch.search(query, k)
            except ValueError as error:
                if "EmptyIndex" not in str(error):
                    raise
        if len(queries) == 0:
            return []
        want = max(1, 1 if k is None else operator.index(k))
        replies = self._fan_out(rows(queries, self._dim), want)
        found = [(global_ids([(r.start, r.count) for r in shard.ranges], answer[0]), answer[1])
                 for shard, answer in replies if answer is not None]
        if not found:
            scratch.search(queries[0], k)  # EmptyIndex (none stored, or dimension 0)
        return merge_flat(found, want)
