"""ShardedHNSW: a graph index spread over shards, one graph per shard."""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any

import numpy as np

from tarsim import PyHNSW

from .actors import HNSWShard
from .conversion import dask_shape, first_bad_length, is_dask_array, row, rows
from .core import DEFAULT_ADD_TIMEOUT, DEFAULT_TIMEOUT, Sharded
from .errors import reraise
from .merge import merge_graph


class ShardedHNSW(Sharded):
    """A graph index spread over shards on a Dask cluster.

    Every shard builds its own `tarsim.PyHNSW` in its worker, so the shards
    build in parallel. `search` returns (distance, vector) pairs: each shard's
    first k, merged by distance, then shard, then rank within the shard.
    `shards`, `keep_vectors`, `timeout` and `add_timeout` are as for
    `ShardedFlat`.
    """

    _shard_class = HNSWShard

    def __init__(self, client: Any, dim: int, layers: int | None = None, m: int | None = None,
                 ef_construction: int | None = None, ef_search: int | None = None,
                 metric: str | None = None, schema: Sequence[str] | None = None,
                 shards: int | None = None, *, keep_vectors: bool = True,
                 timeout: float = DEFAULT_TIMEOUT,
                 add_timeout: float = DEFAULT_ADD_TIMEOUT) -> None:
        self._params = (dim, layers, m, ef_construction, ef_search, metric,
                        None if schema is None else list(schema))
        PyHNSW(*self._params)  # the argument errors of one index
        super().__init__(client, dim, shards, keep_vectors, timeout, add_timeout)

    def _shard_args(self) -> tuple[Any, ...]:
        return (self._params,)

    def _add_args(self, metadata: list[Any] | None, creating: bool) -> tuple[Any, ...]:
        return (metadata, creating)

    def _scratch(self) -> PyHNSW:
        return PyHNSW(*self._params)

    def _length_error(self, length: int) -> ValueError:
        return ValueError(f"Expected vector of length {self._dim}, got {length}")

    def insert(self, vector: Any, metadata: Any = None) -> None:
        """Insert one vector, with an optional metadata list of (name, value) tuples."""
        self._scratch().insert(vector, metadata)
        self._add_one(row(vector), None if metadata is None else list(metadata))

    def create(self, vectors: Any, metadata: Any = None) -> None:
        """Add vectors (list, 2-D numpy or dask array), with optional metadata per vector."""
        dask_input = is_dask_array(vectors)
        if dask_input:
            n, width = dask_shape(vectors)
            probe: Any = [[]] * n
        else:
            n, probe = len(vectors), vectors
        # Conversion failures of both arguments first, then the metadata count,
        # exactly as one index reports them (an index without schema stops
        # before storing anything).
        try:
            PyHNSW(1, metric="euclidean").create(probe, [] if metadata is None else metadata)
        except ValueError as error:
            if metadata is not None and "Length of metadata" in str(error):
                raise
        rows_meta = None if metadata is None else [list(entry) for entry in metadata]
        if metadata is not None:
            # The schema check, then every row built before anything is stored:
            # placeholder vectors of the wrong length make the throwaway index
            # stop right after the rows.
            try:
                self._scratch().create([[]] * n if self._dim else [[0.0]] * n, metadata)
            except ValueError as error:
                if not str(error).startswith("Expected vector of length"):
                    raise
        if n == 0:
            raise ValueError("Create error: EmptyVectors")
        if dask_input:
            if width != self._dim:
                raise self._length_error(width)
            self._add_many(None, vectors, n, rows_meta)
            return
        bad = first_bad_length(vectors, self._dim)
        if bad is not None:
            raise self._length_error(len(vectors[bad]))
        self._add_many(rows(vectors, self._dim), None, n, rows_meta)

    def search(self, query: Any, k: int | None = None,
               filter: tuple[str, Any] | None = None) -> list[tuple[float, list[float]]]:
        """The k (None: 1) nearest, merged over the shards, as (distance, vector)."""
        return self.search_many([query], k, filter)[0]

    def search_many(self, queries: Any, k: int | None = None,
                    filter: tuple[str, Any] | None = None) -> list[list[tuple[float, list[float]]]]:
        """One answer per query, as `search` gives; one round trip per shard."""
        if is_dask_array(queries):
            queries = queries.compute()
        scratch = self._scratch()
        for query in queries:
            scratch.search(query, k, filter)
        if len(queries) == 0:
            return []
        want = max(1, 1 if k is None else operator.index(k))
        converted = [row(query) for query in queries]
        same = len({len(q) for q in converted}) == 1
        batch: Any = np.stack(converted) if same else converted
        replies = self._fan_out(batch, want, filter)
        out = []
        for q in range(len(queries)):
            answers = []
            for shard, answer in replies:
                if isinstance(answer[q][0], type):
                    reraise(answer[q])
                answers.append((shard.number, *answer[q]))
            out.append(merge_graph(answers, want))
        return out
