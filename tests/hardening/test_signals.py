"""Long operations honour signals: a handler that raises during a long
create, insertion or search stops it with the handler's exception, keeps
what was stored, and leaves the index fully usable.

A timer delivers SIGALRM while the call runs. The handler first touches the
index: being refused by the borrow proves that it ran inside the call, not
after the call had finished."""
import signal
from contextlib import contextmanager

import numpy as np
import pytest

import tarsim

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")


class Stop(Exception):
    pass


@contextmanager
def alarm(seconds, probe, raised=Stop):
    """Raises `raised` from a SIGALRM handler `seconds` from now; yields the
    list of what `probe()` met in the handler."""
    seen = []

    def handler(signum, frame):
        try:
            probe()
            seen.append("ran")
        except RuntimeError as error:
            seen.append(str(error))
        raise raised

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield seen
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def rows(n, dim, seed):
    return np.random.default_rng(seed).random((n, dim)).tolist()


def reachable(index, dim):
    """Every node a search can reach (ef_search is unbounded)."""
    return index.search([0.5] * dim, 2**32 - 1)


def test_hnsw_create_stops_on_keyboard_interrupt_and_stays_usable():
    dim = 8
    data = rows(2000, dim, 1)  # about half a second to build
    index = tarsim.PyHNSW(dim, ef_search=2**32 - 1, metric="euclidean")
    with alarm(0.05, lambda: index.search([0.0] * dim), KeyboardInterrupt) as seen:
        with pytest.raises(KeyboardInterrupt):
            index.create(data)
    assert seen == ["Already mutably borrowed"]

    found = reachable(index, dim)
    assert 0 < len(found) < len(data)
    # Stored in order: the nodes found are distinct rows from the front.
    stored = {tuple(vector) for _, vector in found}
    assert len(stored) == len(found)
    assert stored <= {tuple(row) for row in data[:len(found) + 1]}

    # Later insertions and bulk builds work and are found.
    index.insert([2.0] * dim)
    index.create(data[:100])
    after = reachable(index, dim)
    assert len(after) >= len(found) + 101
    assert index.search([2.0] * dim)[0] == (0.0, [2.0] * dim)


def test_flat_create_stops_and_keeps_a_usable_index():
    dim = 16
    index = tarsim.PyFlat(dim)
    index.insert([-1.0] * dim)
    row = [0.5] * dim
    data = [row] * 600_000  # about half a second to convert
    with alarm(0.05, lambda: index.search(row)) as seen:
        with pytest.raises(Stop):
            index.create(data)
    assert seen == ["Already mutably borrowed"]
    # Nothing or a prefix was stored, under the ids after the first vector.
    hits = index.search([-1.0] * dim, 2**32 - 1)
    assert hits[0] == (0, 0.0)
    assert sorted(i for i, _ in hits) == list(range(len(hits)))
    assert len(hits) < 1 + len(data)
    index.insert([3.0] * dim)
    assert index.search([3.0] * dim) == [(len(hits), 0.0)]


def test_flat_search_stops_and_the_index_stays_usable():
    # A large k keeps a scan busy for a few tenths of a second: most
    # vectors go through the heap of the best k.
    n = 2_000_000
    index = tarsim.PyFlat(1)
    index.create(np.random.default_rng(3).random((n, 1)))
    with alarm(0.02, lambda: index.insert([0.0])) as seen:
        with pytest.raises(Stop):
            index.search([0.5], 300_000)
    assert seen == ["Already borrowed"]
    index.insert([7.0])
    assert index.search([7.0]) == [(n, 0.0)]
    assert len(index.search([0.5], 3)) == 3


def test_a_handler_that_returns_lets_the_call_finish():
    dim = 8
    data = rows(1000, dim, 4)
    index = tarsim.PyHNSW(dim, ef_search=2**32 - 1, metric="euclidean")
    calls = []
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        index.create(data)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert calls
    assert len(reachable(index, dim)) == len(data)


def test_hnsw_search_stops_and_the_index_stays_usable():
    # With lists of one link each the build is quick, and a search of
    # unbounded width visits every node, keeping all of them in its results:
    # a few tenths of a second.
    dim, n = 16, 60_000
    data = np.random.default_rng(5).random((n, dim))
    index = tarsim.PyHNSW(dim, layers=1, ef_construction=1, ef_search=2**32 - 1,
                          metric="euclidean")
    index.create(data)
    with alarm(0.02, lambda: index.insert([0.0] * dim)) as seen:
        with pytest.raises(Stop):
            index.search([0.5] * dim, 3)
    assert seen == ["Already borrowed"]
    index.insert([7.0] * dim)
    assert index.search([7.0] * dim) == [(0.0, [7.0] * dim)]
    assert len(index.search([0.5] * dim, 3)) == 3
