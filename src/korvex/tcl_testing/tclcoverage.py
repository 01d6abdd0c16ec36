"""Tcl coverage: what measures. Published as :mod:`korvex.tcl.tclcoverage`
(whose documentation says what it does); the data it yields and the report
writers are in :mod:`korvex.tcl_testing.coverage_report`.
"""

from __future__ import annotations

import contextlib
import os
import re
import sys
import threading
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

# The data coverage yields lives with its report writers (which
# CoverageData.report calls); published here as well.
from .coverage_report import CoverageData, FileCoverage, Procedure

__all__ = ["Coverage", "CoverageData", "FileCoverage", "Procedure", "install", "install_everywhere",
           "executable_files", "file_layout", "omit_matcher", "unmeasured"]

# The files a measured directory holds that count as Tcl (a file named
# explicitly is measured whatever its name).
TCL_SUFFIXES = (".tcl", ".tm", ".itcl")

PathLike = Union[str, "os.PathLike[str]"]


def _backend() -> Any:
    from korvex.tcl import _coverage

    return _coverage


def install(interp: Any) -> bool:
    """Makes `interp` measure what it sources while any Coverage runs (a
    korvex Interpreter, a tkinter.Tk or Tcl object, or an interpreter
    pointer). Must run in the interpreter's thread."""
    return bool(_backend().install(interp))


_everywhere_lock = threading.Lock()
_everywhere = 0
# What Interpreter._load_entrypoint was when coverage first wrapped it. The
# wrapper stays once made (others, such as the pytest plugin, wrap it in
# turn and put back what they found): it only stops installing.
_next_load_entrypoint: Any = None


_local = threading.local()


@contextlib.contextmanager
def unmeasured() -> Iterator[None]:
    """Interpreters this thread makes meanwhile get no coverage (a dry run
    that only finds what there is to run is no run of the code)."""
    before = getattr(_local, "unmeasured", False)
    _local.unmeasured = True
    try:
        yield
    finally:
        _local.unmeasured = before


def _unmeasured_here() -> bool:
    # The flag of the module as imported now: a wrapper made by an earlier
    # import of it (a test harness that restores sys.modules) reads the same.
    module = sys.modules.get(__name__)
    return bool(getattr(getattr(module, "_local", _local), "unmeasured", False))


def _made(interp: Any) -> None:
    _next_load_entrypoint(interp)
    if _everywhere and not _unmeasured_here():
        try:
            install(interp)
        except Exception:  # an interpreter without `source` is simply not measured
            pass


def install_everywhere(on: bool = True) -> None:
    """Installs coverage in the shared interpreter and in every korvex
    Interpreter made from now on (counted: each call with True needs one with
    False)."""
    global _everywhere, _next_load_entrypoint
    from korvex.tcl.interpreter import Interpreter, _global_interpreter

    with _everywhere_lock:
        if not on:
            _everywhere = max(0, _everywhere - 1)
            return
        _everywhere += 1
        current = Interpreter.__dict__["_load_entrypoint"]
        if _next_load_entrypoint is None:
            _next_load_entrypoint = current
        if current is _next_load_entrypoint:  # not wrapped, or unwrapped by whoever wrapped us
            setattr(Interpreter, "_load_entrypoint", _made)
    install(_global_interpreter)


def _real(paths: Union[PathLike, Iterable[PathLike]]) -> List[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.path.realpath(os.fspath(p)) for p in paths]


def _under(path: str, prefixes: Sequence[str]) -> bool:
    return any(path == p or path.startswith(p.rstrip("/") + "/") for p in prefixes)


def _glob_regex(pattern: str) -> str:
    # As coverage.py reads its file patterns: "*" within a name, "**" across
    # directories, "*/x" and "x/*" reaching any depth.
    if pattern.startswith("*/"):
        pattern = "*" + pattern
    if pattern.endswith("/*"):
        pattern += "*"
    out = []
    i = 0
    while i < len(pattern):
        c = pattern[i]
        if pattern.startswith("**/", i):
            out.append("(?:.*/)?")
            i += 3
            continue
        if pattern.startswith("**", i):
            out.append(".*")
            i += 2
            continue
        out.append("[^/]*" if c == "*" else "[^/]" if c == "?" else re.escape(c))
        i += 1
    return "".join(out)


def omit_matcher(patterns: Iterable[str]) -> Callable[[str], bool]:
    """Whether a real path matches one of the file patterns (globs; one not
    starting with a wildcard is taken from the working directory)."""
    regexes = []
    for pattern in patterns:
        pattern = os.fspath(pattern).strip()
        if not pattern:
            continue
        if not pattern.startswith(("*", "?")):
            pattern = os.path.join(os.path.realpath(os.getcwd()), os.path.expanduser(pattern))
        regexes.append(_glob_regex(pattern))
    if not regexes:
        return lambda path: False
    matcher = re.compile("(?:%s)\\Z" % "|".join(regexes))
    return lambda path: matcher.match(path) is not None


def executable_files(paths: Iterable[str], omit: Callable[[str], bool] = lambda p: False) -> List[str]:
    """The Tcl files (real paths) under `paths`: each file named, and each
    ``*.tcl``, ``*.tm``, ``*.itcl`` file of a directory named (hidden directories left out)."""
    found: List[str] = []
    for top in paths:
        if os.path.isfile(top):
            candidates = [top]
        else:
            candidates = []
            for directory, dirs, files in os.walk(top):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                candidates += [os.path.join(directory, f) for f in sorted(files) if f.endswith(TCL_SUFFIXES)]
        for path in candidates:
            real = os.path.realpath(path)
            if real not in found and not omit(real):
                found.append(real)
    return found


def _layout(counter_lines: Sequence[int], procedures: Sequence[Tuple[str, int, int, int]],
            counts: Sequence[int], branches: Sequence[Tuple[int, Sequence[Tuple[int, int]], int]] = (),
            error: Optional[Tuple[int, str]] = None) -> FileCoverage:
    lines: Dict[int, int] = {}
    for line, hits in zip(counter_lines, counts):
        if line:
            lines[line] = lines.get(line, 0) + hits
    procs = [Procedure(name, line, counts[entry] if entry >= 0 else 0) for name, line, entry, _ in procedures]
    bodies = {(name, line): sorted({n for n in counter_lines[max(entry, 0):end] if n})
              for name, line, entry, end in procedures}
    cov = FileCoverage("", lines, procs, bodies)
    for line, arms, following in branches:
        cov.branches[line] = [[dest, counts[counter]] for counter, dest in arms]
        if following:
            cov.next_lines[line] = following
    if error is not None:
        cov.parse_error = "%s in the command on line %d" % (error[1], error[0])
    return cov


def file_layout(path: str) -> FileCoverage:
    """What `path` would count if sourced, nothing run: its lines and procedures at 0."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.split(b"\x1a", 1)[0].decode("utf-8", errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    counter_lines, procedures, branches, error = _backend().analyse(text, False, True)
    cov = _layout(counter_lines, procedures, [0] * len(counter_lines), branches, error)
    cov.path = path
    cov.sourced = False
    return cov


class Coverage:
    """Measures Tcl files under `paths` (files or directories) sourced while
    it runs, in `interps` (coverage is installed there) and in every other
    interpreter with coverage installed; with `branch`, the arms of if and
    switch too (FileCoverage.branches). Files matching an `omit` pattern are
    left out.

    ``with Coverage(paths, interp) as cov:`` starts and stops it;
    :meth:`data` gives what ran between the two (or so far).
    """

    def __init__(self, paths: Union[PathLike, Iterable[PathLike]], interps: Any = (),
                 omit: Iterable[str] = (), branch: bool = False) -> None:
        self.paths = _real(paths)
        missing = [p for p in self.paths if not os.path.exists(p)]
        if missing:
            raise FileNotFoundError("no such file or directory to measure: %s" % ", ".join(missing))
        self.omit = list(omit)
        self.branch = branch
        self._omitted = omit_matcher(self.omit)
        if not isinstance(interps, (list, tuple)):
            interps = [interps]
        self.interps = list(interps)
        self._session: Optional[int] = None
        self._base: Dict[int, List[int]] = {}
        self._data: Optional[CoverageData] = None

    def start(self) -> "Coverage":
        backend = _backend()
        for interp in self.interps:
            install(interp)
        self._base = {rid: backend.counts(rid) for _, rid in backend.files()}
        self._session = backend.start(self.paths, self.branch)
        self._data = None
        return self

    def stop(self) -> CoverageData:
        if self._session is not None:
            self._data = self._collect()
            _backend().stop(self._session)
            self._session = None
        return self.data()

    def data(self) -> CoverageData:
        """The coverage measured: up to stop(), or up to now while running."""
        if self._data is not None:
            return self._data
        return self._collect() if self._session is not None else CoverageData()

    def _collect(self) -> CoverageData:
        backend = _backend()
        data = CoverageData()
        for path, rid in backend.files():
            if not _under(path, self.paths) or self._omitted(path):
                continue
            counter_lines, procedures, branches, error = backend.layout(rid)
            counts = backend.counts(rid)
            base = self._base.get(rid)
            if base is not None:
                counts = [c - b for c, b in zip(counts, base)]
            cov = _layout(counter_lines, procedures, counts, branches, error)
            cov.path = path
            # Sourced while this ran: a new record, or one whose counters moved.
            cov.sourced = base is None or any(counts)
            data[path] = cov
        for path in executable_files(self.paths, self._omitted):
            if path not in data:
                try:
                    data[path] = file_layout(path)
                except OSError:
                    pass
        return data

    def __enter__(self) -> "Coverage":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "<Coverage of %s%s>" % (", ".join(self.paths), " (running)" if self._session else "")

