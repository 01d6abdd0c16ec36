"""The Tcl profiler from pytest, a part of the korvex.tcl plugin:
``--tcl-profile[=DIR]`` profiles the Tcl work of the run (the fixtures'
interpreters, those the tests make, tcltest files, child interpreters, the
shared interpreter), shows the top procedures by own time and leaves
DIR/tcl.prof (pstats) and DIR/tcl.collapsed (flame graphs); with
``--tcl-profile-per-test`` a pair of files per test too, under DIR/tests.

Nothing of Tcl is imported unless the option is given. Under pytest-xdist each
worker writes its own files and the controller merges them.
"""

from __future__ import annotations

import os
from typing import Any, List, Optional

import pytest

WORKER_KEY = "korvex_tcl_profile"
DEFAULT_DIR = "prof"
NAME = "tcl"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("korvex_tcl", "korvex.tcl")
    group.addoption(
        "--tcl-profile", nargs="?", const=DEFAULT_DIR, default=None, metavar="DIR",
        help="profile the run's Tcl procedures: the top 20 by own time in the summary, "
             "DIR/tcl.prof (pstats) and DIR/tcl.collapsed (flame graphs); DIR defaults to %s" % DEFAULT_DIR)
    group.addoption(
        "--tcl-profile-per-test", action="store_true", default=False,
        help="with --tcl-profile, a .prof and .collapsed file per test as well, under DIR/tests")
    group.addoption(
        "--tcl-profile-commands", action="store_true", default=False,
        help="with --tcl-profile, built-in and C commands are entries of their own")


def pytest_configure(config: pytest.Config) -> None:
    directory = config.getoption("tcl_profile")
    if directory is None:
        return
    config.pluginmanager.register(
        _TclProfile(config, os.path.abspath(directory), bool(config.getoption("tcl_profile_per_test")),
                    bool(config.getoption("tcl_profile_commands"))),
        "korvex_tcl-profile")


class _TclProfile:
    def __init__(self, config: pytest.Config, directory: str, per_test: bool, commands: bool) -> None:
        self.config = config
        self.directory = directory
        self.per_test = per_test
        self.worker: Optional[str] = getattr(config, "workerinput", {}).get("workerid")
        self.controller = self.worker is None and getattr(config.option, "dist", "no") != "no"
        self.run: Any = None
        self.total: Any = None
        self.worker_files: List[str] = []
        self.written: List[str] = []
        if not self.controller:
            try:
                import korvex.tcl  # noqa: F401 (ImportError where the package cannot run)
                from korvex.tcl.profiler.run import RunProfile
            except ImportError as exc:
                raise pytest.UsageError("--tcl-profile needs korvex.tcl, which cannot be imported: %s" % exc) \
                    from None
            self.run = RunProfile(commands)

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_call(self, item: pytest.Item) -> Any:
        # A tcltest file's run hands each test to pytest from inside an open
        # tcltest::test: pytest's time between the tests is not Tcl's.
        if self.run is not None:
            self.run.session.resume()
        try:
            return (yield)
        finally:
            if self.run is not None:
                self.run.session.pause()

    @pytest.hookimpl(trylast=True)
    def pytest_runtest_logfinish(self, nodeid: str, location: Any) -> None:
        if self.run is None or not self.per_test:
            return
        from korvex.tcl.profiler.run import safe_name, write

        write(self.run.take(), os.path.join(self.directory, "tests"), safe_name(nodeid))

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node: Any, error: Any) -> None:
        path = getattr(node, "workeroutput", {}).get(WORKER_KEY)
        if path:
            self.worker_files.append(path)

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        from korvex.tcl.profiler.run import merge_files, write

        if self.run is not None:
            self.total = self.run.finish()
            self.run = None
        if self.worker is not None:
            written = write(self.total, os.path.join(self.directory, ".workers"), "%s-%s" % (NAME, self.worker))
            self.config.workeroutput[WORKER_KEY] = written[0]  # type: ignore[attr-defined]
            return
        if self.controller:
            self.total = merge_files(self.worker_files, remove=True)
            try:
                os.rmdir(os.path.join(self.directory, ".workers"))
            except OSError:
                pass
        self.written = list(write(self.total, self.directory, NAME))

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if self.worker is not None or self.total is None:
            return
        from korvex.tcl.profiler.run import summary

        tr = terminalreporter
        tr.write_sep("-", "Tcl profile: top 20 by own time")
        tr.write(summary(self.total, 20))
        for path in self.written:
            tr.write_line("Tcl profile written to %s" % path)
