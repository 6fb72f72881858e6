"""Pytest plugin for the run under AddressSanitizer (scripts/sanitize.sh loads it
with -p): fewer hypothesis examples and no deadlines, since every call is
several times slower there. Tests that set their own settings keep them."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "sanitized",
    max_examples=int(os.environ.get("TARSIM_SANITIZE_EXAMPLES", "25")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("sanitized")
