"""What the client knows of each shard, where new vectors go, and how the
client waits for the shards' answers and for a dask array's rows."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any

import distributed
import numpy as np

from .conversion import dask_rows
from .errors import LATE_ADVICE, ShardError, cause_of, unreachable


@dataclass
class Range:
    """Consecutive global ids held by one shard, with their source data."""
    start: int  # first global id
    count: int
    rows: list[np.ndarray] | None  # the client's copy, or None
    metadata: list[Any] | None = None
    array: Any = None  # a slice of the dask array it came from

    def cut(self, count: int) -> None:
        """Keeps the first `count` ids of the range and of its sources."""
        self.count = count
        if self.rows is not None:
            self.rows = [np.concatenate(self.rows)[:count]] if self.rows else []
        if self.metadata is not None:
            self.metadata = self.metadata[:count]
        if self.array is not None:
            self.array = self.array[:count]


@dataclass
class Shard:
    number: int
    future: Any = None
    actor: Any = None
    address: str = ""
    count: int = 0  # vectors the actor confirmed
    ranges: list[Range] = field(default_factory=list)
    lost: str | None = None

    def ids(self) -> list[tuple[int, int]]:
        return [(r.start, r.start + r.count) for r in self.ranges if r.count]

    def placed(self) -> bool:
        """Whether the scheduler still has the shard's actor on a worker."""
        return self.future is not None and self.future.status == "finished"


@dataclass
class Outcomes:
    """The answers to calls issued together: per call its result or None, the
    shards that cannot answer (with the cause), those that did not answer in
    time, and the first error a shard raised of its own."""
    results: list[Any]
    lost: dict[int, str] = field(default_factory=dict)
    late: list[Shard] = field(default_factory=list)
    own: Exception | None = None

    def late_error(self, timeout: float) -> ShardError:
        return ShardError({s.number: s.ids() for s in self.late},
                          f"no answer within {timeout:g} s", advice=LATE_ADVICE)

STEP = 0.5  # seconds between two looks at the cluster while waiting
INSERT_RUN = 1024


def wait_all(calls: list[tuple[Shard, Any]], timeout: float, connected: Any,
             adding: bool = False) -> Outcomes:
    """Waits for every call, all within one deadline `timeout` seconds away.

    A shard whose actor the scheduler no longer has is lost, and so is one
    that fails a call that adds vectors (what it holds is no longer known);
    `connected()` is asked while waiting, so that a lost scheduler is
    reported as such (it raises) rather than as every worker not answering.
    """
    deadline = time.monotonic() + timeout
    out = Outcomes([None] * len(calls))
    for i, (shard, pending) in enumerate(calls):
        while True:
            try:
                if pending.done() or time.monotonic() < deadline:
                    step = max(0.01, min(STEP, deadline - time.monotonic()))
                    out.results[i] = pending.result(timeout=step)
                    break
            except TimeoutError:
                pass
            except Exception as error:  # noqa: BLE001 - sorted below
                connected()
                if adding or unreachable(error):
                    out.lost[shard.number] = \
                        f"its worker {shard.address} did not answer ({cause_of(error)})"
                else:
                    out.own = out.own or error
                break
            connected()
            if not shard.placed():
                out.lost[shard.number] = f"its worker {shard.address} was lost"
                break
            if time.monotonic() >= deadline and not pending.done():
                out.late.append(shard)
                break
    return out


@dataclass
class Pending:
    """One call that adds vectors to a shard, recorded before it is waited for:
    `length` ids from `offset` of `range`, sent to a shard that held `held`."""
    shard: Shard
    call: Any
    range: Range
    offset: int
    length: int
    held: int

    def first_id(self) -> int:
        return self.range.start + self.offset


def target(shards: list[Shard], total: int) -> Shard:
    """The shard for the next single vector: the one whose last range ends at
    the last id, until it holds INSERT_RUN more vectors than the smallest
    shard; then the smallest shard (the lowest number among equals). Single
    insertions so form ranges of up to INSERT_RUN ids and keep the shards
    within INSERT_RUN vectors of one another."""
    smallest = min(shards, key=lambda shard: (shard.count, shard.number))
    for shard in shards:
        if shard.ranges and shard.ranges[-1].start + shard.ranges[-1].count == total:
            if shard.count < smallest.count + INSERT_RUN:
                return shard
    return smallest


def split(shards: list[Shard], n: int) -> list[tuple[Shard, int, int]]:
    """Contiguous pieces of n new vectors, one per shard in shard order."""
    count = len(shards)
    bounds = [n * i // count for i in range(count + 1)]
    return [(shard, bounds[i], bounds[i + 1]) for i, shard in enumerate(shards)
            if bounds[i + 1] > bounds[i]]


def record(shard: Shard, call: Any, start: int, count: int, kept: list[np.ndarray] | None,
           metadata: list[Any] | None, array: Any, merge: bool) -> Pending:
    """A call that adds `count` ids from `start`, recorded on its shard before
    it is waited for: single insertions extend the range they follow."""
    last = shard.ranges[-1] if shard.ranges else None
    if merge and last is not None and last.start + last.count == start and \
            last.array is None and array is None and (last.rows is None) == (kept is None):
        offset = last.count
        if last.metadata is None and metadata is not None:
            last.metadata = [None] * last.count
        if last.metadata is not None:
            last.metadata.extend([None] * count if metadata is None else metadata)
        if last.rows is not None and kept is not None:
            last.rows.extend(kept)
        last.count += count
        target = last
    else:
        offset = 0
        target = Range(start, count, kept, metadata, array)
        shard.ranges.append(target)
    return Pending(shard, call, target, offset, count, shard.count)


def computed_rows(client: Any, pieces: list[Any], timeout: float, connected: Any) -> list[Any]:
    """The pieces of a dask array as float64 rows on the workers; an error of
    the array (a chunk that raises, an element one index refuses) is
    raised as it is, with nothing stored."""
    futures = client.compute([dask_rows(piece) for piece in pieces])
    try:
        deadline = time.monotonic() + timeout
        while not any(future.status == "error" for future in futures):
            waiting = [future for future in futures if not future.done()]
            if not waiting or time.monotonic() >= deadline:
                break
            try:
                step = max(0.01, min(STEP, deadline - time.monotonic()))
                distributed.wait(waiting, step, "FIRST_COMPLETED")  # type: ignore[no-untyped-call]
            except TimeoutError:
                connected()
        for future in futures:
            if future.status == "error":
                future.result()
        if not all(future.status == "finished" for future in futures):
            raise TimeoutError(f"the dask array was not computed within "
                               f"{timeout:g} s; nothing was stored")
    except BaseException:
        connected()
        client.cancel(futures)
        raise
    return list(futures)
