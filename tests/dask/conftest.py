"""A two-worker Dask cluster on loopback for the tests of tarsim_dask.

Every test module that uses `client` gets its own cluster, started and closed
by the fixture, so that a test which kills a worker cannot disturb another
module. The tests of this folder are skipped when dask.distributed is not
installed and under the sanitizer run (cluster_support.skip_unless_usable).
"""
from __future__ import annotations

import pytest

from cluster_support import TIMEOUT


@pytest.fixture(scope="module")
def cluster():
    import dask
    from distributed import LocalCluster

    with dask.config.set({"distributed.comm.timeouts.connect": "10s"}):
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None, timeout=TIMEOUT)
        try:
            yield cluster
        finally:
            cluster.close(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def client(cluster):
    from distributed import Client

    with Client(cluster, timeout=TIMEOUT) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        yield client
