"""A debugger for the Tcl that Python drives: post-mortem at the failing Tcl
frame, breakpoints and stepping in live Tcl frames, with pdb's commands at a
``(tcl-pdb)`` prompt.

- :func:`enable` turns debugging on for an interpreter: from then on each
  error it raises keeps its frames' variables as they were when it was
  raised, for :func:`post_mortem`. Off, nothing of the debugger runs in it.
- :func:`post_mortem` opens the prompt on what was kept for a TclError.
- :func:`set_break` stops the interpreter at a procedure, a method or a line
  of a file; ``::korvex::breakpoint`` stops it where Tcl calls it (see
  :func:`install`).

``pytest --tcl-pdb``, ``pytest --tcl-break LOCATION`` and ``korvex-tcl --debug
/ --break LOCATION`` use these (see the guide's "Debugging Tcl").
"""

from __future__ import annotations

import contextlib
import os
import re
import signal
import stat
import sys
import threading
import time
import weakref
TYPE_CHECKING = False
if TYPE_CHECKING:  # (typing costs a console start a few milliseconds)
    from typing import Any, Callable, Iterator, List, Optional, Set, Tuple, Union

from korvex.tcl import _debugger
from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.zelph import zelph

from . import _frames
from ._frames import Frame
from ._prompt import CONTINUE, NEXT, QUIT, RETURN, STEP, Prompt

__all__ = ["enable", "disable", "enabled", "install", "set_break", "clear_breaks", "breaks", "post_mortem", "kept",
           "Quit", "BREAKPOINT_VARIABLE"]

# As PYTHONBREAKPOINT=0 does for breakpoint(): 0 makes ::korvex::breakpoint do nothing.
BREAKPOINT_VARIABLE = "KORVEX_TCL_BREAKPOINT"

_STEP_COMMAND = "::tcl::korvex_debug_step"
_ENTER_COMMAND = "::tcl::korvex_debug_enter"
# A procedure with a breakpoint: its call is seen, then its first command
# (Tcl's step trace; a command trace made in the enter trace's script would
# not see commands that Tcl compiles inline).
_ENTER_OPS = "enter leave enterstep"
_BREAK_COMMAND = "::tcl::korvex_breakpoint"
_CHILD_COMMAND = "::tcl::korvex_debug_child"
_SOURCE_COMMAND = "::tcl::korvex_debug_source"
_SPAN_COMMAND = "::tcl::korvex_debug_span"
_DEFINED_COMMAND = "::tcl::korvex_debug_defined"
_OBJECT_COMMAND = "::tcl::korvex_debug_object"
_CLASS_COMMAND = "::tcl::korvex_debug_class"
# What makes classes (an Itcl one once the package is there) and loads packages.
_CLASS_MAKERS = ("::oo::class", "::oo::define", "::itcl::class", "::package")
_LINE_OBJECT_COMMAND = "::tcl::korvex_debug_line_object"
# What defines ::korvex::breakpoint when Tcl first calls it (auto_index).
_DEFINE = "namespace eval ::korvex {}; interp alias {} ::korvex::breakpoint {} %s" % _BREAK_COMMAND


class Quit(KeyboardInterrupt):
    """Raised by the prompt's ``quit``: ends the run, as pdb's ``q`` does."""


class _State:
    """The debugger's state for one interpreter."""

    __slots__ = ("recording", "installed", "ready", "mode", "base", "breaks", "entered", "entry", "traced",
                 "stop_requested",
                 "level", "here", "probe", "probed", "sources", "files", "names", "watching", "spans", "objects", "classes",
                 "armed", "watched", "line_classes", "families", "line_families", "line_objects", "held",
                 "__weakref__")

    def __init__(self) -> None:
        self.recording = False  # errors keep their values (enable)
        self.installed = False  # ::korvex::breakpoint is there
        self.ready = False  # the Tcl procedures and commands of the rest are there
        self.mode: Optional[str] = None  # STEP, NEXT, RETURN while stepping
        self.base = 0  # the level NEXT and RETURN compare with
        self.breaks: List["_Break"] = []  # those that need the command trace
        self.entered: List[str] = []  # procedures with an enter trace of ours
        self.entry: Optional[int] = None  # one of those called, at this level: stop at its first command
        self.traced: Optional[str] = None  # the command trace: FULL, FILTERED or None
        self.stop_requested = False  # Ctrl-C: stop at the next command
        self.level = 0  # the level of the last command traced
        self.here = ("", "", "")  # its procedure, method and class
        # A call that may reach a breakpoint: the level of the command making
        # it (every command traced until the call returns), and whether its
        # first command has been seen (the callee is then known).
        self.probe: Optional[int] = None
        self.probed = False
        self.sources: List[bool] = []  # `source` commands running: of a file with a line breakpoint
        self.files: Set[str] = set()  # files with a line breakpoint, as sourced
        self.names: Optional[List[str]] = None  # what the filtered trace wakes on (None: to be found)
        self.watching = False  # the execution traces on `source` and `proc` are there
        self.spans: List[str] = []  # procedures a line breakpoint is in, with a step trace of ours
        # Breakpoints on methods: the objects of their classes (their
        # commands and their `my`) with traces of ours, and the commands
        # that make such objects or classes, watched.
        self.objects: List[str] = []
        self.classes: List[str] = []
        self.armed = False  # a call of a method with a breakpoint began: its first command stops
        self.watched = False  # in the script of the enter or leave trace of `source`
        # Line breakpoints in TclOO methods' bodies: their classes (every
        # command of a call on their objects is looked at), the classes
        # made from those and from the classes of breakpoints on methods,
        # the objects with a step trace of ours, the (file, line) held.
        self.line_classes: List[str] = []
        self.families: Set[str] = set()
        self.line_families: Set[str] = set()
        self.line_objects: List[str] = []
        self.held: Set[Tuple[str, int]] = set()


class _Break:
    """A breakpoint: a procedure or method (`name`, and for a method the
    class) or a file and line."""

    __slots__ = ("text", "name", "cls", "path", "line")

    def __init__(self, text: str) -> None:
        self.text = text
        self.name = self.cls = self.path = ""
        self.line = 0
        found = re.fullmatch(r"(.+):(\d+)", text.strip())
        if found and not text.strip().startswith("::") and " " not in found.group(1).strip():
            self.path, self.line = found.group(1), int(found.group(2))
        else:
            words = text.split()
            if len(words) == 2:
                self.cls, self.name = words[0], words[1]
                if not self.cls.startswith("::"):
                    self.cls = "::" + self.cls
            elif len(words) == 1:
                self.name = words[0] if words[0].startswith("::") else "::" + words[0]
            else:
                raise ValueError("a breakpoint is a procedure (::ns::proc), a method (\"::Class method\") "
                                 "or FILE:LINE, not %r" % text)

    def matches_line(self, path: str, line: int) -> bool:
        return line == self.line and self.matches_file(path)

    def matches_file(self, path: str) -> bool:
        if not self.path or not path:
            return False
        if os.path.isabs(self.path):
            return os.path.normpath(self.path) == os.path.normpath(path)
        return path == self.path or path.endswith(os.sep + self.path)

    def needs_trace(self) -> bool:
        return bool(self.path or self.cls)


_states: "weakref.WeakKeyDictionary[Interpreter, _State]" = weakref.WeakKeyDictionary()
# Breakpoints set for every interpreter (set_break(None, ...)), and whether
# interpreters made from now on record their errors (enable(None)).
_global_breaks: List[_Break] = []
_everywhere = False
_lock = threading.Lock()


def _state(interp: Interpreter) -> _State:
    state = _states.get(interp)
    if state is None:
        state = _states[interp] = _State()
    return state


# -- turning it on ------------------------------------------------------------------

def install(interp: Interpreter) -> None:
    """Makes ``::korvex::breakpoint`` available in `interp` (the pytest
    plugin's and the console's interpreters have it). Tcl defines the
    command when it is first called (through its auto-loading), so that the
    interpreter's namespaces stay as Tcl makes them until then; the rest of
    the debugger's Tcl comes when it is first needed."""
    state = _state(interp)
    if state.installed:
        return
    ref = weakref.ref(interp)
    interp.createcommand(_BREAK_COMMAND, lambda *args: _breakpoint_command(ref, args))
    interp.tk.call("set", "::auto_index(::korvex::breakpoint)", _DEFINE)
    state.installed = True
    for bp in _global_breaks:
        _apply_break(interp, state, bp)


def _ready(interp: Interpreter, state: _State) -> None:
    """The debugger's procedures and commands in `interp`, once."""
    if state.ready:
        return
    ref = weakref.ref(interp)
    interp.createcommand(_STEP_COMMAND, lambda command="": _step_command(ref, command))
    interp.createcommand(_ENTER_COMMAND, lambda *args: _enter_command(ref, args))
    interp.createcommand(_CHILD_COMMAND, lambda *args: _child_command(ref, args))
    interp.createcommand(_SOURCE_COMMAND, lambda *args: _source_command(ref, args))
    interp.createcommand(_SPAN_COMMAND, lambda *args: _span_command(ref, args))
    interp.createcommand(_DEFINED_COMMAND, lambda *args: _defined_command(ref, args))
    interp.createcommand(_OBJECT_COMMAND, lambda *args: _object_command(ref, args))
    interp.createcommand(_CLASS_COMMAND, lambda *args: _class_command(ref, args))
    interp.createcommand(_LINE_OBJECT_COMMAND, lambda *args: _line_object_command(ref, args))
    interp.tk.eval(_frames.SCRIPT)
    interp.tk.eval(_SPANS_SCRIPT)
    state.ready = True


def enable(interp: Optional[Interpreter] = None) -> None:
    """Turns debugging on for `interp`: each error it raises from now on keeps
    its frames' variables as they were (for :func:`post_mortem`), and Ctrl-C
    while its Tcl runs stops at the prompt. None: for every interpreter the
    pytest plugin or the console makes from now on, and the shared one."""
    global _everywhere
    if interp is None:
        _everywhere = True
        from korvex.tcl.interpreter import _global_interpreter

        interp = _global_interpreter
    install(interp)
    state = _state(interp)
    _ready(interp, state)
    if not state.recording:
        interp.tk.eval("trace add variable ::errorInfo write ::tcl::KorvexDebugRaised; "
                       "trace add execution ::interp leave %s" % _CHILD_COMMAND)
        state.recording = True
    _watch_interrupts()


def disable(interp: Optional[Interpreter] = None) -> None:
    """Turns recording off again (for every interpreter when None)."""
    global _everywhere, _interrupt_handler
    targets = [interp] if interp is not None else list(_states)
    if interp is None:
        _everywhere = False
        handler: Any = _interrupt_handler
        _interrupt_handler = None
        if handler is not None and threading.current_thread() is threading.main_thread() \
                and signal.getsignal(signal.SIGINT) is handler:
            signal.signal(signal.SIGINT, getattr(handler, "korvex_previous"))
    for target in targets:
        state = _states.get(target)
        if state is None or not state.recording:
            continue
        try:
            target.tk.eval("trace remove variable ::errorInfo write ::tcl::KorvexDebugRaised; "
                           "trace remove execution ::interp leave %s; "
                           "unset -nocomplain ::tcl::KorvexDebug(raised)" % _CHILD_COMMAND)
        except TclError:  # closed
            pass
        state.recording = False


def enabled(interp: Optional[Interpreter] = None) -> bool:
    """Whether debugging is on (for `interp`, or for new interpreters)."""
    if interp is None:
        return _everywhere
    state = _states.get(interp)
    return bool(state and state.recording)


def adopt(interp: Interpreter) -> None:
    """For the pytest plugin and the console: an interpreter they made gets
    ``::korvex::breakpoint``, and is debugged when debugging is on everywhere."""
    try:
        install(interp)
        if _everywhere:
            enable(interp)
    except (TclError, RuntimeError):  # closed, another thread's: nothing to debug there
        pass


# -- breakpoints ---------------------------------------------------------------------

def set_break(interp: Optional[Interpreter], location: str) -> None:
    """Stops `interp` (None: every interpreter the debugger knows, and those
    it gets from now on) at `location`: a procedure (``::acme::log``), a method
    as the traceback names it (``"::acme::Order close"``) or ``file.tcl:LINE``
    (a path, or its end). Raises ValueError for a location of another shape."""
    bp = _Break(location)
    if interp is not None:
        install(interp)
        _apply_break(interp, _state(interp), bp)
        return
    _global_breaks.append(bp)
    for target in list(_states):
        try:
            _apply_break(target, _state(target), bp)
        except (TclError, RuntimeError):  # closed, another thread's
            pass


def _apply_break(interp: Interpreter, state: _State, bp: _Break) -> None:
    state.names = None
    tk = interp.tk
    if bp.path or bp.cls:
        if bp not in state.breaks:
            state.breaks.append(bp)
        if bp.path:
            _find_spans(interp, state, bp)
            _watch_classes(interp, state)
            _find_method_spans(interp, state, [str(c) for c in interp.tk.splitlist(
                interp.tk.call("::tcl::KorvexDebugClasses", "::oo::object"))])
        else:
            _watch_classes(interp, state)
        _update_trace(interp, state)
        return
    if bp.name in state.entered:
        return
    if tk.call("info", "commands", bp.name) or tk.call("info", "procs", bp.name):
        _enter_trace(interp, state, bp.name)
    else:
        # Not defined yet: its `proc` will be seen.
        if bp not in state.breaks:
            state.breaks.append(bp)
        _update_trace(interp, state)


def _enter_trace(interp: Interpreter, state: _State, name: str) -> None:
    _ready(interp, state)
    interp.tk.call("trace", "add", "execution", name, _ENTER_OPS, _ENTER_COMMAND)
    state.entered.append(name)


def clear_breaks(interp: Optional[Interpreter] = None) -> None:
    """Removes the breakpoints of `interp` (None: of every interpreter)."""
    targets = [interp] if interp is not None else list(_states)
    if interp is None:
        _global_breaks.clear()
    for target in targets:
        state = _states.get(target)
        if state is None:
            continue
        for name in state.entered:
            _untrace(target, name, _ENTER_OPS, _ENTER_COMMAND)
        for name in state.spans:
            _untrace(target, name, "enterstep", _SPAN_COMMAND)
        for name in state.objects:
            _untrace(target, name, "enter enterstep", _OBJECT_COMMAND)
        for name in state.classes:
            _untrace(target, name, "leave", _CLASS_COMMAND)
        for name in state.line_objects:
            _untrace(target, name, "enterstep", _LINE_OBJECT_COMMAND)
        for kept in (state.objects, state.classes, state.line_objects, state.line_classes):
            kept.clear()
        for found in (state.families, state.line_families, state.held):
            found.clear()
        state.entered.clear()
        state.spans.clear()
        state.breaks.clear()
        state.names = None
        state.probe = None
        state.entry = None
        state.armed = False
        try:
            _update_trace(target, state)
        except (TclError, RuntimeError):
            pass


def _untrace(interp: Interpreter, name: str, ops: str, command: str) -> None:
    try:
        interp.tk.call("trace", "remove", "execution", name, ops, command)
    except TclError:  # gone, or the interpreter closed
        pass


def breaks(interp: Optional[Interpreter] = None) -> List[str]:
    """The locations of the breakpoints set (for `interp`, with those of every interpreter)."""
    found = [bp.text for bp in _global_breaks]
    state = _states.get(interp) if interp is not None else None
    if state is not None:
        found += [bp.text for bp in state.breaks if bp not in _global_breaks]
        found += [name for name in state.entered if name not in found]
    return found


FULL, FILTERED = "full", "filtered"


def _update_trace(interp: Interpreter, state: _State) -> None:
    """The command trace is on exactly while it is needed. FULL (every
    command, nothing compiled inline) while stepping, while a Ctrl-C waits
    for the next command, while a call that may reach a breakpoint runs (a
    procedure a line breakpoint is in: its enter and leave traces say so),
    or while a file with a line breakpoint is sourced. FILTERED while a
    breakpoint on a method (or on a line no procedure holds, in a file that
    defines methods) is set: Tcl keeps its compiled code, and only commands
    whose first or second word ends in a name of what such a breakpoint may
    be in call the debugger (the rest cost a lookup in C). Else none."""
    if state.names is None and state.breaks:
        state.names = _wake_names(interp, state)
    _debugger.sweep(interp)
    # No step trace of Tcl's can be about (none of ours asks for one): a
    # trace of ours replaced or ended may go at once.
    alone = not (state.spans or state.entered or state.objects or state.line_objects)
    wanted: Optional[str] = None
    if state.mode or state.stop_requested or (state.breaks and (state.probe is not None or any(state.sources))):
        wanted = FULL
    elif state.breaks and state.names:
        wanted = FILTERED
    if wanted == FILTERED and state.traced != FILTERED:
        _ready(interp, state)
        _debugger.start(interp, _STEP_COMMAND, state.names, False, alone)
    elif wanted == FULL and state.traced != FULL:
        _ready(interp, state)
        _debugger.start(interp, _STEP_COMMAND, None, state.watched, alone)
    elif wanted is None and state.traced:
        _debugger.stop(interp, alone)
    state.traced = wanted
    if not wanted:
        state.probe = None
    # `source` of a file with a line breakpoint (its top-level code is
    # traced) and `proc` (a procedure a breakpoint is in, defined later).
    watch = any(bp.path or not bp.cls for bp in state.breaks)
    if watch != state.watching:
        _ready(interp, state)
        verb = "add" if watch else "remove"
        interp.tk.eval("trace %s execution ::source {enter leave} %s; trace %s execution ::proc leave %s"
                       % (verb, _SOURCE_COMMAND, verb, _DEFINED_COMMAND))
        state.watching = watch
        if not watch:
            state.sources.clear()


# What a file defines that a call may reach, besides procedures (their step
# traces see them): methods (their last name), constructors and destructors
# (through the commands that run them), lambdas.
_DEFINES = re.compile(r"(?:^|[\s;{\[])(?:method|body)\s+(\{[^{}]*\}|[^\s{}\[\];]+)")
_CLASSES = re.compile(r"(?:\bclass\s+create|\bitcl::class|^\s*class)\s+([^\s{}\[\];]+)", re.M)
_METHODS = re.compile(r"\b(?:method|constructor|destructor|body)\b")


def _defined_in(text: str) -> Set[str]:
    names = {_tail(found.group(1).strip("{}")) for found in _DEFINES.finditer(text)}
    if re.search(r"\bconstructor\b", text):
        names |= {"new", "create", "createWithNamespace"}
        names |= {_tail(found.group(1)) for found in _CLASSES.finditer(text)}
    if re.search(r"\bdestructor\b", text):
        names |= {"destroy", "rename", "delete"}
    if re.search(r"\bmethod\b", text):
        names |= {"next", "nextto"}
    if re.search(r"\bapply\b", text):
        names.add("apply")
    names.discard("")
    return names


def _tail(name: str) -> str:
    return name.rsplit("::", 1)[-1]


def _wake_names(interp: Interpreter, state: _State) -> List[str]:
    """What the filtered trace wakes on: for a line that no procedure holds
    in a file that defines methods, everything the file defines (a
    method's body may hold it); the methods of breakpoints on Itcl classes
    (whose objects made later are not seen by the trace of their class)."""
    names: Set[str] = set()
    itcl = any(bp.cls for bp in state.breaks) and int(interp.tk.eval("namespace exists ::itcl"))
    for bp in state.breaks:
        if bp.cls and itcl and _itcl_class(interp, bp.cls):
            names.add(_tail(bp.name))
    held = _held_lines(interp, state)
    for path in state.files:
        lines = [bp for bp in state.breaks if bp.matches_file(path) and (path, bp.line) not in held]
        if not lines:
            continue
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        if _METHODS.search(text):
            names |= _defined_in(text)
    return sorted(names)


def _itcl_class(interp: Interpreter, cls: str) -> bool:
    try:
        return bool(int(interp.tk.call("::itcl::is", "class", cls)))
    except TclError:
        return False


def _held_lines(interp: Interpreter, state: _State) -> Set[Tuple[str, int]]:
    """(file, line) of the line breakpoints that a procedure traced holds."""
    held: Set[Tuple[str, int]] = set()
    for name in state.spans:
        span = _span(interp, name)
        if span is None:
            continue
        path, first, last = span
        held |= {(path, bp.line) for bp in state.breaks if first <= bp.line <= last and bp.matches_file(path)}
    return held | state.held


# ::tcl::KorvexDebugSpan PROC: {file first last} of a procedure's body as
# defined from a file, or {} (its first line is the one it starts on).
# ::tcl::KorvexDebugSpans NS: {proc file first last ...} of every procedure
# in NS and the namespaces in it defined from a file.
_SPANS_SCRIPT = r"""
proc ::tcl::KorvexDebugSpan {p} {
    if {[catch {::tcl::unsupported::getbytecode proc $p} bc] || ![dict exists $bc sourcefile]} {return {}}
    set first [dict get $bc initiallinenumber]
    list [dict get $bc sourcefile] $first [expr {$first + [regexp -all {\n} [info body $p]]}]
}
proc ::tcl::KorvexDebugSpans {ns} {
    set spans {}
    foreach p [::info procs [string trimright $ns :]::*] {
        set span [::tcl::KorvexDebugSpan $p]
        if {$span ne {}} {lappend spans $p {*}$span}
    }
    foreach child [namespace children $ns] {
        lappend spans {*}[::tcl::KorvexDebugSpans $child]
    }
    return $spans
}
"""


def _span(interp: Interpreter, name: str) -> Optional[Tuple[str, int, int]]:
    tk = interp.tk
    try:
        found = [str(word) for word in tk.splitlist(tk.call("::tcl::KorvexDebugSpan", name))]
    except TclError:
        return None
    return (found[0], int(found[1]), int(found[2])) if len(found) == 3 else None


def _find_spans(interp: Interpreter, state: _State, bp: _Break) -> None:
    """A line breakpoint's file (the path given, where it exists) and the
    procedures defined so far whose body holds its line: those get enter
    and leave traces (the command trace is full while they run)."""
    if os.path.isfile(bp.path):
        state.files.add(os.path.abspath(bp.path))
    _ready(interp, state)
    tk = interp.tk
    try:
        words = [str(word) for word in tk.splitlist(tk.call("::tcl::KorvexDebugSpans", "::"))]
    except TclError:
        return
    for i in range(0, len(words) - 3, 4):
        name, path, first, last = words[i], words[i + 1], int(words[i + 2]), int(words[i + 3])
        if bp.matches_file(path):
            state.files.add(path)
            if first <= bp.line <= last:
                _span_trace(interp, state, name)


def _span_trace(interp: Interpreter, state: _State, name: str) -> None:
    _ready(interp, state)
    tk = interp.tk
    if name in state.spans:  # (a procedure defined again has no traces)
        _untrace(interp, name, "enterstep", _SPAN_COMMAND)
    else:
        state.spans.append(name)
    tk.call("trace", "add", "execution", name, "enterstep", _SPAN_COMMAND)
    state.names = None


@contextlib.contextmanager
def running_file(interp: Interpreter, path: str) -> Iterator[None]:
    """Around the evaluation of the file at `path` by other means than Tcl's
    ``source`` (the console's script): its top-level code is traced while a
    line breakpoint is set in it."""
    state = _states.get(interp)
    if state is None or not any(bp.path for bp in state.breaks):
        yield
        return
    _entering(interp, state, path)
    try:
        yield
    finally:
        _leaving(interp, state)


def _entering(interp: Interpreter, state: _State, path: str) -> None:
    full = os.path.abspath(path)
    hit = any(bp.matches_file(path) or bp.matches_file(full) for bp in state.breaks)
    if hit and full not in state.files:
        state.files.add(full)
        state.names = None
    state.sources.append(hit)
    if hit:
        _update_trace(interp, state)


def _leaving(interp: Interpreter, state: _State) -> None:
    if state.sources and state.sources.pop():
        _update_trace(interp, state)


# -- the commands Tcl calls ------------------------------------------------------

def _enter_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The traces of a procedure with a breakpoint: stop at the first command
    # of its body.
    interp = ref()
    if interp is None or not args:
        return ""
    state = _state(interp)
    op = str(args[-1])
    if op == "enterstep":
        if state.entry is None or state.traced == FULL:  # (the command trace sees it)
            return ""
        return _step_command(ref, str(args[0]), True)
    level = int(interp.tk.eval("info level"))
    if op == "leave":
        if state.entry is not None and level <= state.entry:
            state.entry = None
    elif state.entry is None and _may_prompt():
        state.entry = level
    return ""


# ::tcl::KorvexDebugClasses CLASS: the class and the classes made from it
# (subclasses, at any depth); {} when there is no such class.
_CLASSES_SCRIPT = r"""
proc ::tcl::KorvexDebugClasses {cls} {
    if {![::info object isa class $cls]} {return {}}
    set all [list $cls]
    foreach sub [::info class subclasses $cls] {
        lappend all {*}[::tcl::KorvexDebugClasses $sub]
    }
    lsort -unique $all
}
# ::tcl::KorvexDebugMethodSpans CLASSES: {class method file first last ...}
# of the methods those classes define from a file.
proc ::tcl::KorvexDebugMethodSpans {classes} {
    set out {}
    foreach c $classes {
        if {[catch {::info class methods $c -private} methods]} continue
        foreach m $methods {
            if {[catch {
                set bc [::tcl::unsupported::getbytecode method $c $m]
                set body [lindex [::info class definition $c $m] 1]
            }] || ![dict exists $bc sourcefile]} continue
            set first [dict get $bc initiallinenumber]
            lappend out $c $m [dict get $bc sourcefile] $first [expr {$first + [regexp -all {\n} $body]}]
        }
    }
    return $out
}
"""


def _watch_classes(interp: Interpreter, state: _State) -> None:
    """For the breakpoints on methods: traces on the objects of their classes
    (so a call of the method is seen; nothing else runs the debugger) and on
    the commands of those classes (objects made later), and on what makes
    classes (subclasses made later) and loads packages (Itcl)."""
    _ready(interp, state)
    tk = interp.tk
    if not int(tk.eval("llength [info procs ::tcl::KorvexDebugClasses]")):
        tk.eval(_CLASSES_SCRIPT)
    for maker in _CLASS_MAKERS:
        if maker not in state.classes and tk.call("info", "commands", maker):
            tk.call("trace", "add", "execution", maker, "leave", _CLASS_COMMAND)
            state.classes.append(maker)
    roots = [(bp.cls, False) for bp in state.breaks if bp.cls] + [(cls, True) for cls in state.line_classes]
    for root, line in roots:
        for cls in tk.splitlist(tk.call("::tcl::KorvexDebugClasses", root)):
            cls = str(cls)
            family = state.line_families if line else state.families
            if cls in family:
                continue
            family.add(cls)
            if cls not in state.classes:
                tk.call("trace", "add", "execution", cls, "leave", _CLASS_COMMAND)
                state.classes.append(cls)
            for obj in tk.splitlist(tk.call("info", "class", "instances", cls)):
                (_trace_line_object if line else _trace_object)(interp, state, str(obj))


def _trace_line_object(interp: Interpreter, state: _State, obj: str) -> None:
    tk = interp.tk
    for name in (obj, str(tk.call("info", "object", "namespace", obj)) + "::my"):
        if name not in state.line_objects:
            tk.call("trace", "add", "execution", name, "enterstep", _LINE_OBJECT_COMMAND)
            state.line_objects.append(name)


def _find_method_spans(interp: Interpreter, state: _State, classes: List[str]) -> None:
    """The TclOO methods of `classes` whose body holds a line breakpoint:
    their classes' objects get step traces."""
    tk = interp.tk
    if not int(tk.eval("llength [info procs ::tcl::KorvexDebugMethodSpans]")):
        tk.eval(_CLASSES_SCRIPT)
    words = [str(word) for word in tk.splitlist(tk.call("::tcl::KorvexDebugMethodSpans", classes))]
    found = False
    for i in range(0, len(words) - 4, 5):
        cls, path, first, last = words[i], words[i + 2], int(words[i + 3]), int(words[i + 4])
        held = {(path, bp.line) for bp in state.breaks if bp.path and first <= bp.line <= last and bp.matches_file(path)}
        if held:
            state.held |= held
            state.names = None
            if cls not in state.line_classes:
                state.line_classes.append(cls)
                found = True
    if found:
        _watch_classes(interp, state)


def _line_object_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The step trace of an object whose class has a method holding a line
    # breakpoint: each command of a call on it.
    interp = ref()
    if interp is None or not args:
        return ""
    _debugger.sweep(interp)  # (a trace of ours ended while it ran: out of it now)
    if _state(interp).traced == FULL:  # (the command trace sees them)
        return ""
    return _step_command(ref, str(args[0]), True)


def _trace_object(interp: Interpreter, state: _State, obj: str) -> None:
    tk = interp.tk
    for name in (obj, str(tk.call("info", "object", "namespace", obj)) + "::my"):
        if name not in state.objects:
            tk.call("trace", "add", "execution", name, "enter enterstep", _OBJECT_COMMAND)
            state.objects.append(name)


def _class_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The leave trace of a class of a breakpoint's method (an object made),
    # of oo::class or itcl::class (a class made) and of package (Itcl loaded).
    interp = ref()
    if interp is None or len(args) < 3 or str(args[1]) != "0":
        return ""
    state = _state(interp)
    tk = interp.tk
    try:
        # The object made: the result, or (Itcl's `Class name`, whose trace
        # sees no result) a word of the command.
        words = [str(word) for word in tk.splitlist(args[0])]
        for made in [str(args[2])] + words[1:3]:
            # (Run where the command ran: a name made relative to its namespace.)
            name = str(tk.eval(zelph(["namespace", "which", "-command", made]))) if made else ""
            if name and int(tk.call("info", "object", "isa", "object", name)) \
                    and not int(tk.call("info", "object", "isa", "class", name)):
                cls = str(tk.call("info", "object", "class", name))
                if cls in state.families:
                    _trace_object(interp, state, name)
                if cls in state.line_families:
                    _trace_line_object(interp, state, name)
                return ""
            if name and int(tk.call("info", "object", "isa", "class", name)) and any(bp.path for bp in state.breaks):
                _find_method_spans(interp, state, [name])  # (a class made or defined further)
        _watch_classes(interp, state)
        state.names = None  # (an Itcl class made)
        _update_trace(interp, state)
    except TclError:
        pass
    return ""


def _object_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The traces of an object of a class with a breakpoint on a method:
    # `enter` for each call on it (through its command or `my`), `enterstep`
    # for each command such a call runs.
    interp = ref()
    if interp is None or len(args) < 2:
        return ""
    state = _state(interp)
    _debugger.sweep(interp)
    command, op = str(args[0]), str(args[-1])
    methods = {bp.name for bp in state.breaks if bp.cls}
    if op == "enter":
        words = command.split(None, 2)
        if len(words) > 1 and _tail(words[1]) in methods and _may_prompt():
            # The next command seen is the method's first: stopped at when
            # it is the breakpoint's (its class), see _at_break.
            state.armed = True
            state.level = int(interp.tk.eval("info level"))
            state.here = ("", "", "")
        return ""
    if not state.armed or state.traced == FULL:  # (the command trace sees them)
        return ""
    state.armed = False
    result = _step_command(ref, command, True)
    # What may enter the method next: next, nextto, an Itcl method called by its name.
    words = command.split(None, 2)
    if words and (words[0] in ("next", "nextto", "my") or _tail(words[0]) in methods
                  or (len(words) > 1 and _tail(words[1]) in methods)):
        state.armed = True
    return result


def _span_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The enterstep trace of a procedure a line breakpoint is in: Tcl calls
    # it before each command of a call of it (and of what that calls).
    interp = ref()
    if interp is None or not args:
        return ""
    _debugger.sweep(interp)  # (a trace of ours ended while it ran: out of it now)
    if _state(interp).traced == FULL:  # (the command trace sees them)
        return ""
    return _step_command(ref, str(args[0]), True)


def _defined_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The leave trace of `proc` while a breakpoint may be in a procedure
    # not defined yet: one named by a breakpoint, or one in a file with a
    # line breakpoint.
    interp = ref()
    if interp is None or len(args) < 2 or str(args[1]) != "0":
        return ""
    state = _state(interp)
    tk = interp.tk
    try:
        words = tk.splitlist(args[0])
        if len(words) != 4:
            return ""
        name = str(tk.eval(zelph(["namespace", "which", "-command", str(words[1])])))
        if not name:
            return ""
        for bp in list(state.breaks):
            if not bp.path and not bp.cls and bp.name == name:
                state.breaks.remove(bp)
                if name not in state.entered:
                    _enter_trace(interp, state, name)
                _update_trace(interp, state)
        script = str(tk.eval("info script"))
        if not script or not any(bp.path and (bp.matches_file(script) or bp.matches_file(os.path.abspath(script)))
                                 for bp in state.breaks):
            return ""
        span = _span(interp, name)
        if span is not None and any(bp.path and span[1] <= bp.line <= span[2] and bp.matches_file(span[0])
                                    for bp in state.breaks):
            _span_trace(interp, state, name)
    except TclError:
        pass
    return ""


def _source_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # The execution trace on `source` while a line breakpoint is set.
    interp = ref()
    if interp is None or not args:
        return ""
    state = _state(interp)
    state.watched = True
    try:
        if str(args[-1]) == "enter":
            words = interp.tk.splitlist(args[0])
            _entering(interp, state, str(words[-1]) if len(words) > 1 else "")
        else:
            _leaving(interp, state)
    finally:
        state.watched = False
    return ""


def _wakes(state: _State, command: str) -> bool:
    """What the filtered trace does in C, on the command's text."""
    names = state.names or ()
    return any(_tail(word) in names for word in command.split(None, 2)[:2])


def _step_command(ref: "weakref.ref[Interpreter]", command: str, stepped: bool = False) -> str:
    # `stepped`: from Tcl's step trace of a procedure (not the command trace).
    interp = ref()
    if interp is None:
        return ""
    state = _state(interp)
    tk = interp.tk
    try:
        # (A step trace's script is one frame more.)
        level, path, line, proc, method, cls = tk.splitlist(tk.eval("::tcl::KorvexDebugHere %d" % (2 + stepped)))
    except (TclError, ValueError):
        return ""
    level = int(level)
    # (TclOO's next runs the next method at the level it is called from.)
    here = (str(proc), str(method), str(cls))
    entered = level > state.level or (level == state.level and here != state.here)
    state.level, state.here = level, here
    if state.traced == FILTERED and not stepped:
        # A command that may call what a breakpoint is in: every command
        # until it returns.
        state.probe, state.probed = level, False
        _update_trace(interp, state)
        return ""
    if state.probe is not None and not stepped:
        probing = state.probe
        if level <= state.probe:  # the call has returned (or called nothing)
            state.probe = None
        elif not state.probed:
            # The callee's first command: followed on only when it is in a
            # file with a line breakpoint (its calls wake the trace again).
            state.probed = True
            if not any(bp.path and bp.matches_file(str(path)) for bp in state.breaks) or (proc and not method):
                state.probe = None  # (a procedure: its step trace, if a breakpoint is in it)
        if state.probe is None and _wakes(state, command):  # (what the filtered trace would have done)
            state.probe, state.probed = level, False
        if state.probe is None and probing is not None:
            _update_trace(interp, state)
    if _library(str(proc)):
        return ""  # Tcl's own procedures (unknown, auto_load, ...) are stepped over
    stop = state.stop_requested or state.mode == STEP
    if state.entry is not None and level > state.entry:
        stop, state.entry = True, None  # the first command of a procedure with a breakpoint
    if not stop and state.mode in (NEXT, RETURN):
        stop = level <= state.base if state.mode == NEXT else level < state.base
    if not stop and state.breaks:
        stop = _at_break(state, str(path), int(line or 0), str(proc), str(method), str(cls), entered)
    if not stop:
        return ""
    state.stop_requested = False
    state.mode = None
    if not _may_prompt():
        _update_trace(interp, state)
        return ""
    frames = _frames.live(interp, drop=1 + 2 * stepped)
    # The command about to run has the frame it runs in: its text is the one Tcl hands the trace.
    if frames:
        innermost = frames[-1]
        if not stepped:  # (a step trace's text is the command with its words substituted: the frame's is kept)
            innermost.command = command
        if innermost.path and innermost.line > 0:  # (where the frame's command has a line of its own)
            innermost.line = _frames._line_within(innermost.path, innermost.line, 0, command)
    _stop_at(interp, state, frames)
    return ""


def _library(proc: str) -> bool:
    return proc in ("::unknown", "::auto_load", "::auto_load_index", "::auto_qualify", "::auto_import") or \
        proc.startswith(("::tcl::", "::korvex::"))


def _at_break(state: _State, path: str, line: int, proc: str, method: str, cls: str, entered: bool) -> bool:
    """Whether the command about to run is at a breakpoint: on its line, or
    the first command of a call of its procedure or method."""
    for bp in state.breaks:
        if bp.path:
            if bp.matches_line(path, line):
                return True
        elif entered and bp.name == (method if bp.cls else proc) and (not bp.cls or bp.cls == cls):
            return True
    return False


def _breakpoint_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    interp = ref()
    if interp is None or not _may_prompt():
        return ""
    state = _state(interp)
    _ready(interp, state)
    if args:  # from a child interpreter (its path), through the alias made in it
        child = str(args[0])
        tk = interp.tk

        def run(script: str) -> Any:
            return tk.eval(zelph(["interp", "eval", child, script]))

        if not int(run("llength [info procs ::tcl::KorvexDebugFrames]")):
            run(_frames.SCRIPT)
        frames = _frames.parse(_frames.splitter(tk), run("::tcl::KorvexDebugFrames 0 1 0 1"), False)
        with _prompting(interp):
            action = Prompt(interp, frames, live=True, child=child).run()
        if action == QUIT:
            raise Quit("quit the Tcl debugger")
        return ""
    _stop_at(interp, state, _frames.live(interp))
    return ""


def _child_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # A leave trace of `interp` while debugging is on: a child made with
    # `interp create` gets ::korvex::breakpoint, whose prompt shows the
    # child's frames.
    interp = ref()
    if interp is None or len(args) < 3 or str(args[1]) != "0":
        return ""
    tk = interp.tk
    try:
        words = tk.splitlist(args[0])
        if len(words) < 2 or str(words[1]) != "create":
            return ""
        child = str(args[2])
        tk.call("interp", "alias", child, _BREAK_COMMAND, "", _BREAK_COMMAND, child)
        tk.call("interp", "eval", child, zelph(["set", "::auto_index(::korvex::breakpoint)", _DEFINE]))
    except TclError:  # a safe child, or one gone: no breakpoint there
        pass
    return ""


def _stop_at(interp: Interpreter, state: _State, frames: List[Frame], header: str = "") -> None:
    """The live prompt; what it ends with sets how the run goes on."""
    with _prompting(interp):
        action = Prompt(interp, frames, live=True).run(header)
    if action == QUIT:
        state.mode = None
        clear_breaks(interp)
        _update_trace(interp, state)
        raise Quit("quit the Tcl debugger")
    if action in (STEP, NEXT, RETURN):
        state.mode = action
        state.base = frames[-1].level if frames else 0
    else:
        state.mode = None
    _update_trace(interp, state)


# -- post-mortem ----------------------------------------------------------------------

def kept(exc: Union[BaseException, str], interpreters: Any = ()) -> Optional[Tuple[Interpreter, str, List[Frame]]]:
    """What an interpreter kept of the TclError `exc` (or of the errorInfo
    text given instead): (interpreter, errorInfo, frames); None when
    debugging was off where it was raised."""
    info = exc if isinstance(exc, str) else getattr(exc, "errorinfo", None)
    if not isinstance(info, str) or not info:
        info = str(exc)  # a TclError whose text is Tcl's errorInfo (as tclsh prints it)
    if not info:
        return None
    candidates = list(interpreters) + [i for i in list(_states) if i not in interpreters]
    for interp in candidates:
        state = _states.get(interp)
        if state is None or not state.recording:
            continue
        found = _frames.kept_for(interp, info)
        if found is not None:
            return interp, info, found[1]
    return None


def post_mortem(exc: Union[BaseException, str], interpreters: Any = ()) -> Optional[str]:
    """Opens the prompt on the frames of the TclError `exc` as they were when
    it was raised (as pdb.post_mortem does for a traceback). The interpreter
    that raised it must have had debugging on then (:func:`enable`); those
    in `interpreters` are looked at first. `exc` may also be the error's
    errorInfo text (as tcltest reports it). Returns
    "continue" or raises :class:`Quit`; None (and says why on stdout) when
    nothing was kept for `exc`."""
    found = kept(exc, interpreters)
    if found is None:
        sys.stdout.write("tcl-pdb: nothing was kept of this error (debugging was off where it was raised: "
                         "korvex.tcl.debugger.enable)\n")
        sys.stdout.flush()
        return None
    interp, info, frames = found
    message = info.split("\n", 1)[0]
    with _prompting(interp):
        action = Prompt(interp, frames, live=False).run("Tcl error: %s" % message)
    if action == QUIT:
        raise Quit("quit the Tcl debugger")
    return action


# -- the terminal, capture, time limits -----------------------------------------------

def _may_prompt() -> bool:
    """Whether a breakpoint opens the prompt: not when KORVEX_TCL_BREAKPOINT
    is 0, in a pytest-xdist worker, or when standard input is empty or at
    its end."""
    if os.environ.get(BREAKPOINT_VARIABLE, "").strip() == "0" or os.environ.get("PYTEST_XDIST_WORKER"):
        return False
    with _captured_stdin_released():
        return _stdin_readable()


_stdin_ended = False


def _stdin_readable() -> bool:
    global _stdin_ended
    if _stdin_ended:
        return False
    try:
        if os.isatty(0):
            return True
        mode = os.fstat(0).st_mode
    except OSError:
        return False
    if stat.S_ISCHR(mode):  # /dev/null and friends: never anything to read
        _stdin_ended = True
        return False
    if stat.S_ISREG(mode):
        try:
            readable = os.lseek(0, 0, os.SEEK_CUR) < os.fstat(0).st_size
        except OSError:
            readable = False
        _stdin_ended = not readable
        return readable
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        import select

        ready, _, _ = select.select([0], [], [], 0)
        if not ready:
            return True  # a pipe whose writer has not written yet: the prompt waits
        # Data or its end: the end shows as readable too. Peek where possible.
        try:
            import socket

            if stat.S_ISSOCK(mode):
                sock = socket.socket(fileno=os.dup(0))
                try:
                    return bool(sock.recv(1, socket.MSG_PEEK))
                finally:
                    sock.close()
        except OSError:
            return False
        import fcntl
        import termios
        import array

        buf = array.array("i", [0])
        try:
            fcntl.ioctl(0, termios.FIONREAD, buf, True)
        except OSError:
            return True
        if buf[0] == 0:
            _stdin_ended = True  # readable with nothing in it: the writer closed it
            return False
        return True
    return True


def _pytest_capture() -> Any:
    """pytest's capture manager while a pytest run is in this process, else None."""
    plugin = sys.modules.get("korvex.tcl_testing.pytest_plugin")
    configs = getattr(plugin, "_configs", None)
    if not configs:
        return None
    return configs[-1].pluginmanager.getplugin("capturemanager")


@contextlib.contextmanager
def _captured_stdin_released() -> Iterator[None]:
    capman = _pytest_capture()
    if capman is None or not capman.is_globally_capturing():
        yield
        return
    capman.suspend_global_capture(in_=True)
    try:
        yield
    finally:
        capman.resume_global_capture()


# Functions that hold time limits off while the prompt waits and put them
# back after (the tcltest runner's watchdog adds its own).
_holds: List[Callable[[], Callable[[], None]]] = []


def add_hold(hold: Callable[[], Callable[[], None]]) -> None:
    """`hold()` is called when a prompt opens; what it returns, when it closes."""
    _holds.append(hold)


_HELD = 1e7  # seconds a deadline moves while the prompt waits


@contextlib.contextmanager
def _prompting(interp: Interpreter) -> Iterator[None]:
    """Around a prompt: pytest's capture suspended (as for pdb), time limits
    held off (the interpreter's deadlines, the tcltest runner's watchdog, a
    SIGALRM timer as pytest-timeout's), Ctrl-C raising KeyboardInterrupt."""
    started = time.monotonic()
    undo = [hold() for hold in _holds]  # (before pytest's capture: they may hold descriptors of it)
    capman = _pytest_capture()
    capturing = capman is not None and capman.is_globally_capturing()
    if capturing:
        capman.suspend_global_capture(in_=True)
        out, err = capman.read_global_capture()
        sys.stdout.write(out)
        sys.stderr.write(err)
    sys.stdout.write("\n")
    try:
        _debugger.shift_deadlines(interp, _HELD)
    except Exception:
        pass
    alarm: Optional[Tuple[float, float]] = None
    if hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread():
        alarm = signal.setitimer(signal.ITIMER_REAL, 0)
    # pytest-timeout's own switch for a debugger at work (what its pytest_enter_pdb sets).
    timeout_plugin = sys.modules.get("pytest_timeout")
    suppressed = getattr(timeout_plugin, "SUPPRESS_TIMEOUT", None)
    if timeout_plugin is not None and suppressed is not None:
        setattr(timeout_plugin, "SUPPRESS_TIMEOUT", True)
    handler: Any = None
    if threading.current_thread() is threading.main_thread():
        handler = signal.getsignal(signal.SIGINT)
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        if handler is not None:
            signal.signal(signal.SIGINT, handler)
        if timeout_plugin is not None and suppressed is not None:
            setattr(timeout_plugin, "SUPPRESS_TIMEOUT", suppressed)
        waited = time.monotonic() - started
        if alarm is not None and alarm[0] > 0:
            signal.setitimer(signal.ITIMER_REAL, alarm[0], alarm[1])
        try:
            _debugger.shift_deadlines(interp, waited - _HELD)
        except Exception:
            pass
        if capturing:
            capman.resume_global_capture()
        for put_back in reversed(undo):
            put_back()


# -- Ctrl-C while Tcl runs -------------------------------------------------------------

_interrupt_handler: Any = None


def _watch_interrupts() -> None:
    """While debugging is on, Ctrl-C while an interpreter's Tcl runs stops at
    the prompt at its next command; a second Ctrl-C before it gets there,
    or one while no Tcl runs, interrupts as usual."""
    global _interrupt_handler
    if _interrupt_handler is not None or threading.current_thread() is not threading.main_thread():
        return
    previous = signal.getsignal(signal.SIGINT)

    def on_interrupt(signum: int, frame: Any) -> Any:
        targets = [(i, s) for i, s in list(_states.items()) if s.recording and not s.stop_requested]
        busy = [(i, s) for i, s in targets if _running(i)]
        if not busy or not _may_prompt():
            if callable(previous):
                return previous(signum, frame)
            raise KeyboardInterrupt
        for interp, state in busy:
            state.stop_requested = True
            _update_trace(interp, state)
        return None

    on_interrupt.korvex_previous = previous  # type: ignore[attr-defined]
    try:
        signal.signal(signal.SIGINT, on_interrupt)
    except (ValueError, OSError):
        return
    _interrupt_handler = on_interrupt


def _running(interp: Interpreter) -> bool:
    try:
        return int(interp.tk.eval("info frame")) > 1
    except Exception:
        return False
