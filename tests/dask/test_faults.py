"""A worker killed mid-use: the next search names the lost shards and their
ids instead of answering without them, and rebuild() restores the answers
from whatever source data is still reachable."""
from __future__ import annotations

import os
import signal
import time

import numpy as np
import pytest

from cluster_support import TIMEOUT, skip_unless_usable

skip_unless_usable()

import dask.array as da  # noqa: E402

from tarsim_dask import RebuildError, ShardedFlat, ShardError  # noqa: E402


def kill_worker(client, address: str) -> None:
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)


def test_killed_worker_raises_the_shard_error_and_rebuild_restores_the_answers(client):
    rng = np.random.default_rng(11)
    data = rng.standard_normal((400, 6))
    queries = rng.standard_normal((25, 6))
    # Three indexes over the same data with different sources: the client's
    # copy, a persisted dask array, and no copy at all.
    kept = ShardedFlat(client, 6, shards=4, timeout=TIMEOUT)
    kept.create(data[:300])
    for row in data[300:]:
        kept.insert(row)
    persisted = da.from_array(data, chunks=(64, 6)).persist()
    from_array = ShardedFlat(client, 6, "cosine", shards=4, timeout=TIMEOUT)
    from_array.create(persisted)
    uncopied = ShardedFlat(client, 6, shards=4, keep_vectors=False, timeout=TIMEOUT)
    uncopied.create(data)
    before = {name: index.search_many(queries, 7) for name, index in
              [("kept", kept), ("from_array", from_array), ("uncopied", uncopied)]}

    # Shards are placed round-robin over the two workers: 1 and 3 share one.
    victim = kept._shards[1].address
    assert [s.address == victim for s in kept._shards] == [False, True, False, True]
    kill_worker(client, victim)

    # The very next search fails, whether or not the scheduler has noticed yet,
    # and names both lost shards with the ids they held.
    with pytest.raises(ShardError) as raised:
        kept.search(queries[0], 3)
    assert raised.value.shard == 1
    message = str(raised.value)
    assert "shard 1 (ids 75-149) and shard 3 (ids 225-399) are unavailable" in message
    deadline = time.monotonic() + TIMEOUT
    while victim in client.scheduler_info()["workers"]:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    for index in (kept, from_array, uncopied):
        with pytest.raises(ShardError) as raised:
            index.search_many(queries, 7)
        assert sorted(raised.value.lost) == [1, 3]
        assert "shard 1 (" in str(raised.value) and "shard 3 (" in str(raised.value)
        with pytest.raises(ShardError):
            index.insert(data[0])  # a broken index takes nothing until rebuilt
    assert kept.lost_shards() == [1, 3]

    client.wait_for_workers(2, timeout=TIMEOUT)
    assert kept.rebuild() == [1, 3]
    assert from_array.rebuild() == [1, 3]
    assert kept.search_many(queries, 7) == before["kept"]
    assert from_array.search_many(queries, 7) == before["from_array"]
    assert kept.rebuild() == []  # nothing left to do

    # Without a copy the lost shards cannot come back, and rebuild says so.
    with pytest.raises(RebuildError, match=r"shard 1 \(ids 100-199\) cannot be rebuilt: the "
                       r"client kept no copy of ids 100-199"):
        uncopied.rebuild()
    with pytest.raises(ShardError):
        uncopied.search(queries[0])
    for index in (kept, from_array, uncopied):
        index.close()
