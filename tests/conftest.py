"""Fixtures shared by the Python tests of tarsim."""
import pytest

import tarsim


@pytest.fixture(scope="session")
def panic_exception():
    """The module's PanicException type.

    It is not a module attribute, so it is taken from the one failure that
    raises it on purpose: PyFlat.create given a vector of the wrong length.
    """
    try:
        tarsim.PyFlat(1).create([[1.0, 2.0]])
    except BaseException as error:  # noqa: BLE001 - the type is what we want
        return type(error)
    pytest.fail("PyFlat.create with a wrong-length vector did not raise")
