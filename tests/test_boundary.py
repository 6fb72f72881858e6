"""Where Python meets the indexes: parameter matching, argument conversion,
error naming and the borrow flag, for both classes."""
import array
import collections
import decimal
import fractions
import math
import operator
import struct
import sys
import threading
import warnings

import numpy as np
import pytest

import tarsim


def flat(dim=2, metric=None):
    return tarsim.PyFlat(dim, metric)


def hnsw(dim=2, **kwargs):
    kwargs.setdefault("metric", "euclidean")
    return tarsim.PyHNSW(dim, **kwargs)


def bits(values):
    """Bit patterns of a list of floats, with every NaN made the same."""
    return [b"nan" if math.isnan(v) else struct.pack("<d", v) for v in values]


# ---------------------------------------------------------------------------
# Parameter matching

# (function text, factory of the callable, parameter names)
SIGNATURES = [
    ("PyFlat.__new__()", lambda: tarsim.PyFlat, ["dim", "metric"]),
    ("PyFlat.insert()", lambda: flat().insert, ["vector"]),
    ("PyFlat.search()", lambda: flat().search, ["query", "k"]),
    ("PyFlat.create()", lambda: flat().create, ["vectors"]),
    ("PyHNSW.__new__()", lambda: tarsim.PyHNSW,
     ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]),
    ("PyHNSW.insert()", lambda: hnsw().insert, ["vector", "metadata"]),
    ("PyHNSW.search()", lambda: hnsw().search, ["query", "k", "filter"]),
    ("PyHNSW.create()", lambda: hnsw().create, ["vectors", "metadata"]),
]
SIG_IDS = [s[0] for s in SIGNATURES]


def raises_type_error(func, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("fname, factory, names", SIGNATURES, ids=SIG_IDS)
@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(fname, factory, names, extra):
    n, m = len(names), len(names) + extra
    if n == 1:
        expected = f"{fname} takes {n} positional arguments but {m} were given"
    else:
        expected = f"{fname} takes from 1 to {n} positional arguments but {m} were given"
    assert raises_type_error(factory(), *[0] * m) == expected
    # Counted before any keyword is looked at.
    assert raises_type_error(factory(), *[0] * m, bogus=1, **{names[0]: 0}) == expected


@pytest.mark.parametrize("fname, factory, names", SIGNATURES, ids=SIG_IDS)
@pytest.mark.parametrize("keyword", ["bogus", "Vector", "véctor", "dim_"])
def test_unexpected_keyword(fname, factory, names, keyword):
    expected = f"{fname} got an unexpected keyword argument '{keyword}'"
    assert raises_type_error(factory(), 0, **{keyword: 1}) == expected
    # Reported before the missing required parameter.
    assert raises_type_error(factory(), **{keyword: 1}) == expected


@pytest.mark.parametrize("fname, factory, names", SIGNATURES, ids=SIG_IDS)
def test_first_offending_keyword_is_reported(fname, factory, names):
    msg = raises_type_error(factory(), 0, **{"zz": 1, "yy": 2})
    assert msg == f"{fname} got an unexpected keyword argument 'zz'"
    msg = raises_type_error(factory(), 0, **{"bogus": 1, names[0]: 0})
    assert msg == f"{fname} got an unexpected keyword argument 'bogus'"
    msg = raises_type_error(factory(), 0, **{names[0]: 0, "bogus": 1})
    assert msg == f"{fname} got multiple values for argument '{names[0]}'"


@pytest.mark.parametrize("fname, factory, names", SIGNATURES, ids=SIG_IDS)
def test_multiple_values(fname, factory, names):
    for i, name in enumerate(names):
        msg = raises_type_error(factory(), *[0] * (i + 1), **{name: 0})
        assert msg == f"{fname} got multiple values for argument '{name}'"


@pytest.mark.parametrize("fname, factory, names", SIGNATURES, ids=SIG_IDS)
def test_missing_required(fname, factory, names):
    expected = f"{fname} missing 1 required positional argument: '{names[0]}'"
    assert raises_type_error(factory()) == expected
    for name in names[1:]:
        assert raises_type_error(factory(), **{name: 0}) == expected


def test_required_none_goes_to_conversion():
    assert raises_type_error(tarsim.PyFlat, None) == (
        "argument 'dim': 'NoneType' object cannot be interpreted as an integer")
    assert raises_type_error(tarsim.PyHNSW, dim=None, metric="euclidean") == (
        "argument 'dim': 'NoneType' object cannot be interpreted as an integer")
    assert raises_type_error(flat().insert, None) == (
        "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'")


def test_optional_none_counts_as_absent():
    index = tarsim.PyFlat(1, None)
    index.create([[3.0], [1.0], [2.0]])
    assert index.search([0.0], None) == [(1, 1.0)]
    assert index.search(query=[0.0], k=None) == [(1, 1.0)]
    graph = tarsim.PyHNSW(1, None, None, None, None, "euclidean", None)
    graph.insert([1.0], None)
    graph.create([[2.0]], None)
    assert graph.search([0.0], None, None) == [(1.0, [1.0])]


def test_every_argument_by_keyword():
    index = tarsim.PyFlat(metric="inner_product", dim=2)
    index.create(vectors=[[1.0, 0.0]])
    index.insert(vector=[10.0, 0.0])
    assert index.search(k=2, query=[1.0, 0.0]) == [(0, 1.0), (1, 10.0)]
    graph = tarsim.PyHNSW(schema=["a"], metric="euclidean", ef_search=5, ef_construction=5,
                          m=2, layers=1, dim=1)
    graph.insert(metadata=[("a", 1)], vector=[1.0])
    graph.create(metadata=[[("a", 2)]], vectors=[[2.0]])
    assert graph.search(filter=("a", 2), k=3, query=[0.0]) == [(2.0, [2.0])]


# ---------------------------------------------------------------------------
# Lists of floats: what is accepted, and that it converts as iteration does


class ReversedList(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class ReversedTuple(tuple):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class ReversedArray(np.ndarray):
    def __iter__(self):
        return reversed([self[i] for i in range(len(self))])


class Indexed:
    """A sequence with only __getitem__ and a __len__ that may lie or fail."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def _masked():
    return np.ma.array([1.5, 2.0, -3.25, 4.0], mask=[0, 1, 0, 0])


def _reversed_array():
    return np.array([1.0, 2.0, 3.5]).view(ReversedArray)


# (id, factory, explicit expected values or None to take them from iteration)
FLOAT_LISTS = [
    ("list", lambda: [1.0, 2.5, -3.0], [1.0, 2.5, -3.0]),
    ("tuple", lambda: (1.0, 2.5, -3.0), [1.0, 2.5, -3.0]),
    ("range", lambda: range(3), [0.0, 1.0, 2.0]),
    ("bytes", lambda: b"\x00\x07\xff", [0.0, 7.0, 255.0]),
    ("bytearray", lambda: bytearray(b"\x01\x02"), [1.0, 2.0]),
    ("array-d", lambda: array.array("d", [0.1, -2.0, 1e300]), [0.1, -2.0, 1e300]),
    ("array-f", lambda: array.array("f", [0.1, 2.5]), [float(np.float32(0.1)), 2.5]),
    ("array-i", lambda: array.array("i", [1, -2, 3]), [1.0, -2.0, 3.0]),
    ("numpy-f64", lambda: np.array([0.1, -2.0, 3.0]), [0.1, -2.0, 3.0]),
    ("numpy-f32", lambda: np.array([0.1, 0.2, 0.3], dtype=np.float32), None),
    ("numpy-f16", lambda: np.array([0.1, 0.5], dtype=np.float16), None),
    ("numpy-i64", lambda: np.array([1, -2, 2**53 + 1], dtype=np.int64), None),
    ("numpy-i8", lambda: np.array([-128, 127], dtype=np.int8), [-128.0, 127.0]),
    ("numpy-bool", lambda: np.array([True, False]), [1.0, 0.0]),
    ("numpy-big-endian", lambda: np.array([0.1, 2.0], dtype=">f8"), [0.1, 2.0]),
    ("numpy-strided", lambda: np.arange(10.0)[::3], [0.0, 3.0, 6.0, 9.0]),
    ("numpy-reversed", lambda: np.arange(4.0)[::-1], [3.0, 2.0, 1.0, 0.0]),
    ("numpy-column", lambda: np.arange(12.0).reshape(4, 3)[:, 1], [1.0, 4.0, 7.0, 10.0]),
    ("numpy-f32-strided", lambda: np.linspace(0, 1, 9, dtype=np.float32)[1::2], None),
    ("numpy-broadcast", lambda: np.broadcast_to(np.float64(0.7), (3,)), [0.7, 0.7, 0.7]),
    ("numpy-readonly", lambda: np.frombuffer(struct.pack("<2d", 1.25, -0.5)), [1.25, -0.5]),
    ("masked-no-mask", lambda: np.ma.array([1.5, 2.0]), [1.5, 2.0]),
    ("masked", _masked, [1.5, math.nan, -3.25, 4.0]),
    ("ndarray-subclass-iter", _reversed_array, [3.5, 2.0, 1.0]),
    ("list-subclass-iter", lambda: ReversedList([1.0, 2.0, 3.0]), [3.0, 2.0, 1.0]),
    ("tuple-subclass-iter", lambda: ReversedTuple((1.0, 2.0, 3.0)), [3.0, 2.0, 1.0]),
    ("numpy-scalars", lambda: [np.float64(1.5), np.float32(0.1), np.int64(3)], None),
    ("bool-and-int", lambda: [True, False, 7, 2**60], [1.0, 0.0, 7.0, float(2**60)]),
    ("index-and-float-objects", lambda: [IndexOnly(5), FloatOnly(0.25)], [5.0, 0.25]),
    ("fraction-decimal", lambda: [fractions.Fraction(1, 3), decimal.Decimal("0.1")],
     [1 / 3, 0.1]),
    ("specials", lambda: [math.inf, -math.inf, math.nan, -0.0, 5e-324],
     [math.inf, -math.inf, math.nan, -0.0, 5e-324]),
    ("getitem-only-len-lies-high", lambda: Indexed([1.0, 2.0, 3.0], 10**9), [1.0, 2.0, 3.0]),
    ("getitem-only-len-max", lambda: Indexed([4.0], sys.maxsize), [4.0]),
    ("getitem-only-len-lies-low", lambda: Indexed([1.0, 2.0, 3.0], 0), [1.0, 2.0, 3.0]),
    ("getitem-only-len-raises", lambda: Indexed([1.0, 2.0], RuntimeError("no length")),
     [1.0, 2.0]),
    ("getitem-only-len-type-error", lambda: Indexed([1.0, 2.0], TypeError("no length")),
     [1.0, 2.0]),
]
FLOAT_IDS = [c[0] for c in FLOAT_LISTS]


def iterated(obj):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return [float(x) for x in obj]


def read_vector(arg, dim):
    """Stores `arg` through PyHNSW.insert and reads the stored copy back."""
    index = hnsw(dim, layers=1)
    index.insert(arg)
    [(_, stored)] = index.search([0.0] * dim)
    return stored


def read_query(arg, dim):
    """Converts `arg` as a PyFlat query: with the inner product against the
    unit vectors, each distance is one component of the query."""
    index = flat(dim, "inner_product")
    index.create([[1.0 if i == j else 0.0 for j in range(dim)] for i in range(dim)])
    return [d for _, d in sorted(index.search(arg, k=dim))]


def read_rows(arg, rows, dim):
    """Stores `arg` through PyHNSW.create and reads each row back by its id,
    kept as a metadata value."""
    index = hnsw(dim, layers=1, schema=["id"])
    index.create(arg, [[("id", i)] for i in range(rows)])
    return [index.search([0.0] * dim, filter=("id", i))[0][1] for i in range(rows)]


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element")
@pytest.mark.parametrize("case_id, factory, explicit", FLOAT_LISTS, ids=FLOAT_IDS)
def test_float_list_conversion_matches_iteration(case_id, factory, explicit):
    expected = iterated(factory())
    if explicit is not None:
        assert bits(expected) == bits(explicit)
    dim = len(expected)
    assert bits(read_vector(factory(), dim)) == bits(expected)
    assert [bits(r) for r in read_rows([factory(), factory()], 2, dim)] == [bits(expected)] * 2
    if all(math.isfinite(v) for v in expected) and not any(
            v == 0.0 and math.copysign(1.0, v) < 0 for v in expected):
        assert bits(read_query(factory(), dim)) == bits(expected)


def _rows(dtype=np.float64):
    return np.arange(24, dtype=dtype).reshape(4, 6) / 7


class ReversedRows(np.ndarray):
    def __iter__(self):
        return reversed([self[i] for i in range(len(self))])


FLOAT_ROWS = [
    ("list-of-lists", lambda: [[1.0, 2.0], [3.0, 4.5]]),
    ("tuple-of-tuples", lambda: ((1.0, 2.0), (3.0, 4.5))),
    ("list-of-arrays", lambda: [np.array([1.0, 2.0]), array.array("f", [0.1, 0.2])]),
    ("numpy-2d", lambda: _rows()),
    ("numpy-2d-fortran", lambda: np.asfortranarray(_rows())),
    ("numpy-2d-transposed", lambda: _rows().T),
    ("numpy-2d-strided", lambda: _rows()[::2, 1::2]),
    ("numpy-2d-negative-strides", lambda: _rows()[::-1, ::-1]),
    ("numpy-2d-f32", lambda: _rows(np.float32)),
    ("numpy-2d-i64", lambda: np.arange(6, dtype=np.int64).reshape(2, 3)),
    ("numpy-2d-big-endian", lambda: _rows().astype(">f8")),
    ("numpy-2d-masked", lambda: np.ma.array(_rows(), mask=np.eye(4, 6, dtype=bool))),
    ("numpy-2d-subclass-iter", lambda: _rows().view(ReversedRows)),
    ("range-rows", lambda: [range(3), range(3, 6)]),
]


@pytest.mark.filterwarnings("ignore:Warning. converting a masked element")
@pytest.mark.parametrize("case_id, factory", FLOAT_ROWS, ids=[c[0] for c in FLOAT_ROWS])
def test_float_rows_conversion_matches_iteration(case_id, factory):
    expected = [iterated(row) for row in factory()]
    dim = len(expected[0])
    got = read_rows(factory(), len(expected), dim)
    assert [bits(r) for r in got] == [bits(r) for r in expected]
    # PyFlat.create stores the same rows under consecutive ids.
    if all(math.isfinite(v) for r in expected for v in r):
        index = flat(dim)
        index.create(factory())
        for i, row in enumerate(expected):
            assert dict(index.search(row, k=len(expected)))[i] == 0.0


# ---------------------------------------------------------------------------
# Refused values and how the argument is named

FLOAT_LIST_PARAMS = [
    ("vector", lambda x: flat().insert(x)),
    ("vector", lambda x: hnsw().insert(x)),
    ("query", lambda x: flat().search(x)),
    ("query", lambda x: hnsw().search(x)),
    ("vectors", lambda x: flat().create(x)),
    ("vectors", lambda x: hnsw().create(x)),
    # The inner lists of `vectors` follow the same rule.
    ("vectors", lambda x: flat().create([[1.0, 2.0], x])),
    ("vectors", lambda x: hnsw().create([[1.0, 2.0], x])),
]
PARAM_IDS = ["flat.insert", "hnsw.insert", "flat.search", "hnsw.search", "flat.create",
             "hnsw.create", "flat.create-inner", "hnsw.create-inner"]


class Holder:
    class Thing:
        def __iter__(self):
            return iter([1.0, 2.0])


class StrSub(str):
    pass


class DictSub(dict):
    pass


def _generator():
    return (x for x in [1.0, 2.0])


REFUSED = [
    ("str", lambda: "ab", "Can't extract `str` to `Vec`"),
    ("empty-str", lambda: "", "Can't extract `str` to `Vec`"),
    ("str-subclass", lambda: StrSub("12"), "Can't extract `str` to `Vec`"),
    ("dict", lambda: {0: 1.0, 1: 2.0}, "'dict' object cannot be converted to 'Sequence'"),
    ("dict-subclass", lambda: DictSub(), "'DictSub' object cannot be converted to 'Sequence'"),
    ("set", lambda: {1.0, 2.0}, "'set' object cannot be converted to 'Sequence'"),
    ("generator", _generator, "'generator' object cannot be converted to 'Sequence'"),
    ("None", lambda: None, "'NoneType' object cannot be converted to 'Sequence'"),
    ("int", lambda: 5, "'int' object cannot be converted to 'Sequence'"),
    ("numpy-scalar", lambda: np.float64(1.0), "'float64' object cannot be converted to 'Sequence'"),
    ("iterable-not-sequence", lambda: Holder.Thing(),
     "'Holder.Thing' object cannot be converted to 'Sequence'"),
]


@pytest.mark.parametrize("name, call", FLOAT_LIST_PARAMS, ids=PARAM_IDS)
@pytest.mark.parametrize("case_id, factory, reason", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_sequences_are_named(name, call, case_id, factory, reason):
    with pytest.raises(TypeError) as info:
        call(factory())
    error = info.value
    assert type(error) is TypeError
    assert str(error) == f"argument '{name}': {reason}"
    assert type(error.__cause__) is TypeError
    assert str(error.__cause__) == reason


class Raises:
    """An element whose float conversion raises a given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class TypeErrorSub(TypeError):
    pass


# The parameters whose value is one vector (the outer `vectors` list holds rows).
VECTOR_PARAMS = [p for p, i in zip(FLOAT_LIST_PARAMS, PARAM_IDS) if not i.endswith(".create")]
VECTOR_IDS = [i for i in PARAM_IDS if not i.endswith(".create")]


@pytest.mark.parametrize("name, call", VECTOR_PARAMS, ids=VECTOR_IDS)
def test_element_errors(name, call):
    # An element the interpreter cannot convert: its TypeError, named.
    for bad, type_text in [("x", "str"), (None, "NoneType"), ([1.0], "list"), (1j, "complex")]:
        with pytest.raises(TypeError) as info:
            call([1.0, bad])
        assert type(info.value) is TypeError
        assert str(info.value).startswith(f"argument '{name}': ")
        assert type_text in str(info.value)
        assert str(info.value) == f"argument '{name}': {info.value.__cause__}"

    # A TypeError raised by user code is named and chained, unchanged.
    original = TypeError("no float for you")
    with pytest.raises(TypeError) as info:
        call([1.0, Raises(original)])
    assert str(info.value) == f"argument '{name}': no float for you"
    assert info.value.__cause__ is original

    # Anything but exactly TypeError passes through untouched.
    for original in [TypeErrorSub("sub"), ValueError("value"), KeyError("key"),
                     ZeroDivisionError("zero"), OverflowError("overflow")]:
        with pytest.raises(type(original)) as info:
            call([Raises(original), 1.0])
        assert info.value is original
        assert info.value.__cause__ is None

    with pytest.raises(OverflowError) as info:
        call([1.0, 10**400])
    assert not str(info.value).startswith("argument")


def test_iteration_error_is_raised():
    class Failing:
        def __init__(self, error):
            self.error = error

        def __getitem__(self, i):
            if i == 1:
                raise self.error
            return 1.0

    original = KeyError("second")
    with pytest.raises(KeyError) as info:
        flat().insert(Failing(original))
    assert info.value is original
    with pytest.raises(TypeError) as info:
        flat().insert(Failing(TypeError("bad item")))
    assert str(info.value) == "argument 'vector': bad item"


# ---------------------------------------------------------------------------
# Integers

INT_PARAMS = [
    ("dim", lambda v: tarsim.PyFlat(v)),
    ("dim", lambda v: tarsim.PyHNSW(v, metric="euclidean")),
    ("layers", lambda v: tarsim.PyHNSW(1, layers=v, metric="euclidean")),
    ("m", lambda v: tarsim.PyHNSW(1, m=v, metric="euclidean")),
    ("ef_construction", lambda v: tarsim.PyHNSW(1, ef_construction=v, metric="euclidean")),
    ("ef_search", lambda v: tarsim.PyHNSW(1, ef_search=v, metric="euclidean")),
    ("k", lambda v: filled_flat().search([1.0], v)),
    ("k", lambda v: hnsw(1).search([1.0], v)),
]
INT_IDS = ["flat.dim", "hnsw.dim", "layers", "m", "ef_construction", "ef_search", "flat.k",
           "hnsw.k"]


def filled_flat():
    index = flat(1)
    index.insert([2.0])
    return index


class BadIndex:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("name, call", INT_PARAMS, ids=INT_IDS)
@pytest.mark.parametrize("value", [2.0, "3", None, [1], np.float64(2.0), BadIndex("3")],
                         ids=["float", "str", "None", "list", "np.float64", "index-non-int"])
def test_non_integer_is_named(name, call, value):
    if value is None and name != "dim":
        call(value)  # an optional parameter given None counts as absent
        return
    with pytest.raises(TypeError) as expected:
        operator.index(value)
    with pytest.raises(TypeError) as info:
        call(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {expected.value}"
    assert type(info.value.__cause__) is TypeError


@pytest.mark.parametrize("name, call", INT_PARAMS, ids=INT_IDS)
def test_index_raising(name, call):
    original = TypeError("no index")
    with pytest.raises(TypeError) as info:
        call(BadIndex(original))
    assert str(info.value) == f"argument '{name}': no index"
    assert info.value.__cause__ is original
    original = ArithmeticError("broken")
    with pytest.raises(ArithmeticError) as info:
        call(BadIndex(original))
    assert info.value is original


@pytest.mark.parametrize("name, call", INT_PARAMS, ids=INT_IDS)
@pytest.mark.parametrize("value, message", [
    (-1, None), (-(2**70), None), (2**64, None), (2**100, None),
    (2**32, "out of range integral type conversion attempted"),
    (2**64 - 1, "out of range integral type conversion attempted"),
    (BadIndex(2**40), "out of range integral type conversion attempted"),
])
def test_integer_out_of_range(name, call, value, message):
    with pytest.raises(OverflowError) as info:
        call(value)
    assert info.value.__cause__ is None
    assert not str(info.value).startswith("argument")
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("name, call", [p for p in INT_PARAMS if p[0] != "layers"],
                         ids=[i for i in INT_IDS if i != "layers"])
@pytest.mark.parametrize("value", [0, 1, True, False, 2**32 - 1, np.int64(7), IndexOnly(3)],
                         ids=["0", "1", "True", "False", "max", "np.int64", "__index__"])
def test_integer_accepted(name, call, value):
    call(value)


def test_bool_and_index_objects_as_integers():
    index = tarsim.PyFlat(True)  # dim 1
    index.create([[1.0], [2.0], [3.0]])
    assert len(index.search([0.0], True)) == 1
    assert len(index.search([0.0], IndexOnly(2))) == 2
    assert len(index.search([0.0], np.uint8(3))) == 3
    with pytest.raises(ValueError, match="Expected vector of length 1, got 2"):
        index.insert([1.0, 2.0])
    assert len(index.search([0.0], 2**32 - 1)) == 3


# ---------------------------------------------------------------------------
# Strings and pairs

STRING_PARAMS = [
    ("metric", lambda v: tarsim.PyFlat(2, v)),
    ("metric", lambda v: tarsim.PyHNSW(2, metric=v)),
    ("schema", lambda v: tarsim.PyHNSW(2, metric="euclidean", schema=["a", v])),
    ("metadata", lambda v: hnsw(schema=["a"]).insert([1.0, 2.0], [("a", 1), (v, 2)])),
    ("metadata", lambda v: hnsw(schema=["a"]).create([[1.0, 2.0]], [[("a", 1), (v, 2)]])),
    ("filter", lambda v: hnsw(schema=["a"]).search([1.0, 2.0], filter=(v, 1))),
]
STRING_IDS = ["flat.metric", "hnsw.metric", "schema", "insert.metadata", "create.metadata",
              "filter"]


@pytest.mark.parametrize("name, call", STRING_PARAMS, ids=STRING_IDS)
@pytest.mark.parametrize("value, type_text", [(5, "int"), (1.5, "float"), (b"cosine", "bytes"),
                                              (["a"], "list")])
def test_non_string_is_named(name, call, value, type_text):
    with pytest.raises(TypeError) as info:
        call(value)
    reason = f"'{type_text}' object cannot be converted to 'PyString'"
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {reason}"
    assert str(info.value.__cause__) == reason


@pytest.mark.parametrize("name, call", STRING_PARAMS, ids=STRING_IDS)
@pytest.mark.parametrize("value", ["\ud800", "ok\udcff", StrSub("\udfff")])
def test_lone_surrogates_raise_unicode_error_unnamed(name, call, value):
    with pytest.raises(UnicodeEncodeError) as info:
        call(value)
    assert "argument" not in str(info.value)


def test_str_subclass_is_a_string():
    index = tarsim.PyFlat(2, StrSub("inner_product"))
    index.create([[1.0, 0.0], [10.0, 0.0]])
    assert index.search([1.0, 0.0], 2) == [(0, 1.0), (1, 10.0)]
    graph = tarsim.PyHNSW(2, metric=StrSub("euclidean"), schema=(StrSub("a"),))
    graph.insert([1.0, 2.0], [(StrSub("a"), 1)])
    assert graph.search([1.0, 2.0], filter=(StrSub("a"), 1)) == [(0.0, [1.0, 2.0])]


PAIR_PARAMS = [
    ("filter", lambda v: hnsw(schema=["a"]).search([1.0, 2.0], filter=v)),
    ("metadata", lambda v: hnsw(schema=["a"]).insert([1.0, 2.0], [("a", 1), v])),
    ("metadata", lambda v: hnsw(schema=["a"]).create([[1.0, 2.0]], [[v]])),
]
PAIR_IDS = ["filter", "insert.metadata", "create.metadata"]


@pytest.mark.parametrize("name, call", PAIR_PARAMS, ids=PAIR_IDS)
@pytest.mark.parametrize("value, type_text", [(["a", 1], "list"), ("a", "str"), (None, "NoneType"),
                                              ({"a": 1}, "dict"), (5, "int")])
def test_pair_of_wrong_type(name, call, value, type_text):
    if value is None and name == "filter":
        call(value)  # filter=None is no filter
        return
    with pytest.raises(TypeError) as info:
        call(value)
    reason = f"'{type_text}' object cannot be converted to 'PyTuple'"
    assert str(info.value) == f"argument '{name}': {reason}"
    assert type(info.value.__cause__) is TypeError


@pytest.mark.parametrize("name, call", PAIR_PARAMS, ids=PAIR_IDS)
@pytest.mark.parametrize("value", [(), ("a",), ("a", 1, 2), ("a", 1, 2, 3)])
def test_pair_of_wrong_length(name, call, value):
    with pytest.raises(ValueError) as info:
        call(value)
    assert type(info.value) is ValueError
    assert str(info.value) == f"expected tuple of length 2, but got tuple of length {len(value)}"


def test_tuple_subclass_is_a_pair():
    Pair = collections.namedtuple("Pair", "name value")
    graph = hnsw(schema=["a"])
    graph.insert([1.0, 2.0], [Pair("a", 4)])
    assert graph.search([0.0, 0.0], filter=Pair("a", 4)) == [(math.sqrt(5.0), [1.0, 2.0])]


@pytest.mark.parametrize("call, name", [
    (lambda v: hnsw(schema=["a"]).insert([1.0, 2.0], v), "metadata"),
    (lambda v: hnsw(schema=["a"]).create([[1.0, 2.0]], v), "metadata"),
    (lambda v: hnsw(schema=["a"]).create([[1.0, 2.0]], [v]), "metadata"),
    (lambda v: tarsim.PyHNSW(2, metric="euclidean", schema=v), "schema"),
], ids=["insert", "create-outer", "create-inner", "schema"])
@pytest.mark.parametrize("value, reason", [
    ("ab", "Can't extract `str` to `Vec`"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
])
def test_lists_of_pairs_and_strings_refuse_non_sequences(call, name, value, reason):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == f"argument '{name}': {reason}"


# ---------------------------------------------------------------------------
# The borrow flag

class Hook:
    """A number whose conversion runs `action` once and records its outcome."""

    def __init__(self, action, swallow=True):
        self.action = action
        self.swallow = swallow
        self.outcome = None

    def _run(self):
        if self.outcome is None:
            try:
                self.outcome = ("ok", self.action())
            except RuntimeError as error:
                self.outcome = ("error", str(error))
                if not self.swallow:
                    raise
        return 1.0

    __float__ = _run

    def __index__(self):
        self._run()
        return 1


def make_flat():
    index = tarsim.PyFlat(2)
    index.insert([0.0, 0.0])
    return index


def make_hnsw():
    index = tarsim.PyHNSW(2, metric="euclidean")
    index.insert([0.0, 0.0])
    return index


OUTER = {
    "insert": lambda index, hook: index.insert([hook, 0.0]),
    "create": lambda index, hook: index.create([[0.5, 0.5], [hook, 0.0]]),
    "search": lambda index, hook: index.search([hook, 0.0], k=5),
    "search-k": lambda index, hook: index.search([1.0, 0.0], k=hook),
}
INNER = {
    "insert": lambda index: index.insert([3.0, 3.0]),
    "create": lambda index: index.create([[3.0, 3.0]]),
    "search": lambda index: index.search([0.0, 0.0], k=10),
}
EXCLUSIVE = {"insert", "create"}


def expected_inner(outer, inner):
    if outer.startswith("search"):
        return "ok" if inner == "search" else "Already borrowed"
    return "Already mutably borrowed" if inner == "search" else "Already borrowed"


@pytest.mark.parametrize("make", [make_flat, make_hnsw], ids=["PyFlat", "PyHNSW"])
@pytest.mark.parametrize("outer", list(OUTER))
@pytest.mark.parametrize("inner", list(INNER))
def test_reentrant_calls(make, outer, inner):
    index = make()
    hook = Hook(lambda: INNER[inner](index))
    OUTER[outer](index, hook)
    want = expected_inner(outer, inner)
    if want == "ok":
        assert hook.outcome[0] == "ok"
        assert len(hook.outcome[1]) >= 1  # the inner search saw the stored vector
    else:
        assert hook.outcome == ("error", want)
    # The flag is free again: an exclusive and a shared call both work.
    index.insert([9.0, 9.0])
    assert len(index.search([0.0, 0.0], k=100)) >= 2


@pytest.mark.parametrize("make", [make_flat, make_hnsw], ids=["PyFlat", "PyHNSW"])
@pytest.mark.parametrize("outer", ["insert", "create", "search"])
def test_unhandled_borrow_error_fails_the_outer_call(make, outer):
    index = make()
    inner = "search" if outer in EXCLUSIVE else "insert"
    hook = Hook(lambda: INNER[inner](index), swallow=False)
    with pytest.raises(RuntimeError) as info:
        OUTER[outer](index, hook)
    assert type(info.value) is RuntimeError
    assert str(info.value) == expected_inner(outer, inner)
    index.insert([9.0, 9.0])
    assert len(index.search([0.0, 0.0], k=100)) >= 2


@pytest.mark.parametrize("make", [make_flat, make_hnsw], ids=["PyFlat", "PyHNSW"])
def test_matching_comes_before_borrow_and_borrow_before_conversion(make):
    index = make()
    seen = []

    def inner():
        for call in [lambda: index.search(), lambda: index.insert(bogus=1),
                     lambda: index.search("not a vector"), lambda: index.insert(None)]:
            try:
                call()
            except (TypeError, RuntimeError) as error:
                seen.append((type(error), str(error)))
        return None

    index.insert([Hook(inner), 0.0])
    cls = type(index).__name__
    assert seen == [
        (TypeError, f"{cls}.search() missing 1 required positional argument: 'query'"),
        (TypeError, f"{cls}.insert() got an unexpected keyword argument 'bogus'"),
        (RuntimeError, "Already mutably borrowed"),
        (RuntimeError, "Already borrowed"),
    ]


@pytest.mark.parametrize("make", [make_flat, make_hnsw], ids=["PyFlat", "PyHNSW"])
def test_nested_searches_release_every_shared_borrow(make):
    index = make()
    depth = []

    def level(n):
        depth.append(n)
        if n < 3:
            index.search([Hook(lambda: level(n + 1)), 0.0])
        return index.search([0.0, 0.0])

    level(0)
    assert depth == [0, 1, 2, 3]
    index.insert([1.0, 1.0])  # would fail if a shared borrow had leaked
    index.create([[2.0, 2.0]])


def test_borrow_is_free_after_failures(panic_exception):
    index = tarsim.PyFlat(2)
    failures = [
        (lambda: index.search([0.0, 0.0]), ValueError),
        (lambda: index.insert("ab"), TypeError),
        (lambda: index.insert([1.0]), ValueError),
        (lambda: index.create([]), ValueError),
        (lambda: index.create([[1.0, 2.0], [1.0]]), panic_exception),
        (lambda: index.search([0.0, 0.0], k=-1), OverflowError),
        (lambda: index.insert([Raises(KeyError("x"))]), KeyError),
    ]
    for call, error in failures:
        with pytest.raises(error):
            call()
        index.insert([5.0, 5.0])
        assert index.search([5.0, 5.0])[0][1] == 0.0
    graph = make_hnsw()
    for call, error in [(lambda: graph.insert([1.0]), ValueError),
                        (lambda: graph.search([0.0], filter=("a", 1)), ValueError),
                        (lambda: graph.create([[0.0, 0.0]], [[]]), ValueError),
                        (lambda: graph.search([Raises(TypeError("x"))]), TypeError)]:
        with pytest.raises(error):
            call()
        graph.insert([1.0, 1.0])
        assert graph.search([0.0, 0.0]) == [(0.0, [0.0, 0.0])]


def test_other_threads_are_refused_while_python_code_runs_in_a_call():
    for make in (make_flat, make_hnsw):
        index = make()
        for outer, refused in [("insert", [("search", "Already mutably borrowed"),
                                           ("insert", "Already borrowed")]),
                               ("search", [("insert", "Already borrowed"),
                                           ("create", "Already borrowed")])]:
            started, release = threading.Event(), threading.Event()

            def wait():
                started.set()
                release.wait(10)
                return None

            worker = threading.Thread(target=OUTER[outer], args=(index, Hook(wait)))
            worker.start()
            try:
                assert started.wait(10)
                for inner, message in refused:
                    with pytest.raises(RuntimeError, match=f"^{message}$"):
                        INNER[inner](index)
                if outer == "search":
                    assert len(INNER["search"](index)) >= 1  # shared borrows overlap
            finally:
                release.set()
                worker.join(10)
        index.insert([1.0, 1.0])


# ---------------------------------------------------------------------------
# A list changed while it is converted gives exactly what iteration gives


class Mutator:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


def test_list_growing_during_conversion():
    items = []
    items.extend([Mutator(lambda: items.append(7.0)), 1.0])
    assert read_vector(items, 3) == [0.5, 1.0, 7.0]


def test_list_shrinking_during_conversion():
    items = []
    items.extend([Mutator(lambda: items.clear()), 1.0, 2.0])
    assert read_vector(items, 1) == [0.5]
    rows = []
    rows.extend([[Mutator(lambda: rows.pop()), 1.0], [3.0, 4.0]])
    index = flat(2)
    index.create(rows)
    assert index.search([0.0, 0.0], k=5) == [(0, math.sqrt(1.25))]


# ---------------------------------------------------------------------------
# Calls keep no reference to their arguments, on success and on failure


def test_arguments_are_released(panic_exception):
    element, value, name = FloatOnly(1.5), FloatOnly(2.5), "attr_" + str(id(object()))
    unconvertible = object()
    probes = [element, value, name, unconvertible]
    before = [sys.getrefcount(p) for p in probes]

    def run(call, error=None):
        try:
            call()
        except BaseException as caught:  # noqa: BLE001
            assert error is not None and isinstance(caught, error), caught
        else:
            assert error is None

    for _ in range(20):
        f = flat(2)
        run(lambda: f.insert([element, 0.0]))
        run(lambda: f.search([element, 0.0], k=2))
        run(lambda: f.create([[element, 0.0], [0.0, element]]))
        run(lambda: f.insert([element]), ValueError)
        run(lambda: f.create([[element, 0.0], [element]]), panic_exception)
        run(lambda: f.insert([element, "x"]), TypeError)
        g = hnsw(2, schema=[name])
        run(lambda: g.insert([element, 0.0], [(name, value)]))
        run(lambda: g.create([[element, 0.0]], [[(name, value)]]))
        run(lambda: g.search([element, 0.0], k=3, filter=(name, value)))
        run(lambda: g.search([element, 0.0], filter=(name, unconvertible)), ValueError)
        run(lambda: g.insert([element, 0.0], [(name, unconvertible)]), ValueError)
        run(lambda: g.insert([element], [(name, value)]), ValueError)
        run(lambda: g.create([[element, 0.0]], [[(name, value)], []]), ValueError)
        run(lambda: hnsw(2).insert([element, 0.0], [(name, value)]), ValueError)
        run(lambda: hnsw(2).search([element, 0.0], filter=(name, value)), ValueError)
        run(lambda: g.search([element, 0.0], filter=(name, value, 1)), ValueError)
    del f, g
    assert [sys.getrefcount(p) for p in probes] == before
