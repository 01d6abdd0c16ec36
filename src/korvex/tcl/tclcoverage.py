"""Tcl line and procedure coverage.

A *line* is a line on which a Tcl command starts (commands in the braced
script bodies of the control structures, procedures, TclOO and Itcl
definitions included); it is *run* when a command starting on it began to
execute. A *procedure* is each ``proc``, TclOO or Itcl method, constructor and
destructor, Itcl class procedure and configuration code a measured file
defines.

Files are measured as they are sourced (``source``, and so ``package
require`` and ``auto_load``) by an interpreter with coverage installed, when
their real path lies under a measured path::

    with interp.coverage(["lib/"]) as cov:
        interp.eval("package require mylib; mylib::run")
    cov.data().report("term-missing")

An instrumented procedure shows its counters in ``info body`` (see the guide
"Measuring Tcl coverage" for everything coverage changes that a script can see).
"""

from korvex.tcl_testing.tclcoverage import (
    Coverage,
    CoverageData,
    FileCoverage,
    Procedure,
    executable_files,
    file_layout,
    install,
    install_everywhere,
    omit_matcher,
    unmeasured,
)

__all__ = ["Coverage", "CoverageData", "FileCoverage", "Procedure", "install", "install_everywhere",
           "executable_files", "file_layout", "omit_matcher", "unmeasured"]
