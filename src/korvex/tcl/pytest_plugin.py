"""pytest plugin: Tcl interpreters as fixtures, the Tcl side of a failure in its report.

Installing korvex-tcl registers the plugin (entry point ``korvex_tcl``);
``pytest -p no:korvex_tcl`` turns it off. pytest loads it from
``korvex.tcl_testing.pytest_plugin``, outside this package, so that a run that
uses no Tcl imports none (importing ``korvex.tcl`` creates the shared
interpreter); this module publishes its names.

Fixtures
    ``tcl``          a new :class:`~korvex.tcl.Interpreter` for each test, closed afterwards
    ``tcl_session``  one interpreter for the whole session (one per xdist worker)
    ``tcl_shared``   the package's shared interpreter, ``korvex.tcl._global_interpreter``

When a test fails or errors, its report gains a section "Tcl history": what the
interpreters the test used recorded while it ran (their history entries, with
timestamps and markers, newest last), and the error code and error info of a
``TclError`` behind the failure. ``--tcl-history=N`` bounds the entries (default
50; 0 leaves the section out). With ``--junitxml`` the section is written to the
test case's system-out as well.

``@pytest.mark.tcl_timeout(seconds)`` and ``--tcl-timeout=SECONDS`` bound a
test's Tcl work with :meth:`~korvex.tcl.Interpreter.time_limit`: Tcl that runs
longer fails the test with :class:`~korvex.tcl.TclTimeoutError`. The limit covers
the interpreters of the test's fixtures, those it makes while it runs and the
shared interpreter.
"""

from korvex.tcl_testing.pytest_plugin import (
    DEFAULT_HISTORY,
    MAX_ENTRY_CHARS,
    PARTS,
    SECTION,
    SHARED,
    history_report,
    pytest_addoption,
    pytest_collection_finish,
    pytest_configure,
    pytest_unconfigure,
    tcl,
    tcl_session,
    tcl_shared,
)
from korvex.tcl_testing.pytest_tcltest import node_name as tcltest_node_name

__all__ = [
    "DEFAULT_HISTORY", "MAX_ENTRY_CHARS", "PARTS", "SECTION", "SHARED", "history_report",
    "pytest_addoption", "pytest_collection_finish", "pytest_configure", "pytest_unconfigure",
    "tcl", "tcl_session", "tcl_shared", "tcltest_node_name",
]
