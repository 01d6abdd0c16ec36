"""A whole run's Tcl profile: every interpreter made while it lasts (and the
shared one), with the files it leaves (the pytest plugin's and the
console's ``--profile``)."""

from __future__ import annotations

import os
import re
import sys
import threading
import weakref
from typing import Any, List, Optional, Tuple

from korvex.tcl.profiler import COLLAPSED_SUFFIX, STATS_SUFFIX, Session, Stats

__all__ = ["RunProfile", "write", "merge_files"]

_lock = threading.Lock()
_active: List["RunProfile"] = []
# What Interpreter._load_entrypoint was when the profiler first wrapped it.
# The wrapper stays once made (others wrap it in turn and put back what they
# found): it only stops attaching.
_next_load_entrypoint: Any = None


def _made(interp: Any) -> None:
    _next_load_entrypoint(interp)
    # A dry run that only finds what a tcltest file holds is no run of its code.
    coverage = sys.modules.get("korvex.tcl_testing.tclcoverage")
    if coverage is not None and coverage._unmeasured_here():
        return
    for run in list(_active):
        run.attach(interp)


def _watch_construction() -> None:
    global _next_load_entrypoint
    from korvex.tcl.interpreter import Interpreter

    current = Interpreter.__dict__["_load_entrypoint"]
    if _next_load_entrypoint is None:
        _next_load_entrypoint = current
    if current is _next_load_entrypoint:
        setattr(Interpreter, "_load_entrypoint", _made)


class RunProfile:
    """Profiles the shared interpreter and every Interpreter made from now on
    until finish()."""

    def __init__(self, commands: bool = False) -> None:
        from korvex.tcl.interpreter import _global_interpreter

        self.session = Session(commands)
        self.total = Stats()
        # Interpreters attached, with their threads (detached in their own).
        self._attached: "weakref.WeakKeyDictionary[Any, int]" = weakref.WeakKeyDictionary()
        with _lock:
            _watch_construction()
            _active.append(self)
        if threading.current_thread() is threading.main_thread():
            self.attach(_global_interpreter)

    def attach(self, interp: Any) -> None:
        try:
            if self.session.attach(interp):
                self._attached[interp] = threading.get_ident()
        except Exception:  # an interpreter of another thread, or closed: not profiled
            pass

    def take(self) -> Stats:
        """What was counted since the last take; added to the total too."""
        stats = self.session.take()
        self.total.add(stats)
        return stats

    def finish(self) -> Stats:
        """Stops profiling; the run's total."""
        with _lock:
            if self in _active:
                _active.remove(self)
        here = threading.get_ident()
        for interp, thread in list(self._attached.items()):
            if thread == here:
                try:
                    self.session.detach(interp)
                except Exception:  # closed meanwhile
                    pass
        self.take()
        self.session.close()
        return self.total


    def report(self, directory: str, stream: Any) -> Stats:
        """Stops profiling, writes the run's files into `directory` and the
        top 20 by own time to `stream` (the console's --profile)."""
        total = self.finish()
        stream.write(summary(total, 20))
        try:
            for path in write(total, directory, "tcl"):
                stream.write("Tcl profile written to %s\n" % path)
        except OSError as exc:
            stream.write("Tcl profile could not be written: %s\n" % exc)
        return total


def write(stats: Stats, directory: str, name: str) -> Tuple[str, str]:
    """Writes DIRECTORY/NAME.prof (pstats) and NAME.collapsed; their paths."""
    os.makedirs(directory, exist_ok=True)
    base = os.path.join(directory, name)
    stats.dump_stats(base + STATS_SUFFIX)
    stats.dump_collapsed(base + COLLAPSED_SUFFIX)
    return base + STATS_SUFFIX, base + COLLAPSED_SUFFIX


def merge_files(paths: List[str], remove: bool = False) -> Stats:
    """The sum of pstats files (and their collapsed stacks); with `remove`,
    the files are deleted once read."""
    stats = Stats()
    for path in paths:
        stats.load(path)
        if remove:
            for p in (path, path[: -len(STATS_SUFFIX)] + COLLAPSED_SUFFIX):
                try:
                    os.remove(p)
                except OSError:
                    pass
    return stats


def safe_name(text: str) -> str:
    """A file name for a test id."""
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", text).strip("_")[:150] or "test"


def summary(stats: Stats, limit: Optional[int] = 20) -> str:
    """The top entries by own time, cProfile's columns."""
    return stats.table(limit=limit, sort="own")
