import pytest

from korvex.tcl.interpreter import Interpreter


@pytest.fixture
def interp():
    """A fresh interpreter of its own for each test."""
    return Interpreter()
