"""Reference and memory leak loops over every public path of the module.

Each case is one call (a constructor or method, with valid input, with one
kind of refused input, with re-entrant __float__/__index__, with numpy or list
input), whose result is discarded. After warm-up the call is repeated N and
then 2N times; the interpreter's allocated block count must not grow over the
2N round, and the reference count of every argument object (and of everything
inside it) must be back where it started.
"""

import array
import gc
import math
import os
import sys
from typing import Callable, NamedTuple

import numpy as np
import pytest

import tarsim

SANITIZED = bool(os.environ.get("TARSIM_SANITIZED"))
WARMUP = 200 if SANITIZED else 500
ROUND = 300 if SANITIZED else 1500  # N; the second round runs 2N
RETRIES = 3
U32_MAX = 2**32 - 1


def panic_exception():
    try:
        tarsim.PyFlat(1).create([[1.0, 2.0]])
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("no PanicException")


PanicException = panic_exception()


class Case(NamedTuple):
    call: Callable[[], object]
    raises: type | None  # None: the call succeeds
    message: str | None  # a substring of the exception's message
    watched: tuple  # argument objects whose reference counts must come back


BUILDERS: dict[str, Callable[[], Case]] = {}


def case(name):
    def register(fn):
        assert name not in BUILDERS
        BUILDERS[name] = fn
        return fn

    return register


def flat(dim=3, n=4, metric=None):
    index = tarsim.PyFlat(dim, metric)
    for i in range(n):
        index.insert([float(i + j) for j in range(dim)])
    return index


def hnsw(dim=3, n=6, schema=None, **params):
    params.setdefault("metric", "euclidean")
    params.setdefault("layers", 3)
    params.setdefault("ef_construction", 4)
    index = tarsim.PyHNSW(dim, schema=schema, **params)
    for i in range(n):
        vector = [float(i * j % 5) for j in range(1, dim + 1)]
        if schema:
            index.insert(vector, [(name, i % 3) for name in schema])
        else:
            index.insert(vector)
    return index


class Fresh:
    """An index replaced by a new one every `every` uses: HNSW insertion slows
    down as the graph grows, and the loops only need the path, not the size."""

    def __init__(self, make, every=400):
        self.make = make
        self.every = every
        self.uses = 0
        self.index = make()

    def get(self):
        self.uses += 1
        if self.uses % self.every == 0:
            self.index = self.make()
        return self.index


class ReentrantFloat:
    """A float whose __float__ calls a method of an index first."""

    def __init__(self, call, value=1.5, swallow=True):
        self.call = call
        self.value = value
        self.swallow = swallow

    def __float__(self):
        if self.swallow:
            try:
                self.call()
            except RuntimeError:
                pass
        else:
            self.call()
        return self.value


class ReentrantIndex:
    def __init__(self, call, value=2):
        self.call = call
        self.value = value

    def __index__(self):
        try:
            self.call()
        except RuntimeError:
            pass
        return self.value


class Raising:
    def __float__(self):
        raise ZeroDivisionError("from __float__")

    def __index__(self):
        raise ZeroDivisionError("from __index__")


class WrongType:
    def __float__(self):
        return "1.0"

    def __index__(self):
        return 1.5


class ClaimsHuge:
    """A sequence whose __len__ claims far more items than it yields."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**60

    def __getitem__(self, i):
        return self.items[i]


class LenRaises(ClaimsHuge):
    def __len__(self):
        raise ZeroDivisionError("from __len__")


class IterRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise ZeroDivisionError("from __iter__")


# ---------------------------------------------------------------------------
# Constructors


@case("PyFlat() valid")
def _():
    dim, metric = 3, "cosine"
    return Case(lambda: tarsim.PyFlat(dim, metric=metric), None, None, (dim, metric))


@case("PyFlat() valid, then insert and dealloc")
def _():
    vector = [1.5, 2.5, 3.5]

    def call():
        index = tarsim.PyFlat(3)
        index.insert(vector)
        index.search(vector, 2)

    return Case(call, None, None, (vector,))


REFUSED_CONSTRUCTOR_ARGS = [
    ("PyFlat", (), {}, TypeError, "missing 1 required positional argument: 'dim'"),
    ("PyFlat", (3, None, 1), {}, TypeError, "takes from 1 to 2 positional arguments but 3"),
    ("PyFlat", (3,), {"metrics": "x"}, TypeError, "unexpected keyword argument 'metrics'"),
    ("PyFlat", (3,), {"dim": 3}, TypeError, "multiple values for argument 'dim'"),
    ("PyFlat", (-1,), {}, OverflowError, None),
    ("PyFlat", (2**32,), {}, OverflowError, "out of range integral type conversion attempted"),
    ("PyFlat", (2**64,), {}, OverflowError, None),
    ("PyFlat", (2.0,), {}, TypeError, "argument 'dim'"),
    ("PyFlat", (None,), {}, TypeError, "argument 'dim'"),
    ("PyFlat", (3, 5), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("PyFlat", (3, "\ud800"), {}, UnicodeEncodeError, None),
    ("PyHNSW", (3,), {}, ValueError, "Unsupported metric"),
    ("PyHNSW", (3,), {"metric": "Euclidean"}, ValueError, "Unsupported metric"),
    ("PyHNSW", (3, -1), {"metric": "euclidean"}, OverflowError, None),
    ("PyHNSW", (3, None, None, "8"), {"metric": "euclidean"}, TypeError, "ef_construction"),
    ("PyHNSW", (3,), {"metric": "euclidean", "schema": "ab"}, TypeError, "Can't extract `str`"),
    ("PyHNSW", (3,), {"metric": "euclidean", "schema": ["a", 1]}, TypeError, "argument 'schema'"),
    ("PyHNSW", (3,), {"metric": "euclidean", "schema": {"a"}}, TypeError, "'Sequence'"),
    ("PyHNSW", (3,), {"metric": "euclidean", "schema": ["\udc00"]}, UnicodeEncodeError, None),
    ("PyHNSW", (3, 1, 2, 3, 4, "euclidean", [], 8), {}, TypeError, "takes from 1 to 7"),
    ("PyHNSW", (Raising(),), {"metric": "euclidean"}, ZeroDivisionError, None),
    ("PyHNSW", (WrongType(),), {"metric": "euclidean"}, TypeError, "argument 'dim'"),
]

for i, (cls_name, args, kwargs, exc, message) in enumerate(REFUSED_CONSTRUCTOR_ARGS):

    def build(cls_name=cls_name, args=args, kwargs=kwargs, exc=exc, message=message):
        cls = getattr(tarsim, cls_name)
        return Case(lambda: cls(*args, **kwargs), exc, message, (args, kwargs))

    case(f"{cls_name}() refused #{i} {exc.__name__}")(build)


@case("PyHNSW() valid, all parameters")
def _():
    args = (4, 3, 8, 100, 20, "angular", ["color", "size"])
    return Case(lambda: tarsim.PyHNSW(*args), None, None, (args,))


@case("PyHNSW() valid by keyword, then insert with metadata and dealloc")
def _():
    kwargs = {"dim": 2, "metric": "inner_product", "schema": ["a"], "ef_construction": 8}
    vector, metadata = [1.5, -2.5], [("a", "text value")]

    def call():
        index = tarsim.PyHNSW(**kwargs)
        index.insert(vector, metadata)
        index.insert(vector, metadata)
        index.search(vector, 2, ("a", "text value"))

    return Case(call, None, None, (kwargs, vector, metadata))


# ---------------------------------------------------------------------------
# PyFlat methods


@case("PyFlat.insert list")
def _():
    index, vector = flat(), [1.25, 2.5, 3.75]
    return Case(lambda: index.insert(vector), None, None, (index, vector))


@case("PyFlat.insert tuple, range, bytes, array, numpy f64/f32/strided")
def _():
    index = tarsim.PyFlat(3)
    values = (
        (1.0, 2, True),
        range(3),
        b"abc",
        array.array("d", [1.0, 2.0, 3.0]),
        np.array([1.0, 2.0, 3.0]),
        np.array([1.0, 2.0, 3.0], dtype=np.float32),
        np.arange(6.0)[::2],
        np.array([1, 2, 3]),
    )

    def call():
        for value in values:
            index.insert(value)

    return Case(call, None, None, (index, values))


@case("PyFlat.insert re-entrant __float__ calling insert (refused inside)")
def _():
    index = flat()
    vector = [1.0, ReentrantFloat(lambda: index.insert([1.0, 2.0, 3.0])), 2.0]
    return Case(lambda: index.insert(vector), None, None, (index, vector))


@case("PyFlat.insert re-entrant __float__ whose borrow error escapes")
def _():
    index = flat()
    vector = [1.0, ReentrantFloat(lambda: index.search([1.0, 2.0, 3.0]), swallow=False), 2.0]
    return Case(lambda: index.insert(vector), RuntimeError, "Already mutably borrowed",
                (index, vector))


FLAT_REFUSED_VECTORS = [
    ("wrong length", [1.0, 2.0], ValueError, "Expected vector of length 3, got 2"),
    ("str", "abc", TypeError, "Can't extract `str` to `Vec`"),
    ("None", None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ("dict", {0: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("set", {1.0, 2.0, 3.0}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ("element str", [1.0, "2", 3.0], TypeError, "argument 'vector'"),
    ("element None", [1.0, None, 3.0], TypeError, "argument 'vector'"),
    ("element huge int", [1.0, 10**400, 3.0], OverflowError, None),
    ("element raising", [1.0, Raising(), 3.0], ZeroDivisionError, None),
    ("element wrong type", [1.0, WrongType(), 3.0], TypeError, None),
    ("numpy 2-D", np.zeros((1, 3)), TypeError, None),
    ("numpy object", np.array([1.0, "x", 2.0], dtype=object), TypeError, None),
    ("len raises, wrong length", LenRaises([1.0]), ValueError, "got 1"),
    ("iter raises", IterRaises(), ZeroDivisionError, None),
]

for label, value, exc, message in FLAT_REFUSED_VECTORS:

    def build(value=value, exc=exc, message=message):
        index = flat()
        return Case(lambda: index.insert(value), exc, message, (index, value))

    case(f"PyFlat.insert refused: {label}")(build)


@case("PyFlat.insert claiming 2**60 items")
def _():
    index, value = tarsim.PyFlat(3), ClaimsHuge([1.0, 2.0, 3.0])
    return Case(lambda: index.insert(value), None, None, (index, value))


@case("PyFlat.insert argument matching errors")
def _():
    index, vector = flat(), [1.0, 2.0, 3.0]

    def call():
        for args, kwargs in (((), {}), ((vector, 1), {}), ((vector,), {"vector": vector}),
                             ((), {"vector2": vector})):
            try:
                index.insert(*args, **kwargs)
            except TypeError:
                pass

    return Case(call, None, None, (index, vector))


@case("PyFlat.search list")
def _():
    index, query = flat(n=20), [0.5, 1.5, 2.5]
    return Case(lambda: index.search(query, 5), None, None, (index, query))


@case("PyFlat.search numpy, k max, k None, k 0, every metric")
def _():
    indexes = [flat(n=10, metric=m) for m in (None, "cosine", "inner_product")]
    queries = (np.array([0.5, 1.5, 2.5]), np.array([0.0, 0.0, 0.0], dtype=np.float32), (1, 2, 3))

    def call():
        for index in indexes:
            for query in queries:
                index.search(query, U32_MAX)
                index.search(query)
                index.search(query, 0)

    return Case(call, None, None, (indexes, queries))


@case("PyFlat.search re-entrant __float__ calling search")
def _():
    index = flat()
    query = [ReentrantFloat(lambda: index.search([1.0, 2.0, 3.0], 2)), 1.0, 2.0]
    return Case(lambda: index.search(query, 3), None, None, (index, query))


@case("PyFlat.search re-entrant __float__ calling insert (refused inside)")
def _():
    index = flat()
    query = [ReentrantFloat(lambda: index.insert([1.0, 2.0, 3.0])), 1.0, 2.0]
    return Case(lambda: index.search(query, 3), None, None, (index, query))


@case("PyFlat.search re-entrant __index__ for k")
def _():
    index, query = flat(), [1.0, 2.0, 3.0]
    k = ReentrantIndex(lambda: index.search(query, 2), value=3)
    return Case(lambda: index.search(query, k), None, None, (index, query, k))


FLAT_REFUSED_SEARCHES = [
    ("query length", ([1.0],), ValueError, "Expected query of length 3, got 1"),
    ("query str", ("abc",), TypeError, "Can't extract `str` to `Vec`"),
    ("query generator", ((x for x in ()),), TypeError, "'generator' object"),
    ("k negative", ([1.0, 2.0, 3.0], -1), OverflowError, None),
    ("k 2**32", ([1.0, 2.0, 3.0], 2**32), OverflowError, "out of range integral"),
    ("k float", ([1.0, 2.0, 3.0], 2.0), TypeError, "argument 'k'"),
    ("k raising", ([1.0, 2.0, 3.0], Raising()), ZeroDivisionError, None),
    ("k wrong type", ([1.0, 2.0, 3.0], WrongType()), TypeError, "argument 'k'"),
    ("too many", ([1.0, 2.0, 3.0], 1, 2), TypeError, "takes from 1 to 2 positional"),
]

for label, args, exc, message in FLAT_REFUSED_SEARCHES:

    def build(args=args, exc=exc, message=message):
        index = flat()
        return Case(lambda: index.search(*args), exc, message, (index, args))

    case(f"PyFlat.search refused: {label}")(build)


@case("PyFlat.search refused: EmptyIndex")
def _():
    index, query = tarsim.PyFlat(3), [1.0, 2.0, 3.0]
    return Case(lambda: index.search(query), ValueError, "Search error: EmptyIndex", (index, query))


@case("PyFlat.create lists")
def _():
    index = tarsim.PyFlat(3)
    vectors = [[1.0, 2.0, 3.0], (4, 5, 6), np.array([7.0, 8.0, 9.0])]
    return Case(lambda: index.create(vectors), None, None, (index, vectors))


@case("PyFlat.create numpy 2-D, Fortran order, float32")
def _():
    index = tarsim.PyFlat(3)
    arrays = (np.arange(12.0).reshape(4, 3), np.asfortranarray(np.arange(12.0).reshape(4, 3)),
              np.arange(12, dtype=np.float32).reshape(4, 3), np.arange(24.0).reshape(4, 6)[:, ::2])

    def call():
        for a in arrays:
            index.create(a)

    return Case(call, None, None, (index, arrays))


FLAT_REFUSED_CREATES = [
    ("empty", [], ValueError, "Create error: EmptyVectors"),
    ("wrong length panics", [[1.0, 2.0, 3.0], [1.0]], PanicException, "Vector length 1"),
    ("inner str", [[1.0, 2.0, 3.0], "abc"], TypeError, "Can't extract `str` to `Vec`"),
    ("str", "abc", TypeError, "Can't extract `str` to `Vec`"),
    ("inner element", [[1.0, 2.0, 3.0], [1.0, None, 3.0]], TypeError, "argument 'vectors'"),
    ("inner raising", [[1.0, Raising(), 3.0]], ZeroDivisionError, None),
    ("numpy 1-D", np.zeros(3), TypeError, None),
    ("numpy wrong width panics", np.zeros((2, 4)), PanicException, "Vector length 4"),
]

for label, value, exc, message in FLAT_REFUSED_CREATES:

    def build(value=value, exc=exc, message=message):
        index = flat()
        return Case(lambda: index.create(value), exc, message, (index, value))

    case(f"PyFlat.create refused: {label}")(build)


@case("PyFlat.create re-entrant __float__ calling create (refused inside)")
def _():
    index = flat()
    vectors = [[1.0, 2.0, 3.0], [ReentrantFloat(lambda: index.create([[1.0, 2.0, 3.0]])), 1.0, 2.0]]
    return Case(lambda: index.create(vectors), None, None, (index, vectors))


# ---------------------------------------------------------------------------
# PyHNSW methods


@case("PyHNSW.insert list")
def _():
    index, vector = Fresh(hnsw), [1.25, 2.5, 3.75]
    return Case(lambda: index.get().insert(vector), None, None, (vector,))


@case("PyHNSW.insert numpy and tuple")
def _():
    index = Fresh(hnsw)
    values = (np.array([1.0, 2.0, 3.0]), np.array([1.0, 2.0, 3.0], dtype=np.float32), (1, 2.5, 3))

    def call():
        for value in values:
            index.get().insert(value)

    return Case(call, None, None, (values,))


@case("PyHNSW.insert with metadata of every kind")
def _():
    index = Fresh(lambda: hnsw(schema=["s", "i", "f", "big"]))
    vector = [1.0, 2.0, 3.0]
    metadata = [("s", "red"), ("i", 12345), ("f", 2.5), ("big", 2**70), ("extra", None), ("i", True)]
    return Case(lambda: index.get().insert(vector, metadata), None, None, (vector, metadata))


@case("PyHNSW.insert metadata value with re-entrant __index__")
def _():
    index = Fresh(lambda: hnsw(schema=["a"]))
    vector = [1.0, 2.0, 3.0]
    metadata = [("a", ReentrantIndex(lambda: index.index.search(vector), value=7))]
    return Case(lambda: index.get().insert(vector, metadata), None, None, (vector, metadata))


@case("PyHNSW.insert re-entrant __float__ calling search (refused inside)")
def _():
    index = Fresh(hnsw)
    vector = [ReentrantFloat(lambda: index.index.search([1.0, 2.0, 3.0])), 2.0, 3.0]
    return Case(lambda: index.get().insert(vector), None, None, (vector,))


HNSW_REFUSED_INSERTS = [
    ("wrong length", ([1.0, 2.0],), None, ValueError, "Expected vector of length 3, got 2"),
    ("str", ("abc",), None, TypeError, "Can't extract `str` to `Vec`"),
    ("element None", ([1.0, None, 3.0],), None, TypeError, "argument 'vector'"),
    ("metadata without schema", ([1.0, 2.0, 3.0], [("a", 1)]), None, ValueError,
     "No schema provided in HNSW instance; cannot use metadata"),
    ("metadata str", ([1.0, 2.0, 3.0], "ab"), ["a"], TypeError, "Can't extract `str` to `Vec`"),
    ("metadata dict", ([1.0, 2.0, 3.0], {"a": 1}), ["a"], TypeError, "'dict' object"),
    ("metadata pair as list", ([1.0, 2.0, 3.0], [["a", 1]]), ["a"], TypeError, "'PyTuple'"),
    ("metadata pair of 3", ([1.0, 2.0, 3.0], [("a", 1, 2)]), ["a"], ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("metadata name int", ([1.0, 2.0, 3.0], [(1, 1)]), ["a"], TypeError, "'PyString'"),
    ("metadata missing", ([1.0, 2.0, 3.0], [("b", 1)]), ["a"], ValueError,
     "Missing metadata for attribute 'a'"),
    ("metadata unsupported", ([1.0, 2.0, 3.0], [("a", [1])]), ["a"], ValueError,
     "Unsupported metadata type for attribute 'a'"),
    ("metadata surrogate", ([1.0, 2.0, 3.0], [("a", "\ud800")]), ["a"], ValueError,
     "Unsupported metadata type for attribute 'a'"),
    ("metadata raising", ([1.0, 2.0, 3.0], [("a", Raising())]), ["a"], ValueError,
     "Unsupported metadata type for attribute 'a'"),
    ("metadata then wrong length", ([1.0], [("a", 1)]), ["a"], ValueError,
     "Expected vector of length 3, got 1"),
]

for label, args, schema, exc, message in HNSW_REFUSED_INSERTS:

    def build(args=args, schema=schema, exc=exc, message=message):
        index = hnsw(schema=schema)
        return Case(lambda: index.insert(*args), exc, message, (index, args))

    case(f"PyHNSW.insert refused: {label}")(build)


@case("PyHNSW.insert refused: Insert error InvalidEF (stores the node)")
def _():
    index = tarsim.PyHNSW(3, metric="euclidean", ef_construction=0)
    index.insert([0.0, 0.0, 0.0])
    vector = [1.0, 2.0, 3.0]
    return Case(lambda: index.insert(vector), ValueError, "Insert error: InvalidEF", (index, vector))


@case("PyHNSW.search list, numpy, any query length, k max")
def _():
    index = hnsw(n=30)
    queries = ([0.5, 1.5, 2.5], np.array([1.0, 1.0, 1.0]), [1.0], [1.0, 2.0, 3.0, 4.0, 5.0], [])

    def call():
        for query in queries:
            index.search(query, U32_MAX)
            index.search(query)

    return Case(call, None, None, (index, queries))


@case("PyHNSW.search with filters of every kind")
def _():
    index = hnsw(n=30, schema=["a", "b"])
    query = [1.0, 2.0, 3.0]
    filters = (("a", 1), ("b", 2), ("a", 1.0), ("a", "x"), ("a", True), ("a", 2**70))

    def call():
        for f in filters:
            index.search(query, 5, f)

    return Case(call, None, None, (index, query, filters))


@case("PyHNSW.search re-entrant __float__ calling search")
def _():
    index = hnsw(n=10, schema=["a"])
    query = [ReentrantFloat(lambda: index.search([1.0, 2.0, 3.0], 3, ("a", 1))), 2.0, 3.0]
    return Case(lambda: index.search(query, 3), None, None, (index, query))


@case("PyHNSW.search re-entrant __float__ calling create (refused inside)")
def _():
    index = hnsw(n=10)
    query = [ReentrantFloat(lambda: index.create([[1.0, 2.0, 3.0]])), 2.0, 3.0]
    return Case(lambda: index.search(query, 3), None, None, (index, query))


@case("PyHNSW.search filter value with re-entrant __index__")
def _():
    index = hnsw(n=10, schema=["a"])
    query = [1.0, 2.0, 3.0]
    f = ("a", ReentrantIndex(lambda: index.search(query, 2), value=1))
    return Case(lambda: index.search(query, 3, f), None, None, (index, query, f))


HNSW_REFUSED_SEARCHES = [
    ("query str", ("abc",), ["a"], TypeError, "Can't extract `str` to `Vec`"),
    ("k negative", ([1.0], -1), ["a"], OverflowError, None),
    ("k 2**32", ([1.0], 2**32), ["a"], OverflowError, "out of range integral"),
    ("filter without schema", ([1.0], 1, ("a", 1)), None, ValueError,
     "No schema provided in HNSW instance; cannot use metadata filtering"),
    ("filter list", ([1.0], 1, ["a", 1]), ["a"], TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ("filter of 1", ([1.0], 1, ("a",)), ["a"], ValueError, "but got tuple of length 1"),
    ("filter name int", ([1.0], 1, (1, 1)), ["a"], TypeError, "'PyString'"),
    ("filter name surrogate", ([1.0], 1, ("\ud800", 1)), ["a"], UnicodeEncodeError, None),
    ("filter value None", ([1.0], 1, ("a", None)), ["a"], ValueError,
     "Unsupported type for metadata filter"),
    ("filter value raising", ([1.0], 1, ("a", Raising())), ["a"], ValueError,
     "Unsupported type for metadata filter"),
    ("filter attribute not found", ([1.0], 1, ("zz", 1)), ["a"], ValueError,
     "Search error: AttributeNotFound"),
    ("filter on empty schema", ([1.0], 1, ("a", 1)), [], ValueError, "Search error: EmptySchema"),
]

for label, args, schema, exc, message in HNSW_REFUSED_SEARCHES:

    def build(args=args, schema=schema, exc=exc, message=message):
        index = hnsw(schema=schema)
        return Case(lambda: index.search(*args), exc, message, (index, args))

    case(f"PyHNSW.search refused: {label}")(build)


@case("PyHNSW.search refused: InvalidLayer and InvalidEF")
def _():
    no_layers = tarsim.PyHNSW(2, layers=0, metric="euclidean")
    no_ef = tarsim.PyHNSW(2, ef_search=0, metric="euclidean")
    for index in (no_layers, no_ef):
        index.insert([1.0, 2.0])
        index.insert([2.0, 2.0])
    query = [1.0, 1.0]

    def call():
        for index, name in ((no_layers, "InvalidLayer"), (no_ef, "InvalidEF")):
            try:
                index.search(query)
            except ValueError as e:
                assert str(e) == "Search error: " + name
            else:
                raise AssertionError("no error")

    return Case(call, None, None, (no_layers, no_ef, query))


@case("PyHNSW.create lists without metadata")
def _():
    index = Fresh(hnsw, every=150)
    vectors = [[1.0, 2.0, 3.0], (4, 5, 6), np.array([7.0, 8.0, 9.0])]
    return Case(lambda: index.get().create(vectors), None, None, (vectors,))


@case("PyHNSW.create numpy 2-D with metadata")
def _():
    index = Fresh(lambda: hnsw(schema=["a", "b"]), every=150)
    vectors = np.arange(9.0).reshape(3, 3)
    metadata = [[("a", i), ("b", f"v{i}")] for i in range(3)]
    return Case(lambda: index.get().create(vectors, metadata), None, None, (vectors, metadata))


HNSW_REFUSED_CREATES = [
    ("empty", ([],), None, ValueError, "Create error: EmptyVectors"),
    ("empty with metadata and schema", ([], []), ["a"], ValueError, "Create error: EmptyVectors"),
    ("wrong length", ([[1.0, 2.0, 3.0], [1.0]],), None, ValueError,
     "Expected vector of length 3, got 1"),
    ("metadata count", ([[1.0, 2.0, 3.0]] * 2, [[("a", 1)]]), ["a"], ValueError,
     "Length of metadata list must match number of vectors"),
    ("metadata without schema", ([[1.0, 2.0, 3.0]], [[("a", 1)]]), None, ValueError,
     "No schema provided in HNSW instance; cannot use metadata"),
    ("second row fails", ([[1.0, 2.0, 3.0]] * 2, [[("a", 1)], [("a", None)]]), ["a"], ValueError,
     "Unsupported metadata type for attribute 'a'"),
    ("metadata str", ([[1.0, 2.0, 3.0]], "ab"), ["a"], TypeError, "Can't extract `str` to `Vec`"),
    ("metadata inner str", ([[1.0, 2.0, 3.0]], ["ab"]), ["a"], TypeError, "Can't extract `str`"),
    ("vectors inner None", ([[1.0, 2.0, 3.0], None],), None, TypeError, "argument 'vectors'"),
    ("rows fine, vector length", ([[1.0]], [[("a", 1)]]), ["a"], ValueError,
     "Expected vector of length 3, got 1"),
]

for label, args, schema, exc, message in HNSW_REFUSED_CREATES:

    def build(args=args, schema=schema, exc=exc, message=message):
        index = hnsw(schema=schema)
        return Case(lambda: index.create(*args), exc, message, (index, args))

    case(f"PyHNSW.create refused: {label}")(build)


@case("PyHNSW.create re-entrant __float__ calling insert (refused inside)")
def _():
    index = Fresh(hnsw)
    vectors = [[ReentrantFloat(lambda: index.index.insert([1.0, 2.0, 3.0])), 1.0, 2.0]]
    return Case(lambda: index.get().create(vectors), None, None, (vectors,))


@case("PyHNSW.create re-entrant __float__ whose borrow error escapes")
def _():
    index = hnsw()
    vectors = [[1.0, 1.0, 1.0], [ReentrantFloat(lambda: index.search([1.0]), swallow=False), 1.0, 2.0]]
    return Case(lambda: index.create(vectors), RuntimeError, "Already mutably borrowed",
                (index, vectors))


# ---------------------------------------------------------------------------
# The loop


def shared_singleton(obj):
    """Objects the whole interpreter shares, whose counts move with unrelated code."""
    return obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)


def reachable(objects):
    """The objects and everything inside their lists, tuples and dicts."""
    seen, out, stack = set(), [], list(objects)
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        if not shared_singleton(obj):
            out.append(obj)
        if isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
    return out


def repeat(call, raises, times):
    for _ in range(times):
        try:
            call()
        except BaseException as e:  # noqa: BLE001
            if raises is None or not isinstance(e, raises):
                raise


def block_growth(call, raises):
    """Allocated-block growth over N and 2N calls after warm-up; retried while
    the 2N round grows, so that a one-off allocation does not count."""
    repeat(call, raises, WARMUP)
    rounds = []
    for _ in range(RETRIES):
        gc.collect()
        start = sys.getallocatedblocks()
        repeat(call, raises, ROUND)
        gc.collect()
        middle = sys.getallocatedblocks()
        repeat(call, raises, 2 * ROUND)
        gc.collect()
        end = sys.getallocatedblocks()
        rounds.append((middle - start, end - middle))
        if end - middle <= 0:
            break
    return rounds


@pytest.mark.parametrize("name", sorted(BUILDERS))
def test_repeated_calls_leak_nothing(name, capfd):
    c = BUILDERS[name]()
    # The case really takes the path its name says.
    if c.raises is None:
        c.call()
    else:
        with pytest.raises(c.raises) as info:
            c.call()
        if c.message is not None:
            assert c.message in str(info.value)
    objects = reachable(c.watched)
    repeat(c.call, c.raises, 10)
    gc.collect()  # garbage of earlier tests may still hold shared constants
    refcounts = [sys.getrefcount(o) for o in objects]
    rounds = block_growth(c.call, c.raises)
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, refcounts, after) if a != b]
    assert changed == []
    # Zero growth over the last 2N round; a leak of even one block per
    # thousand calls grows every round.
    assert rounds[-1][1] <= 0, f"allocated blocks grew (N, 2N) per round: {rounds}"
    capfd.readouterr()  # the panic reports of the PanicException cases
    if os.environ.get("TARSIM_LEAK_REPORT"):
        with capfd.disabled():
            print(f"\n{name}: blocks (N, 2N) per round {rounds}; {len(objects)} objects watched")
