import os
import tkinter

import pytest
from hypothesis import settings

# Tcl calls are quick, but a loaded machine must not turn them into deadline
# failures; in CI the examples are fixed, so a run is repeatable.
settings.register_profile("korvex", deadline=None)
settings.register_profile("korvex-ci", deadline=None, derandomize=True, database=None)
settings.load_profile("korvex-ci" if os.environ.get("CI") else "korvex")

from korvex.tcl.interpreter import Interpreter


@pytest.fixture
def interp():
    """A fresh interpreter of its own for each test."""
    return Interpreter()


@pytest.fixture(scope="session")
def tk():
    """A plain Tcl interpreter: the oracle for what Tcl reads back."""
    return tkinter.Tcl().tk
