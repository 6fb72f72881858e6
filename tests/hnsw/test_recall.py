"""Recall of the graph index against an exact search on clustered data."""
import numpy as np

import tarsim


def test_recall_at_10_with_default_parameters():
    rng = np.random.default_rng(20240611)
    n, dim, clusters, queries = 3000, 32, 40, 200
    centers = rng.normal(0.0, 4.0, (clusters, dim))
    data = centers[rng.integers(0, clusters, n)] + rng.normal(0.0, 1.0, (n, dim))
    probes = centers[rng.integers(0, clusters, queries)] + rng.normal(0.0, 1.0, (queries, dim))

    index = tarsim.PyHNSW(dim, metric="euclidean")
    index.create(data)

    row_of = {row.tobytes(): i for i, row in enumerate(data)}
    assert len(row_of) == n
    found = 0
    for q in probes:
        result = index.search(q, k=10)
        assert len(result) == 10
        ids = [row_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in result]
        exact = np.sqrt(((data - q) ** 2).sum(axis=1))
        # The distances handed back are those of the stored vectors, in order.
        assert np.allclose([d for d, _ in result], exact[ids], rtol=1e-12, atol=0)
        assert all(a[0] <= b[0] for a, b in zip(result, result[1:]))
        found += len(set(ids) & set(np.argsort(exact, kind="stable")[:10].tolist()))
    recall = found / (10 * queries)
    assert recall >= 0.95, recall
