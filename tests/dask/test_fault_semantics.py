"""Faults as a hostile but realistic user meets them, each compared with one
index given the same calls: a failing chunk, a worker killed during the first
create, a frozen worker, Ctrl-C during a create, two threads, a graph build
that fails part-way across shards, a lost scheduler. None may pass with a
silent partial answer, and each is bounded in time."""
from __future__ import annotations

import math
import os
import signal
import threading
import time

import numpy as np
import pytest

from cluster_support import TIMEOUT, skip_unless_usable

skip_unless_usable()

import dask.array as da  # noqa: E402

import tarsim  # noqa: E402
from tarsim_dask import RebuildError, ShardedFlat, ShardedHNSW, ShardError  # noqa: E402

X = np.random.default_rng(0).standard_normal((200, 4))


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001
        return (type(error), str(error))


def fail_block_1(block, block_info=None):
    if block_info[0]["chunk-location"][0] == 1:
        raise RuntimeError("unreadable chunk")
    return block


def slow_block(block):
    time.sleep(1.0)
    return block


def worker_pid(client, address: str) -> int:
    return client.run(os.getpid, workers=[address])[address]


def later(seconds: float, action) -> threading.Timer:
    timer = threading.Timer(seconds, action)
    timer.start()
    return timer


def test_a_failing_chunk_is_an_input_error_and_the_index_stays_usable(client):
    failing = da.from_array(X, chunks=(100, 4)).map_blocks(fail_block_1, dtype=float)
    for index in (ShardedFlat(client, 4, shards=2, timeout=TIMEOUT),
                  ShardedHNSW(client, 4, metric="euclidean", shards=2, timeout=TIMEOUT)):
        with pytest.raises(RuntimeError, match="^unreadable chunk$"):
            index.create(failing)
        assert index.shard_ids() == [[], []]  # nothing stored, as in one index
        index.create(X)
        assert index.lost_shards() == []
        top = index.search(X[150])[0]
        assert top == (150, 0.0) or top == (0.0, X[150].tolist())
        index.close()
    # Elements of a dask array follow one index's rules and messages.
    with_none = np.array([[1.0, 2.0], [None, 1.0]], dtype=object)
    sharded = ShardedFlat(client, 2, shards=2, timeout=TIMEOUT)
    assert outcome(lambda: sharded.create(da.from_array(with_none, chunks=(1, 2)))) == \
        outcome(lambda: tarsim.PyFlat(2).create(with_none))
    assert outcome(lambda: sharded.search([1.0, 2.0])) == \
        outcome(lambda: tarsim.PyFlat(2).search([1.0, 2.0]))
    sharded.close()


def test_a_failing_graph_build_keeps_what_one_index_keeps(client):
    sharded = ShardedHNSW(client, 2, ef_construction=0, metric="euclidean", shards=3,
                          timeout=TIMEOUT)
    single = tarsim.PyHNSW(2, ef_construction=0, metric="euclidean")
    for call in [lambda i: i.create(X[:9, :2]), lambda i: i.insert(X[9, :2]),
                 lambda i: i.search([0.0, 0.0], 50)]:
        assert outcome(lambda: call(sharded)) == outcome(lambda: call(single))
    assert sharded.shard_ids() == [[(0, 1)], [], []]
    sharded.close()


def test_two_threads_never_declare_a_healthy_shard_lost(client):
    sharded = ShardedFlat(client, 4, shards=2, timeout=TIMEOUT)
    sharded.create(X[:100])
    errors: list[BaseException] = []
    done = threading.Event()

    def insert_all() -> None:
        try:
            for row in X[100:]:
                sharded.insert(row)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)
        finally:
            done.set()

    thread = threading.Thread(target=insert_all)
    thread.start()
    searches = 0
    while not done.is_set() or searches < 3:
        searches += 1
        try:
            assert sharded.search(X[0]) == [(0, 0.0)]
        except BaseException as error:  # noqa: BLE001
            errors.append(error)
            break
    thread.join(TIMEOUT)
    assert not errors and not thread.is_alive()
    single = tarsim.PyFlat(4)
    single.create(X)
    assert sharded.search_many(X[::7], 5) == [single.search(q, 5) for q in X[::7]]
    sharded.close()


def test_timeouts_are_checked_and_actors_answer_through_the_index_client(client, cluster):
    for bad in (None, -1, 0, math.inf, math.nan, "1", True):
        with pytest.raises((TypeError, ValueError), match="timeout must be"):
            ShardedFlat(client, 2, timeout=bad)
        with pytest.raises((TypeError, ValueError), match="add_timeout must be"):
            ShardedFlat(client, 2, add_timeout=bad)
    from distributed import Client

    other = Client(cluster, timeout=TIMEOUT)  # the default client from here on
    try:
        sharded = ShardedFlat(client, 4, shards=2, timeout=TIMEOUT)
    finally:
        other.close()
    sharded.create(X)
    assert sharded.search(X[3]) == [(3, 0.0)]
    sharded.close()


def test_ctrl_c_during_a_create_leaves_a_truly_reported_index(client):
    rng = np.random.default_rng(5)
    big = rng.standard_normal((4000, 8))
    sharded = ShardedHNSW(client, 8, metric="euclidean", shards=2, timeout=TIMEOUT)
    timer = later(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    try:
        with pytest.raises(KeyboardInterrupt):
            sharded.create(big)
            time.sleep(5)  # the create outran the signal: wait for it here
    finally:
        timer.cancel()
        timer.join()
    # The next call waits for what was in flight: every id is there or none.
    answer = sharded.search(big[5])
    stored = sum(b - a for ids in sharded.shard_ids() for a, b in ids)
    assert stored in (0, 4000)
    assert answer == ([] if stored == 0 else [(0.0, big[5].tolist())])
    extra = rng.standard_normal(8)
    sharded.insert(extra)
    assert sharded.search(extra) == [(0.0, extra.tolist())]
    if stored:
        assert sharded.search(big[2406]) == [(0.0, big[2406].tolist())]
    sharded.close()


def test_a_frozen_worker_is_named_within_the_timeout_and_answers_after(client):
    sharded = ShardedFlat(client, 4, shards=4, timeout=1.0, add_timeout=1.0)
    sharded.create(X[:40])
    frozen = sharded._shards[1].address
    pid = worker_pid(client, frozen)
    os.kill(pid, signal.SIGSTOP)
    try:
        start = time.monotonic()
        with pytest.raises(ShardError, match="not marked lost") as raised:
            sharded.search(X[0])
        assert time.monotonic() - start < 3.0
        assert sorted(raised.value.lost) == [1, 3]
        start = time.monotonic()
        with pytest.raises(ShardError, match="no answer within 1 s") as raised:
            sharded.insert(X[40])  # to shard 3, frozen
        assert time.monotonic() - start < 3.0
    finally:
        os.kill(pid, signal.SIGCONT)
    single = tarsim.PyFlat(4)
    single.create(X[:41])
    assert sharded.search_many(X[:41:5], 3) == [single.search(q, 3) for q in X[:41:5]]
    assert sharded.lost_shards() == []
    sharded.close()


def test_a_worker_killed_during_the_first_create(client):
    slow = da.from_array(X, chunks=(50, 4)).map_blocks(slow_block, dtype=float)
    sharded = ShardedFlat(client, 4, shards=2, timeout=TIMEOUT)
    victim = sharded._shards[1].address
    pid = worker_pid(client, victim)
    timer = later(0.5, lambda: os.kill(pid, signal.SIGKILL))
    try:
        with pytest.raises(ShardError) as raised:
            sharded.create(slow)
    finally:
        timer.join()
        client.wait_for_workers(2, timeout=TIMEOUT)  # the nanny restarts it
    assert raised.value.shard == 1
    with pytest.raises(ShardError, match=r"shard 1 \(ids 100-199\)"):
        sharded.search(X[150])  # never an answer without shard 1
    assert sharded.rebuild() == [1]
    single = tarsim.PyFlat(4)
    single.create(X)
    assert sharded.search_many(X[::9], 4) == [single.search(q, 4) for q in X[::9]]
    sharded.close()


def test_a_lost_scheduler_is_reported_as_such():
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                           dashboard_address=None)
    client = Client(cluster, timeout=TIMEOUT)
    try:
        sharded = ShardedFlat(client, 4, shards=2, timeout=2.0, add_timeout=2.0)
        sharded.create(X)
        cluster.sync(cluster.scheduler.close)
        start = time.monotonic()
        with pytest.raises(ShardError, match="lost its scheduler"):
            sharded.search(X[0])
        with pytest.raises(RebuildError, match="lost its scheduler"):
            sharded.rebuild()
        with pytest.raises(ConnectionError, match="no scheduler"):
            ShardedFlat(client, 4)
        assert time.monotonic() - start < 10.0
    finally:
        client.close(timeout=2)
        try:
            cluster.close(timeout=2)  # its scheduler is gone: only the worker is left to stop
        except TimeoutError:
            pass
