"""The test toolkit of korvex.tcl: the pytest plugin, tcltest files as pytest
items, Tcl coverage and its reports, and what makes the console run Tcl as
tclsh does.

Importing this package, or one of its ``pytest_*`` modules (which pytest
loads at start-up), imports nothing of Tcl: importing ``korvex.tcl`` creates
the shared interpreter, which a pytest run that uses no Tcl must not pay for.
The other modules import ``korvex.tcl`` when imported.

The names to use are published by korvex.tcl: :mod:`korvex.tcl.pytest_plugin`,
:mod:`korvex.tcl.tclcoverage`, ``korvex.tcl.coverage_plugin`` (the coverage.py
plugin) and :mod:`korvex.tcl.console`.

    pytest_plugin     the pytest plugin (entry point ``korvex_tcl``): fixtures, Tcl history in reports, time limits
    pytest_tcltest    tcltest files collected and run as pytest items
    pytest_coverage   ``--tcl-cov``: Tcl coverage of a pytest run
    tcltest_runner    runs one tcltest file in an interpreter of its own, test by test
    tclsh             tclsh's ways: a file evaluated as tclsh does, its command loop, the launcher
    tclcoverage       measuring Tcl line and procedure coverage
    coverage_report   the data coverage yields and its report writers
    coverage_plugin   the coverage.py plugin
"""
