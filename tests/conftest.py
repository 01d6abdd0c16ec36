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


@pytest.fixture
def cast_list_calls(monkeypatch):
    """Replaces the package-level cast_list by a spy; yields the texts it was given."""
    import korvex.tcl

    calls = []
    original = korvex.tcl.cast_list

    def spy(value, item_cast=None):
        calls.append(value)
        return original(value, item_cast)

    monkeypatch.setattr(korvex.tcl, "cast_list", spy)
    return calls
