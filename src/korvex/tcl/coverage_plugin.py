"""Tcl files in coverage.py's own data and reports: the coverage.py plugin,
named in the coverage configuration::

    [tool.coverage.run]
    plugins = ["korvex.tcl.coverage_plugin"]

Its options go in the section named after this module
(``[tool.coverage."korvex.tcl.coverage_plugin"]``). The plugin lives in
:mod:`korvex.tcl_testing.coverage_plugin`; see the guide "Measuring Tcl
coverage".
"""

from korvex.tcl_testing.coverage_plugin import TclFileReporter, TclPlugin, coverage_init

__all__ = ["TclPlugin", "TclFileReporter", "coverage_init"]
