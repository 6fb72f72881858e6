"""ShardedFlat against one PyFlat holding the same vectors: same answers to the
bit, same errors with the same messages, after the same calls."""
from __future__ import annotations

import struct

import numpy as np
import pytest

from cluster_support import skip_unless_usable

skip_unless_usable()

import dask.array as da  # noqa: E402

import tarsim  # noqa: E402
from tarsim_dask import ShardedFlat  # noqa: E402

DIM = 4
METRICS = [None, "inner_product", "cosine", "angular"]  # "angular" falls back to euclidean
NAN = float("nan")
INF = float("inf")


def hostile_rows(rng: np.random.Generator, n: int) -> np.ndarray:
    """Rows drawn from a small pool of values: many exact ties, signed zeros,
    zero vectors (NaN under cosine), NaN and infinite components."""
    pool = np.array([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, NAN, INF, -INF])
    weights = np.array([6, 6, 6, 6, 4, 4, 1, 1, 1], dtype=float)
    rows = rng.choice(pool, size=(n, DIM), p=weights / weights.sum())
    rows[rng.random(n) < 0.1] = 0.0
    rows[rng.random(n) < 0.1] = -0.0
    return rows


def bits(answer: list[tuple[int, float]]) -> list[tuple[int, bytes]]:
    return [(i, struct.pack("<d", d)) for i, d in answer]


def outcome(call):
    """The result of a call, or the type and message of what it raised."""
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if isinstance(error, KeyboardInterrupt):
            raise
        return (type(error), str(error))


def assert_same_everywhere(sharded: ShardedFlat, single: tarsim.PyFlat,
                           queries: np.ndarray, total: int) -> None:
    for k in (None, 0, 1, 3, 17, total + 5):
        many = sharded.search_many(queries, k)
        assert [bits(a) for a in many] == [bits(single.search(q, k)) for q in queries], k
    assert bits(sharded.search(queries[0], 2)) == bits(single.search(queries[0], 2))


@pytest.mark.parametrize("shards", [1, 2, 7])
def test_answers_are_those_of_one_index_to_the_bit(client, shards: int):
    rng = np.random.default_rng(1000 + shards)
    data = hostile_rows(rng, 260)
    queries = np.concatenate([hostile_rows(rng, 12), np.zeros((1, DIM)),
                              np.full((1, DIM), -0.0), rng.standard_normal((3, DIM))])
    for metric in METRICS:
        sharded = ShardedFlat(client, DIM, metric, shards=shards, timeout=30)
        single = tarsim.PyFlat(DIM, metric)
        # create, single insertions (lists), then create again from lists.
        sharded.create(data[:150])
        single.create(data[:150])
        for row in data[150:170]:
            sharded.insert(row.tolist())
            single.insert(row.tolist())
        sharded.create(data[170:].tolist())
        single.create(data[170:].tolist())
        assert sum(b - a for ids in sharded.shard_ids() for a, b in ids) == len(data)
        assert_same_everywhere(sharded, single, queries, len(data))
        sharded.close()


def test_dask_array_input_matches_and_never_passes_through_the_client(client, monkeypatch):
    rng = np.random.default_rng(7)
    data = hostile_rows(rng, 300)
    # Chunks that do not line up with the shards' ranges.
    array = da.from_array(data, chunks=(37, DIM))
    gathered: list[object] = []
    real_gather = client._gather

    async def watching_gather(futures, *args, **kwargs):
        result = await real_gather(futures, *args, **kwargs)
        gathered.append(result)
        return result

    monkeypatch.setattr(client, "_gather", watching_gather)
    sharded = ShardedFlat(client, DIM, "cosine", shards=3, timeout=30)
    sharded.create(array)
    sharded.insert(data[0])
    monkeypatch.undo()
    # What came back to the client is shard bookkeeping, never a block of vectors.
    assert gathered and not any(isinstance(x, np.ndarray) or
                                (isinstance(x, list) and any(isinstance(y, np.ndarray) for y in x))
                                for x in gathered)
    single = tarsim.PyFlat(DIM, "cosine")
    single.create(data)
    single.insert(data[0])
    assert sharded.shard_ids() == [[(0, 100)], [(100, 200)], [(200, 300), (300, 301)]]
    assert_same_everywhere(sharded, single, hostile_rows(rng, 6), 301)
    sharded.close()


class _Vector:
    """A vector that converts item by item, as sequences other than lists do."""

    def __init__(self, *values: object) -> None:
        self.values = values

    def __len__(self) -> int:
        return len(self.values)

    def __getitem__(self, i: int) -> object:
        return self.values[i]


def test_errors_and_what_stays_stored_are_those_of_one_index(client):
    """The same calls on both; each call gives the same result or the same
    error and message, and after each the full ranking is the same."""
    sharded = ShardedFlat(client, 2, shards=3, timeout=30)
    single = tarsim.PyFlat(2)
    calls = [
        ("search", ([1.0, 2.0],)),                  # EmptyIndex
        ("search", ([1.0],)),                       # length before emptiness
        ("search", ("ab",)),                        # str refused
        ("create", ([],)),                          # EmptyVectors
        ("create", ("ab",)),
        ("create", ([[1.0, 2.0], [1.0, "x"]],)),    # converted whole before storing
        ("create", ([[1.0, 2.0], [3.0, 4.0], [1.0, 2.0, 3.0], [5.0, 6.0]],)),  # panics at 2
        ("create", (np.zeros((3, 3)),)),            # panics at 0
        ("insert", ([1.0, 2.0, 3.0],)),
        ("insert", ("ab",)),
        ("insert", ([1, True],)),
        ("insert", (_Vector(0.5, 2),)),
        ("insert", (b"ab",)),
        ("create", ([b"cd", range(2), (7.0, -0.0)],)),
        ("search", ([0.0, 0.0], -1)),               # k out of range
        ("search", ([0.0, 0.0], 2**32)),
        ("search", ([0.0, 0.0], "1")),
        ("search", ([0.0],)),
        ("search", ([0.0, 0.0], 0)),
        ("search", ([0.0, 0.0], 2**32 - 1)),
    ]
    for method, args in calls:
        got = outcome(lambda: getattr(sharded, method)(*args))
        want = outcome(lambda: getattr(single, method)(*args))
        assert got[0] == want[0] and got[1] == want[1], (method, args, got, want)
        if want[0] == "ok" or method == "create":
            probe = [0.25, -1.0]
            assert outcome(lambda: sharded.search(probe, 100)) == \
                outcome(lambda: single.search(probe, 100)), (method, args)
    panic = outcome(lambda: single.create([[1.0, 2.0, 3.0]]))[0]
    assert panic.__name__ == "PanicException" and not issubclass(panic, Exception)
    sharded.close()


def test_constructor_errors_and_dimension_zero_are_those_of_one_index(client):
    for args in [(-1,), ("3",), (2**32,), (2, 5)]:
        assert outcome(lambda: ShardedFlat(client, *args)) == \
            outcome(lambda: tarsim.PyFlat(*args))
    sharded = ShardedFlat(client, 0, shards=2, timeout=30)
    single = tarsim.PyFlat(0)
    for method, args in [("search", ([],)), ("insert", ([],)), ("create", ([[], []],)),
                         ("search", ([],)), ("search", ([1.0],)), ("insert", ([1.0],))]:
        assert outcome(lambda: getattr(sharded, method)(*args)) == \
            outcome(lambda: getattr(single, method)(*args)), (method, args)
    sharded.close()


def test_the_module_ships_typed_and_leaves_tarsim_alone():
    import pathlib

    import tarsim_dask

    assert (pathlib.Path(tarsim_dask.__file__).parent / "py.typed").is_file()
    assert tarsim.__all__ == ["PyFlat", "PyHNSW"]
    assert not any(name.startswith("Sharded") for name in dir(tarsim))
