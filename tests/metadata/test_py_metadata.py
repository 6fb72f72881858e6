"""Metadata values from Python: which objects convert to which kind, how
filter values compare with stored values, and how rows are built."""
import decimal
import fractions
import math

import numpy as np
import pytest

import tarsim


def index_with(values, schema=("v",)):
    """A one-layer index (everything reachable) holding a sentinel node 0 and
    then node i + 1 with the row `values[i]` (one value per schema name)."""
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", schema=list(schema), ef_search=500)
    index.insert([0.0], [(name, "\x00sentinel") for name in schema])
    for i, row in enumerate(values):
        if len(schema) == 1:
            row = (row,)
        index.insert([float(i + 1)], list(zip(schema, row)))
    return index


def passing(index, attribute, value):
    """The stored values (node i holds [i]) of the nodes that pass the filter."""
    return [int(v[0]) for _, v in index.search([0.0], k=1000, filter=(attribute, value))]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class BrokenIndexButReal:
    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        return 2.5


class StrSub(str):
    pass


# Stored values, each with the kind it converts to.
STORED = [
    1,                      # 0  Integer 1
    True,                   # 1  Integer 1
    1.0,                    # 2  Float 1.0
    "1",                    # 3  String "1"
    42,                     # 4  Integer 42
    "42",                   # 5  String "42"
    False,                  # 6  Integer 0
    0.0,                    # 7  Float 0.0
    -0.0,                   # 8  Float -0.0
    2**63 - 1,              # 9  Integer (largest)
    2**63,                  # 10 Float 9223372036854775808.0
    -(2**63),               # 11 Integer (smallest)
    math.nan,               # 12 Float NaN
    math.inf,               # 13 Float inf
    "",                     # 14 String ""
    "a\x00b",               # 15 String with NUL
    StrSub("x"),            # 16 String "x"
    np.int64(7),            # 17 Integer 7
    np.float64(2.5),        # 18 Float 2.5
    Index(9),               # 19 Integer 9
    Real(3.25),             # 20 Float 3.25
    fractions.Fraction(1, 4),  # 21 Float 0.25
    decimal.Decimal("0.5"),    # 22 Float 0.5
    BrokenIndexButReal(),      # 23 Float 2.5
    np.float32(0.1),           # 24 Float float(np.float32(0.1))
    -1,                        # 25 Integer -1
    "é€",                      # 26 String
]


@pytest.fixture(scope="module")
def stored_index():
    return index_with(STORED)


@pytest.mark.parametrize("value, expected", [
    (1, [0, 1]),
    (True, [0, 1]),             # a bool is the Integer 1
    (np.int8(1), [0, 1]),
    (Index(1), [0, 1]),
    (1.0, [2]),                 # a Float never equals an Integer
    ("1", [3]),
    (42, [4]),
    ("42", [5]),
    (42.0, []),
    (0, [6]),
    (False, [6]),
    (0.0, [7, 8]),              # -0.0 equals 0.0
    (-0.0, [7, 8]),
    (2**63 - 1, [9]),
    (float(2**63 - 1), [10]),   # rounds to 2**63
    (2**63, [10]),              # beyond 64 bits: a Float
    (-(2**63), [11]),
    (-(2**63) - 1, []),         # a Float, -9223372036854775808.0, but stored 11 is an Integer
    (float(-(2**63)), []),
    (math.nan, []),             # NaN passes nothing
    (math.inf, [13]),
    (-math.inf, []),
    ("", [14]),
    ("a\x00b", [15]),
    ("a", []),
    ("x", [16]),
    (StrSub("x"), [16]),
    (7, [17]),
    (2.5, [18, 23]),
    (np.float64(2.5), [18, 23]),
    (Real(2.5), [18, 23]),
    (9, [19]),
    (3.25, [20]),
    (0.25, [21]),
    (fractions.Fraction(1, 4), [21]),
    (0.5, [22]),
    (float(np.float32(0.1)), [24]),
    (0.1, []),
    (-1, [25]),
    ("é€", [26]),
])
def test_filter_equality(stored_index, value, expected):
    # Node i + 1 holds STORED[i]; node 0 holds a value no filter here asks for.
    assert passing(stored_index, "v", value) == [i + 1 for i in expected]


def test_passing_entry_node_is_answered(stored_index):
    assert passing(stored_index, "v", "\x00sentinel") == [0]


@pytest.mark.parametrize("value", [
    None, [], [1], {}, {"a": 1}, b"42", bytearray(b"1"), 10**400, -(10**400), "\ud800",
    "ok\udfff", object(), 1j,
], ids=lambda v: type(v).__name__ + (repr(v)[:12] if isinstance(v, (int, str)) else ""))
def test_not_convertible(value):
    index = index_with([1])
    with pytest.raises(ValueError) as info:
        index.search([0.0], filter=("v", value))
    assert str(info.value) == "Unsupported type for metadata filter"
    with pytest.raises(ValueError) as info:
        index.insert([5.0], [("v", value)])
    assert str(info.value) == "Unsupported metadata type for attribute 'v'"
    # Nothing was stored by the failed insert.
    assert len(index.search([0.0], k=100)) == 2


def test_largest_float_int_is_convertible():
    big = int(1.7976931348623157e308)
    index = index_with([big])
    assert passing(index, "v", 1.7976931348623157e308) == [1]
    assert passing(index, "v", big) == [1]


def test_last_pair_wins_and_pairs_outside_the_schema_are_ignored():
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", schema=["color", "size"])
    index.insert([0.0], [("color", "red"), ("size", 1), ("color", "blue"), ("weight", None),
                         ("Color", "green")])
    index.insert([1.0], [("size", 2), ("other", object()), ("color", "red")])
    assert passing(index, "color", "blue") == [0]
    assert passing(index, "color", "red") == [1]
    assert passing(index, "color", "green") == []
    assert passing(index, "size", 2) == [1]
    with pytest.raises(ValueError, match="AttributeNotFound"):
        index.search([0.0], filter=("weight", 1))


def test_rows_are_read_at_the_right_position():
    schema = ["a", "b", "c"]
    rows = [(i % 2, f"s{i % 3}", float(i)) for i in range(12)]
    index = index_with(rows, schema)
    for p, name in enumerate(schema):
        for value in {row[p] for row in rows}:
            assert passing(index, name, value) == [i + 1 for i, row in enumerate(rows)
                                                   if row[p] == value]


def test_repeated_schema_name():
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", schema=["c", "d", "c"])
    index.insert([0.0], [("c", 5), ("d", 1)])
    index.insert([1.0], [("d", 2), ("c", 6)])
    assert passing(index, "c", 6) == [1]
    assert passing(index, "c", 5) == [0]
    with pytest.raises(ValueError) as info:
        index.insert([2.0], [("d", 1)])
    assert str(info.value) == "Missing metadata for attribute 'c'"


@pytest.mark.parametrize("schema, pairs, message", [
    (["a", "b"], [("b", 1)], "Missing metadata for attribute 'a'"),
    (["a", "b"], [], "Missing metadata for attribute 'a'"),
    (["a", "b"], [("a", 1)], "Missing metadata for attribute 'b'"),
    (["a", "b"], [("a", None), ("b", [])], "Unsupported metadata type for attribute 'a'"),
    (["a", "b"], [("b", None)], "Missing metadata for attribute 'a'"),
    (["a", "b"], [("a", None)], "Unsupported metadata type for attribute 'a'"),
    (["a", "b"], [("a", 1), ("b", None), ("c", None)], "Unsupported metadata type for attribute 'b'"),
    (["a", "b"], [("A", 1), ("B", 2)], "Missing metadata for attribute 'a'"),
    (["a", "b"], [("a", None), ("a", 1)], "Missing metadata for attribute 'b'"),
    (["a", "b"], [("a", 1), ("a", None), ("b", 2)], "Unsupported metadata type for attribute 'a'"),
    (["it's", "x"], [("x", 1)], "Missing metadata for attribute 'it's'"),
    (["名前"], [("name", 1)], "Missing metadata for attribute '名前'"),
    (["", "b"], [("b", 1)], "Missing metadata for attribute ''"),
    (["a\x00b"], [("a", 1)], "Missing metadata for attribute 'a\x00b'"),
])
def test_row_messages(schema, pairs, message):
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", schema=schema)
    with pytest.raises(ValueError) as info:
        index.insert([0.0], pairs)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        index.create([[0.0], [1.0]], [[(n, 0) for n in schema], pairs])
    assert str(info.value) == message
    assert index.search([0.0], k=10) == []


def test_metadata_values_are_copied():
    index = tarsim.PyHNSW(1, layers=1, metric="euclidean", schema=["v"])
    pairs = [("v", "before")]
    index.insert([1.0], pairs)
    pairs[0] = ("v", "after")
    pairs.append(("v", "later"))
    assert passing(index, "v", "before") == [1]
    assert passing(index, "v", "after") == []


def test_bool_filter_matches_integer_rows():
    index = index_with([True, 1, False, 0, 2])
    assert passing(index, "v", True) == [1, 2]
    assert passing(index, "v", 1) == [1, 2]
    assert passing(index, "v", False) == [3, 4]
    assert passing(index, "v", 1.0) == []
