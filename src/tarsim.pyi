"""In-memory nearest-neighbour search: an exact index and a graph index.

Type information for the extension module. Both classes rank results by the
raw value of their metric, smallest first, for every metric.
"""

from collections.abc import Sequence
from typing import Any, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

__all__ = ["PyFlat", "PyHNSW"]

@type_check_only
class _Array(Protocol):
    """A numpy array (or another object exposing ``__array__``).

    A C-contiguous float64 array is read directly; any other array is read
    element by element like a sequence.
    """

    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

# A vector component: float, int, bool, numpy scalars, anything with
# __float__ or __index__.
_Component: TypeAlias = SupportsFloat | SupportsIndex

# One vector: a list, tuple, range, bytes, array.array or 1-D numpy array.
# A str is refused at run time ("Can't extract `str` to `Vec`").
_Vector: TypeAlias = Sequence[_Component] | _Array

# Several vectors: a sequence of vectors or a 2-D numpy array.
_Vectors: TypeAlias = Sequence[_Vector] | _Array

# A metadata value: str is stored as text, anything with __index__ (int,
# bool) as a 64-bit integer, anything else with __float__ as a float.
_MetadataValue: TypeAlias = str | SupportsIndex | SupportsFloat

# One (attribute name, value) pair. It must be a tuple: lists are refused.
_Pair: TypeAlias = tuple[str, _MetadataValue]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> Self:
        """Create an empty exact index of vectors of length ``dim``.

        ``metric`` is "cosine", "inner_product", or anything else (including
        None) for euclidean distance.
        """

    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats whose length equals the index dimension.
        """

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(id, distance)`.
        """

    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
    ) -> Self:
        """Create an empty graph index of vectors of length ``dim``.

        ``metric`` must be "euclidean", "angular" or "inner_product"; anything
        else, None included, raises ValueError("Unsupported metric").
        Defaults: layers 5, m 16, ef_construction 200, ef_search 50, no schema.
        """

    def insert(self, vector: _Vector, metadata: Sequence[_Pair] | None = None) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats.
        Optionally, metadata can be provided as a list of tuples, e.g.:
        `[("color", "blue"), ("size", 42)]`
        """

    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: _Pair | None = None
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(distance, vector)`.
        """

    def create(self, vectors: _Vectors, metadata: Sequence[Sequence[_Pair]] | None = None) -> None: ...
