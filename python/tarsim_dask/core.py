"""What both sharded indexes share: shards, placement, adding, searching, rebuild.

Every call is serialised per index and accounts for every shard: a shard
that is lost, or whose vectors were never confirmed, makes the call raise
ShardError naming it. Calls that add vectors are recorded before they are
waited for and settled after, so that an interruption (Ctrl-C) or a failure
leaves a state the next call reports truly: the next call first waits for
what is still in flight.
"""

from __future__ import annotations

import operator
import threading
import time
import uuid
from typing import Any, Self

import numpy as np
from distributed.actor import Actor

from .actors import feed
from .conversion import checked_timeout, dask_rows
from .errors import RebuildError, ShardError, cause_of, describe_ids, reraise
from .shards import Outcomes, Pending, Shard, computed_rows, record, split, target, wait_all

DEFAULT_TIMEOUT = 60.0
DEFAULT_ADD_TIMEOUT = 3600.0

SCHEDULER_ADVICE = ("connect the client to a scheduler again, then call rebuild() for the shards "
                    "it lost")


class Sharded:
    _shard_class: Any

    def __init__(self, client: Any, dim: int, shards: int | None, keep_vectors: bool,
                 timeout: float, add_timeout: float) -> None:
        self._timeout = checked_timeout(timeout, "timeout")
        self._add_timeout = checked_timeout(add_timeout, "add_timeout")
        self._client = client
        self._dim = int(dim)
        self._keep = keep_vectors
        self._total = 0
        self._lock = threading.RLock()
        self._pending: list[Pending] = []
        self._shards: list[Shard] = []
        workers = self._workers()
        if shards is None:
            shards = max(1, len(workers))
        if operator.index(shards) < 1:
            raise ValueError("shards must be at least 1")
        self._shards = [Shard(number) for number in range(operator.index(shards))]
        for shard in self._shards:
            self._start(shard, workers[shard.number % len(workers)])

    # What the two kinds differ in -----------------------------------------

    def _shard_args(self) -> tuple[Any, ...]:
        raise NotImplementedError

    def _add_args(self, metadata: list[Any] | None, creating: bool) -> tuple[Any, ...]:
        raise NotImplementedError

    # The cluster ---------------------------------------------------------

    def _connected(self) -> None:
        """Raises ShardError naming every shard when the scheduler is gone."""
        status = self._client.status
        if status != "running":
            raise ShardError({s.number: s.ids() for s in self._shards},
                             f"the client lost its scheduler (the client is {status})",
                             advice=SCHEDULER_ADVICE)

    def _workers(self) -> list[str]:
        """The addresses of the workers, sorted; waits for one if there is none."""
        def listed() -> list[str]:
            status = self._client.status
            if status != "running":
                raise ConnectionError(f"the Dask client has no scheduler (the client is {status})")
            try:
                info = self._client.scheduler_info(n_workers=-1)
            except TypeError:  # releases that always list every worker
                info = self._client.scheduler_info()
            if "workers" not in info:
                raise ConnectionError("the Dask scheduler did not list its workers")
            return sorted(info["workers"])
        workers = listed()
        if not workers:
            self._client.wait_for_workers(1, timeout=self._timeout)
            workers = listed()
        return workers

    def _start(self, shard: Shard, worker: str) -> None:
        """A new, empty actor for the shard on the worker; the shard stays lost
        (if it was) until its contents are restored."""
        future = self._client.submit(
            self._shard_class, *self._shard_args(), actor=True, workers=[worker],
            allow_other_workers=False, pure=False,
            key=f"tarsim-shard-{shard.number}-{uuid.uuid4().hex}")
        future.result(timeout=self._timeout)
        # The actor answers through this index's client, whichever is the default.
        with self._client.as_current():
            actor = Actor(self._shard_class, worker, future.key)  # type: ignore[no-untyped-call]
        shard.actor = actor
        shard.future = future
        shard.address = worker
        shard.count = 0

    def _check(self) -> None:
        """Raises ShardError naming every shard known lost."""
        for shard in self._shards:
            if shard.lost is None and not shard.placed():
                shard.lost = f"its worker {shard.address} was lost"
        lost = [shard for shard in self._shards if shard.lost is not None]
        if lost:
            raise ShardError({shard.number: shard.ids() for shard in lost}, str(lost[0].lost))

    def _ready(self, timeout: float) -> None:
        """Before a call: the scheduler is there, earlier adds are settled and
        no shard is lost."""
        self._connected()
        self._settle(timeout)
        self._check()

    def _fail(self, out: Outcomes, timeout: float) -> None:
        """Raises for shards that cannot answer (marking them lost), then for
        late shards (not marked), then a shard's own error."""
        for number, cause in out.lost.items():
            self._shards[number].lost = cause
        if out.lost:
            first = min(out.lost)
            raise ShardError({n: self._shards[n].ids() for n in out.lost}, out.lost[first])
        if out.late:
            raise out.late_error(timeout)
        if out.own is not None:
            raise out.own

    def _verify(self, shard: Shard, held: int) -> None:
        # A worker that restarted answers from a new, empty actor: never use it.
        if held != shard.count:
            shard.lost = f"it holds {held} vectors instead of {shard.count} (its worker restarted)"
            raise ShardError({shard.number: shard.ids()}, shard.lost)

    # Adding vectors ------------------------------------------------------

    def _add_one(self, row: np.ndarray, metadata: Any) -> None:
        with self._lock:
            self._ready(self._add_timeout)
            self._send([(target(self._shards, self._total), 0, 1)], row[np.newaxis, :], None,
                       None if metadata is None else [metadata], creating=False)

    def _add_many(self, rows: np.ndarray | None, array: Any, n: int,
                  metadata: list[Any] | None) -> None:
        """Sends n new vectors (client rows, or a dask array whose blocks are
        computed on the workers first) to the shards, in shard order."""
        with self._lock:
            self._ready(self._add_timeout)
            self._send(split(self._shards, n), rows, array, metadata, creating=True)

    def _send(self, pieces: list[tuple[Shard, int, int]], rows: np.ndarray | None, array: Any,
              metadata: list[Any] | None, creating: bool) -> None:
        blocks = None if array is None else computed_rows(
            self._client, [array[a:b] for _, a, b in pieces], self._add_timeout, self._connected)
        base = self._total
        for i, (shard, a, b) in enumerate(pieces):
            part_meta = None if metadata is None else list(metadata[a:b])
            args = self._add_args(part_meta, creating)
            if blocks is None:
                assert rows is not None
                call = shard.actor.add(rows[a:b], *args)
            else:
                call = self._client.submit(feed, shard.actor, blocks[i], *args,
                                           workers=[shard.address], allow_other_workers=True,
                                           pure=False)
            kept = [rows[a:b]] if rows is not None and self._keep else None
            self._pending.append(record(shard, call, base + a, b - a, kept, part_meta,
                                        None if array is None else array[a:b],
                                        merge=not creating))
            self._total = base + b  # an interruption here leaves the pieces sent so far
        self._settle(self._add_timeout)

    def _settle(self, timeout: float) -> None:
        """Applies the answers to the recorded adds. The index keeps what one index
        would: every id before the first that a shard refused, nothing after."""
        if not self._pending:
            return
        out = wait_all([(p.shard, p.call) for p in self._pending], timeout, self._connected,
                       adding=True)
        if out.late:
            raise out.late_error(timeout)  # still recorded: the next call waits again
        pending, self._pending = self._pending, []
        stop: int | None = None
        refused = None
        for p, result in zip(pending, out.results):
            if result is None:
                continue
            held, raised = result
            stored = held - p.held
            if not 0 <= stored <= p.length:
                out.lost[p.shard.number] = (f"it holds {held} vectors instead of "
                                            f"{p.held + p.length} (its worker restarted)")
            elif stored < p.length and (stop is None or p.first_id() + stored < stop):
                stop, refused = p.first_id() + stored, raised
        redo = []
        for p, result in zip(pending, out.results):
            keep = p.length if stop is None else min(p.length, max(0, stop - p.first_id()))
            if keep < p.length:
                p.range.cut(p.offset + keep)
                if not p.range.count:
                    p.shard.ranges.remove(p.range)
            if p.shard.number in out.lost or result is None:
                continue
            p.shard.count = result[0]
            if result[0] - p.held > keep:
                redo.append(p.shard)  # it stored ids that one index would not keep
        if stop is not None:
            self._total = stop
        for shard in redo:
            try:
                self._restore(shard)
            except RebuildError as error:
                shard.lost = (f"it stored ids from {stop} on, after the one its index refused, "
                              f"and they cannot be taken back ({error})")
        self._fail(out, timeout)
        if refused is not None:
            reraise(refused)

    # Searching -----------------------------------------------------------

    def _fan_out(self, queries: Any, k: int, *args: Any) -> list[tuple[Shard, Any]]:
        """Every shard with its answer to the batch, within one deadline."""
        with self._lock:
            self._ready(self._timeout)
            calls = []
            for shard in self._shards:
                try:
                    calls.append((shard, shard.actor.search(queries, k, *args)))
                except Exception as error:  # noqa: BLE001
                    shard.lost = f"its actor cannot be reached ({error})"
                    raise ShardError({shard.number: shard.ids()}, shard.lost) from error
            out = wait_all(calls, self._timeout, self._connected)
            self._fail(out, self._timeout)
            for shard, (held, _) in zip(self._shards, out.results):
                self._verify(shard, held)
            return [(shard, answer) for shard, (_, answer) in zip(self._shards, out.results)]

    # Faults --------------------------------------------------------------

    def _unanswering(self) -> list[Shard]:
        """The shards that cannot answer now: lost, or not answering the
        question of their count in time, or with a count not theirs."""
        self._check_quietly()
        asked = [(s, s.actor.count()) for s in self._shards if s.lost is None]
        out = wait_all(asked, self._timeout, self._connected)
        bad = {n for n in out.lost} | {s.number for s in out.late}
        bad |= {s.number for (s, _), held in zip(asked, out.results)
                if held is not None and held != s.count}
        return [s for s in self._shards if s.lost is not None or s.number in bad]

    def _check_quietly(self) -> None:
        try:
            self._check()
        except ShardError:
            pass

    def lost_shards(self) -> list[int]:
        """The numbers of the shards that cannot answer now (asks every shard)."""
        with self._lock:
            return [shard.number for shard in self._unanswering()]

    def rebuild(self) -> list[int]:
        """Recreates every lost shard from its source data; returns their numbers.

        The source of a range is the client's copy of the vectors (kept unless
        the index was made with keep_vectors=False) or the dask array it was
        created from, recomputed on the cluster (a persisted array whose
        chunks died with a worker is recomputed from its graph when it has
        one). A shard whose source is gone is not rebuilt: RebuildError says
        which shard, which ids, and why; the other shards are rebuilt first.
        Each shard is given `timeout` seconds to start and `add_timeout` to
        take its vectors back.
        """
        with self._lock:
            try:
                self._connected()
                self._settle(self._timeout)
                dead = self._unanswering()
            except ShardError as error:
                raise RebuildError(error.shard, error.ids, str(error)) from error
            rebuilt: list[int] = []
            failure: RebuildError | None = None
            for shard in dead:
                try:
                    self._restore(shard)
                except RebuildError as error:
                    failure = failure or error
                    continue
                rebuilt.append(shard.number)
            if failure is not None:
                raise failure
            return rebuilt

    def _restore(self, shard: Shard) -> None:
        missing = [(r.start, r.start + r.count) for r in shard.ranges
                   if r.rows is None and r.array is None]
        if missing:
            raise RebuildError(shard.number, shard.ids(),
                               f"the client kept no copy of {describe_ids(missing)} (the index was"
                               " made with keep_vectors=False and they did not come from a dask"
                               " array)")
        shard.lost = shard.lost or "it is being rebuilt"  # until it holds its ranges again
        old = shard.future
        try:
            workers = self._workers()
            placed = {w: 0 for w in workers}
            for other in self._shards:
                if other is not shard and other.lost is None and other.address in placed:
                    placed[other.address] += 1
            self._start(shard, min(workers, key=lambda w: (placed[w], w)))
        except Exception as error:  # noqa: BLE001
            raise RebuildError(shard.number, shard.ids(),
                               f"no new shard could be started ({cause_of(error)})") from error
        if old is not None:
            old.release()
        deadline = time.monotonic() + self._add_timeout
        for r in shard.ranges:
            args = self._add_args(r.metadata, True)
            if r.rows is not None:
                pending = shard.actor.add(np.concatenate(r.rows), *args)
            else:
                pending = self._client.submit(
                    feed, shard.actor, self._client.compute(dask_rows(r.array)), *args,
                    workers=[shard.address], allow_other_workers=True, pure=False)
            out = wait_all([(shard, pending)], max(0.01, deadline - time.monotonic()),
                           self._connected, adding=True)
            problem = out.own or next(iter(out.lost.values()), None)
            if out.late:
                problem = f"no answer within {self._add_timeout:g} s"
            if problem is not None:
                raise RebuildError(shard.number, shard.ids(),
                                   f"its source data could not be read back ({problem})")
            held, raised = out.results[0]
            if raised is not None or held != shard.count + r.count:
                raise RebuildError(shard.number, shard.ids(),
                                   f"its source gave {held - shard.count} vectors instead of "
                                   f"{r.count}")
            shard.count = held
        shard.lost = None

    def close(self) -> None:
        """Releases the shards' actors (the index is unusable afterwards)."""
        with self._lock:
            self._pending = []
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
