"""Several Python threads using one index at once.

With plain lists and floats no Python code runs inside a call, so the
interpreter lock makes every call atomic: nothing is lost or duplicated, no
borrow error occurs, and every search sees a prefix of each thread's writes.
Where conversion does run Python code that lets another thread in, the borrow
flag refuses the overlap with RuntimeError instead of crashing or waiting.
"""

import gc
import math
import os
import random
import sys
import threading
import time

import pytest

import tarsim

SANITIZED = bool(os.environ.get("TARSIM_SANITIZED"))
THREADS = 4
OPS = 60 if SANITIZED else 150
U32_MAX = 2**32 - 1


@pytest.fixture
def fast_switching():
    """Makes the interpreter switch threads as often as it can. Garbage left by
    earlier tests is collected first: a finaliser run by the collector inside a
    call is Python code (see the collector test at the end)."""
    gc.collect()
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count):
    errors = []

    def guarded(t):
        try:
            target(t)
        except BaseException as e:  # noqa: BLE001
            errors.append((t, e))

    threads = [threading.Thread(target=guarded, args=(t,)) for t in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
        assert not thread.is_alive(), "a thread hung"
    assert errors == []


def value(t, seq):
    """The first component of thread t's seq-th vector: unique, exact."""
    return float(t * 100000 + seq)


def owner(x):
    return int(x) // 100000, int(x) % 100000


class Writer:
    """One thread's writes: single inserts and batches of three, numbered in
    order. `boundaries` holds the numbers of vectors written after each call."""

    def __init__(self, t, rng):
        self.t = t
        self.rng = rng
        self.written = 0
        self.boundaries = {0}
        self.batches = []  # first number of each batch

    def next_call(self):
        if self.rng.random() < 0.25:
            batch = [[value(self.t, self.written + i), 1.0] for i in range(3)]
            return "create", batch
        return "insert", [value(self.t, self.written), 1.0]

    def done(self, kind):
        if kind == "create":
            self.batches.append(self.written)
        # The boundary first: a reader on another thread may look between
        # the two steps and must find the new count among the boundaries.
        count = self.written + (3 if kind == "create" else 1)
        self.boundaries.add(count)
        self.written = count


def check_prefixes(seen_values, writers, reader=None):
    """Every thread's vectors in an answer are a prefix of its writes ending
    at a call boundary (a batch is seen whole or not at all)."""
    per_thread = {}
    for x in seen_values:
        t, seq = owner(x)
        per_thread.setdefault(t, []).append(seq)
    for t, seqs in per_thread.items():
        seqs.sort()
        assert seqs == list(range(len(seqs))), f"thread {t}: not a prefix: {seqs[:20]}"
        assert len(seqs) in writers[t].boundaries or len(seqs) > writers[t].written
    if reader is not None:
        # A thread sees everything it wrote itself before searching.
        assert len(per_thread.get(reader.t, [])) >= reader.written
    return {t: len(s) for t, s in per_thread.items()}


def test_flat_threads_lose_nothing_and_see_prefixes(fast_switching):
    index = tarsim.PyFlat(2, "inner_product")
    writers = [Writer(t, random.Random(t)) for t in range(THREADS)]

    def work(t):
        w = writers[t]
        for _ in range(OPS):
            kind, arg = w.next_call()
            getattr(index, kind)(arg)
            w.done(kind)
            # The inner product with [1, 0] is the first component: each
            # answer lists (id, value) by value, every stored vector once.
            answer = index.search([1.0, 0.0], U32_MAX)
            assert sorted(i for i, _ in answer) == list(range(len(answer)))
            values = [x for _, x in answer]
            assert values == sorted(values)
            check_prefixes(values, writers, w)
            # Ids follow the order of writes: a thread's values rise with id.
            by_thread = {}
            for i, x in sorted(answer):
                by_thread.setdefault(owner(x)[0], []).append(owner(x)[1])
            assert all(s == sorted(s) for s in by_thread.values())

    run_threads(work, THREADS)
    answer = index.search([1.0, 0.0], U32_MAX)
    total = sum(w.written for w in writers)
    assert len(answer) == total
    counts = check_prefixes([x for _, x in answer], writers)
    assert counts == {w.t: w.written for w in writers}
    # The threads really ran interleaved: ownership changes along the ids.
    owners = [owner(x)[0] for _, x in sorted(answer)]
    switches = sum(1 for a, b in zip(owners, owners[1:]) if a != b)
    assert switches >= THREADS
    # A batch got consecutive ids.
    ids = {x: i for i, x in answer}
    for w in writers:
        for first in w.batches:
            assert [ids[value(w.t, first + i)] for i in range(3)] == [
                ids[value(w.t, first)] + i for i in range(3)]


def test_hnsw_threads_lose_nothing_and_see_prefixes(fast_switching):
    # A query of NaNs scores every node NaN, so the search visits every node
    # reachable from the entry (all of them) and returns them all.
    index = tarsim.PyHNSW(2, layers=3, ef_construction=8, ef_search=10**6, metric="inner_product",
                          schema=["thread"])
    writers = [Writer(t, random.Random(10 + t)) for t in range(THREADS)]
    ops = OPS // 2

    def work(t):
        w = writers[t]
        rng = random.Random(100 + t)
        for _ in range(ops):
            kind, arg = w.next_call()
            if kind == "create":
                index.create(arg, [[("thread", t)]] * len(arg))
            else:
                index.insert(arg, [("thread", t)])
            w.done(kind)
            answer = index.search([math.nan, math.nan], U32_MAX)
            check_prefixes([v[0] for _, v in answer], writers, w)
            filtered = index.search([rng.random(), 1.0], 5, ("thread", t))
            assert all(owner(v[0])[0] == t for _, v in filtered)

    run_threads(work, THREADS)
    answer = index.search([math.nan, math.nan], U32_MAX)
    assert len(answer) == sum(w.written for w in writers)
    counts = check_prefixes([v[0] for _, v in answer], writers)
    assert counts == {w.t: w.written for w in writers}


class Blocking:
    """A float whose conversion waits until the test releases it."""

    def __init__(self, result=0.5):
        self.entered = threading.Event()
        self.release = threading.Event()
        self.result = result

    def __float__(self):
        self.entered.set()
        assert self.release.wait(30)
        return self.result

    def __index__(self):
        self.entered.set()
        assert self.release.wait(30)
        return 1


def blocked_call(call, blocker):
    """Starts `call` on a thread and returns once it is inside `blocker`."""
    outcome = {}

    def target():
        try:
            outcome["result"] = call()
        except BaseException as e:  # noqa: BLE001
            outcome["error"] = e

    thread = threading.Thread(target=target)
    thread.start()
    assert blocker.entered.wait(30)
    return thread, outcome


def refused(call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("kind", ["flat", "hnsw"])
def test_a_search_blocked_in_float_refuses_writers_from_other_threads(kind):
    if kind == "flat":
        index, other = tarsim.PyFlat(2), tarsim.PyFlat(2)
    else:
        index = tarsim.PyHNSW(2, metric="euclidean", schema=["a"])
        other = tarsim.PyHNSW(2, metric="euclidean")
    index.insert([0.0, 0.0])
    blocker = Blocking()
    thread, outcome = blocked_call(lambda: index.search([blocker, 0.0], 5), blocker)
    try:
        refused(lambda: index.insert([1.0, 1.0]), "Already borrowed")
        refused(lambda: index.create([[1.0, 1.0]]), "Already borrowed")
        # Searches share the borrow.
        assert len(index.search([0.0, 0.0], 5)) == 1
        # Another object is not affected.
        other.insert([1.0, 1.0])
    finally:
        blocker.release.set()
        thread.join(30)
    assert "error" not in outcome
    assert len(outcome["result"]) == 1
    index.insert([2.0, 2.0])  # the borrow is free again
    assert len(index.search([0.0, 0.0], 5)) == 2


@pytest.mark.parametrize("kind", ["flat", "hnsw"])
def test_an_insert_blocked_in_float_refuses_everything_from_other_threads(kind):
    index = tarsim.PyFlat(2) if kind == "flat" else tarsim.PyHNSW(2, metric="euclidean")
    index.insert([0.0, 0.0])
    blocker = Blocking(result=3.0)
    thread, outcome = blocked_call(lambda: index.insert([blocker, 4.0]), blocker)
    try:
        refused(lambda: index.search([0.0, 0.0]), "Already mutably borrowed")
        refused(lambda: index.insert([1.0, 1.0]), "Already borrowed")
        refused(lambda: index.create([[1.0, 1.0]]), "Already borrowed")
    finally:
        blocker.release.set()
        thread.join(30)
    assert outcome == {"result": None}
    answer = index.search([0.0, 0.0], 10)
    distances = [a[1] if kind == "flat" else a[0] for a in answer]
    assert sorted(distances) == [0.0, 5.0]  # only the blocked insert, [3, 4], was stored


def test_metadata_and_filter_values_blocked_in_index_refuse_writers():
    index = tarsim.PyHNSW(2, metric="euclidean", schema=["a"])
    index.insert([0.0, 0.0], [("a", 1)])
    # An exclusive borrow held while a metadata value converts.
    blocker = Blocking()
    thread, outcome = blocked_call(lambda: index.insert([1.0, 1.0], [("a", blocker)]), blocker)
    try:
        refused(lambda: index.search([0.0, 0.0]), "Already mutably borrowed")
        refused(lambda: index.insert([1.0, 1.0]), "Already borrowed")
    finally:
        blocker.release.set()
        thread.join(30)
    assert outcome == {"result": None}
    # A shared borrow held while the filter value converts.
    blocker = Blocking()
    thread, outcome = blocked_call(lambda: index.search([0.0, 0.0], 5, ("a", blocker)), blocker)
    try:
        refused(lambda: index.create([[1.0, 1.0]], [[("a", 1)]]), "Already borrowed")
        assert len(index.search([0.0, 0.0], 5)) == 2
    finally:
        blocker.release.set()
        thread.join(30)
    assert len(outcome["result"]) == 2  # both nodes have a = 1


class Yielding:
    """A float that hands the interpreter lock to other threads while a call
    holds the borrow, and sometimes fails."""

    def __init__(self, x, fail=False):
        self.x = x
        self.fail = fail

    def __float__(self):
        time.sleep(0)
        if self.fail:
            raise ArithmeticError("conversion failed")
        return self.x


def test_overlapping_calls_are_refused_or_complete_and_counts_add_up(fast_switching):
    flat = tarsim.PyFlat(2)
    hnsw = tarsim.PyHNSW(2, layers=2, ef_construction=4, ef_search=10**6, metric="euclidean")
    stored = {"flat": [0] * THREADS, "hnsw": [0] * THREADS}
    refusals = [0] * THREADS

    def work(t):
        rng = random.Random(1000 + t)
        for _ in range(OPS):
            name = rng.choice(["flat", "hnsw"])
            index = flat if name == "flat" else hnsw
            x = Yielding(rng.random(), fail=rng.random() < 0.1)
            op = rng.choice(["insert", "create", "search", "search"])
            try:
                if op == "insert":
                    index.insert([x, 1.0])
                    stored[name][t] += 1
                elif op == "create":
                    index.create([[1.0, 2.0], [x, 1.0]])
                    stored[name][t] += 2
                else:
                    index.search([x, 0.0], 3)
            except RuntimeError as e:
                assert str(e) in ("Already borrowed", "Already mutably borrowed")
                refusals[t] += 1
            except ArithmeticError:
                pass
            except ValueError as e:  # searching an empty flat index
                assert str(e) == "Search error: EmptyIndex"

    run_threads(work, THREADS)
    assert sum(refusals) > 0, "no call ever overlapped another"
    n_flat = len(flat.search([0.0, 0.0], U32_MAX)) if sum(stored["flat"]) else 0
    assert n_flat == sum(stored["flat"])
    assert len(hnsw.search([math.nan, math.nan], U32_MAX)) == sum(stored["hnsw"])


@pytest.mark.parametrize("kind", ["flat", "hnsw"])
def test_a_collection_during_search_does_not_refuse_other_threads(kind):
    if kind == "flat":
        index = tarsim.PyFlat(2)
    else:
        index = tarsim.PyHNSW(2, metric="euclidean", ef_construction=8)
    index.create([[float(i), 0.0] for i in range(100)])
    entered, finished = threading.Event(), threading.Event()

    class Finaliser:
        def __del__(self):
            entered.set()
            finished.wait(10)  # lets the other thread run

    outcome = {}

    def other():
        assert entered.wait(10)
        try:
            index.insert([1.0, 1.0])
            outcome["insert"] = "stored"
        except RuntimeError as e:
            outcome["insert"] = str(e)
        finally:
            finished.set()

    thread = threading.Thread(target=other)
    thread.start()
    query = [0.0, 0.0]
    old = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        # Garbage with a finaliser, found by the next collection; with the
        # threshold at 1 that is the first container allocated once the
        # collector is enabled, which is the search's result list.
        gc.set_threshold(1)
        finaliser = Finaliser()
        finaliser.cycle = finaliser
        del finaliser
        gc.enable()
        answer = index.search(query, 100)
    finally:
        gc.enable()
        gc.set_threshold(*old)
        finished.set()
        thread.join(10)
    assert entered.is_set() and len(answer) >= 1
    assert outcome == {"insert": "stored"}
