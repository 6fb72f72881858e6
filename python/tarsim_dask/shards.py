"""What the client knows of each shard, and how it waits for shards' answers."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

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


def wait_all(calls: list[tuple[Shard, Any]], timeout: float, connected: Any) -> Outcomes:
    """Waits for every call, all within one deadline `timeout` seconds away.

    A shard whose actor the scheduler no longer has is lost; `connected()` is
    asked while waiting, so that a lost scheduler is reported as such (it
    raises) rather than as every worker not answering.
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
                if unreachable(error):
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
