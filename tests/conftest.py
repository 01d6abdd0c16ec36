import tkinter

import pytest

from korvex.tcl.interpreter import Interpreter


@pytest.fixture
def interp():
    """A fresh interpreter of its own for each test."""
    return Interpreter()


@pytest.fixture(scope="session")
def tk():
    """A plain Tcl interpreter: the oracle for what Tcl reads back."""
    return tkinter.Tcl().tk
