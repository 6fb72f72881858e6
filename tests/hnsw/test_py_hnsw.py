"""PyHNSW, the graph index, as users meet it."""
import heapq
import math
import random
import struct

import pytest

import tarsim
from reference import cosine, dot, euclidean


METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}


def bits(result):
    """A search result with every float as its bit pattern (NaNs alike)."""
    def f(x):
        return "nan" if math.isnan(x) else struct.pack("<d", x)
    return [(f(d), [f(x) for x in v]) for d, v in result]


def graph(dim=2, **kwargs):
    kwargs.setdefault("metric", "euclidean")
    return tarsim.PyHNSW(dim, **kwargs)


# ---------------------------------------------------------------------------
# Construction

def test_defaults():
    index = graph(4)
    rng = random.Random(7)
    vectors = [[rng.uniform(-1, 1) for _ in range(4)] for _ in range(120)]
    index.create(vectors)
    # ef_search 50 bounds the answer; everything is reachable at this size.
    assert len(index.search([0.0] * 4, k=1000)) == 50
    assert len(index.search([0.0] * 4, k=7)) == 7
    # No schema: a filter is refused.
    with pytest.raises(ValueError, match="cannot use metadata filtering"):
        index.search([0.0] * 4, filter=("a", 1))


@pytest.mark.parametrize("kwargs", [
    {}, {"metric": None}, {"metric": "Euclidean"}, {"metric": "EUCLIDEAN"},
    {"metric": "Angular"}, {"metric": "Inner_product"}, {"metric": "cosine"},
    {"metric": ""}, {"metric": "euclidean "}, {"metric": "inner product"},
    {"metric": "euclidean\x00"}, {"metric": "dot"},
    {"schema": ["a"], "layers": 1},
], ids=lambda kw: repr(kw))
def test_unsupported_metric(kwargs):
    with pytest.raises(ValueError) as info:
        tarsim.PyHNSW(4, **kwargs)
    assert type(info.value) is ValueError
    assert str(info.value) == "Unsupported metric"


BAD = {"dim": "x", "layers": "x", "m": "x", "ef_construction": "x", "ef_search": "x",
       "metric": 5, "schema": 5}
ORDER = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]


@pytest.mark.parametrize("first", range(len(ORDER)), ids=ORDER)
def test_constructor_converts_in_order_before_checking_the_metric(first):
    kwargs = {name: BAD[name] for name in ORDER[first:]}
    kwargs.setdefault("dim", 1)
    with pytest.raises(TypeError) as info:
        tarsim.PyHNSW(**kwargs)
    assert str(info.value).startswith(f"argument '{ORDER[first]}': ")
    # The same with every value given by position.
    args = [kwargs.get(name) for name in ORDER]
    with pytest.raises(TypeError) as info:
        tarsim.PyHNSW(*args)
    assert str(info.value).startswith(f"argument '{ORDER[first]}': ")


def test_conversion_overflow_before_unsupported_metric():
    with pytest.raises(OverflowError):
        tarsim.PyHNSW(2, layers=-1)
    with pytest.raises(OverflowError):
        tarsim.PyHNSW(2, 1, 1, 1, 2**32, "nope")


@pytest.mark.parametrize("schema", ["ab", "", type("S", (str,), {})("a")])
def test_schema_as_str_is_refused(schema):
    with pytest.raises(TypeError) as info:
        graph(schema=schema)
    assert str(info.value) == "argument 'schema': Can't extract `str` to `Vec`"


def test_every_argument_by_position():
    index = tarsim.PyHNSW(2, 3, 8, 100, 20, "angular", ["a", "b"])
    index.insert([1.0, 0.0], [("a", 1), ("b", "x")])
    index.insert([1.0, 1.0], [("a", 2), ("b", "y")])
    index.insert([0.0, 1.0], [("a", 2), ("b", "x")])
    # Angular: the raw cosine, least similar first.
    assert index.search([1.0, 0.0], 3) == [
        (0.0, [0.0, 1.0]), (cosine([1.0, 0.0], [1.0, 1.0]), [1.0, 1.0]), (1.0, [1.0, 0.0])]
    assert index.search([1.0, 0.0], 3, ("b", "x")) == [(0.0, [0.0, 1.0]), (1.0, [1.0, 0.0])]


@pytest.mark.parametrize("args, check", [
    # layers at position 1
    ((2, 0, None, None, None, "euclidean"), "InvalidLayer"),
    # ef_construction at position 3
    ((2, None, None, 0, None, "euclidean"), "InsertInvalidEF"),
    # ef_search at position 4
    ((2, 1, None, None, 0, "euclidean"), "InvalidEF"),
    ((2, 1, None, None, 3, "euclidean"), 3),
    ((2, 1, None, None, None, "inner_product"), "inner_product"),
    # m at position 2 changes nothing
    ((2, 1, 0, None, 4, "euclidean"), 4),
    ((2, 1, 2**32 - 1, None, 4, "euclidean"), 4),
])
def test_positional_arguments_take_effect(args, check):
    index = tarsim.PyHNSW(*args)
    index.insert([0.0, 0.0])
    if check == "InsertInvalidEF":
        with pytest.raises(ValueError, match=r"^Insert error: InvalidEF$"):
            index.insert([1.0, 1.0])
        return
    for i in range(1, 10):
        index.insert([float(i), 0.0])
    if isinstance(check, int):
        assert len(index.search([0.0, 0.0], k=100)) == check
    elif check == "inner_product":
        assert index.search([1.0, 0.0], k=2) == [(0.0, [0.0, 0.0]), (1.0, [1.0, 0.0])]
    else:
        with pytest.raises(ValueError, match=rf"^Search error: {check}$"):
            index.search([0.0, 0.0])


# ---------------------------------------------------------------------------
# Unusual parameters

def test_layers_zero():
    index = graph(2, layers=0, ef_search=0, schema=["a"])
    assert index.search([0.0, 0.0], filter=("zz", 1)) == []
    for i in range(5):
        index.insert([float(i), 0.0], [("a", i)])
    index.create([[9.0, 9.0]])
    for kwargs in [{}, {"k": 0}, {"filter": ("zz", 1)}, {"filter": ("a", 1)}]:
        with pytest.raises(ValueError, match=r"^Search error: InvalidLayer$"):
            index.search([0.0, 0.0], **kwargs)


def test_ef_search_zero():
    index = graph(2, layers=1, ef_search=0, schema=["a"])
    assert index.search([0.0, 0.0]) == []
    index.insert([1.0, 1.0], [("a", 1)])
    for kwargs in [{}, {"k": 5}, {"filter": ("zz", 1)}]:
        with pytest.raises(ValueError, match=r"^Search error: InvalidEF$"):
            index.search([0.0, 0.0], **kwargs)
    # With upper layers the descent reports the filter's attribute first.
    index = graph(2, layers=2, ef_search=0, schema=["a"])
    index.insert([1.0, 1.0], [("a", 1)])
    with pytest.raises(ValueError, match=r"^Search error: AttributeNotFound$"):
        index.search([0.0, 0.0], filter=("zz", 1))
    with pytest.raises(ValueError, match=r"^Search error: InvalidEF$"):
        index.search([0.0, 0.0], filter=("a", 1))


@pytest.mark.parametrize("layers", [1, 2, 5])
def test_ef_construction_zero(layers):
    index = graph(2, layers=layers, ef_construction=0)
    index.insert([0.0, 0.0])
    for i in range(3):
        with pytest.raises(ValueError) as info:
            index.insert([1.0, float(i)])
        assert str(info.value) == "Insert error: InvalidEF"
    # The first node is still there and the index answers.
    assert index.search([0.0, 1.0], k=10)[0] == (1.0, [0.0, 0.0])
    fresh = graph(2, layers=layers, ef_construction=0, schema=["a"])
    with pytest.raises(ValueError, match=r"^Create error: InvalidEF$"):
        fresh.create([[0.0, 0.0], [1.0, 1.0]], [[("a", 1)], [("a", 2)]])
    assert fresh.search([0.0, 0.0], k=10, filter=("a", 1)) == [(0.0, [0.0, 0.0])]


# Run in a child with a time limit: a walk per layer would not finish.
MOST_LAYERS_CHILD = r"""
import json, tarsim
index = tarsim.PyHNSW(4, layers=2**32 - 1, metric="euclidean", schema=["a"])
for i, v in enumerate([[0.0, 0, 0, 0], [1.0, 0, 0, 0], [3.0, 0, 0, 0]]):
    index.insert(v, [("a", i % 2)])
print(json.dumps([index.search([2.9, 0, 0, 0], 3), index.search([0.9, 0, 0, 0]),
                  index.search([2.9, 0, 0, 0], 3, filter=("a", 1))]))
"""


def test_the_most_layers():
    import json
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-c", MOST_LAYERS_CHILD], check=True,
                          capture_output=True, text=True, timeout=120)
    every, one, filtered = json.loads(done.stdout)
    # Every node is linked with node 0 and found, nearest first.
    assert every == [[3.0 - 2.9, [3.0, 0, 0, 0]], [2.9 - 1.0, [1.0, 0, 0, 0]],
                     [2.9, [0.0, 0, 0, 0]]]
    assert one == [[0.09999999999999998, [1.0, 0, 0, 0]]]
    # Only node 1 passes the filter; node 0, where the walks start, is left out.
    assert filtered == [[2.9 - 1.0, [1.0, 0, 0, 0]]]


def test_empty_schema():
    index = graph(2, schema=[])
    assert index.search([0.0, 0.0], filter=("a", 1)) == []
    index.insert([1.0, 0.0], [])
    index.insert([2.0, 0.0], [("a", 1), ("b", None)])  # pairs outside the schema: ignored
    index.insert([3.0, 0.0])
    index.create([[4.0, 0.0]], [[("x", [])]])
    assert len(index.search([0.0, 0.0], k=10)) == 4
    with pytest.raises(ValueError, match=r"^Search error: EmptySchema$"):
        index.search([0.0, 0.0], filter=("a", 1))


# ---------------------------------------------------------------------------
# Messages and their order

NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"
NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"
CAN_T_STR = "Can't extract `str` to `Vec`"


def plain():
    return graph(2)


def with_schema():
    return graph(2, schema=["a", "b"])


def filled(schema=("a", "b")):
    index = graph(2, layers=1, schema=list(schema))
    index.insert([0.0, 0.0], [(name, 1) for name in schema])
    return index


INSERT_CASES = [
    ("vector-first", plain, (["x"], "ab"), TypeError, "argument 'vector': "),
    ("metadata-converted-before-schema", plain, ([1.0, 2.0], "ab"), TypeError,
     f"argument 'metadata': {CAN_T_STR}"),
    ("metadata-pair-before-schema", plain, ([1.0, 2.0], [("a", 1), ["b", 2]]), TypeError,
     "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
    ("metadata-pair-length", plain, ([1.0, 2.0], [("a",)]), ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("no-schema", plain, ([1.0, 2.0], [("a", 1)]), ValueError, NO_SCHEMA),
    ("no-schema-empty-list", plain, ([1.0, 2.0], []), ValueError, NO_SCHEMA),
    ("no-schema-before-length", plain, ([1.0, 2.0, 3.0], [("a", 1)]), ValueError, NO_SCHEMA),
    ("missing-first-name", with_schema, ([1.0, 2.0], []), ValueError,
     "Missing metadata for attribute 'a'"),
    ("missing-before-length", with_schema, ([1.0], [("b", 1)]), ValueError,
     "Missing metadata for attribute 'a'"),
    ("unsupported-before-length", with_schema, ([1.0], [("a", 1), ("b", None)]), ValueError,
     "Unsupported metadata type for attribute 'b'"),
    ("length-with-metadata", with_schema, ([1.0, 2.0, 3.0], [("a", 1), ("b", 2)]), ValueError,
     "Expected vector of length 2, got 3"),
    ("length-without-metadata", with_schema, ([1.0],), ValueError,
     "Expected vector of length 2, got 1"),
    ("length-empty", plain, ([],), ValueError, "Expected vector of length 2, got 0"),
]


@pytest.mark.parametrize("case_id, make, args, error, message", INSERT_CASES,
                         ids=[c[0] for c in INSERT_CASES])
def test_insert_messages(case_id, make, args, error, message):
    index = make()
    index.insert([5.0, 5.0], [("a", 0), ("b", 0)] if make is with_schema else None)
    with pytest.raises(error) as info:
        index.insert(*args)
    assert type(info.value) is error
    if message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message
    # Nothing was stored.
    assert index.search([1.0, 2.0], k=100) == [(euclidean([1.0, 2.0], [5.0, 5.0]), [5.0, 5.0])]


SEARCH_CASES = [
    ("query-first", filled, ("ab", -1, "zz"), TypeError, f"argument 'query': {CAN_T_STR}"),
    ("k-before-filter", filled, ([0.0, 0.0], -1, "zz"), OverflowError, None),
    ("k-type", filled, ([0.0, 0.0], 1.0, "zz"), TypeError, "argument 'k': "),
    ("filter-type", filled, ([0.0, 0.0], 1, "zz"), TypeError,
     "argument 'filter': 'str' object cannot be converted to 'PyTuple'"),
    ("filter-list", filled, ([0.0, 0.0], 1, ["a", 1]), TypeError,
     "argument 'filter': 'list' object cannot be converted to 'PyTuple'"),
    ("filter-length", filled, ([0.0, 0.0], 1, ("a", 1, 2)), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("filter-name", filled, ([0.0, 0.0], 1, (1, 1)), TypeError,
     "argument 'filter': 'int' object cannot be converted to 'PyString'"),
    ("no-schema-before-value", lambda: graph(2), ([0.0, 0.0], 1, ("a", None)), ValueError,
     NO_SCHEMA_FILTER),
    ("no-schema-empty-index", lambda: graph(2, ef_search=0), ([0.0], None, ("a", 1)), ValueError,
     NO_SCHEMA_FILTER),
    ("unsupported-value", filled, ([0.0, 0.0], 1, ("a", None)), ValueError,
     "Unsupported type for metadata filter"),
    ("unsupported-value-before-attribute", filled, ([0.0, 0.0], 1, ("zz", [])), ValueError,
     "Unsupported type for metadata filter"),
    ("unsupported-value-empty-index", with_schema, ([0.0], 1, ("zz", {})), ValueError,
     "Unsupported type for metadata filter"),
    ("attribute-not-found", filled, ([0.0, 0.0], 1, ("zz", 1)), ValueError,
     "Search error: AttributeNotFound"),
    ("attribute-case-sensitive", filled, ([0.0, 0.0], 1, ("A", 1)), ValueError,
     "Search error: AttributeNotFound"),
]


@pytest.mark.parametrize("case_id, make, args, error, message", SEARCH_CASES,
                         ids=[c[0] for c in SEARCH_CASES])
def test_search_messages(case_id, make, args, error, message):
    with pytest.raises(error) as info:
        make().search(*args)
    assert type(info.value) is error
    if message is None:
        assert not str(info.value).startswith("argument")
    elif message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message


def test_empty_index_answers_empty():
    index = graph(2, schema=["a"], ef_search=0)
    assert index.search([0.0, 0.0]) == []
    assert index.search([0.0, 0.0], k=0, filter=("unknown", 1)) == []
    assert index.search([], k=5, filter=("a", "x")) == []


CREATE_CASES = [
    ("vectors-first", plain, ("ab", "cd"), TypeError, f"argument 'vectors': {CAN_T_STR}"),
    ("inner-vector", plain, ([[1.0, 2.0], "ab"], None), TypeError,
     f"argument 'vectors': {CAN_T_STR}"),
    ("metadata-type", plain, ([[1.0, 2.0]], "cd"), TypeError,
     f"argument 'metadata': {CAN_T_STR}"),
    ("metadata-inner-str", with_schema, ([[1.0, 2.0]], ["ab"]), TypeError,
     f"argument 'metadata': {CAN_T_STR}"),
    ("metadata-flat-pairs", with_schema, ([[1.0, 2.0]], [("a", 1)]), TypeError,
     "argument 'metadata': 'str' object cannot be converted to 'PyTuple'"),
    ("empty-no-metadata", with_schema, ([], None), ValueError, "Create error: EmptyVectors"),
    ("empty-no-metadata-no-schema", plain, ([],), ValueError, "Create error: EmptyVectors"),
    ("empty-with-metadata", with_schema, ([], []), ValueError, "Create error: EmptyVectors"),
    ("empty-with-metadata-no-schema", plain, ([], []), ValueError, NO_SCHEMA),
    ("count-before-schema", plain, ([[1.0, 2.0], [3.0, 4.0]], [[]]), ValueError,
     "Length of metadata list must match number of vectors"),
    ("count-with-schema", with_schema, ([[1.0, 2.0]], [[], []]), ValueError,
     "Length of metadata list must match number of vectors"),
    ("count-before-length", plain, ([[1.0]], [[], []]), ValueError,
     "Length of metadata list must match number of vectors"),
    ("no-schema", plain, ([[1.0, 2.0]], [[("a", 1)]]), ValueError, NO_SCHEMA),
    ("no-schema-before-length", plain, ([[1.0]], [[("a", 1)]]), ValueError, NO_SCHEMA),
    ("row-second", with_schema, ([[1.0, 2.0], [3.0, 4.0]], [[("a", 1), ("b", 2)], [("b", 2)]]),
     ValueError, "Missing metadata for attribute 'a'"),
    ("row-before-length", with_schema, ([[1.0, 2.0, 3.0], [3.0, 4.0]],
                                        [[("a", 1), ("b", 2)], [("a", 1), ("b", None)]]),
     ValueError, "Unsupported metadata type for attribute 'b'"),
    ("length-with-metadata", with_schema, ([[1.0, 2.0], [3.0]], [[("a", 1), ("b", 2)]] * 2),
     ValueError, "Expected vector of length 2, got 1"),
    ("length-without-metadata", with_schema, ([[1.0, 2.0], [3.0, 4.0], [1.0, 2.0, 3.0]],),
     ValueError, "Expected vector of length 2, got 3"),
    ("length-no-schema", plain, ([[1.0, 2.0], []],), ValueError,
     "Expected vector of length 2, got 0"),
]


@pytest.mark.parametrize("case_id, make, args, error, message", CREATE_CASES,
                         ids=[c[0] for c in CREATE_CASES])
@pytest.mark.parametrize("prefilled", [False, True], ids=["empty", "prefilled"])
def test_create_messages(case_id, make, args, error, message, prefilled):
    index = make()
    if prefilled:
        index.insert([5.0, 5.0])
    with pytest.raises(error) as info:
        index.create(*args)
    assert type(info.value) is error
    if message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message
    # Nothing was stored.
    expected = [(euclidean([1.0, 2.0], [5.0, 5.0]), [5.0, 5.0])] if prefilled else []
    assert index.search([1.0, 2.0], k=100) == expected


def test_create_without_metadata_on_schema_index_inserts_without_rows():
    index = graph(2, layers=1, schema=["a"])
    index.insert([0.0, 0.0], [("a", 1)])
    index.create([[1.0, 0.0], [2.0, 0.0]])
    index.create([[3.0, 0.0]], [[("a", 1)]])
    assert len(index.search([0.0, 0.0], k=10)) == 4
    assert index.search([0.0, 0.0], k=10, filter=("a", 1)) == [
        (0.0, [0.0, 0.0]), (3.0, [3.0, 0.0])]


def test_create_without_schema_keeps_earlier_vectors_on_core_error():
    index = graph(2, layers=1, ef_construction=0)
    with pytest.raises(ValueError, match=r"^Create error: InvalidEF$"):
        index.create([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]])
    assert index.search([0.0, 0.0], k=10) == [(0.0, [0.0, 0.0])]


# ---------------------------------------------------------------------------
# Results

def test_results_are_copies():
    index = graph(3, layers=1)
    index.insert([1.0, 2.0, 3.0])
    first = index.search([0.0, 0.0, 0.0])
    first[0][1][0] = 99.0
    first[0][1].append(5.0)
    first.append(None)
    assert index.search([0.0, 0.0, 0.0]) == [(math.sqrt(14.0), [1.0, 2.0, 3.0])]
    second = index.search([0.0, 0.0, 0.0])
    assert second[0][1] is not index.search([0.0, 0.0, 0.0])[0][1]


def test_result_shape():
    index = graph(2)
    index.create([[1.0, 2.0], [3.0, 4.0]])
    result = index.search([0.0, 0.0], k=2)
    assert type(result) is list and len(result) == 2
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is float
        assert type(pair[1]) is list and all(type(x) is float for x in pair[1])


@pytest.mark.parametrize("k, count", [(0, 1), (None, 1), (1, 1), (2, 2), (4, 4), (9, 4)])
def test_k(k, count):
    index = graph(1, layers=1)
    index.create([[4.0], [1.0], [3.0], [2.0]])
    assert index.search([0.0], k) == [(float(i), [float(i)]) for i in range(1, count + 1)]


@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("k", [0, 1, 10])
def test_one_node_index(metric, k):
    index = graph(3, metric=metric)
    index.insert([1.0, -2.0, 0.5])
    q = [0.5, 0.25, -1.0]
    [(d, v)] = index.search(q, k)
    assert v == [1.0, -2.0, 0.5]
    assert d == METRICS[metric](q, v)


@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("query", [[], [1.0], [1.0, 2.0, 3.0, 4.0, 5.0]])
def test_query_of_any_length(metric, query):
    index = graph(3, metric=metric, layers=1)
    index.create([[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0]])
    result = index.search(query, k=2)
    expected = sorted((METRICS[metric](query, v), v) for v in [[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0]])
    if all(not math.isnan(d) for d, _ in expected) and expected[0][0] != expected[1][0]:
        assert result == expected
    else:
        assert sorted(v for _, v in result) == sorted(v for _, v in expected)
        assert bits(sorted(result, key=lambda p: p[1])) == bits(sorted(expected,
                                                                       key=lambda p: p[1]))


def test_similarities_rank_least_similar_first():
    index = graph(2, metric="inner_product", layers=1)
    index.create([[1.0, 0.0], [10.0, 0.0], [-3.0, 0.0]])
    assert index.search([1.0, 0.0], k=3) == [
        (-3.0, [-3.0, 0.0]), (1.0, [1.0, 0.0]), (10.0, [10.0, 0.0])]


# ---------------------------------------------------------------------------
# Filters: nodes that fail are never answered (node 0 included), and nodes
# inserted without metadata never pass.

def test_failing_entry_node_is_never_returned():
    index = graph(1, layers=1, schema=["c"])
    index.insert([0.0], [("c", "no")])
    assert index.search([0.0], k=5, filter=("c", "yes")) == []
    index.insert([5.0], [("c", "yes")])
    index.insert([6.0], [("c", "no")])
    index.insert([7.0], [("c", "yes")])
    assert index.search([0.0], k=5, filter=("c", "yes")) == [(5.0, [5.0]), (7.0, [7.0])]
    assert index.search([0.0], k=1, filter=("c", "yes")) == [(5.0, [5.0])]
    assert index.search([0.0], k=0, filter=("c", "yes")) == [(5.0, [5.0])]
    assert index.search([0.0], k=5, filter=("c", "no")) == [(0.0, [0.0]), (6.0, [6.0])]
    assert index.search([0.0], k=5, filter=("c", "maybe")) == []


@pytest.mark.parametrize("layers", [1, 2, 5])
@pytest.mark.parametrize("metric", sorted(METRICS))
def test_filtered_results_always_pass(layers, metric):
    rng = random.Random(layers * 31 + len(metric))
    index = graph(4, layers=layers, metric=metric, schema=["c", "parity"], ef_search=20)
    category = {}
    vectors = []
    for i in range(300):
        v = [rng.uniform(-5, 5) for _ in range(4)]
        c = rng.choice(["red", "green", "blue"]) if i else "red"
        vectors.append(v)
        category[tuple(v)] = (c, i % 2)
    rows = [[("c", category[tuple(v)][0]), ("parity", category[tuple(v)][1])] for v in vectors]
    index.create(vectors, rows)
    answered = 0
    for _ in range(40):
        q = [rng.uniform(-5, 5) for _ in range(4)]
        for attribute, position, value in [("c", 0, "green"), ("c", 0, "blue"),
                                           ("parity", 1, 1), ("c", 0, "red")]:
            result = index.search(q, k=10, filter=(attribute, value))
            assert len(result) <= 10
            answered += len(result)
            assert all(category[tuple(v)][position] == value for _, v in result)
            assert all(METRICS[metric](q, v) == d for d, v in result)
    assert answered >= 40 * 4 * 5  # the filtered searches do find passing nodes


def test_nodes_without_metadata_never_pass():
    index = graph(1, layers=1, schema=["c", "n"])
    index.insert([0.0])                                   # node 0: no row
    index.insert([1.0], [("c", "x"), ("n", 1)])
    index.insert([2.0])                                   # no row
    index.insert([3.0], [("c", "y"), ("n", 2)])
    index.create([[4.0], [5.0]])                          # no rows
    index.insert([6.0], [("c", "x"), ("n", 3)])
    everything = index.search([0.0], k=10)
    assert [v for _, v in everything] == [[float(i)] for i in range(7)]
    assert index.search([0.0], k=10, filter=("c", "x")) == [(1.0, [1.0]), (6.0, [6.0])]
    assert index.search([0.0], k=10, filter=("c", "y")) == [(3.0, [3.0])]
    assert index.search([0.0], k=10, filter=("n", 2)) == [(3.0, [3.0])]
    assert index.search([0.0], k=10, filter=("n", 3)) == [(6.0, [6.0])]
    # A row without a node is never made up: nothing passes a value no row has,
    # nor the values a default row might hold.
    for value in ["", 0, 0.0, "z"]:
        assert index.search([0.0], k=10, filter=("c", value)) == []
        assert index.search([0.0], k=10, filter=("n", value)) == []


# ---------------------------------------------------------------------------
# Dimension 0

@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("layers", [None, 1])
def test_dim_zero(metric, layers):
    index = graph(0, metric=metric, layers=layers, schema=["a"])
    assert index.search([]) == []
    for i in range(6):
        index.insert([], [("a", i % 2)])
    index.insert([])
    index.create([[], []])
    index.create([[]], [[("a", 1)]])
    with pytest.raises(ValueError, match=r"^Expected vector of length 0, got 1$"):
        index.insert([1.0])
    with pytest.raises(ValueError, match=r"^Expected vector of length 0, got 2$"):
        index.create([[], [1.0, 2.0]])
    # All ten stored vectors are the empty vector at the same distance.
    distance = METRICS[metric]([], [])
    for query in [[], [1.0, 2.0]]:
        for k in [0, 1, 4, 100]:
            result = index.search(query, k=k)
            assert 1 <= len(result) <= max(k, 1)
            assert all(v == [] for _, v in result)
            assert bits(result) == bits([(distance, [])] * len(result))
        passing = index.search(query, k=100, filter=("a", 1))
        assert all(v == [] for _, v in passing)
        assert len(passing) <= 4
    if layers == 1:
        # Everything is reachable on the one layer.
        assert len(index.search([], k=100)) == 10
        assert len(index.search([], k=100, filter=("a", 1))) == 4


# ---------------------------------------------------------------------------
# Model: with one layer every level is 0 and nothing is random, so a plain
# implementation of the layer-0 beam search predicts every answer exactly.

def ranks_before(a, b):
    if math.isnan(a):
        return False
    if math.isnan(b):
        return True
    return a < b


def result_position(results, d):
    if not results:
        return 0
    base, size = 0, len(results)
    while size > 1:
        half = size // 2
        mid = base + half
        if not ranks_before(d, results[mid][0]):
            base = mid
        size -= half
    return base + 1 if ranks_before(results[base][0], d) else base


def candidate_key(d, node):
    return (math.isnan(d), 0.0 if math.isnan(d) else d, node)


class OneLayerModel:
    def __init__(self, metric, ef_construction, ef_search, schema):
        self.distance = METRICS[metric]
        self.ef_construction = ef_construction
        self.ef_search = ef_search
        self.schema = schema
        self.vectors, self.links, self.rows = [], [], []

    def passes(self, node, attribute, value):
        row = self.rows[node]
        if row is None:
            return False
        stored = row[self.schema.index(attribute)]
        return type(stored) is type(value) and stored == value

    def knn(self, entry, query, ef, filter=None):
        d0 = self.distance(query, self.vectors[entry])
        results = [(d0, entry)]
        candidates = [candidate_key(d0, entry) + (d0,)]
        visited = {entry}
        while candidates:
            *_, node, d_node = heapq.heappop(candidates)
            worst = results[-1][0]
            if not math.isnan(worst) and ranks_before(worst, d_node):
                break
            for j in self.links[node]:
                if filter is not None and not self.passes(j, *filter):
                    continue
                d = self.distance(query, self.vectors[j])
                if j in visited:
                    continue
                visited.add(j)
                if len(results) < ef or d < results[-1][0]:
                    heapq.heappush(candidates, candidate_key(d, j) + (d,))
                    results.insert(result_position(results, d), (d, j))
                    if len(results) > ef:
                        results.pop()
        return results

    def insert(self, vector, row):
        n = len(self.vectors)
        self.vectors.append(vector)
        self.links.append([])
        self.rows.append(row)
        if n == 0:
            return
        found = self.knn(0, vector, self.ef_construction)
        for _, r in found:
            self.links[r].append(n)
        self.links[n].extend(r for _, r in found)

    def search(self, query, k, filter=None):
        if not self.vectors:
            return []
        found = self.knn(0, query, self.ef_search, filter)
        if filter is not None and not self.passes(0, *filter):
            found = [s for s in found if s[1] != 0]
        return [(d, list(self.vectors[i])) for d, i in found[:max(k, 1)]]


def model_data(kind, rng, n, dim):
    if kind == "grid":  # small integers: many equal distances
        return [[float(rng.randint(-2, 2)) for _ in range(dim)] for _ in range(n)]
    if kind == "corners":  # few distinct points: repeated vectors and ties everywhere
        return [[float(rng.randint(0, 1)) for _ in range(dim)] for _ in range(n)]
    if kind == "zeros":  # zero vectors: NaN under the angular metric
        return [[0.0] * dim if rng.random() < 0.2 else
                [float(rng.randint(-3, 3)) for _ in range(dim)] for _ in range(n)]
    return [[rng.uniform(-10, 10) for _ in range(dim)] for _ in range(n)]


@pytest.mark.parametrize("metric", sorted(METRICS))
@pytest.mark.parametrize("kind", ["grid", "corners", "zeros", "uniform"])
@pytest.mark.parametrize("ef_construction, ef_search", [(1, 1), (2, 3), (4, 10), (None, None)])
def test_one_layer_search_matches_model(metric, kind, ef_construction, ef_search):
    rng = random.Random(f"{metric}-{kind}-{ef_construction}-{ef_search}")
    dim, n = 3, 60
    schema = ["c", "tag"]
    index = graph(dim, layers=1, metric=metric, ef_construction=ef_construction,
                  ef_search=ef_search, schema=schema)
    model = OneLayerModel(metric, ef_construction or 200, ef_search or 50, schema)
    for v in model_data(kind, rng, n, dim):
        if rng.random() < 0.15:
            row = None                     # inserted without metadata
        else:
            row = [rng.randint(0, 2), rng.choice(["a", "b"])]
        index.insert(v, None if row is None else list(zip(schema, row)))
        model.insert(v, row)
    queries = model_data(kind, rng, 15, dim) + [[0.0] * dim]
    for q in queries:
        for k in [0, 1, 5, 100]:
            assert bits(index.search(q, k)) == bits(model.search(q, k))
        for flt in [("c", 0), ("c", 2), ("tag", "b"), ("c", "0"), ("c", 0.0)]:
            assert bits(index.search(q, 100, flt)) == bits(model.search(q, 100, flt))
