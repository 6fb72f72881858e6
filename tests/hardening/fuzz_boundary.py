"""Throws arbitrary Python values at every constructor and method of PyFlat and PyHNSW.

Run standalone:

    python tests/hardening/fuzz_boundary.py --calls 1000000 --seed 1

The only acceptable outcome of a call is a return value of the method's shape
or an ordinary exception. A crash ends the process (faulthandler prints where);
everything else that is wrong is collected as a fault and printed:

- SystemError (a C function that returned NULL without an exception, or a
  result with one set, surfaces as SystemError);
- an exception of a type the module has no reason to raise;
- PanicException from anything but the length failure of PyFlat.create;
- a result of the wrong shape;
- a call that leaves its object borrowed (probed after every call);
- a re-entrant call on a borrowed object that is not refused with the right
  borrow error, or an expected refusal that does not happen;
- a PyFlat/PyHNSW whose number of stored vectors changes other than the
  successful or failed call explains.

Arguments come from one seeded generator, so a run is reproducible from its
seed (apart from the order of set iteration). The values include nested
sequences, huge and negative integers, NaN and infinity, strings with lone
surrogates, bytes, numpy and array buffers of many layouts, and objects whose
__float__, __index__, __len__, __iter__ and __getitem__ raise, return the wrong
type, mutate the list they sit in, or call back into the index being called.
"""

from __future__ import annotations

import argparse
import array
import copy
import faulthandler
import gc
import math
import pickle
import random
import re
import sys
import time
import warnings
from collections import Counter
from dataclasses import dataclass, field

import tarsim

try:
    import numpy as np
except ImportError:  # the driver works without numpy, with fewer buffer shapes
    np = None

U32_MAX = 2**32 - 1
# Layer counts above this are never generated: every PyHNSW insertion and
# query runs one layer search per layer, and the hostile-size tests cover the
# huge ones.
LAYERS_CAP = 2**16

PANIC_MESSAGE = re.compile(r"Vector length \d+ does not match index dimension \d+\Z")
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")


class FuzzError(Exception):
    """Raised on purpose by the hostile objects."""


class FuzzBaseError(BaseException):
    """Raised on purpose by the hostile objects; not an Exception."""


def panic_type():
    # PanicException is created on first need; fetch it by provoking it once.
    index = tarsim.PyFlat(1)
    try:
        index.create([[1.0, 2.0]])
    except BaseException as e:  # noqa: BLE001 - we want the exact type
        return type(e)
    raise AssertionError("PyFlat.create with a wrong length did not fail")


PanicException = panic_type()

ALLOWED = (
    TypeError,
    ValueError,  # includes UnicodeEncodeError
    OverflowError,
    RuntimeError,  # borrow errors, and RecursionError / generator StopIteration
    MemoryError,
    FuzzError,
    FuzzBaseError,
)


@dataclass
class Entry:
    """One index of the pool and what the driver knows about it."""

    obj: object
    kind: str  # "flat" or "hnsw"
    dim: int
    schema: list | None = None
    countable: bool = False  # its number of stored vectors can be observed
    calls: int = 0
    known_dim: bool = True  # False when dim is only a guess used to build arguments


@dataclass
class Stats:
    calls: int = 0
    nested: int = 0
    outcomes: Counter = field(default_factory=Counter)
    faults: list = field(default_factory=list)

    def summary(self) -> str:
        top = ", ".join(f"{k}={v}" for k, v in self.outcomes.most_common())
        return (
            f"{self.calls} calls ({self.nested} nested), {len(self.faults)} faults; outcomes: {top}"
        )


def short(value, limit=160):
    try:
        text = repr(value)
    except BaseException as e:  # noqa: BLE001
        text = f"<repr failed: {type(e).__name__}>"
    return text if len(text) <= limit else text[:limit] + "..."


# ---------------------------------------------------------------------------
# Hostile objects


class EvilNumber:
    """A number whose conversion hooks follow a plan chosen at creation."""

    def __init__(self, fuzzer, float_plan, index_plan):
        self.fuzzer = fuzzer
        self.float_plan = float_plan
        self.index_plan = index_plan
        self.container = None  # the list this object sits in, when any

    def __float__(self):
        return self.fuzzer.act(self, self.float_plan, "float")

    def __index__(self):
        return self.fuzzer.act(self, self.index_plan, "index")

    def __repr__(self):
        return f"EvilNumber({self.float_plan[0]}, {self.index_plan[0]})"


class DyingNumber(EvilNumber):
    """An EvilNumber that calls back into the pool when it is destroyed: when a
    hook removes it from its list, the module may hold the last reference, so
    this runs inside the call, while the object being called is borrowed."""

    def __del__(self):
        try:
            self.fuzzer.callback(self)
        except BaseException:  # noqa: BLE001 - never raise from a finaliser
            pass


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatOnly({self.value!r})"


class EvilSequence:
    """A sequence whose __len__, __iter__ and __getitem__ follow a plan."""

    def __init__(self, fuzzer, items, len_plan, iter_plan):
        self.fuzzer = fuzzer
        self.items = items
        self.len_plan = len_plan
        self.iter_plan = iter_plan

    def __len__(self):
        return self.fuzzer.act(self, self.len_plan, "len")

    def __getitem__(self, i):
        if isinstance(i, slice):
            return self.items[i]
        return self.items[i]

    def __iter__(self):
        return self.fuzzer.iterate(self, self.iter_plan)

    def __repr__(self):
        return f"EvilSequence({self.len_plan[0]}, {self.iter_plan[0]}, {short(self.items, 60)})"


class GetitemOnly:
    """A sequence known only through __len__ and __getitem__ (old iteration protocol)."""

    def __init__(self, items, fail_at=None):
        self.items = items
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise FuzzError("getitem")
        return self.items[i]

    def __repr__(self):
        return f"GetitemOnly({short(self.items, 60)}, fail_at={self.fail_at})"


class ListWithIter(list):
    """A list subclass that iterates differently from its storage."""

    def __init__(self, items, yielded):
        super().__init__(items)
        self.yielded = yielded

    def __iter__(self):
        return iter(self.yielded)


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class Iterator:
    def __init__(self, items, fail_after=None, exc=FuzzError):
        self.items = list(items)
        self.fail_after = fail_after
        self.exc = exc
        self.i = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.fail_after is not None and self.i >= self.fail_after:
            raise self.exc("next")
        if self.i >= len(self.items):
            raise StopIteration
        self.i += 1
        return self.items[self.i - 1]


# ---------------------------------------------------------------------------
# The driver


class Fuzzer:
    FLAT_METHODS = ("insert", "search", "create")
    HNSW_METHODS = ("insert", "search", "create")

    def __init__(self, seed: int, max_pool_calls: int = 400):
        self.r = random.Random(seed)
        self.stats = Stats()
        self.max_pool_calls = max_pool_calls
        self.pool: list[Entry] = []
        # Objects borrowed by the calls in progress: (object, access).
        self.active: list[tuple[object, str]] = []
        self.depth = 0
        self.closed = False  # set at the end: finalisers of leftover objects do nothing
        for _ in range(8):
            self.pool.append(self.new_entry())

    # -- pool -------------------------------------------------------------

    def new_entry(self) -> Entry:
        r = self.r
        if r.random() < 0.45:
            dim = r.choice([0, 1, 2, 3, 4, 8])
            metric = r.choice([None, "cosine", "inner_product", "euclidean", "angular", ""])
            return Entry(tarsim.PyFlat(dim, metric), "flat", dim, countable=dim > 0)
        dim = r.choice([0, 1, 2, 3, 4])
        layers = r.choice([0, 1, 1, 2, 3, 5])
        efc = r.choice([0, 1, 2, 4, 8])
        efs = r.choice([0, 1, 3, 50, 10**6])
        metric = r.choice(["euclidean", "angular", "inner_product"])
        schema = r.choice([None, [], ["a"], ["a", "b"], ["b", "a", "b"]])
        obj = tarsim.PyHNSW(dim, layers, 16, efc, efs, metric, schema)
        # A query of NaNs scores every node NaN, so the layer-0 search never
        # stops early and, with ef_search above the node count, returns every
        # node reachable from the entry: all of them once every insertion
        # could link (layers >= 1, ef_construction >= 1).
        countable = dim > 0 and layers >= 1 and efc >= 1 and efs == 10**6
        return Entry(obj, "hnsw", dim, schema, countable)

    def count(self, entry: Entry) -> int:
        """The number of stored vectors, observed through search."""
        if entry.kind == "flat":
            try:
                return len(entry.obj.search([0.0] * entry.dim, U32_MAX))
            except ValueError as e:
                if str(e) == "Search error: EmptyIndex":
                    return 0
                raise
        return len(entry.obj.search([math.nan] * entry.dim, U32_MAX))

    def probe_free(self, entry: Entry, label: str) -> None:
        """An object that no call holds must take its exclusive borrow."""
        try:
            entry.obj.insert("not a vector")
        except TypeError as e:
            if "Can't extract `str` to `Vec`" in str(e):
                return
            self.fault(label, f"borrow probe raised an unexpected TypeError: {e}")
        except BaseException as e:  # noqa: BLE001
            self.fault(label, f"object left borrowed or broken: {type(e).__name__}: {e}")
        else:
            self.fault(label, "borrow probe accepted a str as a vector")

    def fault(self, label: str, message: str) -> None:
        if len(self.stats.faults) < 200:
            self.stats.faults.append(f"{label}: {message}")

    # -- values -----------------------------------------------------------

    def plain_float(self):
        r = self.r
        p = r.random()
        if p < 0.5:
            return float(r.randint(-3, 3))
        if p < 0.85:
            return r.uniform(-10, 10)
        return r.choice([0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 1e-310])

    def any_int(self, cap=None):
        r = self.r
        p = r.random()
        if p < 0.6:
            value = r.randint(-3, 300)
        else:
            value = r.choice(
                [0, 1, -1, 2**31, U32_MAX, 2**32, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
                 2**64 - 1, 2**64, 2**100, -(2**100), 10**400]
            )
        if cap is not None and cap < value <= U32_MAX:
            value = r.randint(0, 8)
        return value

    def text(self):
        return self.r.choice(
            ["", "a", "b", "zz", "euclidean", "angular", "inner_product", "cosine", "Euclidean",
             "\ud800", "x\udfffy", "\u00e9t\u00e9", "a\x00b", StrSub("a"), StrSub("\ud800"),
             "\U0001f600"]
        )

    def numpy_value(self, depth):
        r = self.r
        p = r.random()
        n = r.randint(0, 6)
        dtype = r.choice(["float64", "float32", "int64", "int8", "bool", "complex128", "object",
                          "float16", ">f8", "uint64"])
        try:
            if p < 0.4:
                a = np.array([self.plain_float() for _ in range(n)])
                if dtype == "object":
                    a = np.array([self.element(depth + 1) for _ in range(n)] + [None], dtype=object)[:-1]
                else:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        a = a.astype(dtype)
            elif p < 0.7:
                rows, cols = r.randint(0, 4), r.randint(0, 5)
                a = np.arange(float(rows * cols)).reshape(rows, cols)
                choice = r.randint(0, 4)
                if choice == 1:
                    a = np.asfortranarray(a)
                elif choice == 2 and cols > 1:
                    a = a[:, ::2]
                elif choice == 3:
                    a = a.astype("float32")
                elif choice == 4 and rows > 1:
                    a = a[::-1]
            elif p < 0.8:
                a = np.float64(self.plain_float())
            elif p < 0.9:
                a = np.zeros((r.randint(0, 2), r.randint(0, 2), r.randint(0, 3)))
            else:
                a = np.arange(12.0)[:: r.choice([1, 2, 3, -1])]
                if r.random() < 0.5:
                    a = a.view(type=np.matrix) if a.ndim <= 2 else a
        except Exception:  # noqa: BLE001 - a layout numpy refuses; use a plain one
            a = np.zeros(3)
        return a

    def element(self, depth):
        """A value where a float is expected."""
        r = self.r
        p = r.random()
        if p < 0.55:
            return self.plain_float()
        if p < 0.65:
            return r.randint(-5, 5)
        if p < 0.7:
            return r.choice([True, False, 2**1100, -(2**1100), FloatSub(1.5), IntSub(3)])
        if p < 0.85 and depth < 3:
            return self.evil_number(depth)
        if p < 0.9:
            return FloatOnly(r.choice([1.5, math.nan, "x", 3, FloatSub(2.0), None]))
        return self.anything(depth + 1)

    def evil_number(self, depth):
        cls = DyingNumber if self.r.random() < 0.15 else EvilNumber
        return cls(self, self.plan("float", depth), self.plan("index", depth))

    def plan(self, hook, depth):
        """How a hook behaves: (action, payload)."""
        r = self.r
        actions = ["value", "value", "raise", "raise_base", "wrong", "callback", "callback",
                   "mutate", "gc"]
        action = r.choice(actions)
        if action == "callback" and depth >= 2:
            action = "value"
        if hook == "float":
            value = self.plain_float()
        elif hook == "index":
            value = self.any_int(cap=LAYERS_CAP)
        elif hook == "len":
            value = r.choice([0, 1, 3, 2**60, 2**63, -1, 2**31])
        else:
            value = None
        return (action, value)

    def act(self, obj, plan, hook):
        action, value = plan
        r = self.r
        if action == "raise":
            raise FuzzError(hook)
        if action == "raise_base":
            raise FuzzBaseError(hook)
        if action == "wrong":
            return r.choice(["x", None, [1.0], 1.5 if hook != "float" else 1, FloatSub(2.5),
                             IntSub(2), 2**70])
        if action == "callback":
            self.callback(obj)
        elif action == "mutate":
            container = getattr(obj, "container", None)
            if container is not None:
                choice = r.randint(0, 3)
                if choice == 0:
                    container.clear()
                elif choice == 1:
                    container.extend([1.0, 2.0, obj])
                elif choice == 2 and container:
                    del container[0]
                else:
                    container.append(self.evil_number(3))
        elif action == "gc":
            gc.collect()
        if hook == "len" and isinstance(obj, EvilSequence):
            return value
        return value

    def iterate(self, seq, plan):
        action, _ = plan
        r = self.r
        if action == "raise":
            raise FuzzError("iter")
        if action == "raise_base":
            raise FuzzBaseError("iter")
        if action == "wrong":
            return r.choice([5, None, "abc", [1.0]])  # non-iterators: TypeError
        if action == "callback":
            self.callback(seq)
            return iter(seq.items)
        if action == "mutate":
            return Iterator(seq.items + seq.items, fail_after=None)
        if action == "gc":
            return Iterator(seq.items, fail_after=r.randint(0, max(0, len(seq.items))),
                            exc=r.choice([FuzzError, StopIteration, FuzzBaseError]))
        return iter(seq.items)

    def evil_sequence(self, items, depth):
        return EvilSequence(self, items, self.plan("len", depth), self.plan("iter", depth))

    def wrap_sequence(self, items, depth):
        """Puts the items into one of many kinds of sequence (or non-sequence)."""
        r = self.r
        p = r.random()
        if p < 0.45:
            seq = list(items)
            for item in seq:
                if isinstance(item, EvilNumber):
                    item.container = seq
            return seq
        if p < 0.6:
            return tuple(items)
        if p < 0.68 and depth < 3:
            return self.evil_sequence(list(items), depth)
        if p < 0.73:
            return GetitemOnly(list(items), fail_at=r.choice([None, None, 0, 1, 2]))
        if p < 0.78:
            return ListWithIter(items, r.choice([items, items[:1], items + items, [], ["x"]]))
        if p < 0.82:
            return (x for x in items)  # a generator is not a sequence
        if p < 0.86 and np is not None:
            try:
                return np.array(items, dtype=float)
            except BaseException:  # noqa: BLE001 - the items' own hooks may raise anything
                return np.array([1.0, 2.0])
        if p < 0.9:
            try:
                return array.array(r.choice("dfbi"), [int(x) if r.random() < 0.5 else x
                                                      for x in items])
            except BaseException:  # noqa: BLE001
                return array.array("d", [1.0])
        if p < 0.93:
            return TupleSub(items)
        if p < 0.96:
            try:
                return set(items)
            except BaseException:  # noqa: BLE001
                return set()
        return {i: x for i, x in enumerate(items)}

    def anything(self, depth=0):
        r = self.r
        p = r.random()
        if p < 0.08:
            return None
        if p < 0.18:
            return self.any_int()
        if p < 0.28:
            return self.plain_float()
        if p < 0.36:
            return self.text()
        if p < 0.42:
            return r.choice([b"", b"abc", bytearray(b"\x01\x02"), memoryview(b"xyz"), range(3),
                             range(0), range(-2, 5, 2), 1j, object(), int, float, Ellipsis,
                             NotImplemented])
        if p < 0.52 and depth < 3:
            return self.evil_number(depth)
        if p < 0.6 and np is not None:
            return self.numpy_value(depth)
        if p < 0.65:
            return r.choice([e.obj for e in self.pool])
        if depth >= 3:
            return self.plain_float()
        n = r.choice([0, 1, 2, 3, 4, 6])
        if p < 0.8:
            items = [self.element(depth + 1) for _ in range(n)]
        elif p < 0.9:
            items = [self.anything(depth + 1) for _ in range(n)]
        else:
            items = [(self.text(), self.meta_value(depth + 1)) for _ in range(n)]
        return self.wrap_sequence(items, depth + 1)

    # -- arguments per parameter --------------------------------------------

    def vector(self, dim, depth=0):
        r = self.r
        p = r.random()
        if p < 0.75:
            n = dim if r.random() < 0.8 else max(0, dim + r.choice([-1, 1, 2]))
            items = [self.plain_float() for _ in range(n)]
            if r.random() < 0.35 and items:
                items[r.randrange(len(items))] = self.element(depth + 1)
            if r.random() < 0.6:
                return items
            return self.wrap_sequence(items, depth + 1)
        if p < 0.82 and np is not None:
            return self.numpy_value(depth)
        return self.anything(depth)

    def vectors(self, dim, depth=0):
        r = self.r
        p = r.random()
        if p < 0.6:
            rows = [self.vector(dim, depth + 1) if r.random() < 0.3 else
                    [self.plain_float() for _ in range(dim)] for _ in range(r.randint(0, 5))]
            if r.random() < 0.6:
                return rows
            return self.wrap_sequence(rows, depth + 1)
        if p < 0.75 and np is not None:
            rows = r.randint(0, 4)
            cols = dim if r.random() < 0.8 else dim + 1
            a = np.array([[self.plain_float() for _ in range(cols)] for _ in range(rows)],
                         dtype=float).reshape(rows, cols)
            if r.random() < 0.3:
                a = np.asfortranarray(a)
            if r.random() < 0.2:
                a = a.astype("float32")
            return a
        return self.anything(depth)

    def k(self):
        r = self.r
        p = r.random()
        if p < 0.3:
            return None
        if p < 0.7:
            return r.randint(0, 12)
        if p < 0.7:
            return r.choice([U32_MAX, 2**32, -1, 2**64, True, 2.0, "3", IntSub(2)])
        if p < 0.8 and np is not None:
            return r.choice([np.int64(3), np.uint32(U32_MAX), np.float64(2.0), np.int8(-1)])
        if p < 0.9:
            return self.evil_number(1)
        return self.anything(1)

    def meta_value(self, depth=0):
        r = self.r
        p = r.random()
        if p < 0.25:
            return r.choice(["red", "blue", "", "\ud800", StrSub("red")])
        if p < 0.5:
            return r.choice([0, 1, 2, -1, True, False, 2**63, -(2**63) - 1, 2**2000, IntSub(1)])
        if p < 0.7:
            return r.choice([0.0, -0.0, 1.0, 2.5, math.nan, math.inf])
        if p < 0.85 and depth < 3:
            return self.evil_number(depth)
        return self.anything(depth + 1)

    def name(self, schema):
        r = self.r
        if schema and r.random() < 0.7:
            return r.choice(schema)
        p = r.random()
        if p < 0.6:
            return self.text()
        return self.anything(2)

    def pair(self, schema, depth=0):
        r = self.r
        p = r.random()
        if p < 0.75:
            return (self.name(schema), self.meta_value(depth + 1))
        if p < 0.82:
            return TupleSub((self.name(schema), self.meta_value(depth + 1)))
        if p < 0.9:
            return tuple(self.meta_value(depth + 1) for _ in range(r.choice([0, 1, 3])))
        if p < 0.95:
            return [self.name(schema), self.meta_value(depth + 1)]
        return self.anything(depth + 1)

    def metadata(self, schema, depth=0):
        r = self.r
        p = r.random()
        if p < 0.3:
            return None
        if p < 0.85:
            pairs = [self.pair(schema, depth + 1) for _ in range(r.randint(0, 4))]
            return pairs if r.random() < 0.7 else self.wrap_sequence(pairs, depth + 1)
        return self.anything(depth)

    def metadata_lists(self, schema, count, depth=0):
        r = self.r
        p = r.random()
        if p < 0.3:
            return None
        if p < 0.85:
            n = count if r.random() < 0.75 else r.randint(0, 4)
            rows = [self.metadata(schema, depth + 1) for _ in range(n)]
            rows = [[] if row is None else row for row in rows]
            return rows if r.random() < 0.7 else self.wrap_sequence(rows, depth + 1)
        return self.anything(depth)

    def filter(self, schema, depth=0):
        if self.r.random() < 0.3:
            return None
        return self.pair(schema, depth)

    # -- calls --------------------------------------------------------------

    def arguments(self, entry: Entry, method: str, depth: int):
        """Positional values for a method, then maybe turned into keywords or broken."""
        dim, schema = entry.dim, entry.schema
        if method == "insert":
            names = ["vector"] + (["metadata"] if entry.kind == "hnsw" else [])
            values = [self.vector(dim, depth)]
            if entry.kind == "hnsw":
                values.append(self.metadata(schema, depth))
        elif method == "search":
            names = ["query", "k"] + (["filter"] if entry.kind == "hnsw" else [])
            values = [self.vector(dim, depth), self.k()]
            if entry.kind == "hnsw":
                values.append(self.filter(schema, depth))
        else:
            names = ["vectors"] + (["metadata"] if entry.kind == "hnsw" else [])
            vectors = self.vectors(dim, depth)
            values = [vectors]
            if entry.kind == "hnsw":
                count = len(vectors) if isinstance(vectors, list) else 1
                values.append(self.metadata_lists(schema, count, depth))
        return self.shape_call(names, values)

    def shape_call(self, names, values):
        """Splits values into positional and keyword arguments, sometimes wrongly."""
        r = self.r
        args, kwargs = [], {}
        split = r.randint(0, len(values))
        for i, (name, value) in enumerate(zip(names, values)):
            if i < split:
                args.append(value)
            elif value is not None or r.random() < 0.5:
                kwargs[name] = value
        p = r.random()
        if p < 0.03:
            args, kwargs = list(values) + [1.0], {}  # too many positional values
        elif p < 0.06:
            kwargs[r.choice(["vector2", "Vector", "k ", "\u00e9"])] = 1
        elif p < 0.09 and args:
            kwargs[names[0]] = args[0]  # given twice
        elif p < 0.11:
            args, kwargs = [], {k: v for k, v in kwargs.items() if k != names[0]}  # missing
        return args, kwargs

    def pick_entry(self) -> Entry:
        r = self.r
        i = r.randrange(len(self.pool))
        entry = self.pool[i]
        if entry.calls >= self.max_pool_calls:
            entry = self.pool[i] = self.new_entry()
        return entry

    def expected_borrow_error(self, obj, method):
        """The borrow error a call on obj must meet now, or None."""
        held = [access for o, access in self.active if o is obj]
        if not held:
            return None
        if method == "search":
            return "Already mutably borrowed" if "exclusive" in held else None
        return "Already borrowed"

    def call_method(self, entry: Entry, method: str, depth: int, label: str):
        args, kwargs = self.arguments(entry, method, depth)
        expect = self.expected_borrow_error(entry.obj, method)
        matched = self.matches(entry.kind, method, args, kwargs)
        before = None
        top = depth == 0
        if top and entry.countable and self.r.random() < 0.25:
            before = self.count(entry)
        access = "shared" if method == "search" else "exclusive"
        self.active.append((entry.obj, access))
        self.depth += 1
        try:
            result = getattr(entry.obj, method)(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001
            self.depth -= 1
            self.active.pop()
            self.check_exception(e, entry, method, label, args, kwargs, expect, matched)
            if before is not None:
                after = self.count(entry)
                grew = after - before
                if isinstance(e, PanicException) and entry.kind == "flat":
                    ok = grew >= 0
                else:
                    ok = grew == 0
                if not ok:
                    self.fault(label, f"failed {method} changed the count by {grew}: {short(e)}; "
                                      f"args={short(args)} kwargs={short(kwargs)}")
            if isinstance(e, (FuzzBaseError,)) and depth > 0:
                raise
            return
        self.depth -= 1
        self.active.pop()
        self.stats.outcomes["ok"] += 1
        self.stats.outcomes[f"ok {entry.kind}.{method}"] += 1
        if expect is not None and matched:
            self.fault(label, f"{method} on a borrowed object succeeded (expected {expect})")
        self.check_result(result, entry, method, label)
        if before is not None:
            after = self.count(entry)
            grew = after - before
            ok = {"insert": grew == 1, "create": grew >= 1, "search": grew == 0}[method]
            if not ok:
                self.fault(label, f"successful {method} changed the count by {grew}; "
                                  f"args={short(args)} kwargs={short(kwargs)}")

    @staticmethod
    def matches(kind, method, args, kwargs):
        """Whether the arguments match the method's parameters (so a borrow is attempted)."""
        names = {
            ("flat", "insert"): ["vector"],
            ("flat", "search"): ["query", "k"],
            ("flat", "create"): ["vectors"],
            ("hnsw", "insert"): ["vector", "metadata"],
            ("hnsw", "search"): ["query", "k", "filter"],
            ("hnsw", "create"): ["vectors", "metadata"],
        }[(kind, method)]
        if len(args) > len(names):
            return False
        filled = set(names[: len(args)])
        for key in kwargs:
            if key not in names or key in filled:
                return False
            filled.add(key)
        return names[0] in filled

    def check_exception(self, e, entry, method, label, args, kwargs, expect, matched):
        name = type(e).__name__
        self.stats.outcomes[name] += 1
        if expect is not None and matched:
            self.stats.outcomes["refused re-entry"] += 1
        where = f"{entry.kind}.{method} args={short(args)} kwargs={short(kwargs)}"
        if isinstance(e, SystemError):
            self.fault(label, f"SystemError from {where}: {e}")
            return
        if isinstance(e, PanicException):
            if not (entry.kind == "flat" and method == "create"
                    and PANIC_MESSAGE.match(str(e.args[0]) if e.args else "")):
                self.fault(label, f"PanicException from {where}: {e}")
            return
        if not isinstance(e, ALLOWED):
            self.fault(label, f"unexpected {name} from {where}: {e}")
            return
        if expect is not None and matched:
            if not (type(e) is RuntimeError and str(e) == expect):
                self.fault(label, f"expected RuntimeError {expect!r} from {where}, got {name}: {e}")
        elif type(e) is RuntimeError and str(e) in BORROW_MESSAGES:
            self.fault(label, f"borrow error on a free object from {where}")

    def check_result(self, result, entry, method, label):
        if method in ("insert", "create"):
            if result is not None:
                self.fault(label, f"{method} returned {short(result)}")
            return
        if type(result) is not list:
            self.fault(label, f"search returned {short(result)}")
            return
        for item in result:
            if type(item) is not tuple or len(item) != 2:
                self.fault(label, f"search returned an item {short(item)}")
                return
            if entry.kind == "flat":
                ok = type(item[0]) is int and type(item[1]) is float
            else:
                ok = (type(item[0]) is float and type(item[1]) is list
                      and (not entry.known_dim or len(item[1]) == entry.dim)
                      and all(type(x) is float for x in item[1]))
            if not ok:
                self.fault(label, f"search returned an item {short(item)}")
                return

    def call_constructor(self, label: str):
        r = self.r
        kind = r.choice(["flat", "hnsw"])
        cls = tarsim.PyFlat if kind == "flat" else tarsim.PyHNSW
        if kind == "flat":
            names = ["dim", "metric"]
            values = [self.u32_arg(), r.choice([None, self.text(), self.anything(1)])]
        else:
            names = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]
            values = [
                self.u32_arg(),
                self.u32_arg(cap=LAYERS_CAP, small=True),
                self.u32_arg(),
                self.u32_arg(cap=64, small=True),
                self.u32_arg(),
                r.choice([None, "euclidean", "angular", "inner_product", self.text(),
                          self.anything(1)]),
                r.choice([None, [], ["a"], ["a", "\ud800"], "ab", ("a", "b"), [1], self.anything(1)]),
            ]
        args, kwargs = self.shape_call(names, values)
        try:
            obj = cls(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001
            self.stats.outcomes[type(e).__name__] += 1
            if isinstance(e, SystemError) or isinstance(e, PanicException) or not isinstance(e, ALLOWED):
                self.fault(label, f"{type(e).__name__} from {cls.__name__}{short((args, kwargs))}: {e}")
            return
        self.stats.outcomes["ok"] += 1
        if type(obj) is not cls:
            self.fault(label, f"constructor returned {short(obj)}")
            return
        # A few calls on the new object, whose dimension the driver does not track.
        guess = args[0] if args and type(args[0]) is int and 0 <= args[0] <= 16 else 3
        entry = Entry(obj, kind, guess, ["a", "b"], known_dim=False)
        for _ in range(r.randint(0, 3)):
            method = r.choice(self.FLAT_METHODS)
            self.call_method(entry, method, 0, label)
        self.probe_free(entry, label)

    def u32_arg(self, cap=None, small=False):
        r = self.r
        p = r.random()
        if p < 0.5:
            return r.randint(0, 8)
        if p < 0.7 and not small:
            return self.any_int()
        if p < 0.7:
            return self.any_int(cap=cap)
        if p < 0.8:
            return r.choice([None, True, 2.0, "4", IntSub(3)])
        if p < 0.9:
            return EvilNumber(self, ("value", 1.0),
                              (r.choice(["value", "raise", "wrong", "raise_base", "gc"]),
                               self.any_int(cap=cap if cap is not None else None)))
        return self.anything(2) if not small else r.randint(0, 3)

    def callback(self, obj):
        """Called from inside a conversion hook: calls into the pool, often into
        the object being called, and checks what happens."""
        if self.depth >= 3 or self.closed:
            return
        self.stats.nested += 1
        r = self.r
        if self.active and r.random() < 0.6:
            target = self.active[-1][0]
            entry = next((e for e in self.pool if e.obj is target), None)
            if entry is None:
                entry = Entry(target, "flat" if isinstance(target, tarsim.PyFlat) else "hnsw",
                              3, ["a", "b"], known_dim=False)
        else:
            entry = r.choice(self.pool)
        method = r.choice(self.FLAT_METHODS)
        try:
            self.call_method(entry, method, self.depth, "nested")
        except FuzzBaseError:
            pass
        if r.random() < 0.2:
            # Drop the pool's reference to an object; calls in progress keep
            # their own.
            i = r.randrange(len(self.pool))
            self.pool[i] = self.new_entry()

    def other_entry_points(self, label):
        """Entry points besides the methods: none of them may crash."""
        r = self.r
        entry = r.choice(self.pool)
        obj = entry.obj
        cls = type(obj)
        actions = [
            lambda: repr(obj),
            lambda: hash(obj),
            lambda: obj == obj,
            lambda: dir(obj),
            lambda: sys.getsizeof(obj),
            lambda: copy.copy(obj),
            lambda: copy.deepcopy(obj),
            lambda: pickle.dumps(obj),
            lambda: setattr(obj, "x", 1),
            lambda: type("Sub", (cls,), {}),
            lambda: cls.__new__(cls),
            lambda: cls.__new__(tarsim.PyHNSW if cls is tarsim.PyFlat else tarsim.PyFlat, 3),
            lambda: object.__new__(cls),
            lambda: cls.__init__(obj, 1, 2, 3),
            lambda: cls.insert(obj, [1.0] * entry.dim),
            lambda: tarsim.PyFlat.search(obj, [0.0]),
            lambda: gc.get_referents(obj),
            lambda: __import__("weakref").ref(obj),
        ]
        try:
            r.choice(actions)()
        except BaseException as e:  # noqa: BLE001
            self.stats.outcomes[type(e).__name__] += 1
            if isinstance(e, (SystemError, PanicException)) or not isinstance(
                e, ALLOWED + (AttributeError, pickle.PicklingError)
            ):
                self.fault(label, f"{type(e).__name__} from another entry point: {e}")
        else:
            self.stats.outcomes["ok"] += 1

    def step(self, i: int):
        r = self.r
        label = f"call {i}"
        p = r.random()
        if p < 0.06:
            self.call_constructor(label)
        elif p < 0.08:
            self.other_entry_points(label)
        else:
            entry = self.pick_entry()
            entry.calls += 1
            method = r.choice(self.FLAT_METHODS)
            try:
                self.call_method(entry, method, 0, label)
            except FuzzBaseError:
                pass
            self.probe_free(entry, label)
        if self.active:
            self.fault(label, "call stack not empty after a top-level call")
            self.active.clear()
        self.depth = 0
        self.stats.calls += 1


def run(calls: int, seed: int, progress: float | None = None) -> Stats:
    fuzzer = Fuzzer(seed)
    start = last = time.monotonic()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i in range(calls):
            fuzzer.step(i)
            if progress is not None and time.monotonic() - last > progress:
                last = time.monotonic()
                rate = (i + 1) / (last - start)
                print(f"[{i + 1}/{calls}] {rate:.0f} calls/s; {fuzzer.stats.summary()}", flush=True)
    for entry in fuzzer.pool:
        fuzzer.probe_free(entry, "end")
    # The hostile objects sit in reference cycles; collect them now, while
    # their callbacks are still checked, and silence any that outlive the run.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gc.collect()
    fuzzer.closed = True
    return fuzzer.stats


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10000, help="number of top-level calls")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--progress", type=float, default=30.0,
                        help="seconds between progress lines (0: none)")
    ns = parser.parse_args(argv)
    faulthandler.enable()
    sys.setrecursionlimit(10000)
    print(f"tarsim from {tarsim.__file__}", flush=True)
    start = time.monotonic()
    stats = run(ns.calls, ns.seed, ns.progress or None)
    elapsed = time.monotonic() - start
    print(f"seed {ns.seed}: {stats.summary()} in {elapsed:.0f} s")
    for fault in stats.faults:
        print("FAULT", fault)
    return 1 if stats.faults else 0


if __name__ == "__main__":
    sys.exit(main())
