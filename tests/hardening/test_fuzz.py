"""A bounded run of the boundary fuzz driver (fuzz_boundary.py) for every test run."""

import os

import pytest

import fuzz_boundary

SANITIZED = bool(os.environ.get("TARSIM_SANITIZED"))
CALLS = 1500 if SANITIZED else 4000


@pytest.mark.parametrize("seed", [11, 12])
def test_fuzzed_calls_return_or_raise_ordinary_exceptions(seed):
    stats = fuzz_boundary.run(CALLS, seed)
    assert stats.faults == []
    # The run must have reached the interesting paths, not only argument errors.
    assert stats.calls == CALLS
    for method in ("insert", "search", "create"):
        assert stats.outcomes[f"ok flat.{method}"] > 0
        assert stats.outcomes[f"ok hnsw.{method}"] > 0
    assert stats.outcomes["refused re-entry"] > 0
    assert stats.outcomes["PanicException"] > 0
    assert stats.nested > 0
