import tkinter

import pytest


@pytest.fixture(scope="session")
def tk():
    """A plain Tcl interpreter: the oracle for what Tcl reads back."""
    return tkinter.Tcl().tk
