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

from __future__ import annotations

import json
import os
import threading
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Union

__all__ = ["Coverage", "CoverageData", "FileCoverage", "Procedure", "install", "install_everywhere"]

PathLike = Union[str, "os.PathLike[str]"]


class Procedure(NamedTuple):
    name: str
    line: int
    hits: int


class FileCoverage:
    """The coverage of one file: hits by line, and its procedures."""

    __slots__ = ("path", "lines", "procedures")

    def __init__(self, path: str, lines: Optional[Dict[int, int]] = None,
                 procedures: Optional[List[Procedure]] = None) -> None:
        self.path = path
        self.lines: Dict[int, int] = dict(lines or {})
        self.procedures: List[Procedure] = list(procedures or [])

    @property
    def run(self) -> List[int]:
        return sorted(n for n, hits in self.lines.items() if hits)

    @property
    def missed(self) -> List[int]:
        return sorted(n for n, hits in self.lines.items() if not hits)

    @property
    def percent(self) -> float:
        return 100.0 * len(self.run) / len(self.lines) if self.lines else 100.0

    def merge(self, other: "FileCoverage") -> None:
        for line, hits in other.lines.items():
            self.lines[line] = self.lines.get(line, 0) + hits
        mine = {(p.name, p.line): i for i, p in enumerate(self.procedures)}
        for p in other.procedures:
            i = mine.get((p.name, p.line))
            if i is None:
                mine[(p.name, p.line)] = len(self.procedures)
                self.procedures.append(p)
            else:
                self.procedures[i] = self.procedures[i]._replace(hits=self.procedures[i].hits + p.hits)

    def __repr__(self) -> str:
        return "<FileCoverage %s: %d of %d lines>" % (self.path, len(self.run), len(self.lines))


class CoverageData(Dict[str, FileCoverage]):
    """File coverage by path (absolute, real). What the report writers take."""

    def merge(self, other: "CoverageData") -> "CoverageData":
        for path, cov in other.items():
            if path in self:
                self[path].merge(cov)
            else:
                self[path] = FileCoverage(path, cov.lines, cov.procedures)
        return self

    @property
    def percent(self) -> float:
        total = sum(len(f.lines) for f in self.values())
        run = sum(len(f.run) for f in self.values())
        return 100.0 * run / total if total else 100.0

    def to_json(self) -> str:
        return json.dumps({path: {"lines": sorted(f.lines.items()), "procedures": [list(p) for p in f.procedures]}
                           for path, f in self.items()})

    @classmethod
    def from_json(cls, text: str) -> "CoverageData":
        data = cls()
        for path, f in json.loads(text).items():
            data[path] = FileCoverage(path, {int(n): int(h) for n, h in f["lines"]},
                                      [Procedure(str(n), int(l), int(h)) for n, l, h in f["procedures"]])
        return data

    def report(self, kind: str = "term", out: Any = None) -> None:
        """Writes a report (``term``, ``term-missing``, ``lcov:FILE``, ``xml:FILE``, ``html:DIR``)."""
        from korvex.tcl import _coverage_report

        _coverage_report.write(self, kind, out)


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


def _made(interp: Any) -> None:
    _next_load_entrypoint(interp)
    if _everywhere:
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


class Coverage:
    """Measures Tcl files under `paths` (files or directories) sourced while
    it runs, in `interps` (coverage is installed there) and in every other
    interpreter with coverage installed.

    ``with Coverage(paths, interp) as cov:`` starts and stops it;
    :meth:`data` gives what ran between the two (or so far).
    """

    def __init__(self, paths: Union[PathLike, Iterable[PathLike]], interps: Any = ()) -> None:
        self.paths = _real(paths)
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
        self._session = backend.start(self.paths)
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
            if not _under(path, self.paths):
                continue
            counter_lines, procedures = backend.layout(rid)
            counts = backend.counts(rid)
            base = self._base.get(rid)
            if base is not None:
                counts = [c - b for c, b in zip(counts, base)]
            lines: Dict[int, int] = {}
            for line, hits in zip(counter_lines, counts):
                if line:
                    lines[line] = lines.get(line, 0) + hits
            procs = [Procedure(name, line, counts[entry] if entry >= 0 else 0)
                     for name, line, entry in procedures]
            data[path] = FileCoverage(path, lines, procs)
        return data

    def __enter__(self) -> "Coverage":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "<Coverage of %s%s>" % (", ".join(self.paths), " (running)" if self._session else "")

