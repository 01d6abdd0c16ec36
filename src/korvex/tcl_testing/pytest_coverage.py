"""Tcl coverage from pytest, a part of the korvex.tcl plugin: ``--tcl-cov=PATH``
measures the Tcl files under PATH that the run's interpreters source, and
``--tcl-cov-report=TYPE`` reports it (see korvex.tcl.tclcoverage).

Nothing of Tcl is imported unless ``--tcl-cov`` (or the ini value ``tcl_cov``)
names a path. Under pytest-xdist each worker measures and sends its data to
the controller, which reports the union.
"""

from __future__ import annotations

from typing import Any, List, Optional

import pytest

WORKER_KEY = "korvex_tcl_coverage"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("korvex_tcl", "korvex.tcl")
    group.addoption(
        "--tcl-cov", action="append", metavar="PATH", default=None,
        help="measure the coverage of the Tcl files under PATH (a file or directory; repeatable) "
             "that the run's interpreters source")
    group.addoption(
        "--tcl-cov-report", action="append", metavar="TYPE", default=None,
        help="Tcl coverage report: term, term-missing, lcov[:FILE], xml[:FILE] (Cobertura), "
             "html[:DIR]; repeatable (default: term)")
    group.addoption(
        "--tcl-cov-fail-under", type=float, metavar="N", default=None,
        help="fail the run when the total Tcl line coverage is below N percent (or no measured file "
             "was sourced)")
    group.addoption(
        "--tcl-cov-omit", action="append", metavar="GLOB", default=None,
        help="leave out of Tcl coverage the files matching GLOB (a path pattern as coverage.py's omit: "
             "*/pkgIndex.tcl, lib/tests/*; repeatable)")
    parser.addini("tcl_cov", "paths measured as with --tcl-cov", type="paths", default=[])
    parser.addini("tcl_cov_omit", "file patterns left out as with --tcl-cov-omit", type="linelist", default=[])


def pytest_configure(config: pytest.Config) -> None:
    paths = [str(p) for p in (config.getoption("tcl_cov") or config.getini("tcl_cov") or [])]
    if not paths:
        return
    import os

    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        raise pytest.UsageError("--tcl-cov: no such file or directory: %s" % ", ".join(missing))
    from korvex.tcl_testing import coverage_report as _coverage_report

    reports = config.getoption("tcl_cov_report") or ["term"]
    for spec in reports:
        try:
            _coverage_report.parse_kind(spec)
        except ValueError as exc:
            raise pytest.UsageError(str(exc)) from None
    fail_under = config.getoption("tcl_cov_fail_under")
    if fail_under is not None and not 0 <= fail_under <= 100:
        raise pytest.UsageError("--tcl-cov-fail-under must be between 0 and 100, not %r" % fail_under)
    omit = list(config.getoption("tcl_cov_omit") or []) + list(config.getini("tcl_cov_omit") or [])
    config.pluginmanager.register(_TclCoverage(config, paths, reports, fail_under, omit), "korvex_tcl-coverage")


class _TclCoverage:
    def __init__(self, config: pytest.Config, paths: List[str], reports: List[str],
                 fail_under: Optional[float], omit: Optional[List[str]] = None) -> None:
        self.config = config
        self.paths = paths
        self.omit = omit or []
        self.warning: Optional[str] = None
        self.warnings: List[str] = []  # of files that do not parse
        self.reports = reports
        self.fail_under = fail_under
        self.worker = hasattr(config, "workerinput")
        # An xdist controller runs no test: it only gathers what the workers measured.
        self.controller = not self.worker and getattr(config.option, "dist", "no") != "no"
        self.coverage: Any = None
        self.data: Any = None
        self.written: List[str] = []
        self.failed: Optional[str] = None
        self.error: Optional[str] = None
        if not self.controller:
            self._start()

    def _start(self) -> None:
        try:
            import korvex.tcl  # noqa: F401 (the package: ImportError where it cannot run)
            from korvex.tcl_testing import tclcoverage
        except ImportError as exc:
            raise pytest.UsageError("--tcl-cov needs korvex.tcl, which cannot be imported: %s" % exc) from None
        tclcoverage.install_everywhere(True)
        self.coverage = tclcoverage.Coverage(self.paths, omit=self.omit).start()
        self.data = tclcoverage.CoverageData()

    def _empty(self) -> Any:
        from korvex.tcl_testing.coverage_report import CoverageData

        return CoverageData()

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node: Any, error: Any) -> None:
        text = getattr(node, "workeroutput", {}).get(WORKER_KEY)
        if text is None:
            return
        from korvex.tcl_testing.coverage_report import CoverageData

        if self.data is None:
            self.data = self._empty()
        self.data.merge(CoverageData.from_json(text))

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        if self.coverage is not None:
            from korvex.tcl_testing import tclcoverage

            self.data = self.coverage.stop()
            self.coverage = None
            tclcoverage.install_everywhere(False)
        if self.data is None:
            self.data = self._empty()
        if self.worker:
            self.config.workeroutput[WORKER_KEY] = self.data.to_json()  # type: ignore[attr-defined]
            return
        from korvex.tcl_testing import coverage_report as _coverage_report

        for spec in self.reports:
            if spec.startswith("term"):
                continue
            try:
                self.written.append("%s written to %s" % (spec.partition(":")[0],
                                                          _coverage_report.write(self.data, spec)))
            except OSError as exc:
                self.error = "Tcl coverage report %s could not be written: %s" % (spec, exc)
                session.exitstatus = pytest.ExitCode.INTERNAL_ERROR
        self.warnings = ["Tcl coverage warning: " + w for w in _coverage_report.unparsed(self.data)]
        if not self.data.sourced:
            # As coverage.py says when nothing it measures was imported.
            self.warning = ("Tcl coverage warning: no measured Tcl file was sourced (under %s). "
                            "(no-data-collected)" % ", ".join(self.paths))
        if self.fail_under is not None and (self.data.percent < self.fail_under or not self.data.sourced):
            self.failed = "FAIL Required Tcl coverage of %g%% not reached. Total coverage: %.2f%%" % (
                self.fail_under, self.data.percent if self.data.sourced else 0.0)
            if session.exitstatus == pytest.ExitCode.OK:
                session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if self.worker or self.data is None:
            return
        from korvex.tcl_testing import coverage_report as _coverage_report

        tr = terminalreporter
        for spec in self.reports:
            if spec.startswith("term"):
                tr.write(_coverage_report.term(self.data, missing=spec == "term-missing"))
        for line in self.written:
            tr.write_line("Tcl coverage " + line)
        for warning in self.warnings + ([self.warning] if self.warning else []):
            tr.write_line(warning, yellow=True, bold=True)
        if self.error:
            tr.write_line(self.error, red=True, bold=True)
        if self.failed:
            tr.write_line(self.failed, red=True, bold=True)
        elif self.fail_under is not None:
            tr.write_line("Required Tcl coverage of %g%% reached. Total coverage: %.2f%%"
                          % (self.fail_under, self.data.percent), green=True)

