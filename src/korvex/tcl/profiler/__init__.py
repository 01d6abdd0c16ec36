"""Profiling Tcl: which Tcl procedures a run spends its time in, in the forms
Python's profilers use::

    with interp.profile() as prof:
        interp.eval("run_the_suite")
    prof.print_stats(limit=20)           # as cProfile prints
    prof.dump_stats("tcl.prof")          # for pstats, snakeviz, gprof2dot
    prof.dump_collapsed("tcl.collapsed") # for flamegraph.pl, speedscope

Procedures are counted by fully qualified name, TclOO and Itcl methods as
"class method", ``apply`` lambdas by their text, procedures of child
interpreters with the child's path first ("{child} ::name"), and Python
callbacks that Tcl calls as "python:module.function". Built-in and C commands
are entries of their own only with ``commands=True`` (as cProfile's
"{built-in method ...}"); otherwise their time, a wait in ``after`` or
``vwait`` included, is their caller's own time.

Times are in seconds. Own time excludes the entries called; total time counts
a recursive entry once, at its outermost call, as cProfile does.
"""

from __future__ import annotations

import marshal
import os
import pstats as _pstats
import sys
from collections import Counter
from typing import IO, Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

__all__ = ["Profile", "Row", "Stats", "Session", "combine", "STATS_SUFFIX", "COLLAPSED_SUFFIX"]

STATS_SUFFIX = ".prof"
COLLAPSED_SUFFIX = ".collapsed"

# pstats' key of a function: (file, line, name); ("~", 0, name) where Tcl
# knows no file.
Func = Tuple[str, int, str]
# pstats' value: (primitive calls, calls, own time, total time, callers),
# callers {caller: (calls, primitive calls, own time, total time)}.
Entry = Tuple[int, int, float, float, Dict[Func, Tuple[int, int, float, float]]]

PathLike = Union[str, "os.PathLike[str]"]


class Row(NamedTuple):
    """One entry of a profile: a procedure, method, lambda, Python callback or command."""

    name: str
    file: str  # "~" when Tcl knows no file
    line: int
    calls: int
    primitive_calls: int  # calls not made inside another call of the same entry
    total: float  # seconds, the callees' included (a recursive entry counted once)
    own: float  # seconds, without the callees'

    @property
    def own_per_call(self) -> float:
        return self.own / self.calls if self.calls else 0.0

    @property
    def total_per_call(self) -> float:
        return self.total / self.primitive_calls if self.primitive_calls else 0.0

    @property
    def location(self) -> str:
        return "~" if self.file == "~" else "%s:%d" % (self.file, self.line)


def _backend() -> Any:
    from korvex.tcl.profiler import _trace

    return _trace


class Stats:
    """Profile data: what one or more sessions counted, or files loaded."""

    def __init__(self) -> None:
        self._entries: Dict[Func, List[Any]] = {}  # func -> [cc, nc, tt, ct, {caller: [nc, cc, tt, ct]}]
        self._stacks: Counter[str] = Counter()  # "frame;frame;frame" -> microseconds

    # -- filling ------------------------------------------------------------------

    def _add_taken(self, taken: Any) -> None:
        funcs, tallies, edges, stacks = taken
        keys: List[Func] = [(f or "~", line if f and f != "~" else 0, name) for name, f, line in funcs]
        for index, calls, primitive, own, total in tallies:
            entry = self._entries.setdefault(keys[index], [0, 0, 0.0, 0.0, {}])
            entry[0] += primitive
            entry[1] += calls
            entry[2] += own / 1e9
            entry[3] += total / 1e9
        for caller, callee, calls, primitive, own, total in edges:
            if caller < 0:
                continue
            entry = self._entries.setdefault(keys[callee], [0, 0, 0.0, 0.0, {}])
            edge = entry[4].setdefault(keys[caller], [0, 0, 0.0, 0.0])
            edge[0] += calls
            edge[1] += primitive
            edge[2] += own / 1e9
            edge[3] += total / 1e9
        for path, own in stacks:
            micro = int(round(own / 1e3))
            if micro > 0:
                self._stacks[";".join(_frame(funcs[i][0]) for i in path)] += micro

    def add(self, other: "Stats") -> "Stats":
        """Adds what `other` holds to this; returns self."""
        self._add_pstats(other.pstats())
        self._stacks.update(other._stacks)
        return self

    def _add_pstats(self, stats: Dict[Func, Entry]) -> None:
        for func, (cc, nc, tt, ct, callers) in stats.items():
            entry = self._entries.setdefault(tuple(func), [0, 0, 0.0, 0.0, {}])  # type: ignore[arg-type]
            entry[0] += cc
            entry[1] += nc
            entry[2] += tt
            entry[3] += ct
            for caller, values in callers.items():
                edge = entry[4].setdefault(tuple(caller), [0, 0, 0.0, 0.0])
                for k in range(4):
                    edge[k] += values[k]

    def load(self, path: PathLike) -> "Stats":
        """Adds a pstats file (and the collapsed stacks beside it, when there
        are) to this; returns self."""
        with open(path, "rb") as f:
            data = marshal.load(f)
        if not isinstance(data, dict):
            raise ValueError("%s is not a pstats file" % os.fspath(path))
        self._add_pstats(data)
        base = os.fspath(path)
        if base.endswith(STATS_SUFFIX):
            collapsed = base[: -len(STATS_SUFFIX)] + COLLAPSED_SUFFIX
            if os.path.exists(collapsed):
                self._load_collapsed(collapsed)
        return self

    def _load_collapsed(self, path: str) -> None:
        with open(path, encoding="utf-8") as f:
            for line in f:
                stack, _, count = line.rstrip("\n").rpartition(" ")
                if stack and count.isdigit():
                    self._stacks[stack] += int(count)

    # -- reading ------------------------------------------------------------------

    def pstats(self) -> Dict[Func, Entry]:
        """The data as pstats holds it (what ``pstats.Stats`` loads from a file)."""
        return {func: (e[0], e[1], e[2], e[3], {c: tuple(v) for c, v in e[4].items()})
                for func, e in self._entries.items()}

    def rows(self, sort: str = "own") -> List[Row]:
        """The entries, most own time first (or by `sort`: own, total, calls, name)."""
        rows = [Row(name, file, line, e[1], e[0], e[3], e[2]) for (file, line, name), e in self._entries.items()]
        keys = {"own": lambda r: (-r.own, r.name), "total": lambda r: (-r.total, r.name),
                "calls": lambda r: (-r.calls, r.name), "name": lambda r: (r.name, r.file, r.line)}
        if sort not in keys:
            raise ValueError("sort must be one of %s, not %r" % (", ".join(keys), sort))
        return sorted(rows, key=keys[sort])

    def collapsed(self) -> List[str]:
        """The collapsed stacks: "outer;inner;innermost N" lines, N the own
        microseconds of the innermost on that path."""
        return ["%s %d" % (stack, n) for stack, n in sorted(self._stacks.items()) if n > 0]

    def dump_stats(self, path: PathLike) -> None:
        """Writes a file that ``pstats.Stats(path)`` loads (marshal, as cProfile writes)."""
        with open(path, "wb") as f:
            marshal.dump(self.pstats(), f)

    def dump_collapsed(self, path: PathLike) -> None:
        """Writes the collapsed stacks, a line each."""
        with open(path, "w", encoding="utf-8") as f:
            for line in self.collapsed():
                f.write(line + "\n")

    def to_pstats(self, stream: Optional[IO[str]] = None) -> _pstats.Stats:
        """A ``pstats.Stats`` of this data."""
        holder = _Holder(self.pstats())
        return _pstats.Stats(holder, stream=stream)  # type: ignore[arg-type]

    def print_stats(self, sort: str = "tottime", limit: Optional[int] = None,
                    file: Optional[IO[str]] = None) -> None:
        """Prints the table as cProfile does (``pstats``' columns; `sort` is
        a pstats sort key: tottime, cumulative, calls, name...)."""
        out = file if file is not None else sys.stdout
        stats = self.to_pstats(stream=out)
        stats.sort_stats(sort)
        if limit is None:
            stats.print_stats()
        else:
            stats.print_stats(limit)

    def table(self, limit: Optional[int] = 20, sort: str = "own") -> str:
        """The top entries as text: cProfile's columns, the definition's
        file:line, then the name."""
        rows = self.rows(sort)
        shown = rows[:limit] if limit is not None else rows
        lines = ["%9s %9s %9s %9s %9s  %s" % ("ncalls", "tottime", "percall", "cumtime", "percall",
                                               "filename:lineno(function)")]
        for r in shown:
            calls = str(r.calls) if r.calls == r.primitive_calls else "%d/%d" % (r.calls, r.primitive_calls)
            lines.append("%9s %9.3f %9.6f %9.3f %9.6f  %s" % (
                calls, r.own, r.own_per_call, r.total, r.total_per_call,
                _shown(r)))
        return "\n".join(lines) + "\n"


def _shown(row: Row) -> str:
    # As pstats prints a function: file:line(name), or a built-in's name in braces.
    if row.file == "~":
        return "{%s}" % row.name[1:-1] if row.name.startswith("<") and row.name.endswith(">") else row.name
    return "%s:%d(%s)" % (row.file, row.line, row.name)


class _Holder:
    # What pstats.Stats takes besides a file name: an object with create_stats().
    def __init__(self, stats: Dict[Func, Entry]) -> None:
        self.stats = stats

    def create_stats(self) -> None:
        pass


def _frame(name: str) -> str:
    # A frame of a collapsed stack holds no ";" (the separator) nor newline.
    return name.replace(";", ":").replace("\n", " ")


class Session:
    """A measuring session over any number of interpreters (each attached in
    its own thread); ``take()`` hands over what was counted since the last."""

    def __init__(self, commands: bool = False) -> None:
        self._id: Optional[int] = _backend().new_session(bool(commands))

    def attach(self, interp: Any, children: bool = False) -> bool:
        """Watches `interp` (a korvex Interpreter, tkinter.Tk or interpreter
        pointer) and the child interpreters it makes from now on; with
        `children`, those it has already too. Runs in the interpreter's
        thread; False when it is watched already."""
        if self._id is None:
            return False
        return bool(_backend().attach(self._id, interp, _child_paths(interp) if children else []))

    def detach(self, interp: Any) -> None:
        """Stops watching `interp`, ending its entries still open."""
        if self._id is not None:
            _backend().detach(self._id, interp)

    def take(self) -> Stats:
        """What was counted since the last take (entries still open count
        when they end)."""
        stats = Stats()
        if self._id is not None:
            stats._add_taken(_backend().take(self._id))
        return stats

    def pause(self) -> None:
        """From now until resume(), the entries open in this thread's
        interpreters do not count the time: it is not theirs (the caller's
        own work while Tcl waits for it inside a call, as pytest's between
        the tests of a tcltest file)."""
        if self._id is not None:
            _backend().pause(self._id)

    def resume(self) -> None:
        """Ends a pause()."""
        if self._id is not None:
            _backend().resume(self._id)

    def close(self) -> None:
        """Ends the session: interpreters not detached keep an idle trace
        until they are deleted."""
        if self._id is not None:
            _backend().close_session(self._id)
            self._id = None


def _child_paths(interp: Any) -> List[str]:
    # The paths (Tcl lists) of the child interpreters of a korvex Interpreter
    # or tkinter.Tk, at any depth.
    tk = getattr(interp, "tk", None)
    if tk is None:
        return []
    paths: List[str] = []
    todo: List[Tuple[str, ...]] = [()]
    try:
        while todo:
            path = todo.pop()
            for name in tk.splitlist(tk.call("interp", "slaves", path)):
                child = path + (str(name),)
                paths.append(str(tk.call("format", "%s", child)))
                todo.append(child)
    except Exception:  # no `interp` command here: none known
        pass
    return paths


class Profile(Stats):
    """Profiles the Tcl work of an interpreter while the block runs:
    ``with interp.profile() as prof: ...``; the data is there once it ends."""

    def __init__(self, interp: Any, commands: bool = False) -> None:
        super().__init__()
        self.interp = interp
        self.commands = commands
        self._session: Optional[Session] = None

    def start(self) -> "Profile":
        if self._session is not None:
            raise RuntimeError("this profile is running already")
        session = Session(self.commands)
        try:
            session.attach(self.interp, children=True)
        except BaseException:
            session.close()
            raise
        self._session = session
        return self

    def stop(self) -> "Profile":
        session, self._session = self._session, None
        if session is not None:
            try:
                try:
                    session.detach(self.interp)
                except Exception:  # closed meanwhile: its traces went with it
                    pass
                self.add(session.take())
            finally:
                session.close()
        return self

    def __enter__(self) -> "Profile":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def combine(paths: Iterable[PathLike]) -> Stats:
    """The sum of pstats files (with their collapsed stacks)."""
    stats = Stats()
    for path in paths:
        stats.load(path)
    return stats


def _iter_files(directory: PathLike, suffix: str) -> Iterator[str]:
    for name in sorted(os.listdir(directory)):
        if name.endswith(suffix):
            yield os.path.join(directory, name)
