"""Tcl files in coverage.py's own data and reports: a coverage.py plugin.

Named in the coverage configuration, as coverage.py's plugins are::

    [tool.coverage.run]
    plugins = ["korvex.tcl.coverage_plugin"]
    source = ["lib", "mypkg"]

While coverage.py measures (``coverage run``, pytest-cov's ``--cov``), the
Tcl files under its ``source`` directories (under the working directory when
there are none) that any korvex interpreter sources are measured as
``--tcl-cov`` measures them, and their lines are recorded in coverage.py's
data: ``combine``, ``report``, ``html``, ``xml``, ``lcov``, ``json``,
``fail_under``, ``omit``, ``include``, ``paths`` and ``precision`` then treat
them as they treat Python files. Tcl files nobody sourced under a ``source``
directory are reported at 0 %. With dynamic contexts (pytest-cov's
``--cov-context=test``) each line records the contexts that ran it. With
``branch`` the arms of if, switch and loops are arcs (see the guide).

coverage.py has no hook for code it does not trace itself: the plugin finds
the Coverage object that loads it and wraps its start, stop, switch_context,
get_data and erase methods (that object only) to take the Tcl counters at each
of them. Its options (the section named after this module): ``paths``, the Tcl
files and directories measured instead of ``source``.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Callable, Dict, Iterable, List, Optional, Set, Tuple

import coverage
import coverage.exceptions
from coverage.exceptions import CoverageWarning

__all__ = ["TclPlugin", "TclFileReporter", "coverage_init"]

# The name coverage.py gives the plugin: its module as configured, korvex.tcl.coverage_plugin,
# which publishes this one.
PLUGIN_NAME = "korvex.tcl.coverage_plugin.TclPlugin"


def _tclcoverage() -> Any:
    from korvex.tcl_testing import tclcoverage

    return tclcoverage


def _option_list(value: Any) -> List[str]:
    if value is None:
        return []
    if isinstance(value, str):
        return [v.strip() for v in value.replace(",", "\n").split("\n") if v.strip()]
    return [str(v) for v in value]


def _arc_end(line: int, dest: int, following: int) -> int:
    """Where an arm of the branch on `line` leads, as coverage.py writes arcs:
    the implicit arm (dest -line) to the line it goes on to when known
    (`following`), as Python's ``if`` without ``else`` goes to the next
    statement; else to the exit."""
    return following if dest < 0 and following else dest


class TclPlugin(coverage.CoveragePlugin):
    """Reports Tcl files (the measuring is done by the interpreters themselves)."""

    def __init__(self, options: Dict[str, Any]) -> None:
        self.paths = _option_list(options.get("paths"))
        self.omit: Any = lambda path: False
        self.cov: Any = None  # the Coverage object that loaded the plugin
        self.unparsed: Set[str] = set()  # the files "Couldn't parse" was said of

    def file_tracer(self, filename: str) -> None:
        return None  # Python files are coverage.py's own

    def file_reporter(self, filename: str) -> "TclFileReporter":
        return TclFileReporter(filename, self)

    def warn_unparsed(self, filename: str, error: str) -> None:
        """As coverage.py warns of a Python file it cannot parse (once a file)."""
        if filename in self.unparsed:
            return
        self.unparsed.add(filename)
        message = "Couldn't parse Tcl file '%s': %s" % (filename, error)
        warn = getattr(self.cov, "_warn", None)
        if warn is not None:  # coverage.py's own way, which disable_warnings silences
            try:
                warn(message, slug="couldnt-parse")
                return
            except TypeError:  # a coverage.py that calls it otherwise
                pass
        warnings.warn(message + " (couldnt-parse)", CoverageWarning, stacklevel=2)

    def find_executable_files(self, src_dir: str) -> Iterable[str]:
        found: List[str] = _tclcoverage().executable_files([src_dir], self.omit)
        return found

    def sys_info(self) -> List[Tuple[str, Any]]:
        return [("tcl_paths", self.paths)]


class TclFileReporter(coverage.FileReporter):
    """The lines and procedures of a Tcl file, as its instrumentation counts them."""

    def __init__(self, filename: str, plugin: Optional[TclPlugin] = None) -> None:
        super().__init__(filename)
        self.plugin = plugin
        self._layout: Any = None

    def layout(self) -> Any:
        if self._layout is None:
            try:
                self._layout = _tclcoverage().file_layout(self.filename)
            except OSError as exc:
                raise coverage.exceptions.NoSource("No source for Tcl file %r: %s" % (self.filename, exc))
            if self._layout.parse_error and self.plugin is not None:
                self.plugin.warn_unparsed(self.filename, self._layout.parse_error)
        return self._layout

    def lines(self) -> Set[int]:
        return set(self.layout().lines)

    def _arcs(self) -> Dict[int, Set[int]]:
        layout = self.layout()
        return {line: {_arc_end(line, dest, layout.next_lines.get(line, 0)) for dest, _ in arms} - {line}
                for line, arms in layout.branches.items()}

    def arcs(self) -> Set[Tuple[int, int]]:
        return {(line, end) for line, ends in self._arcs().items() for end in ends}

    def exit_counts(self) -> Dict[int, int]:
        # An arm on the branch's own line is no arc coverage.py can tell apart.
        return {line: len(ends) for line, ends in self._arcs().items()}

    def _implicit(self, start: int, end: int) -> bool:
        return end < 0 or (end > 0 and self.layout().next_lines.get(start) == end)

    def missing_arc_description(self, start: int, end: int, executed_arcs: Any = None) -> str:
        if self._implicit(start, end):
            return "line %d always took one of its arms (the empty else or default, or the loop's end, never ran)" \
                % start
        return "line %d never took its arm starting on line %d" % (start, end)

    def arc_description(self, start: int, end: int) -> str:
        if self._implicit(start, end):
            return "the empty else or default of line %d" % start
        return "the arm of line %d starting on line %d" % (start, end)

    def source(self) -> str:
        with open(self.filename, encoding="utf-8", errors="replace") as f:
            return f.read()

    def code_region_kinds(self) -> List[Tuple[str, str]]:
        return [("function", "procedures")]

    def code_regions(self) -> List[Any]:
        from coverage.plugin import CodeRegion

        layout = self.layout()
        return [CodeRegion(kind="function", name=p.name, start=p.line,
                           lines=set(layout.bodies.get((p.name, p.line), ())))
                for p in layout.procedures]


class _Bridge:
    """Tcl measurement tied to one coverage.Coverage object."""

    def __init__(self, cov: Any, plugin: TclPlugin) -> None:
        self.cov = cov
        self.plugin = plugin
        self.session: Any = None
        self.measured: List[str] = []
        self.seen: Dict[int, List[int]] = {}  # record id -> its counters at the last boundary
        self.layouts: Dict[int, Tuple[List[int], List[Tuple[int, List[Tuple[int, int]], int]]]] = {}
        # Per context, per file: the lines run, and the arcs of the arms taken.
        self.pending: Dict[Optional[str], Dict[str, Tuple[Set[int], Set[Tuple[int, int]]]]] = {}
        self.sourced = False
        self.sources_before = 0
        self.dynamic: Optional[str] = None
        self._keep: Callable[[str], bool] = lambda path: True
        for name in ("start", "stop", "switch_context", "get_data", "erase"):
            setattr(cov, name, self._wrap(name))

    def _wrap(self, name: str) -> Any:
        original = getattr(self.cov, name)
        mine = getattr(self, "_" + name)

        def wrapper(*args: Any, **kwargs: Any) -> Any:
            return mine(original, *args, **kwargs)

        wrapper.__name__ = name
        wrapper.__doc__ = original.__doc__
        return wrapper

    # -- configuration --------------------------------------------------------

    def _filters(self) -> Tuple[Any, Any]:
        tc = _tclcoverage()
        omit = self._option("run:omit")
        include = self._option("run:include")
        omitted = tc.omit_matcher(omit)
        included = tc.omit_matcher(include) if include else (lambda path: True)
        return omitted, included

    def _option(self, name: str) -> List[str]:
        try:
            return _option_list(self.cov.get_option(name))
        except coverage.exceptions.ConfigError:  # an older coverage.py without it
            return []

    def _paths(self) -> List[str]:
        """The plugin's paths, else the source directories (a source that is no
        directory is a Python package, or a mistake coverage.py warns about),
        else the working directory."""
        if self.plugin.paths:
            for path in self.plugin.paths:
                if not os.path.exists(path):
                    warnings.warn("Tcl path %s does not exist. (korvex-tcl-no-path)" % path, CoverageWarning,
                                  stacklevel=2)
            return [p for p in self.plugin.paths if os.path.exists(p)]
        source = self._option("run:source") + self._option("run:source_dirs")
        packages = self._option("run:source_pkgs")
        if not source and not packages:
            return [os.getcwd()]
        paths = [s for s in source if os.path.exists(s)]
        # A Python package's directory: the Tcl files it ships.
        paths += [d for name in packages + [s for s in source if not os.path.exists(s)]
                  for d in _package_dirs(name)]
        return paths

    def _context(self) -> Optional[str]:
        static = self.cov.get_option("run:context")
        if isinstance(static, str) and static:
            return static + ("|" + self.dynamic if self.dynamic else "")
        return self.dynamic

    # -- the wrapped methods ----------------------------------------------------

    def _start(self, original: Any) -> Any:
        result = original()
        self.begin()
        return result

    def begin(self) -> None:
        if self.session is None:
            tc = _tclcoverage()
            omitted, included = self._filters()
            self.plugin.omit = omitted
            self.measured = [os.path.realpath(p) for p in self._paths()]
            self._keep = lambda path: bool(included(path)) and not omitted(path)
            tc.install_everywhere(True)
            branch = bool(self.cov.get_option("run:branch"))
            self.session = tc.Coverage(self.measured, branch=branch).start()
            backend = tc._backend()
            self.seen = {rid: backend.counts(rid) for _, rid in backend.files()}
            self.sources_before = backend.sourced()

    def _stop(self, original: Any) -> Any:
        if self.session is not None:
            self.boundary()
            self.session.stop()
            self.session = None
            _tclcoverage().install_everywhere(False)
            tc = _tclcoverage()
            # Tcl files were sourced, none of them measured (a process that
            # sourced nothing at all, as pytest-xdist's controller, says nothing).
            if (not self.sourced and tc._backend().sourced() > self.sources_before
                    and tc.executable_files(self.measured, self.plugin.omit)):
                warnings.warn("No Tcl file under %s was sourced. (korvex-tcl-no-data)"
                              % ", ".join(self.measured), CoverageWarning, stacklevel=3)
        return original()

    def _switch_context(self, original: Any, new_context: str) -> Any:
        self.boundary()
        result = original(new_context)
        self.dynamic = new_context
        return result

    def _get_data(self, original: Any) -> Any:
        self.boundary()
        data = getattr(self.cov, "_data", None)
        if self.pending and isinstance(data, coverage.CoverageData):
            self.record(data)  # before coverage.py looks whether any data was collected
        data = original()
        if self.pending:
            self.record(data)
        return data

    def _erase(self, original: Any) -> Any:
        self.pending.clear()
        return original()

    # -- the Tcl counters ---------------------------------------------------------

    def boundary(self) -> None:
        """The Tcl lines run since the last boundary, kept under the context current until now."""
        if self.session is None:
            return
        tc = _tclcoverage()
        backend = tc._backend()
        run: Dict[str, Tuple[Set[int], Set[Tuple[int, int]]]] = {}
        for path, rid in backend.files():
            if not tc._under(path, self.measured) or not self._keep(path):
                continue
            counts = backend.counts(rid)
            before = self.seen.get(rid)
            self.seen[rid] = counts
            if before is None:
                before = [0] * len(counts)
            layout = self.layouts.get(rid)
            if layout is None:
                full = backend.layout(rid)
                layout = self.layouts[rid] = (full[0], full[2])
            lines, branches = layout
            hit = {line for line, c, b in zip(lines, counts, before) if line and c > b}
            arcs = {(line, _arc_end(line, dest, following)) for line, arms, following in branches
                    for counter, dest in arms
                    if _arc_end(line, dest, following) != line and counts[counter] > before[counter]}
            if hit or arcs:
                run[path] = (hit, arcs)
        if run:
            self.sourced = True
            into = self.pending.setdefault(self._context(), {})
            for path, (hit, arcs) in run.items():
                mine = into.setdefault(path, (set(), set()))
                mine[0].update(hit)
                mine[1].update(arcs)

    def record(self, data: Any) -> None:
        branch = bool(self.cov.get_option("run:branch")) or data.has_arcs()
        current = self._context()
        try:
            for context, files in self.pending.items():
                data.set_context(context)
                if branch:  # lines as arcs from the file's entry, and the arms taken
                    data.add_arcs({p: sorted({(-1, n) for n in lines} | arcs)
                                   for p, (lines, arcs) in files.items()})
                else:
                    data.add_lines({p: sorted(lines) for p, (lines, _) in files.items()})
                data.add_file_tracers({p: PLUGIN_NAME for p in files})
        finally:
            data.set_context(current)
        self.pending.clear()


def _package_dirs(name: str) -> List[str]:
    import importlib.util

    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError):
        return []
    if spec is None:
        return []
    if spec.submodule_search_locations:
        return [d for d in spec.submodule_search_locations if os.path.isdir(d)]
    return []


def _loading_coverage() -> Tuple[Any, bool]:
    """The coverage.Coverage object whose plugins are being loaded (the
    caller's), and whether that happens in its start()."""
    frame = sys._getframe(2)
    cov = None
    while frame is not None:
        candidate = frame.f_locals.get("self")
        if cov is None and isinstance(candidate, coverage.Coverage):
            cov = candidate
        if cov is not None and candidate is cov and frame.f_code.co_name == "start":
            return cov, True
        frame = frame.f_back  # type: ignore[assignment]
    return cov, False


def coverage_init(reg: Any, options: Dict[str, Any]) -> None:
    plugin = TclPlugin(options)
    reg.add_file_tracer(plugin)
    cov, starting = _loading_coverage()
    plugin.cov = cov
    if cov is None or hasattr(cov, "_korvex_tcl"):
        return
    bridge = cov._korvex_tcl = _Bridge(cov, plugin)
    plugin.omit = _tclcoverage().omit_matcher(_option_list(cov.get_option("run:omit")))
    if starting:  # the start() loading the plugins is past the wrapper
        bridge.begin()
