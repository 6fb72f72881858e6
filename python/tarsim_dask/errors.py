"""The errors of the sharded indexes, and how a shard's own errors reach the client.

A shard never sends an error as text to be read back: it sends the class of
the exception and its arguments (`Raised`), and the client raises the same
class with the same arguments, so the message is the one the index in the
shard wrote.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from typing import Any, NoReturn, TypeAlias

from distributed.client import FutureCancelledError
from distributed.scheduler import KilledWorker

LOST_ADVICE = "call rebuild() to recreate lost shards from their source data"
LATE_ADVICE = ("they were not marked lost: the next call asks them again (a longer timeout "
               "gives them more time)")

Raised: TypeAlias = tuple[type[BaseException], tuple[Any, ...]]


def captured(error: BaseException) -> Raised:
    """An exception as what travels from a shard: its class and arguments."""
    return type(error), tuple(error.args)


def reraise(raised: Raised) -> NoReturn:
    """Raises, on the client, the exception a shard captured."""
    kind, args = raised
    raise kind(*args)


class ShardError(RuntimeError):
    """Shards cannot answer: their worker died, their actor cannot be reached,
    the scheduler is gone, or they did not answer in time.

    No partial answer is returned in its place. `shard` is the number of the
    first such shard and `ids` the global id ranges it held, as (first,
    last + 1) pairs; `lost` maps every shard named by the call to its ranges.
    """

    def __init__(self, lost: dict[int, list[tuple[int, int]]], cause: str,
                 advice: str = LOST_ADVICE) -> None:
        self.lost = lost
        self.shard = min(lost)
        self.ids = lost[self.shard]
        named = " and ".join(f"shard {n} ({describe_ids(ids)})" for n, ids in sorted(lost.items()))
        verb = "is" if len(lost) == 1 else "are"
        super().__init__(f"{named} {verb} unavailable: {cause}; {advice}")


class RebuildError(RuntimeError):
    """A lost shard cannot be recreated: its source data is gone, or the
    cluster cannot run it."""

    def __init__(self, shard: int, ids: list[tuple[int, int]], cause: str) -> None:
        self.shard = shard
        self.ids = ids
        super().__init__(f"shard {shard} ({describe_ids(ids)}) cannot be rebuilt: {cause}")


def describe_ids(ranges: list[tuple[int, int]]) -> str:
    """"ids 0-99, 200-249" for the half-open ranges [0, 100) and [200, 250)."""
    parts = [f"{a}-{b - 1}" if b - a > 1 else f"{a}" for a, b in ranges if b > a]
    return "ids " + ", ".join(parts) if parts else "no ids"


_UNREACHABLE = (OSError, TimeoutError, asyncio.CancelledError, concurrent.futures.CancelledError,
                KeyError, KilledWorker, FutureCancelledError)


def unreachable(error: BaseException) -> bool:
    """Whether a failed call means the shard could not be reached: a closed or
    refused connection, no answer in time, a cancelled or killed task, or an
    actor its worker no longer has."""
    return isinstance(error, _UNREACHABLE)


def cause_of(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
