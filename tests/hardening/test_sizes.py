"""Large and hostile sizes: each works or raises a clean exception, and memory
stays bounded by what was stored."""

import math
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarsim

SANITIZED = bool(os.environ.get("TARSIM_SANITIZED"))
U32_MAX = 2**32 - 1
MB = 1 << 20


def panic_exception():
    try:
        tarsim.PyFlat(1).create([[1.0, 2.0]])
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no PanicException")


PanicException = panic_exception()


def rss():
    """Resident memory of this process in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def euclidean(a, b):
    s = 0.0
    for x, y in zip(a, b):
        d = x - y
        s = s + d * d
    return math.sqrt(s)


def euclidean_rows(rows, query):
    """Euclidean distance of every row, summed position by position from 0."""
    diff = rows - query
    sq = diff * diff
    total = np.zeros(len(rows))
    for j in range(rows.shape[1]):
        total = total + sq[:, j]
    return np.sqrt(total)


# ---------------------------------------------------------------------------
# dim 0


def test_flat_of_dimension_zero_stores_nothing_and_never_divides_by_zero():
    index = tarsim.PyFlat(0)
    for _ in range(3):
        index.insert([])
    index.create([[], [], ()])
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        index.search([], U32_MAX)
    with pytest.raises(ValueError, match="^Expected vector of length 0, got 1$"):
        index.insert([1.0])
    with pytest.raises(ValueError, match="^Expected query of length 0, got 2$"):
        index.search([1.0, 2.0])
    with pytest.raises(PanicException, match="^Vector length 1 does not match index dimension 0$"):
        index.create([[], [1.0]])
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        index.search([])


@pytest.mark.parametrize("metric,distance", [("euclidean", 0.0), ("inner_product", 0.0),
                                             ("angular", math.nan)])
def test_hnsw_of_dimension_zero_works_for_every_metric(metric, distance):
    index = tarsim.PyHNSW(0, metric=metric, ef_construction=8, schema=["a"])
    for i in range(20):
        index.insert([], [("a", i % 2)])
    index.create([[]] * 5)
    index.create([[], []], [[("a", 1)], [("a", 0)]])
    for query in ([], [1.0, 2.0]):
        got = index.search(query, U32_MAX)
        assert got and all(v == [] for _, v in got)
        assert all(d == distance or (math.isnan(d) and math.isnan(distance)) for d, _ in got)
    assert all(v == [] for _, v in index.search([], 10, ("a", 1)))
    with pytest.raises(ValueError, match="^Expected vector of length 0, got 1$"):
        index.insert([1.0])


# ---------------------------------------------------------------------------
# dim 65,536


def test_flat_of_dimension_65536_ranks_exactly():
    dim = 65536
    rng = np.random.default_rng(1)
    rows = rng.normal(size=(6, dim))
    index = tarsim.PyFlat(dim)
    for row in rows[:3]:
        index.insert(row.tolist())
    index.create(rows[3:])
    query = rng.normal(size=dim)
    expected = sorted((euclidean(query.tolist(), r.tolist()), i) for i, r in enumerate(rows))
    assert index.search(query.tolist(), U32_MAX) == [(i, d) for d, i in expected]
    with pytest.raises(ValueError, match="^Expected vector of length 65536, got 65535$"):
        index.insert([0.0] * (dim - 1))


def test_hnsw_of_dimension_65536_answers_with_exact_distances():
    dim = 65536
    rng = np.random.default_rng(2)
    rows = rng.normal(size=(8, dim))
    index = tarsim.PyHNSW(dim, metric="euclidean", ef_construction=8)
    index.create(rows)
    query = rng.normal(size=dim).tolist()
    got = index.search(query, U32_MAX)
    assert 1 <= len(got) <= 8
    stored = [r.tolist() for r in rows]
    for d, v in got:
        assert v in stored
        assert d == euclidean(query, v)
    with pytest.raises(ValueError, match="^Expected vector of length 65536, got 3$"):
        index.create([rows[0], [1.0, 2.0, 3.0]])


# ---------------------------------------------------------------------------
# k = 4,294,967,295 and beyond


def test_largest_k_returns_what_exists_without_reserving_k_entries():
    flat = tarsim.PyFlat(2)
    flat.create([[float(i), 0.0] for i in range(100)])
    got = flat.search([0.0, 0.0], U32_MAX)
    assert [i for i, _ in got] == list(range(100))
    hnsw = tarsim.PyHNSW(2, metric="euclidean", ef_search=30, ef_construction=8)
    assert hnsw.search([0.0, 0.0], U32_MAX) == []
    hnsw.create([[float(i), 0.0] for i in range(100)])
    got = hnsw.search([0.0, 0.0], U32_MAX)
    assert 1 <= len(got) <= 30
    for index in (flat, hnsw):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            index.search([0.0, 0.0], 2**32)
        with pytest.raises(OverflowError):
            index.search([0.0, 0.0], 2**64)


# ---------------------------------------------------------------------------
# layers 0 and the largest layer count


def test_layers_zero_stores_and_refuses_every_query():
    index = tarsim.PyHNSW(4, layers=0, metric="euclidean", schema=["a"])
    assert index.search([0.0] * 4, 5, ("zz", 1)) == []
    for i in range(5):
        index.insert([float(i)] * 4, [("a", i)])
    index.create([[1.0] * 4, [2.0] * 4])
    for f in (None, ("a", 1), ("zz", 1)):
        with pytest.raises(ValueError, match="^Search error: InvalidLayer$"):
            index.search([0.0] * 4, 5, f)


CHILD = textwrap.dedent("""
    import resource, sys
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    import tarsim
    print(tarsim.__file__)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    index = tarsim.PyHNSW(4, layers=4294967295, ef_construction=0, metric="euclidean")
    print(index.search([0.0, 0.0, 0.0, 0.0]))
    index.insert([1.0, 2.0, 3.0, 4.0])
    for _ in range(20):
        try:
            index.insert([0.0, 0.0, 0.0, 0.0])
        except ValueError as e:
            print(e)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(grown < 16 * 1024)
""")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer needs an unlimited address space")
def test_the_largest_layer_count_costs_no_memory_per_layer():
    # 4294967295 layers would want 34 GB of level weights if the ones that
    # underflow to 0 were stored. The child process runs with its address
    # space capped at 2 GiB, so such an allocation would fail there whatever
    # this machine's memory and overcommit policy allow. Every insertion
    # after the first draws its level (from the positive weights) and stores
    # its node, then stops at its first linking pass with ef_construction 0.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tarsim.__file__)] + [p for p in sys.path if p])
    result = subprocess.run([sys.executable, "-c", CHILD, str(2 << 30)], capture_output=True,
                            text=True, env=env, timeout=120, cwd=os.path.dirname(tarsim.__file__))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == tarsim.__file__
    assert lines[1:] == ["[]"] + ["Insert error: InvalidEF"] * 20 + ["True"]


# ---------------------------------------------------------------------------
# Sequences that claim more than they hold


class Claims:
    """A sequence whose __len__ reports `claimed` items but which yields `items`."""

    def __init__(self, items, claimed=2**60):
        self.items = list(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]  # IndexError past the end ends the iteration


@pytest.mark.parametrize("claimed", [2**60, 2**63 - 1, 2**63, -1])
def test_a_length_claim_does_not_decide_what_is_stored(claimed):
    before = rss()
    flat = tarsim.PyFlat(3)
    flat.insert(Claims([1.0, 2.0, 3.0], claimed))
    flat.create(Claims([Claims([4.0, 5.0, 6.0], claimed)] * 3, claimed))
    with pytest.raises(ValueError, match="^Expected vector of length 3, got 2$"):
        flat.insert(Claims([1.0, 2.0], claimed))
    assert [i for i, _ in flat.search(Claims([0.0, 0.0, 0.0], claimed), U32_MAX)] == [0, 1, 2, 3]
    hnsw = tarsim.PyHNSW(3, metric="euclidean", schema=Claims(["a"], claimed))
    hnsw.insert(Claims([1.0, 2.0, 3.0], claimed), Claims([("a", 1)], claimed))
    hnsw.create(Claims([[4.0, 5.0, 6.0]] * 2, claimed),
                Claims([Claims([("a", 2)], claimed)] * 2, claimed))
    got = hnsw.search(Claims([0.0, 0.0, 0.0], claimed), U32_MAX, ("a", 2))
    assert [v for _, v in got] == [[4.0, 5.0, 6.0]] * 2
    assert rss() - before < 64 * MB


# ---------------------------------------------------------------------------
# One million vectors


def test_one_million_flat_vectors_of_dimension_16():
    n, dim = 1_000_000, 16
    rng = np.random.default_rng(3)
    start = rss()
    data = rng.normal(size=(n, dim))
    index = tarsim.PyFlat(dim)
    # Most through the buffer path, a slice as lists of lists and as single
    # inserts of lists.
    index.create(data[:900_000])
    index.create(data[900_000:950_000].tolist())
    for row in data[950_000:].tolist():
        index.insert(row)
    stored = rss() - start
    # The data once in numpy and once in the index, plus slack; the
    # conversion's temporary copy is gone.
    if not SANITIZED:
        assert stored < 2 * data.nbytes + 96 * MB, f"{stored / MB:.0f} MB for {data.nbytes / MB:.0f} MB"
    for q in range(3):
        query = rng.normal(size=dim)
        distances = euclidean_rows(data, query)
        order = np.lexsort((np.arange(n), distances))[:10]
        got = index.search(query.tolist(), 10)
        assert [i for i, _ in got] == order.tolist()
        assert [d for _, d in got] == distances[order].tolist()
    assert len(index.search([0.0] * dim, U32_MAX)) == n
    if not SANITIZED:
        held = rss()
        del index
        assert held - rss() > data.nbytes * 0.9  # freeing the index returns its memory


@pytest.mark.skipif(SANITIZED, reason="the sanitizer keeps freed memory in quarantine")
def test_freed_indexes_return_their_memory():
    data = np.ones((100_000, 16))  # 12.8 MB per index
    baseline = None
    for round_ in range(40):
        flat = tarsim.PyFlat(16)
        flat.create(data)
        hnsw = tarsim.PyHNSW(16, metric="euclidean", ef_construction=2, layers=2)
        hnsw.create(data[:2000])
        del flat, hnsw
        if round_ == 4:
            baseline = rss()
    # 35 more rounds would have kept over 450 MB had any index leaked.
    assert rss() - baseline < 32 * MB
