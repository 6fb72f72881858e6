"""The packages this companion needs besides tarsim, checked before any is used.

They come with the "dask" extra of tarsim; without them `import tarsim_dask`
says how to install it instead of naming the first missing module alone.
"""

from __future__ import annotations

import importlib

EXTRA = "dask"
REQUIRED = ("numpy", "dask.array", "distributed")


def require() -> None:
    """Raises ImportError naming the extra when a required package is missing."""
    for name in REQUIRED:
        try:
            importlib.import_module(name)
        except ImportError as error:
            missing = error.name or name
            raise ImportError(
                f"tarsim_dask needs numpy, dask[array] and distributed, and {missing!r} cannot be"
                f" imported ({error}). Install them with the {EXTRA!r} extra of tarsim:"
                f' pip install "tarsim[{EXTRA}]", or from a clone of its repository:'
                f' pip install ".[{EXTRA}]"', name=missing) from error
