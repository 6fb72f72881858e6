"""What the tests of this folder share besides the cluster fixtures."""
from __future__ import annotations

import os

import pytest

TIMEOUT = 30  # seconds for any one cluster operation


def skip_unless_usable() -> None:
    """Called at the top of each test module of this folder."""
    pytest.importorskip("distributed", reason="dask.distributed is not installed")
    if os.environ.get("TARSIM_SANITIZED") == "1":
        # The worker processes would load the sanitized module under the
        # sanitizer runtime that the interpreter was started with; that run
        # checks the module's own memory use, which the tests of the other
        # folders cover without a cluster.
        pytest.skip("the Dask cluster tests do not run under the sanitizers",
                    allow_module_level=True)
