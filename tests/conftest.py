import os
import signal
import tkinter

import pytest
from hypothesis import settings

# Tcl calls are quick, but a loaded machine must not turn them into deadline
# failures; in CI the examples are fixed, so a run is repeatable.
settings.register_profile("korvex", deadline=None)
settings.register_profile("korvex-ci", deadline=None, derandomize=True, database=None)
settings.load_profile("korvex-ci" if os.environ.get("CI") else "korvex")

from korvex.tcl.interpreter import Interpreter

# A suite started in the background by a non-interactive shell (`cmd &`) or
# under nohup inherits SIGINT (and SIGHUP, SIGQUIT) ignored, and so would every
# Python the tests start: Ctrl-C tests could then only hang. A handler of
# our own here makes exec() give the children the default disposition back.
for _sig, _handler in ((signal.SIGINT, signal.default_int_handler), (signal.SIGHUP, signal.SIG_DFL),
                       (signal.SIGQUIT, signal.SIG_DFL)):
    if signal.getsignal(_sig) == signal.SIG_IGN:
        signal.signal(_sig, _handler)


def pytest_collection_modifyitems(config, items):
    # `make sanitize` runs the suite against modules built with AddressSanitizer,
    # whose quarantine keeps freed memory: the process's growth means nothing there.
    if os.environ.get("KX_SANITIZED"):
        skip = pytest.mark.skip(reason="memory growth is not measurable under AddressSanitizer")
        # The plugin runs a tcltest file in a greenlet, which moves slices of
        # the C stack when it switches: ASan's record of the stack (the
        # redzones of our frames) does not follow, and its reports there are
        # about greenlet, not about us.
        greenlets = pytest.mark.skip(reason="greenlet's stack switching is invisible to AddressSanitizer")
        for item in items:
            if item.get_closest_marker("memory"):
                item.add_marker(skip)
            elif item.get_closest_marker("tcltest_items"):
                item.add_marker(greenlets)


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


@pytest.fixture
def pytester(pytester, monkeypatch):
    """pytest's pytester, whose runs leave hypothesis's plugin out: none of them
    uses it, and importing it costs each pytest started in a subprocess (and
    each xdist worker of one) about 0.7 s."""
    monkeypatch.setenv("PYTEST_ADDOPTS", "-p no:hypothesispytest")
    return pytester
