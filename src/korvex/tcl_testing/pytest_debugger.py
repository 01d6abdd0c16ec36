"""The pytest side of the Tcl debugger (korvex.tcl.debugger): the options
``--tcl-pdb`` and ``--tcl-break``, and the post-mortem prompt of a test that
failed with a Tcl error.

Registered by the plugin (korvex.tcl_testing.pytest_plugin) with its other
parts. Like the plugin it imports nothing of Tcl until an interpreter exists.
"""

from __future__ import annotations

import sys
from typing import Any, List, Optional

import pytest

_on = pytest.StashKey[bool]()  # --tcl-pdb
_breaks = pytest.StashKey[List[str]]()  # --tcl-break
_applied = pytest.StashKey[bool]()  # the settings reached the debugger
_configs: List[pytest.Config] = []


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("korvex_tcl", "korvex.tcl")
    group.addoption(
        "--tcl-pdb", action="store_true", default=False,
        help="when a test fails with a Tcl error, open the Tcl debugger's prompt at the failing Tcl "
             "frame, with the variables as they were when the error was raised")
    group.addoption(
        "--tcl-break", action="append", metavar="LOCATION", default=[],
        help="stop at the Tcl debugger's prompt at LOCATION: a procedure (::acme::log), a method "
             "(\"::acme::Order close\") or FILE.tcl:LINE (repeatable)")


@pytest.hookimpl(tryfirst=True)
def pytest_cmdline_main(config: pytest.Config) -> None:
    # As pytest-xdist refuses --pdb: the prompt needs the terminal of this process.
    if config.getoption("tcl_pdb") or config.getoption("tcl_break"):
        processes = getattr(config.option, "numprocesses", None)
        distributed = processes not in (None, 0) or getattr(config.option, "dist", "no") != "no"
        if distributed:
            option = "--tcl-pdb" if config.getoption("tcl_pdb") else "--tcl-break"
            raise pytest.UsageError("%s is incompatible with distributing tests (-n, --dist): the prompt needs "
                                    "this process's terminal; try -n0" % option)


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_on] = bool(config.getoption("tcl_pdb"))
    config.stash[_breaks] = list(config.getoption("tcl_break") or [])
    _configs.append(config)


def pytest_unconfigure(config: pytest.Config) -> None:
    if config in _configs:
        _configs.remove(config)
        if config.stash.get(_applied, False):
            debugger = sys.modules.get("korvex.tcl.debugger")
            if debugger is not None:
                debugger.clear_breaks()  # type: ignore[attr-defined]
                debugger.disable()  # type: ignore[attr-defined]


def _apply(config: pytest.Config) -> None:
    """Hands the options to the debugger (which imports Tcl) once, before
    the first test makes its interpreters."""
    if config.stash.get(_applied, False) or not (config.stash[_on] or config.stash[_breaks]):
        return
    config.stash[_applied] = True
    from korvex.tcl import debugger

    if config.stash[_on]:
        debugger.enable()
    for location in config.stash[_breaks]:
        try:
            debugger.set_break(None, location)
        except ValueError as exc:
            raise pytest.UsageError("--tcl-break: %s" % exc) from None


@pytest.hookimpl(tryfirst=True)  # before the fixtures make interpreters
def pytest_runtest_setup(item: pytest.Item) -> None:
    _apply(item.config)


def pytest_exception_interact(node: pytest.Item, call: pytest.CallInfo[Any], report: pytest.TestReport) -> None:
    config = node.config
    if not config.stash.get(_on, False) or call.excinfo is None or "korvex.tcl.debugger" not in sys.modules:
        return
    from korvex.tcl import debugger

    from . import pytest_plugin

    info = _errorinfo(call.excinfo.value)
    if info is None:
        return  # not a Tcl failure: pdb's business (--pdb)
    interpreters = [interp for _, interp in pytest_plugin._interpreters(node, call.excinfo).values()]
    try:
        debugger.post_mortem(info, interpreters)
    except debugger.Quit:
        pytest.exit("Quitting the Tcl debugger")


def _errorinfo(exc: BaseException) -> Optional[str]:
    """The errorInfo of the Tcl error behind a failure: a TclError's, or the
    one tcltest reported for a tcltest item."""
    from . import pytest_plugin

    error = pytest_plugin._tcl_error(exc)
    if error is not None:
        info = getattr(error, "errorinfo", None)
        return info if isinstance(info, str) and info else str(error)
    report = getattr(exc, "report", None)
    if not isinstance(report, str):
        return None
    start = report.find("---- errorInfo: ")
    if start < 0:
        first = report.split("\n", 1)[0]
        return first if first and getattr(exc, "message", "").startswith("the test command failed") else None
    end = report.find("\n---- errorCode: ", start)
    return report[start + len("---- errorInfo: "):end if end >= 0 else len(report)]
