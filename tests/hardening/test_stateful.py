"""Stateful property tests: random interleavings of insert, create and search,
with valid and refused arguments, checked against models written here.

- PyFlat: the model keeps the stored vectors in order and predicts every
  search result (ids and bit-exact distances) and every refusal; a refused
  call stores nothing, except that a create whose vector has the wrong length
  keeps the vectors before it.
- PyHNSW with one layer: every node has level 0, so the graph and every
  answer are deterministic. The model rebuilds the graph with the insertion
  algorithm (one linking pass per node from node 0, links both ways, lists
  never pruned) and answers queries with the layer search (beam search from
  node 0, candidates by distance then id, stop when the best candidate ranks
  after the last result, admission while the list is short or strictly
  nearer, bisection insertion), the metadata filter applied to neighbours and
  a failing entry node removed from the answer.
- PyHNSW with several layers: levels are random, so the model checks what
  holds for any levels: every node stays reachable (a query of NaNs scores
  every node NaN and so visits all of them), answers are ranked, distances
  are exact, filtered answers pass the filter, refusals store nothing.
"""

import math
import os
import struct
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, rule)

import tarsim
from reference import cosine, dot, euclidean

SANITIZED = bool(os.environ.get("TARSIM_SANITIZED"))
EXAMPLES = int(os.environ.get("TARSIM_STATEFUL_EXAMPLES", 60 if SANITIZED else 150))
STEPS = 30 if SANITIZED else 50
U32_MAX = 2**32 - 1
NAN, INF = math.nan, math.inf


def panic_exception():
    try:
        tarsim.PyFlat(1).create([[1.0, 2.0]])
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no PanicException")


PanicException = panic_exception()

# ---------------------------------------------------------------------------
# Arithmetic: the metric functions, sequential sums from position 0


FLAT_METRICS = {"cosine": cosine, "inner_product": dot}
HNSW_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}


def dkey(d):
    """Distance order: numbers numerically (-0.0 equals 0.0), NaN after all."""
    return (1, 0.0) if math.isnan(d) else (0, d)


def ranks_before(a, b):
    return dkey(a) < dkey(b)


def same(a, b):
    """Bit-exact equality of two results' floats, any NaN equal to any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def same_vector(a, b):
    return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))


def vector_key(v):
    return tuple(b"nan" if math.isnan(x) else struct.pack("<d", x) for x in v)


# ---------------------------------------------------------------------------
# Conversion of arguments, as the module does it


@dataclass
class Expect:
    """An expected refusal: exception type and exact message or prefix."""

    exc: type
    message: str | None = None
    prefix: str | None = None


class Refused(Exception):
    def __init__(self, expect):
        super().__init__(expect)
        self.expect = expect


def refuse(exc, message=None, prefix=None):
    raise Refused(Expect(exc, message, prefix))


def qualname(value):
    return type(value).__qualname__


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def as_sequence(value, name):
    """The items of a 'list of X' argument, or the refusal."""
    if isinstance(value, str):
        refuse(TypeError, f"argument '{name}': Can't extract `str` to `Vec`")
    if isinstance(value, (list, tuple, np.ndarray)):
        return list(value)
    refuse(TypeError, f"argument '{name}': '{qualname(value)}' object cannot be converted to "
                      "'Sequence'")


def as_float(item, name):
    if isinstance(item, float):
        return float(item)
    if isinstance(item, int):  # bool included
        try:
            return float(item)
        except OverflowError:
            refuse(OverflowError)
    refuse(TypeError, prefix=f"argument '{name}': ")


def as_floats(value, name):
    return [as_float(item, name) for item in as_sequence(value, name)]


def as_rows(value, name):
    return [as_floats(row, name) for row in as_sequence(value, name)]


def as_u32(value, name):
    if value is None:
        return None
    if not isinstance(value, int):
        refuse(TypeError, prefix=f"argument '{name}': ")
    if value < 0 or value >= 2**64:
        refuse(OverflowError)
    if value > U32_MAX:
        refuse(OverflowError, "out of range integral type conversion attempted")
    return int(value)


def as_name(value, name):
    if not isinstance(value, str):
        refuse(TypeError, f"argument '{name}': '{qualname(value)}' object cannot be converted to "
                          "'PyString'")
    if not encodable(value):
        refuse(UnicodeEncodeError)
    return value


def as_pair(value, name):
    if not isinstance(value, tuple):
        refuse(TypeError, f"argument '{name}': '{qualname(value)}' object cannot be converted to "
                          "'PyTuple'")
    if len(value) != 2:
        refuse(ValueError, f"expected tuple of length 2, but got tuple of length {len(value)}")
    return (as_name(value[0], name), value[1])


def as_pairs(value, name):
    return [as_pair(item, name) for item in as_sequence(value, name)]


def to_metadata(value):
    """A metadata value as (kind, payload), or None when not convertible."""
    if isinstance(value, str) and encodable(value):
        return ("String", str(value))
    if isinstance(value, int):
        if -(2**63) <= value < 2**63:
            return ("Integer", int(value))
        try:
            return ("Float", float(value))
        except OverflowError:
            return None
    if isinstance(value, float):
        return ("Float", float(value))
    return None


def metadata_equal(stored, wanted):
    return stored[0] == wanted[0] and stored[1] == wanted[1]  # floats: IEEE, NaN never


def build_row(schema, pairs):
    """The row for the pairs, or the refusal (last pair of a name wins)."""
    last = {}
    for name, value in pairs:
        last[name] = value
    row = []
    for name in schema:
        if name not in last:
            refuse(ValueError, f"Missing metadata for attribute '{name}'")
        value = to_metadata(last[name])
        if value is None:
            refuse(ValueError, f"Unsupported metadata type for attribute '{name}'")
        row.append(value)
    return tuple(row)


def run(call, outcome):
    """Runs a call whose outcome the model predicted: a value, or an Expect."""
    if not isinstance(outcome, Expect):
        return call()
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        event(f"refused: {type(e).__name__} {outcome.message or outcome.prefix or ''}"[:70])
        assert isinstance(e, outcome.exc), f"expected {outcome}, got {type(e).__name__}: {e}"
        if outcome.message is not None:
            assert str(e) == outcome.message
        if outcome.prefix is not None:
            assert str(e).startswith(outcome.prefix), f"{e!s} lacks {outcome.prefix!r}"
        return None
    raise AssertionError(f"expected {outcome}, the call succeeded")


# ---------------------------------------------------------------------------
# Strategies

def choice(n):
    """One of n cases, uniformly (integers() favours its bounds)."""
    return st.sampled_from(range(n))


small_float = st.integers(-3, 3).map(float)
component = st.one_of(
    small_float, small_float, st.integers(-3, 3), st.booleans(),
    st.floats(-100, 100, allow_subnormal=False),
    st.sampled_from([0.0, -0.0, 0.5, NAN, INF, -INF, 1e300]),
)
bad_component = st.sampled_from(["x", None, 10**400, b"1", [1.0]])
not_a_vector = st.sampled_from(["abc", "", None, 5, {"a": 1.0}, {1.0, 2.0}, 2.5])


@st.composite
def vector_arg(draw, dim, valid_share=0.85, floats_only=False):
    """A vector argument: mostly dim components in a list, tuple or array."""
    kind = draw(choice(100))
    if kind >= 100 * valid_share:
        broken = draw(choice(3))
        if broken == 0:
            return draw(not_a_vector)
        items = draw(st.lists(component, min_size=dim, max_size=dim))
        items.insert(draw(st.integers(0, len(items))), draw(bad_component))
        return items if broken == 1 else tuple(items)
    length = dim if draw(choice(10)) else draw(st.integers(0, dim + 2))
    items = draw(st.lists(small_float | st.floats(-100, 100) if floats_only else component,
                          min_size=length, max_size=length))
    container = draw(choice(10))
    if container == 0:
        return tuple(items)
    if container == 1:
        return np.array([float(x) for x in items], dtype=np.float64)
    return items


meta_value = st.one_of(
    st.sampled_from(["red", "blue", ""]),
    st.integers(-2, 2),
    st.booleans(),
    st.sampled_from([1.0, 2.0, 0.0, -0.0, NAN]),
    st.sampled_from([2**63, -(2**63) - 1, 2**2000, None, [1], b"x", "\ud800"]),
)
attribute = st.sampled_from(["a", "b", "c"])
# Values stored and filtered on: a small pool, so that filters often match,
# with the equality edge cases (True is the integer 1, 2.0 is not 2, -0.0 is 0.0).
common_value = st.sampled_from(["red", "blue", 1, 2, True, 2.0, 0.0, -0.0])


@st.composite
def row_pairs(draw, schema):
    """Pairs naming every schema attribute (so the row builds), in any order,
    with a repeated or extra name now and then."""
    pairs = [(name, draw(common_value)) for name in schema or []]
    if draw(st.booleans()):
        pairs.append((draw(attribute), draw(common_value)))
    return draw(st.permutations(pairs))


@st.composite
def metadata_arg(draw, schema):
    """None, a complete row, random pairs, or a malformed metadata argument."""
    kind = draw(choice(20))
    if kind < 6:
        return None
    if kind < 14:
        return draw(row_pairs(schema))
    if kind < 18:
        return draw(st.lists(st.tuples(attribute, meta_value), max_size=4))
    return draw(st.sampled_from(["ab", {"a": 1}, [["a", 1]], [("a", 1, 2)], [(1, 1)],
                                 [("\ud800", 1)], [("a",)], 7]))


@st.composite
def filter_arg(draw, schema):
    kind = draw(choice(20))
    if kind < 6:
        return None
    if kind < 13 and schema:
        return (draw(st.sampled_from(schema)), draw(common_value))
    if kind < 18:
        return (draw(attribute), draw(meta_value))
    return draw(st.sampled_from([["a", 1], ("a",), (1, 1), ("\ud800", 1), ("a", 1, 2), "a"]))


k_arg = st.one_of(
    st.none(), st.integers(0, 6), st.integers(0, 6), st.sampled_from([U32_MAX, 100]),
    st.none(), st.integers(0, 6), st.sampled_from([-1, 2**32, 2**64, 2.0, "1", True]),
)


# ---------------------------------------------------------------------------
# PyFlat


class FlatMachine(RuleBasedStateMachine):
    @initialize(dim=st.sampled_from([1, 2, 3, 4, 1, 2, 3, 0]),
                metric=st.sampled_from([None, "cosine", "inner_product", "euclidean", "angular",
                                        "Cosine", ""]))
    def setup(self, dim, metric):
        self.dim = dim
        self.distance = FLAT_METRICS.get(metric, euclidean)
        self.index = tarsim.PyFlat(dim, metric)
        self.stored = []  # vectors in id order; stays empty with dim 0

    def store(self, vector):
        if self.dim > 0:
            self.stored.append(vector)

    @rule(data=st.data())
    def insert(self, data):
        value = data.draw(vector_arg(self.dim), label="vector")
        try:
            vector = as_floats(value, "vector")
            if len(vector) != self.dim:
                refuse(ValueError, f"Expected vector of length {self.dim}, got {len(vector)}")
        except Refused as r:
            run(lambda: self.index.insert(value), r.expect)
            return
        assert self.index.insert(value) is None
        self.store(vector)

    @rule(vector=st.lists(small_float, min_size=4, max_size=4))
    def insert_plain(self, vector):
        # Valid inserts, so that most runs search a filled index.
        self.index.insert(vector[: self.dim])
        self.store(vector[: self.dim])

    @rule(data=st.data())
    def create(self, data):
        shape = data.draw(choice(10), label="shape")
        if shape == 0:
            value = data.draw(st.sampled_from([[], "ab", None, [[1.0] * self.dim, "ab"],
                                               [[1.0] * self.dim, None]]), label="vectors")
        elif shape == 1:
            n = data.draw(choice(5), label="rows")
            value = np.array(data.draw(st.lists(st.floats(-10, 10), min_size=n * self.dim,
                                                max_size=n * self.dim)),
                             dtype=np.float64).reshape(n, self.dim)
        else:
            value = data.draw(st.lists(vector_arg(self.dim, valid_share=0.95), max_size=4),
                              label="vectors")
        try:
            rows = as_rows(value, "vectors")
            if not rows:
                refuse(ValueError, "Create error: EmptyVectors")
        except Refused as r:
            run(lambda: self.index.create(value), r.expect)
            return
        bad = next((i for i, row in enumerate(rows) if len(row) != self.dim), None)
        if bad is None:
            assert self.index.create(value) is None
            for row in rows:
                self.store(row)
            return
        # The explicit length failure: the vectors before the bad one stay.
        message = f"Vector length {len(rows[bad])} does not match index dimension {self.dim}"
        run(lambda: self.index.create(value), Expect(PanicException, message))
        for row in rows[:bad]:
            self.store(row)

    @rule(data=st.data())
    def search(self, data):
        query_value = data.draw(vector_arg(self.dim, valid_share=0.9), label="query")
        k_value = data.draw(k_arg, label="k")
        try:
            query = as_floats(query_value, "query")
            k = as_u32(k_value, "k")
            if len(query) != self.dim:
                refuse(ValueError, f"Expected query of length {self.dim}, got {len(query)}")
            if not self.stored:
                refuse(ValueError, "Search error: EmptyIndex")
        except Refused as r:
            run(lambda: self.index.search(query_value, k_value), r.expect)
            return
        k = 1 if k is None else k
        ranked = sorted(((self.distance(query, v), i) for i, v in enumerate(self.stored)),
                        key=lambda p: (dkey(p[0]), p[1]))
        expected = [(i, d) for d, i in ranked[: max(k, 1)]]
        got = self.index.search(query_value, k_value)
        event(f"flat search answered with {min(len(got), 3)}+ results")
        assert [i for i, _ in got] == [i for i, _ in expected]
        assert all(same(d, e) for (_, d), (_, e) in zip(got, expected)), (got, expected)

    @invariant()
    def holds_exactly_the_model(self):
        # An exhaustive search names every stored id once, in ranking order.
        if not hasattr(self, "index"):
            return
        query = [0.25] * self.dim
        if not self.stored:
            run(lambda: self.index.search(query), Expect(ValueError, "Search error: EmptyIndex"))
            return
        got = self.index.search(query, U32_MAX)
        assert sorted(i for i, _ in got) == list(range(len(self.stored)))


# ---------------------------------------------------------------------------
# PyHNSW: argument checks shared by both machines


class HNSWRules(RuleBasedStateMachine):
    """The rules and refusals of PyHNSW; subclasses supply the core."""

    def setup_index(self, dim, layers, efc, efs, metric, schema):
        self.dim, self.layers, self.efc, self.efs = dim, layers, efc, efs
        self.schema = schema
        self.distance = HNSW_METRICS[metric]
        self.index = tarsim.PyHNSW(dim, layers, 16, efc, efs, metric, schema)
        self.vectors = []  # node id -> vector
        self.rows = []  # node id -> row, or None when inserted without one

    @rule(vector=st.lists(small_float, min_size=3, max_size=3), value=common_value)
    def insert_plain(self, vector, value):
        # Valid inserts, so that most runs search a filled index.
        vector = vector[: self.dim]
        row = None if self.schema is None else [(name, value) for name in self.schema]
        error = self.core_insert(vector, None if row is None else build_row(self.schema, row))
        run(lambda: self.index.insert(vector, row),
            Expect(ValueError, "Insert error: " + error) if error else None)

    @rule(data=st.data())
    def insert(self, data):
        value = data.draw(vector_arg(self.dim), label="vector")
        metadata = data.draw(metadata_arg(self.schema), label="metadata")
        try:
            vector = as_floats(value, "vector")
            row = None
            if metadata is not None:
                pairs = as_pairs(metadata, "metadata")
                if self.schema is None:
                    refuse(ValueError, "No schema provided in HNSW instance; cannot use metadata")
                row = build_row(self.schema, pairs)
            if len(vector) != self.dim:
                refuse(ValueError, f"Expected vector of length {self.dim}, got {len(vector)}")
        except Refused as r:
            run(lambda: self.index.insert(value, metadata), r.expect)
            return
        error = self.core_insert(vector, row)
        run(lambda: self.index.insert(value, metadata),
            Expect(ValueError, "Insert error: " + error) if error else None)

    @rule(data=st.data())
    def create(self, data):
        n = data.draw(choice(5), label="count")
        value = data.draw(st.lists(vector_arg(self.dim, valid_share=0.95), min_size=n,
                                   max_size=n), label="vectors")
        if data.draw(choice(10), label="as array") == 0 and n:
            value = np.array([[float(i + j) for j in range(self.dim)] for i in range(n)])
        shape = data.draw(choice(10), label="metadata shape")
        if shape < 4:
            metadata = None
        elif shape < 6:
            metadata = data.draw(st.lists(row_pairs(self.schema), min_size=n, max_size=n),
                                 label="metadata")
        elif shape < 8:
            metadata = data.draw(st.lists(st.lists(st.tuples(attribute, meta_value), max_size=3),
                                          min_size=n, max_size=n), label="metadata")
        elif shape == 8:
            metadata = data.draw(st.lists(st.lists(st.tuples(attribute, meta_value), max_size=3),
                                          max_size=5), label="metadata")
        else:
            metadata = data.draw(st.sampled_from(["ab", ["ab"], [{"a": 1}], [[("a",)]], 3]),
                                 label="metadata")
        try:
            vectors = as_rows(value, "vectors")
            entries = None
            if metadata is not None:
                entries = [as_pairs(entry, "metadata") for entry in as_sequence(metadata, "metadata")]
            if entries is None:
                if not vectors:
                    refuse(ValueError, "Create error: EmptyVectors")
                rows = [None] * len(vectors)
            else:
                if len(entries) != len(vectors):
                    refuse(ValueError, "Length of metadata list must match number of vectors")
                if self.schema is None:
                    refuse(ValueError, "No schema provided in HNSW instance; cannot use metadata")
                rows = [build_row(self.schema, pairs) for pairs in entries]
            bad = next((v for v in vectors if len(v) != self.dim), None)
            if bad is not None:
                refuse(ValueError, f"Expected vector of length {self.dim}, got {len(bad)}")
            if not vectors:
                refuse(ValueError, "Create error: EmptyVectors")
        except Refused as r:
            run(lambda: self.index.create(value, metadata), r.expect)
            return
        error = None
        for vector, row in zip(vectors, rows):
            error = self.core_insert(vector, row)
            if error:
                break
        run(lambda: self.index.create(value, metadata),
            Expect(ValueError, "Create error: " + error) if error else None)

    def search_outcome(self, query_value, k_value, filter_value):
        """(query, k, filter) or the refusal, in the module's order of checks."""
        query = as_floats(query_value, "query")
        k = as_u32(k_value, "k")
        wanted = None
        if filter_value is not None:
            name, value = as_pair(filter_value, "filter")
            if self.schema is None:
                refuse(ValueError,
                       "No schema provided in HNSW instance; cannot use metadata filtering")
            wanted = to_metadata(value)
            if wanted is None:
                refuse(ValueError, "Unsupported type for metadata filter")
            wanted = (name, wanted)
        if self.vectors:
            if self.efs == 0:
                refuse(ValueError, "Search error: InvalidEF")
            if wanted is not None and not self.schema:
                refuse(ValueError, "Search error: EmptySchema")
            if wanted is not None and wanted[0] not in self.schema:
                refuse(ValueError, "Search error: AttributeNotFound")
        return query, (1 if k is None else k), wanted

    def passes(self, node, wanted):
        row = self.rows[node]
        if row is None:
            return False
        return metadata_equal(row[self.schema.index(wanted[0])], wanted[1])

    @rule(data=st.data())
    def search(self, data):
        length = max(0, self.dim + data.draw(st.integers(-1, 1), label="query length change"))
        query_value = data.draw(vector_arg(length, valid_share=0.9), label="query")
        k_value = data.draw(k_arg, label="k")
        filter_value = data.draw(filter_arg(self.schema), label="filter")
        try:
            query, k, wanted = self.search_outcome(query_value, k_value, filter_value)
        except Refused as r:
            run(lambda: self.index.search(query_value, k_value, filter_value), r.expect)
            return
        got = self.index.search(query_value, k_value, filter_value)
        event(f"hnsw search answered with {min(len(got), 3)}+ results"
              f"{' filtered' if wanted else ''}")
        assert isinstance(got, list)
        if not self.vectors:
            assert got == []
            return
        for distance, vector in got:
            assert len(vector) == self.dim
            assert same(distance, self.distance(query, vector))
        self.check_answer(query, k, wanted, got)


def same_answer(got, expected):
    return len(got) == len(expected) and all(
        same(d, e) and same_vector(v, w) for (d, v), (e, w) in zip(got, expected))


class OneLayerHNSWMachine(HNSWRules):
    """layers = 1: the model predicts the graph and every answer."""

    @initialize(dim=st.sampled_from([1, 2, 3, 1, 2, 3, 0]),
                metric=st.sampled_from(["euclidean", "angular", "inner_product"]),
                efc=st.sampled_from([0, 1, 2, 3, 5, 8]),
                efs=st.sampled_from([0, 1, 2, 3, 5, 50]),
                schema=st.sampled_from([None, [], ["a"], ["a", "b"], ["b", "a", "b"]]))
    def setup(self, dim, metric, efc, efs, schema):
        self.setup_index(dim, 1, efc, efs, metric, schema)
        self.links = []

    def core_insert(self, vector, row):
        n = len(self.vectors)
        self.vectors.append(vector)
        self.rows.append(row if self.schema else None)
        self.links.append([])
        if n == 0:
            return None
        if self.efc == 0:
            return "InvalidEF"  # the node stays stored, unlinked
        found = self.knn(vector, self.efc, None)
        for _, r in found:
            self.links[r].append(n)
        self.links[n].extend(r for _, r in found)
        return None

    def knn(self, query, ef, wanted):
        """The layer-0 search from node 0."""
        import heapq

        d0 = self.distance(query, self.vectors[0])
        results = [(d0, 0)]
        candidates = [(dkey(d0), 0, d0)]
        visited = {0}
        while candidates:
            _, c, dc = heapq.heappop(candidates)
            worst = results[-1][0]
            if not math.isnan(worst) and ranks_before(worst, dc):
                break
            for j in self.links[c]:
                if wanted is not None and not self.passes(j, wanted):
                    continue
                d = self.distance(query, self.vectors[j])
                if j in visited:
                    continue
                visited.add(j)
                if len(results) < ef or d < results[-1][0]:
                    heapq.heappush(candidates, (dkey(d), j, d))
                    results.insert(self.position(results, d), (d, j))
                    if len(results) > ef:
                        results.pop()
        return results

    @staticmethod
    def position(results, d):
        base, size = 0, len(results)
        while size > 1:
            half = size // 2
            mid = base + half
            if not ranks_before(d, results[mid][0]):
                base = mid
            size -= half
        return base + 1 if ranks_before(results[base][0], d) else base

    def check_answer(self, query, k, wanted, got):
        found = self.knn(query, self.efs, wanted)
        if wanted is not None and not self.passes(0, wanted):
            found = [(d, j) for d, j in found if j != 0]
        expected = [(d, self.vectors[j]) for d, j in found[: max(k, 1)]]
        assert same_answer(got, expected), f"got {got}, expected {expected}"


class LayeredHNSWMachine(HNSWRules):
    """Several layers with random levels: what holds for any levels."""

    @initialize(dim=st.sampled_from([1, 2, 3]),
                layers=st.integers(2, 4),
                metric=st.sampled_from(["euclidean", "angular", "inner_product"]),
                efc=st.sampled_from([1, 2, 4, 16]),
                schema=st.sampled_from([None, ["a"], ["a", "b"]]))
    def setup(self, dim, layers, metric, efc, schema):
        self.setup_index(dim, layers, efc, 10**6, metric, schema)
        self.serial = 0

    def core_insert(self, vector, row):
        self.vectors.append(vector)
        self.rows.append(row if self.schema else None)
        return None

    def node_of(self, vector):
        matches = [i for i, v in enumerate(self.vectors) if same_vector(v, vector)]
        assert matches, f"{vector} was never stored"
        return matches

    def check_answer(self, query, k, wanted, got):
        assert len(got) <= max(k, 1)
        if wanted is None:
            assert got, "an unfiltered search of a non-empty index found nothing"
        keys = [dkey(d) for d, _ in got]
        assert keys == sorted(keys)
        for _, vector in got:
            nodes = self.node_of(vector)
            if wanted is not None:
                # Equal vectors may belong to several nodes; one of them passes.
                assert any(self.passes(n, wanted) for n in nodes)

    @invariant()
    def every_node_is_reachable(self):
        if not hasattr(self, "index"):
            return
        # A NaN query scores every node NaN: the layer-0 search never stops
        # early and admits every node it meets, so it reaches all of them.
        got = self.index.search([NAN] * self.dim, U32_MAX)
        assert sorted(vector_key(v) for _, v in got) == sorted(vector_key(v) for v in self.vectors)


def machine_settings(examples):
    return settings(max_examples=examples, stateful_step_count=STEPS, deadline=None,
                    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink],
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


TestFlatStateful = FlatMachine.TestCase
TestFlatStateful.settings = machine_settings(EXAMPLES)
TestOneLayerHNSWStateful = OneLayerHNSWMachine.TestCase
TestOneLayerHNSWStateful.settings = machine_settings(EXAMPLES)
TestLayeredHNSWStateful = LayeredHNSWMachine.TestCase
TestLayeredHNSWStateful.settings = machine_settings(max(EXAMPLES // 2, 10))


# ---------------------------------------------------------------------------
# The one-layer model against hand-worked cases, so that a fault shared by the
# model and the index cannot hide.


def test_one_layer_graph_worked_by_hand():
    # Inserting 0, 2, 1, 5 links (by the insertion algorithm) 0:[1,2,3]
    # 1:[0,2,3] 2:[1,0,3] 3:[1,2,0]; node 0 reaches every node at once.
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", ef_construction=4, ef_search=4)
    for x in (0.0, 2.0, 1.0, 5.0):
        index.insert([x])
    got = index.search([0.9], 4)
    assert [v for _, v in got] == [[1.0], [0.0], [2.0], [5.0]]
    assert [d for d, _ in got] == [euclidean([0.9], [x]) for x in (1.0, 0.0, 2.0, 5.0)]
    # With ef_search 1 the walk is greedy: from node 0 (distance 4) node 1
    # (2) is admitted, node 2 (3) is not, node 3 (1) replaces node 1.
    greedy = tarsim.PyHNSW(1, layers=1, metric="euclidean", ef_construction=4, ef_search=1)
    for x in (0.0, 2.0, 1.0, 5.0):
        greedy.insert([x])
    assert greedy.search([4.0], 10) == [(1.0, [5.0])]


def test_equal_distances_follow_the_bisection_rule():
    # Nodes 1, 2, 3 lie at distance 2 from the query and are met in that
    # order in node 0's list; each new one goes before the last equal entry
    # the bisection lands on: [0, 2, 3, 1], neither id order nor its reverse.
    index = tarsim.PyHNSW(2, layers=1, metric="euclidean", ef_construction=10, ef_search=10)
    points = ([1.0, 0.0], [2.0, 0.0], [-2.0, 0.0], [0.0, 2.0])
    for p in points:
        index.insert(p)
    got = index.search([0.0, 0.0], 10)
    assert got == [(1.0, [1.0, 0.0]), (2.0, [-2.0, 0.0]), (2.0, [0.0, 2.0]), (2.0, [2.0, 0.0])]
    model = OneLayerHNSWMachine()
    model.setup_index(2, 1, 10, 10, "euclidean", None)
    model.links = []
    for p in points:
        model.core_insert(p, None)
    assert model.links == [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 2, 1]]
    model.check_answer([0.0, 0.0], 10, None, got)


def test_filtered_answer_drops_a_failing_entry_node():
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", ef_search=10, schema=["a"])
    index.insert([0.0], [("a", "no")])
    index.insert([1.0], [("a", "yes")])
    index.insert([2.0])  # no row: passes no filter
    assert index.search([0.0], 10, ("a", "yes")) == [(1.0, [1.0])]
    assert index.search([0.0], 10, ("a", "no")) == [(0.0, [0.0])]
    assert index.search([0.0], 10, ("a", "maybe")) == []


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_models_agree_on_a_larger_one_layer_graph(metric):
    rng = np.random.default_rng(5)
    machine = OneLayerHNSWMachine()
    machine.setup_index(4, 1, 6, 8, metric, ["a"])
    machine.links = []
    for i in range(300):
        vector = [float(x) for x in rng.integers(-3, 4, size=4)]
        machine.index.insert(vector, [("a", i % 3)])
        machine.core_insert(vector, (("Integer", i % 3),))
    for _ in range(100):
        query = [float(x) for x in rng.normal(size=4)]
        for f in (None, ("a", 1)):
            wanted = None if f is None else ("a", ("Integer", 1))
            got = machine.index.search(query, 5, f)
            machine.check_answer(query, 5, wanted, got)
