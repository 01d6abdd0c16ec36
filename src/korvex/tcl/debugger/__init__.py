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
from typing import Any, Callable, Iterator, List, Optional, Tuple, Union

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
_BREAK_COMMAND = "::tcl::korvex_breakpoint"
_CHILD_COMMAND = "::tcl::korvex_debug_child"
# What defines ::korvex::breakpoint when Tcl first calls it (auto_index).
_DEFINE = "namespace eval ::korvex {}; interp alias {} ::korvex::breakpoint {} %s" % _BREAK_COMMAND


class Quit(KeyboardInterrupt):
    """Raised by the prompt's ``quit``: ends the run, as pdb's ``q`` does."""


class _State:
    """The debugger's state for one interpreter."""

    __slots__ = ("recording", "installed", "ready", "mode", "base", "breaks", "entered", "traced", "stop_requested",
                 "level", "__weakref__")

    def __init__(self) -> None:
        self.recording = False  # errors keep their values (enable)
        self.installed = False  # ::korvex::breakpoint is there
        self.ready = False  # the Tcl procedures and commands of the rest are there
        self.mode: Optional[str] = None  # STEP, NEXT, RETURN while stepping
        self.base = 0  # the level NEXT and RETURN compare with
        self.breaks: List["_Break"] = []  # those that need the command trace
        self.entered: List[str] = []  # procedures with an enter trace of ours
        self.traced = False  # the command trace is on
        self.stop_requested = False  # Ctrl-C: stop at the next command
        self.level = 0  # the level of the last command traced


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
        if not self.path or line != self.line or not path:
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
    interp.tk.eval(_frames.SCRIPT)
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
    if bp.needs_trace():
        if bp not in state.breaks:
            state.breaks.append(bp)
        _update_trace(interp, state)
        return
    tk = interp.tk
    if bp.name in state.entered:
        return
    if tk.call("info", "commands", bp.name) or tk.call("info", "procs", bp.name):
        _ready(interp, state)
        tk.call("trace", "add", "execution", bp.name, "enter", _ENTER_COMMAND)
        state.entered.append(bp.name)
    else:
        # Not defined yet: found by the command trace when it runs.
        if bp not in state.breaks:
            state.breaks.append(bp)
        _update_trace(interp, state)


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
            try:
                target.tk.call("trace", "remove", "execution", name, "enter", _ENTER_COMMAND)
            except TclError:
                pass
        state.entered.clear()
        state.breaks.clear()
        try:
            _update_trace(target, state)
        except (TclError, RuntimeError):
            pass


def breaks(interp: Optional[Interpreter] = None) -> List[str]:
    """The locations of the breakpoints set (for `interp`, with those of every interpreter)."""
    found = [bp.text for bp in _global_breaks]
    state = _states.get(interp) if interp is not None else None
    if state is not None:
        found += [bp.text for bp in state.breaks if bp not in _global_breaks]
        found += [name for name in state.entered if name not in found]
    return found


def _update_trace(interp: Interpreter, state: _State) -> None:
    """The command trace is on exactly while stepping, a Ctrl-C waits for
    the next command, or a breakpoint needs it."""
    wanted = bool(state.mode or state.stop_requested or state.breaks)
    if wanted and not state.traced:
        _ready(interp, state)
        _debugger.start(interp, _STEP_COMMAND)
        state.traced = True
    elif not wanted and state.traced:
        _debugger.stop(interp)
        state.traced = False


# -- the commands Tcl calls ------------------------------------------------------

def _enter_command(ref: "weakref.ref[Interpreter]", args: Tuple[str, ...]) -> str:
    # An enter trace of a procedure with a breakpoint: stop at the first
    # command of its body.
    interp = ref()
    if interp is None or not _may_prompt():
        return ""
    state = _state(interp)
    state.mode = STEP
    state.base = 0
    _update_trace(interp, state)
    return ""


def _step_command(ref: "weakref.ref[Interpreter]", command: str) -> str:
    interp = ref()
    if interp is None:
        return ""
    state = _state(interp)
    tk = interp.tk
    try:
        level, path, line, proc, method, cls = tk.splitlist(tk.eval("::tcl::KorvexDebugHere"))
    except (TclError, ValueError):
        return ""
    level = int(level)
    entered = level > state.level
    state.level = level
    if _library(str(proc)):
        return ""  # Tcl's own procedures (unknown, auto_load, ...) are stepped over
    stop = state.stop_requested or state.mode == STEP
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
    frames = _frames.live(interp)
    # The command about to run has the frame it runs in: its text is the one Tcl hands the trace.
    if frames:
        innermost = frames[-1]
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
