"""Sharded tarsim indexes on a Dask cluster.

`ShardedFlat` and `ShardedHNSW` spread their vectors over several shards.
Each shard is a Dask actor in a worker process holding one `tarsim.PyFlat`
or `tarsim.PyHNSW`; a search goes to every shard that holds vectors and the
answers are merged on the client in the order a single index uses.

A shard holds one or more contiguous ranges of global ids (a `create` gives
every shard one new range, an `insert` extends or starts a range on the
shard with the fewest vectors). Within a shard, local ids follow global ids
in the same order, so a shard's own ranking of (distance, local id) is its
ranking by (distance, global id), and the merge of the shards' first k is
exactly the first k of one index over all vectors.

Arguments are checked on the client by a throwaway empty index of the same
kind before anything is sent, so errors and their messages are those of one
index. A shard that cannot be reached makes the call raise `ShardError`
(naming the shard and the ids it held) instead of answering without it;
`rebuild()` recreates such shards from the source data when it is still
reachable.
"""

from __future__ import annotations

import asyncio
import operator
import time
import uuid
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Self

import numpy as np

from tarsim import PyFlat, PyHNSW

__all__ = ["RebuildError", "ShardError", "ShardedFlat", "ShardedHNSW"]

DEFAULT_TIMEOUT = 60.0
INSERT_RUN = 1024


class ShardError(RuntimeError):
    """Shards cannot answer: their worker died or their actor cannot be reached.

    No partial answer is returned in its place. `shard` is the number of the
    first such shard and `ids` the global id ranges it held, as (first,
    last + 1) pairs; `lost` maps every shard found unavailable by the call to
    its ranges.
    """

    def __init__(self, lost: dict[int, list[tuple[int, int]]], cause: str) -> None:
        self.lost = lost
        self.shard = min(lost)
        self.ids = lost[self.shard]
        named = " and ".join(f"shard {n} ({describe_ids(ids)})" for n, ids in sorted(lost.items()))
        verb = "is" if len(lost) == 1 else "are"
        super().__init__(f"{named} {verb} unavailable: {cause}; "
                         "call rebuild() to recreate lost shards from their source data")


class RebuildError(RuntimeError):
    """A lost shard cannot be recreated because its source data is gone."""

    def __init__(self, shard: int, ids: list[tuple[int, int]], cause: str) -> None:
        self.shard = shard
        self.ids = ids
        super().__init__(f"shard {shard} ({describe_ids(ids)}) cannot be rebuilt: {cause}")


def describe_ids(ranges: list[tuple[int, int]]) -> str:
    """"ids 0-99, 200-249" for the half-open ranges [0, 100) and [200, 250)."""
    parts = [f"{a}-{b - 1}" if b - a > 1 else f"{a}" for a, b in ranges if b > a]
    return "ids " + ", ".join(parts) if parts else "no ids"


# ---------------------------------------------------------------------------
# Conversion of vectors on the client, after a throwaway index accepted them.


def _is_dask_array(value: object) -> bool:
    try:
        import dask.array as da
    except ImportError:  # pragma: no cover - dask is a dependency of this module
        return False
    return isinstance(value, da.Array)


def _row(vector: Any) -> np.ndarray:
    """One vector as a new float64 array, with the module's element rules."""
    if isinstance(vector, np.ndarray) and vector.dtype.kind in "biuf":
        return np.array(vector, dtype=np.float64).reshape(-1)
    return np.array([float(x) for x in vector], dtype=np.float64)


def _rows(vectors: Any, dim: int, count: int | None = None) -> np.ndarray:
    """The first `count` (default all) vectors as a new (count, dim) float64 array.

    Every one of them has length dim; the caller checked that.
    """
    n = len(vectors) if count is None else count
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.dtype.kind in "biuf":
        return np.array(vectors[:n], dtype=np.float64)
    out = np.empty((n, dim), dtype=np.float64)
    for i in range(n):
        out[i] = _row(vectors[i])
    return out


def _first_bad_length(vectors: Any, dim: int) -> int | None:
    if isinstance(vectors, np.ndarray) and vectors.ndim == 2:
        return None if vectors.shape[1] == dim or len(vectors) == 0 else 0
    for i, vector in enumerate(vectors):
        if len(vector) != dim:
            return i
    return None


def _unreachable(error: BaseException) -> bool:
    """Whether a failed call means the shard could not be reached: a closed or
    refused connection, no answer in time, a cancelled or killed task, or an
    actor its worker no longer has."""
    if isinstance(error, (OSError, TimeoutError, asyncio.CancelledError, KeyError)):
        return True
    return type(error).__name__ in ("KilledWorker", "CancelledError", "FutureCancelledError")


def _is_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


# ---------------------------------------------------------------------------
# Shards: the actor classes that live in the workers.


class _FlatShard:
    def __init__(self, dim: int, metric: str | None) -> None:
        self._index = PyFlat(dim, metric)
        self._count = 0

    def add(self, rows: np.ndarray, metadata: object = None) -> tuple[int, str | None]:
        if len(rows):
            self._index.create(rows)
        self._count += len(rows)
        return self._count, None

    def count(self) -> int:
        return self._count

    def search(self, queries: np.ndarray, k: int,
               filter: object = None) -> tuple[int, Any]:
        """Local ids and distances, one row per query (every query finds the same
        number), or None when the index counts as empty (dimension 0)."""
        ids = []
        distances = []
        for query in queries:
            try:
                found = self._index.search(query, k)
            except ValueError:  # EmptyIndex: vectors of dimension 0 store nothing
                return self._count, None
            ids.append([i for i, _ in found])
            distances.append([d for _, d in found])
        shape = (len(queries), len(ids[0]) if ids else 0)
        return self._count, (np.array(ids, dtype=np.int64).reshape(shape),
                             np.array(distances, dtype=np.float64).reshape(shape))


class _HNSWShard:
    def __init__(self, params: tuple[Any, ...]) -> None:
        self._index = PyHNSW(*params)
        self._dim = int(params[0])
        self._count = 0

    def add(self, rows: np.ndarray, metadata: list[Any] | None = None) -> tuple[int, str | None]:
        # One insertion per vector, as a bulk build does, so that the count
        # stays exact when an insertion fails part way.
        for i, row in enumerate(rows):
            try:
                self._index.insert(row, None if metadata is None else metadata[i])
            except ValueError as error:
                return self._count, str(error).replace("Insert error: ", "", 1)
            self._count += 1
        return self._count, None

    def count(self) -> int:
        return self._count

    def search(self, queries: np.ndarray, k: int,
               filter: Any = None) -> tuple[int, list[Any]]:
        answers: list[Any] = []
        for query in queries:
            try:
                found = self._index.search(query, k, filter)
            except ValueError as error:
                answers.append(str(error))
                continue
            # Arrays travel as buffers; the client makes lists of the few it keeps.
            vectors = np.empty((len(found), self._dim), dtype=np.float64)
            for row, (_, vector) in enumerate(found):
                vectors[row] = vector
            answers.append((np.array([d for d, _ in found], dtype=np.float64), vectors))
        return self._count, answers


def _feed(actor: Any, block: Any, metadata: list[Any] | None) -> tuple[int, str | None]:
    """Task run on a worker: hands one computed block of a dask array to a shard."""
    rows = np.asarray(block, dtype=np.float64)
    result: tuple[int, str | None] = actor.add(rows, metadata).result()
    return result


# ---------------------------------------------------------------------------
# The client side.


@dataclass
class _Range:
    start: int  # first global id
    count: int
    rows: list[np.ndarray] | None  # the client's copy, or None
    metadata: list[Any] | None = None
    array: Any = None  # a slice of the dask array it came from


@dataclass
class _Shard:
    number: int
    future: Any = None
    actor: Any = None
    address: str = ""
    count: int = 0  # vectors the actor holds
    ranges: list[_Range] = field(default_factory=list)
    lost: str | None = None

    def ids(self) -> list[tuple[int, int]]:
        return [(r.start, r.start + r.count) for r in self.ranges]


class _Sharded:
    """What both sharded indexes share: shards, placement, calls, merge, rebuild."""

    _shard_class: Any

    def __init__(self, client: Any, dim: int, shards: int | None, keep_vectors: bool,
                 timeout: float) -> None:
        self._client = client
        self._dim = int(dim)
        self._keep = keep_vectors
        self._timeout = timeout
        self._total = 0
        if shards is None:
            shards = max(1, len(self._workers()))
        if operator.index(shards) < 1:
            raise ValueError("shards must be at least 1")
        self._shards = [_Shard(number) for number in range(operator.index(shards))]
        workers = self._workers()
        for shard in self._shards:
            self._start(shard, workers[shard.number % len(workers)])

    # Placement and calls -------------------------------------------------

    def _workers(self) -> list[str]:
        """The addresses of the workers, sorted; waits for one if there is none."""
        def listed() -> list[str]:
            try:
                info = self._client.scheduler_info(n_workers=-1)
            except TypeError:  # releases that always list every worker
                info = self._client.scheduler_info()
            return sorted(info["workers"])
        workers = listed()
        if not workers:
            self._client.wait_for_workers(1, timeout=self._timeout)
            workers = listed()
        return workers

    def _shard_args(self) -> tuple[Any, ...]:
        raise NotImplementedError

    def _start(self, shard: _Shard, worker: str) -> None:
        future = self._client.submit(
            self._shard_class, *self._shard_args(), actor=True, workers=[worker],
            allow_other_workers=False, pure=False,
            key=f"tarsim-shard-{shard.number}-{uuid.uuid4().hex}")
        shard.actor = future.result(timeout=self._timeout)
        shard.future = future
        shard.address = worker
        shard.count = 0
        shard.lost = None

    def _lose(self, shard: _Shard, cause: str) -> ShardError:
        shard.lost = cause
        return ShardError({shard.number: shard.ids()}, cause)

    def _check(self, shards: list[_Shard]) -> None:
        """Raises ShardError naming every one of the shards already known lost."""
        for shard in shards:
            if shard.lost is None and shard.future.status != "finished":
                shard.lost = f"its worker {shard.address} was lost"
        lost = [shard for shard in shards if shard.lost is not None]
        if lost:
            raise ShardError({shard.number: shard.ids() for shard in lost}, str(lost[0].lost))

    def _wait(self, shard: _Shard, pending: Any, long: bool) -> Any:
        """The result of one call to a shard. A search may take `timeout` seconds;
        a call that adds vectors (a graph build can take minutes) may take as
        long as the shard's worker stays in the cluster."""
        deadline = time.monotonic() + self._timeout
        while True:
            step = 1.0 if long else max(0.01, min(1.0, deadline - time.monotonic()))
            try:
                return pending.result(timeout=step)
            except TimeoutError:
                if shard.future is None or shard.future.status != "finished":
                    raise ConnectionError(f"its worker {shard.address} was lost") from None
                if not long and time.monotonic() >= deadline:
                    raise TimeoutError(f"no answer within {self._timeout:g} s") from None

    def _gather(self, calls: list[tuple[_Shard, Any]],
                long: bool = False) -> tuple[list[Any], ShardError | None]:
        """The results of actor calls issued together (None for a failed one) and
        an error naming every shard that failed; those are marked lost."""
        results: list[Any] = []
        failed: dict[int, list[tuple[int, int]]] = {}
        first_cause = ""
        unexpected: Exception | None = None
        for shard, pending in calls:
            try:
                results.append(self._wait(shard, pending, long))
            except Exception as error:  # noqa: BLE001
                results.append(None)
                if not long and not _unreachable(error):
                    # The shard answered with an error of its own: it is not lost.
                    unexpected = unexpected or error
                    continue
                # Unreachable; or, while adding vectors, a shard whose contents
                # are no longer known: both are lost until rebuilt.
                cause = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
                shard.lost = f"its worker {shard.address} did not answer ({cause})"
                failed[shard.number] = shard.ids()
                first_cause = first_cause or shard.lost
        if not failed and unexpected is not None:
            raise unexpected
        return results, ShardError(failed, first_cause) if failed else None

    def _collect(self, calls: list[tuple[_Shard, Any]], long: bool = False) -> list[Any]:
        results, failure = self._gather(calls, long)
        if failure is not None:
            raise failure
        return results

    def _call(self, shards: list[_Shard], method: str, *args: Any, long: bool = False) -> list[Any]:
        self._check(shards)
        calls = []
        for shard in shards:
            try:
                calls.append((shard, getattr(shard.actor, method)(*args)))
            except Exception as error:  # noqa: BLE001
                raise self._lose(shard, f"its actor cannot be reached ({error})") from error
        return self._collect(calls, long)

    def _verify(self, shard: _Shard, held: int) -> None:
        # A worker that restarted answers from a new, empty actor: never use it.
        if held != shard.count:
            raise self._lose(shard, f"it holds {held} vectors instead of {shard.count}"
                             " (its worker restarted)")

    # Adding vectors ------------------------------------------------------

    def _target(self) -> _Shard:
        """The shard for the next single vector: the one whose last range ends at
        the last id, until it holds INSERT_RUN more vectors than the smallest
        shard; then the smallest shard (the lowest number among equals). Single
        insertions so form ranges of up to INSERT_RUN ids and keep the shards
        within INSERT_RUN vectors of one another."""
        smallest = min(self._shards, key=lambda shard: (shard.count, shard.number))
        for shard in self._shards:
            if shard.ranges and shard.ranges[-1].start + shard.ranges[-1].count == self._total:
                if shard.count < smallest.count + INSERT_RUN:
                    return shard
        return smallest

    def _add_one(self, row: np.ndarray, metadata: Any) -> str | None:
        self._check(self._shards)  # a broken index takes nothing until rebuilt
        shard = self._target()
        held, error = self._call([shard], "add", row[np.newaxis, :],
                                 None if metadata is None else [metadata], long=True)[0]
        stored = held - shard.count
        if stored:
            last = shard.ranges[-1] if shard.ranges else None
            if last is not None and last.start + last.count == self._total and \
                    last.array is None and (last.rows is not None) == self._keep:
                last.count += 1
                if last.rows is not None:
                    last.rows.append(row[np.newaxis, :])
                if last.metadata is not None:
                    last.metadata.append(metadata)
            else:
                shard.ranges.append(_Range(self._total, 1, [row[np.newaxis, :]] if self._keep
                                           else None, None if metadata is None else [metadata]))
            shard.count = held
            self._total += 1
        self._verify(shard, held)
        return None if error is None else str(error)

    def _split(self, n: int) -> list[tuple[_Shard, int, int]]:
        """Contiguous pieces of n new vectors, one per shard in shard order."""
        count = len(self._shards)
        bounds = [n * i // count for i in range(count + 1)]
        return [(shard, bounds[i], bounds[i + 1]) for i, shard in enumerate(self._shards)
                if bounds[i + 1] > bounds[i]]

    def _add_many(self, rows: np.ndarray | None, array: Any, n: int,
                  metadata: list[Any] | None) -> str | None:
        """Sends n new vectors (client rows or a dask array) to the shards.

        Returns the first error message a shard reported, in shard order.
        """
        pieces = self._split(n)
        self._check(self._shards)
        calls = []
        for shard, a, b in pieces:
            part_meta = None if metadata is None else list(metadata[a:b])
            if rows is not None:
                calls.append((shard, shard.actor.add(rows[a:b], part_meta)))
            else:
                block = self._client.compute(array[a:b])
                calls.append((shard, self._client.submit(
                    _feed, shard.actor, block, part_meta, workers=[shard.address],
                    allow_other_workers=True, pure=False)))
        # Record every piece before waiting, so that a shard lost during the call
        # can be rebuilt with everything it was meant to hold.
        base = self._total
        for shard, a, b in pieces:
            kept = [rows[a:b]] if rows is not None and self._keep else None
            part_meta = None if metadata is None else list(metadata[a:b])
            slice_ = None if rows is not None else array[a:b]
            shard.ranges.append(_Range(base + a, b - a, kept, part_meta, slice_))
        self._total = base + n
        results, failure = self._gather(calls, long=True)
        error: str | None = None
        for (shard, a, b), result in zip(pieces, results):
            if result is None:
                continue  # lost: rebuild() replays the whole piece
            held, message = result
            stored = held - shard.count
            shard.count = held
            piece = shard.ranges[-1]
            if stored < piece.count:  # the shard stopped at an insertion error
                piece.count = stored
                piece.rows = None if piece.rows is None or rows is None else [rows[a:a + stored]]
                piece.metadata = None if piece.metadata is None else piece.metadata[:stored]
                piece.array = None if piece.array is None else array[a:a + stored]
            if message is not None and error is None:
                error = message
        if failure is not None:
            raise failure
        # Ids stay contiguous when a shard stopped early: renumber what follows.
        start = base
        for shard, _, _ in pieces:
            shard.ranges[-1].start = start
            start += shard.ranges[-1].count
            if shard.ranges[-1].count == 0:
                shard.ranges.pop()
        self._total = start
        return error

    # Searching -----------------------------------------------------------

    def _fan_out(self, queries: Any, k: int, filter: object) -> list[tuple[_Shard, Any]] | None:
        """Each shard holding vectors with its answer to the batch; None when no
        shard holds any."""
        holding = [shard for shard in self._shards if shard.count > 0]
        if not holding:
            return None
        replies = self._call(holding, "search", queries, k, filter)
        for shard, (held, _) in zip(holding, replies):
            self._verify(shard, held)
        return [(shard, answers) for shard, (_, answers) in zip(holding, replies)]

    # Faults --------------------------------------------------------------

    def _alive(self, shard: _Shard) -> bool:
        if shard.lost is not None or shard.future is None or shard.future.status != "finished":
            return False
        try:
            held = shard.actor.count().result(timeout=self._timeout)
        except Exception:  # noqa: BLE001 - unreachable
            return False
        return bool(held == shard.count)

    def lost_shards(self) -> list[int]:
        """The numbers of the shards that cannot answer now (asks every shard)."""
        return [shard.number for shard in self._shards if not self._alive(shard)]

    def rebuild(self) -> list[int]:
        """Recreates every lost shard from its source data; returns their numbers.

        The source of a range is the client's copy of the vectors (kept unless
        the index was made with keep_vectors=False) or the dask array it was
        created from, recomputed on the cluster (a persisted array whose
        chunks died with a worker is recomputed from its graph when it has
        one). A shard whose source is gone is not rebuilt: RebuildError says
        which shard, which ids, and why; the other shards are rebuilt first.
        """
        rebuilt: list[int] = []
        failure: RebuildError | None = None
        for shard in self._shards:
            if self._alive(shard):
                continue
            missing = [r for r in shard.ranges if r.rows is None and r.array is None]
            if missing:
                lost = RebuildError(
                    shard.number, shard.ids(),
                    f"the client kept no copy of {describe_ids([(r.start, r.start + r.count) for r in missing])}"
                    " (the index was made with keep_vectors=False and they did not come from a"
                    " dask array)")
                failure = failure or lost
                continue
            try:
                self._restore(shard)
            except RebuildError as error:
                failure = failure or error
                continue
            rebuilt.append(shard.number)
        if failure is not None:
            raise failure
        return rebuilt

    def _restore(self, shard: _Shard) -> None:
        old = shard.future
        workers = self._workers()
        placed = {w: 0 for w in workers}
        for other in self._shards:
            if other is not shard and other.lost is None and other.address in placed:
                placed[other.address] += 1
        self._start(shard, min(workers, key=lambda w: (placed[w], w)))
        if old is not None:
            old.release()
        expected = 0
        for r in shard.ranges:
            expected += r.count
            if r.rows is not None:
                pending = shard.actor.add(np.concatenate(r.rows), r.metadata)
            else:
                pending = self._client.submit(
                    _feed, shard.actor, self._client.compute(r.array), r.metadata,
                    workers=[shard.address], allow_other_workers=True, pure=False)
            try:
                held, _ = self._wait(shard, pending, long=True)
            except Exception as error:  # noqa: BLE001
                shard.lost = f"rebuild failed: {error}"
                raise RebuildError(shard.number, shard.ids(),
                                   f"its source data could not be read back ({error})") from error
            if held != expected:
                shard.lost = "rebuild stored a different number of vectors"
                raise RebuildError(shard.number, shard.ids(),
                                   f"its source gave {held} vectors instead of {expected}")
        shard.count = expected

    def close(self) -> None:
        """Releases the shards' actors (the index is unusable afterwards)."""
        for shard in self._shards:
            if shard.future is not None:
                shard.future.release()
                shard.future = None
            shard.lost = "the index was closed"

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def shards(self) -> int:
        """The number of shards."""
        return len(self._shards)

    def shard_ids(self) -> list[list[tuple[int, int]]]:
        """Per shard, the global id ranges it holds, as (first, last + 1) pairs."""
        return [shard.ids() for shard in self._shards]


def _order(distance: float) -> tuple[bool, float]:
    # Numbers ascending, -0.0 equal to +0.0 (they compare equal), NaN after
    # every number and equal to every NaN.
    return (True, 0.0) if distance != distance else (False, distance)


class ShardedFlat(_Sharded):
    """An exact index spread over shards on a Dask cluster.

    Answers, errors and messages are those of one `tarsim.PyFlat` holding all
    the vectors in the same order: `search` returns (global id, distance) in
    distance order, ties by id.

    `shards` defaults to the number of workers. With `keep_vectors` (the
    default) the client keeps a copy of the vectors it sends, from which
    `rebuild()` recreates lost shards; vectors from a dask array are not
    copied (the array is recomputed instead). `timeout` is how many seconds a
    search waits for a shard; adding vectors waits as long as the shard's
    worker stays in the cluster.
    """

    _shard_class = _FlatShard

    def __init__(self, client: Any, dim: int, metric: str | None = None,
                 shards: int | None = None, *, keep_vectors: bool = True,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        PyFlat(dim, metric)  # the argument errors of one index
        self._metric = metric
        super().__init__(client, dim, shards, keep_vectors, timeout)

    def _shard_args(self) -> tuple[Any, ...]:
        return (self._dim, self._metric)

    def _scratch(self) -> PyFlat:
        return PyFlat(self._dim, self._metric)

    def insert(self, vector: Any) -> None:
        """Insert one vector; its id is the number of vectors stored before it."""
        self._scratch().insert(vector)
        self._add_one(_row(vector), None)

    def create(self, vectors: Any) -> None:
        """Add a list, 2-D numpy array or 2-D dask array of vectors.

        A dask array's chunks are computed on the workers and handed to the
        shards there; they never pass through the client.
        """
        if _is_dask_array(vectors):
            n, width = _dask_shape(vectors, self._client)
            if n == 0:
                self._scratch().create([])
            if width != self._dim:
                self._scratch().create(np.zeros((1, width)))  # the length failure
            self._add_many(None, vectors, n, None)
            return
        try:
            self._scratch().create(vectors)
        except BaseException as error:
            if not _is_panic(error):
                raise
            # One index keeps every vector before the one of the wrong length.
            bad = _first_bad_length(vectors, self._dim)
            if bad:
                self._add_many(_rows(vectors, self._dim, bad), None, bad, None)
            raise
        rows = _rows(vectors, self._dim)
        self._add_many(rows, None, len(rows), None)

    def search(self, query: Any, k: int | None = None) -> list[tuple[int, float]]:
        """The k (None: 1; 0: one) nearest by (distance, id), as (id, distance)."""
        return self.search_many([query], k)[0]

    def search_many(self, queries: Any, k: int | None = None) -> list[list[tuple[int, float]]]:
        """One answer per query, as `search` gives; one round trip per shard."""
        if _is_dask_array(queries):
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
        replies = self._fan_out(_rows(queries, self._dim), want, None)
        found = [] if replies is None else \
            [(_global_ids(shard.ranges, answer[0]), answer[1])
             for shard, answer in replies if answer is not None]
        if not found:
            scratch.search(queries[0], k)  # EmptyIndex (none stored, or dimension 0)
        ids = np.concatenate([i for i, _ in found], axis=1)
        distances = np.concatenate([d for _, d in found], axis=1)
        # Rank by (NaN?, distance, id): numbers ascending with -0.0 equal to +0.0
        # (they compare equal), NaN after every number and equal to every NaN,
        # then id. The last key of lexsort is the first criterion.
        nan = np.isnan(distances)
        order = np.lexsort((ids, np.where(nan, 0.0, distances), nan), axis=-1)[:, :want]
        ids = np.take_along_axis(ids, order, axis=-1).tolist()
        distances = np.take_along_axis(distances, order, axis=-1).tolist()
        return [list(zip(i, d)) for i, d in zip(ids, distances)]


def _global_ids(ranges: list[_Range], local: np.ndarray) -> np.ndarray:
    """Global ids of a shard's local ids: its ranges hold local ids in order."""
    counts = np.array([r.count for r in ranges], dtype=np.int64)
    ends = np.cumsum(counts)
    which = np.searchsorted(ends, local, side="right")
    starts = np.array([r.start for r in ranges], dtype=np.int64)
    return np.asarray(starts[which] + local - (ends - counts)[which], dtype=np.int64)


def _dask_shape(array: Any, client: Any) -> tuple[int, int]:
    if array.ndim != 2:
        raise TypeError("argument 'vectors': a dask array of vectors must have two dimensions")
    if any(c != c for c in array.chunks[0]):
        array.compute_chunk_sizes()
    return int(sum(array.chunks[0])), int(array.shape[1])


class ShardedHNSW(_Sharded):
    """A graph index spread over shards on a Dask cluster.

    Every shard builds its own `tarsim.PyHNSW` in its worker, so the shards
    build in parallel. `search` returns (distance, vector) pairs: each shard's
    first k, merged by distance, then shard, then rank within the shard.
    `shards`, `keep_vectors` and `timeout` are as for `ShardedFlat`.
    """

    _shard_class = _HNSWShard

    def __init__(self, client: Any, dim: int, layers: int | None = None, m: int | None = None,
                 ef_construction: int | None = None, ef_search: int | None = None,
                 metric: str | None = None, schema: Sequence[str] | None = None,
                 shards: int | None = None, *, keep_vectors: bool = True,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        self._params = (dim, layers, m, ef_construction, ef_search, metric,
                        None if schema is None else list(schema))
        PyHNSW(*self._params)  # the argument errors of one index
        super().__init__(client, dim, shards, keep_vectors, timeout)

    def _shard_args(self) -> tuple[Any, ...]:
        return (self._params,)

    def _scratch(self) -> PyHNSW:
        return PyHNSW(*self._params)

    def _length_error(self, length: int) -> ValueError:
        return ValueError(f"Expected vector of length {self._dim}, got {length}")

    def insert(self, vector: Any, metadata: Any = None) -> None:
        """Insert one vector, with an optional metadata list of (name, value) tuples."""
        self._scratch().insert(vector, metadata)
        error = self._add_one(_row(vector), None if metadata is None else list(metadata))
        if error is not None:
            raise ValueError("Insert error: " + error)

    def create(self, vectors: Any, metadata: Any = None) -> None:
        """Add vectors (list, 2-D numpy or dask array), with optional metadata per vector."""
        dask_input = _is_dask_array(vectors)
        if dask_input:
            n, width = _dask_shape(vectors, self._client)
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
        if metadata is None:
            if n == 0:
                raise ValueError("Create error: EmptyVectors")
        else:
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
            error_name = self._add_many(None, vectors, n, rows_meta)
        else:
            bad = _first_bad_length(vectors, self._dim)
            if bad is not None:
                raise self._length_error(len(vectors[bad]))
            error_name = self._add_many(_rows(vectors, self._dim), None, n, rows_meta)
        if error_name is not None:
            raise ValueError("Create error: " + error_name)

    def search(self, query: Any, k: int | None = None,
               filter: tuple[str, Any] | None = None) -> list[tuple[float, list[float]]]:
        """The k (None: 1) nearest, merged over the shards, as (distance, vector)."""
        return self.search_many([query], k, filter)[0]

    def search_many(self, queries: Any, k: int | None = None,
                    filter: tuple[str, Any] | None = None) -> list[list[tuple[float, list[float]]]]:
        """One answer per query, as `search` gives; one round trip per shard."""
        if _is_dask_array(queries):
            queries = queries.compute()
        scratch = self._scratch()
        for query in queries:
            scratch.search(query, k, filter)
        if len(queries) == 0:
            return []
        want = max(1, 1 if k is None else operator.index(k))
        converted = [_row(query) for query in queries]
        same = len({len(q) for q in converted}) == 1
        batch: Any = np.stack(converted) if same else converted
        replies = self._fan_out(batch, want, filter)
        if replies is None:
            return [[] for _ in queries]
        out = []
        for q in range(len(queries)):
            merged: list[tuple[tuple[bool, float], int, int, float, np.ndarray]] = []
            for shard, answers in replies:
                if isinstance(answers[q], str):
                    raise ValueError(answers[q])
                distances, vectors = answers[q]
                for rank, d in enumerate(distances.tolist()):
                    merged.append((_order(d), shard.number, rank, d, vectors))
            merged.sort(key=lambda item: item[:3])
            out.append([(d, vectors[rank].tolist()) for _, _, rank, d, vectors in merged[:want]])
        return out
