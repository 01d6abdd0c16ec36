"""The pytest plugin of korvex.tcl, published as :mod:`korvex.tcl.pytest_plugin`
(whose documentation says what it does).

pytest loads this module through the entry point ``korvex_tcl``. It lives
outside the package and imports nothing of Tcl until a fixture needs an
interpreter: importing ``korvex.tcl`` creates the shared interpreter, which
costs time and fails where TclX is missing, and a pytest run that uses no Tcl
must pay neither. A test using the fixtures there errors with the package's
ImportError.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import re
import sys
import threading
import time
import weakref
from datetime import datetime
from types import ModuleType
from typing import TYPE_CHECKING, Any, Dict, cast, Generator, Iterator, List, Optional, Tuple

import pytest

if TYPE_CHECKING:
    from korvex.tcl.interpreter import Interpreter

SECTION = "Tcl history"
SHARED = "shared interpreter"
DEFAULT_HISTORY = 50
# A recorded script longer than this is cut in the report: one entry must not
# bury the others.
MAX_ENTRY_CHARS = 2000

# Parts of this plugin in modules of their own (tcltest files as pytest items,
# Tcl coverage, the Tcl profiler), registered with it by pytest_addoption. Not named in
# `pytest_plugins`: pytest looks each name there up among the entry points
# of every installed distribution, and imports the module through its
# assertion rewriter, which compiles it anew in each run where bytecode is
# not written; about 10 ms of every pytest run.
PARTS = ("korvex.tcl_testing.pytest_tcltest", "korvex.tcl_testing.pytest_coverage",
         "korvex.tcl_testing.pytest_profile", "korvex.tcl_testing.pytest_debugger")

_test = pytest.StashKey["_Test"]()
_settings = pytest.StashKey[Tuple[int, float]]()  # --tcl-history, --tcl-timeout
_tclx = pytest.StashKey[Optional[bool]]()  # --tcl-tclx (None: as KORVEX_TCL_TCLX says)
_saved_environment = pytest.StashKey[Optional[str]]()  # KORVEX_TCL_TCLX before --tcl-tclx set it

# The environment variable that decides whether interpreters load TclX, and
# the words the plugin's setting of it takes.
TCLX_VARIABLE = "KORVEX_TCL_TCLX"
_TCLX_WORDS = {"yes": True, "true": True, "on": True, "1": True, "no": False, "false": False, "off": False,
               "0": False}
_session = pytest.StashKey[pytest.Session]()
_watch = pytest.StashKey["_Watch"]()


def pytest_addoption(parser: pytest.Parser, pluginmanager: pytest.PytestPluginManager) -> None:
    for name in PARTS:
        if not pluginmanager.has_plugin(name) and not pluginmanager.is_blocked(name):
            pluginmanager.register(importlib.import_module(name), name)
    group = parser.getgroup("korvex_tcl", "korvex.tcl")
    group.addoption(
        "--tcl-history", type=int, metavar="N", default=None,
        help="on a failure, report at most N Tcl history entries of the test's "
             "interpreters (default %d; 0 turns the report off)" % DEFAULT_HISTORY)
    group.addoption(
        "--tcl-timeout", type=float, metavar="SECONDS", default=None,
        help="fail a test whose Tcl work runs longer than SECONDS "
             "(the tcl_timeout marker overrides it; 0 means no limit)")
    group.addoption(
        "--tcl-tclx", metavar="yes|no", default=None,
        help="whether the test interpreters load TclX (default yes, or as %s says); "
             "no: plain Tcl, as tclsh has it, in the fixtures, tcltest files, the shared "
             "interpreter and every Interpreter made while the tests run" % TCLX_VARIABLE)
    parser.addini("tcl_history", "default of --tcl-history", default=str(DEFAULT_HISTORY))
    parser.addini("tcl_timeout", "default of --tcl-timeout (0: no limit)", default="0")
    parser.addini("tcl_tclx", "default of --tcl-tclx (yes or no; empty: as %s says)" % TCLX_VARIABLE,
                  default="")


@pytest.hookimpl(wrapper=True)
def pytest_load_initial_conftests(early_config: pytest.Config) -> Generator[None, None, None]:
    # Before conftest files run and before other plugins start at this hook
    # (pytest-cov starts coverage.py, which imports korvex.tcl to load its
    # coverage plugin): importing korvex.tcl makes the shared interpreter,
    # which follows the environment.
    _apply_tclx(early_config)
    return (yield)


@pytest.hookimpl(trylast=True)  # after junitxml has set up its writer
def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "tcl_timeout(seconds): fail the test with TclTimeoutError when its Tcl work "
        "runs longer than this (0: no limit); overrides --tcl-timeout")
    # Read once (a bad setting is rejected now, not at the first failure).
    config.stash[_settings] = (_history_limit(config), _option_timeout(config))
    _apply_tclx(config)
    _configs.append(config)
    if _interpreter_module() is not None:
        _start_watching(config)
    xml = _junit_xml(config)
    if xml is not None:
        config.pluginmanager.register(_JunitSection(xml), "korvex_tcl-junitxml")


# -- fixtures ---------------------------------------------------------------

@pytest.fixture
def tcl(pytestconfig: pytest.Config) -> Iterator[Interpreter]:
    """A new Interpreter for this test; closed afterwards, so nothing it defined reaches another test."""
    from korvex.tcl.interpreter import Interpreter

    with Interpreter(tclx=tclx_setting(pytestconfig)) as interp:
        _locate_errors(interp)
        yield interp


@pytest.fixture(scope="session")
def tcl_session(pytestconfig: pytest.Config) -> Iterator[Interpreter]:
    """One Interpreter shared by every test of the session (of the worker, under xdist)."""
    from korvex.tcl.interpreter import Interpreter

    with Interpreter(tclx=tclx_setting(pytestconfig)) as interp:
        _locate_errors(interp)
        yield interp


@pytest.fixture
def tcl_shared() -> Interpreter:
    """The package's shared interpreter, the one behind ``korvex.tcl.eval`` and friends."""
    from korvex.tcl.interpreter import _global_interpreter

    _locate_errors(_global_interpreter)
    return _global_interpreter


# -- where a Tcl error happened ---------------------------------------------------
#
# Tcl's errorInfo names procedures and their lines ("(procedure "p6" line
# 2)"), not the files they came from. The frames of a failure exist only
# while it unwinds, and Tcl writes ::errorInfo from there when another trace
# than its own watches the variable: a write trace on it sees the first step
# of each error with every frame still there (Tcl saves and restores the
# error's state around variable traces). It records each frame's file and
# line (info frame; for the innermost, where the failing command may have
# been compiled inline, the procedure's definition through getbytecode) and
# hands them to Python at once: nothing of Tcl runs after the failure to
# learn where it happened. The plugin sets it up in the interpreters of its
# fixtures and those a test makes; the cost is a trace call for each step of
# each error, caught ones included.

_ERROR_FRAMES = r"""
proc ::tcl::KorvexErrorFrames {args} {
    set info $::errorInfo
    if {[string first "\n    invoked from within\n" $info] >= 0} return
    set frames {}
    set top [info frame]
    for {set k [expr {$top - 1}]} {$k > 0} {incr k -1} {
        set f [info frame $k]
        if {[dict exists $f method] && [dict exists $f class]} {
            set where [list method [dict get $f method] [dict get $f class]]
            set code [list method [dict get $f class] [dict get $f method]]
        } elseif {[dict exists $f proc]} {
            set where [list proc [dict get $f proc]]
            set code [list proc [dict get $f proc]]
        } else {
            set where [list {} {}]
            set code {}
        }
        if {$k == $top - 1 && [string match ::tcl::KorvexErrorFrames* [dict get $f cmd]]} {
            # The failing command itself has no frame: where its body starts.
            if {$code ne {} && ![catch {::tcl::unsupported::getbytecode {*}$code} bc]
                    && [dict exists $bc sourcefile]} {
                lappend frames [list {*}$where [dict get $bc sourcefile] -[dict get $bc initiallinenumber]]
            } else {
                lappend frames [list {*}$where {} 0]
            }
        } elseif {[dict exists $f file]} {
            lappend frames [list {*}$where [dict get $f file] [dict get $f line]]
        } else {
            lappend frames [list {*}$where {} 0]
        }
    }
    catch {::tcl::korvex_error_frames $info $frames}
}
trace add variable ::errorInfo write ::tcl::KorvexErrorFrames
"""

# The interpreters whose errors are located.
_error_frames: "weakref.WeakKeyDictionary[Any, bool]" = weakref.WeakKeyDictionary()


def _locate_errors(interp: Interpreter) -> None:
    """Sets up the trace that records where each error of `interp` happens."""
    if interp in _error_frames:
        return
    from korvex.tcl.interpreter import _keep_error_frames

    from korvex.tcl import debugger

    debugger.adopt(interp)  # ::korvex::breakpoint; debugged under --tcl-pdb
    try:
        # The trace's command is C only: it keeps the texts, which are read
        # when a failure is reported. No Python runs inside Tcl for it, so it
        # works however Tcl is reached (a Tcl C call through
        # korvex.tcl.internal included), and the test's own callbacks, in
        # __callbacks__, stay the test's.
        _keep_error_frames(interp, "::tcl::korvex_error_frames")
        interp.tk.eval(_ERROR_FRAMES)
    except Exception:  # closed, another thread's, a safe interpreter: errors stay as Tcl gives them
        return
    _error_frames[interp] = True


def _seen_error(interp: Interpreter) -> Optional[Tuple[str, Tuple[Tuple[str, ...], ...]]]:
    """The errorInfo of the interpreter's last failure and its frames, or None."""
    if interp not in _error_frames:
        return None
    from korvex.tcl.interpreter import _kept_error_frames
    from korvex.tcl.internal import GetListFromAny
    try:
        kept = _kept_error_frames(interp)
        if kept is None:
            return None
        info, frames = kept
        return info, tuple(tuple(GetListFromAny(frame)) for frame in GetListFromAny(frames))
    except Exception:  # closed, another thread's: nothing to say
        return None


_PROC_LINE = re.compile(r'\n    \((?:procedure "[^\n]*"|[^\n]* method "[^\n]*") line (\d+)\)')


def tcl_traceback(interp: Interpreter, errorinfo: str) -> Optional[str]:
    """The frames of the failure whose errorInfo is `errorinfo`, outermost
    first, each whose procedure or method came from a file as
    ``path/lib.tcl:123: in NAME``; None when the interpreter did not record it."""
    seen = _seen_error(interp)
    if not seen or not errorinfo.startswith(seen[0]):
        return None
    first, frames = seen
    lines = []
    located = False
    for parts in frames:
        if len(parts) == 4:
            kind, name, path, line = parts
            label = name
        elif len(parts) == 5:
            kind, name, cls, path, line = parts
            label = "%s %s" % (cls, name)
        else:
            continue
        number = int(line)
        if number < 0:  # where the body starts: the line in it is errorInfo's
            found = _PROC_LINE.search(errorinfo, len(first))
            number = -number + int(found.group(1)) - 1 if found else -number
        if not kind and not path:
            continue
        if path:
            located = True
            lines.append("  %s:%d: in %s" % (path, number, label or "(file)"))
        else:
            lines.append("  in %s (not defined from a file)" % label)
    if not located:
        return None
    lines.reverse()
    return "Tcl traceback (most recent call last):\n" + "\n".join(lines)


# -- settings ---------------------------------------------------------------

def _setting(config: pytest.Config, name: str, convert: Any, what: str) -> Any:
    """The option `name`, else the ini value of that name; `what` says what it must be."""
    value = config.getoption(name)
    if value is None:
        text = config.getini(name)
        try:
            value = convert(text)
        except ValueError:
            raise pytest.UsageError("%s must be %s, not %r" % (name, what, text)) from None
    if not value >= 0:
        raise pytest.UsageError("--%s must be %s, not %r" % (name.replace("_", "-"), what, value))
    return convert(value)


def _history_limit(config: pytest.Config) -> int:
    return int(_setting(config, "tcl_history", int, "0 or more"))


def _option_timeout(config: pytest.Config) -> float:
    return float(_setting(config, "tcl_timeout", float, "0 or more seconds"))


def tclx_setting(config: pytest.Config) -> Optional[bool]:
    """--tcl-tclx, else the ini value tcl_tclx, as a bool; None when neither
    is given (interpreters then follow KORVEX_TCL_TCLX)."""
    if _tclx in config.stash:
        return config.stash[_tclx]
    # Before pytest sets its options (the initial conftests), what it has read of them.
    value = getattr(config.option, "tcl_tclx", None)
    if value is None:
        value = getattr(getattr(config, "known_args_namespace", None), "tcl_tclx", None)
    name = "--tcl-tclx"
    if value is None:
        value, name = config.getini("tcl_tclx"), "tcl_tclx"
        if not value.strip():
            return None
    try:
        return _TCLX_WORDS[value.strip().lower()]
    except KeyError:
        raise pytest.UsageError("%s must be yes or no, not %r" % (name, value)) from None


def _apply_tclx(config: pytest.Config) -> None:
    """Reads --tcl-tclx once; when given, sets KORVEX_TCL_TCLX for the
    session (put back at its end), so that the interpreters the tested code
    makes, the shared one and the programs the tests start follow it."""
    if _tclx in config.stash:
        return
    tclx = config.stash[_tclx] = tclx_setting(config)
    if tclx is not None:
        config.stash[_saved_environment] = os.environ.get(TCLX_VARIABLE)
        os.environ[TCLX_VARIABLE] = "1" if tclx else "0"
        module = _interpreter_module()
        shared = getattr(module, "_global_interpreter", None)
        if shared is not None and getattr(shared, "_tclx", tclx) != tclx:
            # Imported before pytest read its options (by a plugin pytest
            # loaded at start-up, or by coverage.py started before pytest).
            name = "--tcl-tclx" if getattr(getattr(config, "known_args_namespace", None), "tcl_tclx", None) else "tcl_tclx"
            config.issue_config_time_warning(pytest.PytestConfigWarning(
                "%s=%s does not reach the shared interpreter (korvex.tcl.eval, tcl_shared): korvex.tcl was "
                "imported before pytest read its options, and made it %s TclX; set %s=%d in the environment "
                "of the run instead" % (name, "yes" if tclx else "no", "without" if tclx else "with",
                                        TCLX_VARIABLE, int(tclx))), stacklevel=2)


def _restore_environment(config: pytest.Config) -> None:
    if _saved_environment not in config.stash:
        return
    saved = config.stash[_saved_environment]
    del config.stash[_saved_environment]
    if saved is None:
        os.environ.pop(TCLX_VARIABLE, None)
    else:
        os.environ[TCLX_VARIABLE] = saved


def _test_timeout(item: pytest.Item) -> float:
    marker = item.get_closest_marker("tcl_timeout")
    if marker is None:
        settings = item.config.stash.get(_settings, None)
        return settings[1] if settings else _option_timeout(item.config)
    if len(marker.args) + len(marker.kwargs) != 1 or set(marker.kwargs) - {"seconds"}:
        raise TypeError("tcl_timeout takes one argument, the number of seconds: tcl_timeout(5)")
    value = marker.args[0] if marker.args else marker.kwargs["seconds"]
    if value is None:
        return 0.0
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("tcl_timeout takes a number of seconds, not %r" % (value,))
    if not value >= 0:
        raise ValueError("tcl_timeout must be 0 or more seconds, not %r" % (value,))
    return float(value)


# -- which interpreters a test used -----------------------------------------

class _Test:
    """What the plugin knows of the running test: when it started, the
    interpreters made while it ran (weakly: the plugin must not keep them
    alive), and the time limits in force during its call. Made for every
    test, so it is kept cheap: the start is a time.time() reading."""

    __slots__ = ("started", "thread", "made", "seconds", "limits", "adopted")

    def __init__(self) -> None:
        self.started = time.time()
        self.thread = threading.get_ident()
        self.adopted = False  # made after the test started (see _adopt_running_test)
        self.made: List["weakref.ref[Interpreter]"] = []
        self.seconds = 0.0
        self.limits: Optional[contextlib.ExitStack] = None

    def bound(self, interp: Interpreter) -> None:
        if self.limits is None:
            return
        from tkinter import TclError  # loaded: there is an interpreter

        try:
            self.limits.enter_context(interp.time_limit(self.seconds))
        except (TclError, RuntimeError):
            pass  # closed, or owned by another thread: nothing to bound


# -- when the plugin watches -----------------------------------------------------
#
# Every test pays for the hooks that follow a test's Tcl work, so the plugin
# registers them (a _Watch for each session, sessions can nest under
# pytester) only once some Tcl may be used: when korvex.tcl is imported (at
# configure time when it already is, otherwise when the package tells the
# plugin it has been), or, at the end of collection, when a test or the
# options ask for a time limit or tkinter is loaded. From then on it also
# watches the construction of interpreters, through Interpreter._load_entrypoint.

_configs: List[pytest.Config] = []  # the sessions running, innermost last
_running: Optional[_Test] = None
# Interpreter._load_entrypoint as the package defines it, while the plugin
# watches construction.
_original_load_entrypoint: Any = None


def _interpreter_module() -> Optional[ModuleType]:
    """korvex.tcl.interpreter once it has been imported, else None: until
    then no Interpreter exists, and the plugin must not import it (that
    makes the shared interpreter)."""
    module = sys.modules.get("korvex.tcl.interpreter")
    if module is None or not hasattr(module, "_global_interpreter"):
        return None  # not imported, or still importing
    return module


# Above 0 while the plugin's own runs make interpreters (a tcltest file's):
# those are not the test's, and keep no trace of the plugin's.
_unwatched = 0


@contextlib.contextmanager
def unwatched() -> Iterator[None]:
    """Interpreters made in this block are not the running test's."""
    global _unwatched
    _unwatched += 1
    try:
        yield
    finally:
        _unwatched -= 1


def _made(interp: Interpreter) -> None:
    # Runs at the end of every Interpreter's construction while the plugin watches.
    _original_load_entrypoint(interp)
    test = _running if not _unwatched else None
    # Only the test's own thread: an interpreter must be freed in the thread
    # that made it, and a report that held the last reference would free it
    # in the test's thread.
    if test is not None and threading.get_ident() == test.thread:
        test.made.append(weakref.ref(interp))
        test.bound(interp)
        _locate_errors(interp)


def _start_watching(config: pytest.Config) -> None:
    """Registers the session's _Watch, and watches construction once the package is there."""
    global _original_load_entrypoint
    if config.stash.get(_watch, None) is None:
        config.stash[_watch] = watch = _Watch()
        config.pluginmanager.register(watch, "korvex_tcl-watch")
    module = _interpreter_module()
    if module is not None and _original_load_entrypoint is None:
        cls = module.Interpreter
        _original_load_entrypoint = cls.__dict__["_load_entrypoint"]
        setattr(cls, "_load_entrypoint", _made)


def _package_imported() -> None:
    """Called by korvex.tcl at the end of its import."""
    for config in list(_configs):
        _start_watching(config)
    if _configs:
        _adopt_running_test(_configs[-1])


def _adopt_running_test(config: pytest.Config) -> None:
    """When the package is imported while a test runs, the test started
    unwatched: it gets its record now, so that what it makes from here on is
    its own."""
    global _running
    current = os.environ.get("PYTEST_CURRENT_TEST")  # "nodeid (phase)", set by pytest
    session = config.stash.get(_session, None)
    if _running is not None or not current or session is None:
        return
    nodeid = current.rsplit(" (", 1)[0]
    for item in session.items:
        if item.nodeid == nodeid:
            # (A time limit would have had the hooks registered before the tests.)
            item.stash[_test] = _running = _Test()
            _running.adopted = True
            return


@pytest.hookimpl(trylast=True)
def pytest_collection_finish(session: pytest.Session) -> None:
    config = session.config
    config.stash[_session] = session
    if config.stash.get(_watch, None) is not None:
        return
    if config.stash[_settings][1] or "tkinter" in sys.modules or _marked(session.items, "tcl_timeout"):
        _start_watching(config)


def _marked(items: List[pytest.Item], name: str) -> bool:
    """Whether any of the items or the nodes holding them carries the marker `name`."""
    seen = set()
    for item in items:
        node: Any = item
        while node is not None and id(node) not in seen:
            seen.add(id(node))
            for mark in node.own_markers:
                if mark.name == name:
                    return True
            node = node.parent
    return False


def pytest_unconfigure(config: pytest.Config) -> None:
    global _original_load_entrypoint
    _restore_environment(config)
    if config not in _configs:
        return
    _configs.remove(config)
    if not _configs and _original_load_entrypoint is not None:
        module = _interpreter_module()
        if module is not None and module.Interpreter.__dict__.get("_load_entrypoint") is _made:
            setattr(module.Interpreter, "_load_entrypoint", _original_load_entrypoint)
        _original_load_entrypoint = None


def _interpreters(item: pytest.Item, excinfo: Optional[pytest.ExceptionInfo[BaseException]] = None,
                  ) -> Dict[int, Tuple[str, Interpreter]]:
    """The interpreters a test used, by id, each with a label: its fixture
    values, the failing frames' local variables, those made while it ran, and
    the shared one."""
    found: Dict[int, Tuple[str, Interpreter]] = {}
    module = _interpreter_module()
    if module is None:
        return found  # the package is not imported: there is no interpreter
    cls = module.Interpreter

    def add(label: str, value: Any) -> None:
        if isinstance(value, cls) and id(value) not in found:
            found[id(value)] = (label, value)

    for name, value in getattr(item, "funcargs", {}).items():
        add("%s (fixture)" % name, value)
    for label, value in getattr(item, "tcl_interpreters", lambda: ())():  # a tcltest item's
        add(label, value)
    if excinfo is not None:
        for entry in excinfo.traceback:
            try:
                names = dict(entry.frame.f_locals)
            except Exception:
                continue
            for name, value in names.items():
                add("%s (local in %s)" % (name, entry.frame.code.name), value)
    test = item.stash.get(_test, None)
    for n, ref in enumerate(test.made if test else (), 1):
        add("interpreter %d made by the test" % n, ref())
    add(SHARED, module._global_interpreter)
    return found


class _Watch:
    """The hooks that follow each test's Tcl work (registered on demand, see above)."""

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem: Optional[pytest.Item]) -> Iterator[None]:
        global _running
        outer = _running  # a test running pytest in-process (pytester) has a test of its own
        if outer is not None and outer.adopted:
            outer = None  # an adopted test has ended: nothing to go back to
        item.stash[_test] = _running = _Test()
        try:
            yield
        finally:
            _running = outer

    def pytest_runtest_setup(self, item: pytest.Item) -> None:
        # A bad tcl_timeout marker errors the test here, before it runs.
        seconds = _test_timeout(item)
        test = item.stash.get(_test, None)
        if test is not None:
            test.seconds = seconds

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item: pytest.Item) -> Iterator[None]:
        test = item.stash.get(_test, None)
        # No limit, a test run outside pytest's test protocol, or one that
        # keeps its own (a tcltest item's Tcl runs beside the fixtures' in
        # this thread: their limits must not stop it).
        if test is None or not test.seconds or getattr(item, "keeps_time_limit", False):
            _where_tcl_was(item, (yield))
            return
        with contextlib.ExitStack() as limits:
            test.limits = limits
            for _, interp in _interpreters(item).values():
                test.bound(interp)
            try:
                _where_tcl_was(item, (yield))
            finally:
                test.limits = None

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item: pytest.Item, call: pytest.CallInfo[None],
                                  ) -> Generator[None, Any, None]:
        outcome = yield
        report = outcome.get_result()
        if not report.failed:
            return
        if call.excinfo is not None:
            _crash_message(report, call.excinfo.value)
        if item.config.getoption("tbstyle", "auto") == "line":
            _message_only(report)
            return  # one line per failure: pytest shows no sections then
        limit = item.config.stash[_settings][0]
        if not limit:
            return
        test = item.stash.get(_test, None)
        try:
            found = _interpreters(item, call.excinfo)
            since = datetime.fromtimestamp(test.started) if test else datetime.min
            text = history_report(found.values(), since, limit,
                                  call.excinfo.value if call.excinfo else None,
                                  always={key for key, (label, _) in found.items() if label != SHARED})
        except Exception as exc:  # the report of a failure must never fail itself
            text = "the Tcl history could not be read: %s: %s\n" % (type(exc).__name__, exc)
        if text:
            report.sections.append((SECTION, text))


# -- the report --------------------------------------------------------------

def _where_tcl_was(item: pytest.Item, outcome: Any) -> None:
    """A Ctrl-C that stopped Tcl work of a Python test says where Tcl was, as
    a tcltest item's does: pytest shows only the test's line, and then
    stops. The KeyboardInterrupt that unwound Tcl left "eval unwound" and
    the stack in the interpreter's errorInfo, whose outermost command is
    part of the last script the interpreter recorded since the test started
    (an errorInfo left before is not taken for it)."""
    excinfo = getattr(outcome, "excinfo", None)
    exc = excinfo[1] if excinfo else None
    if not isinstance(exc, KeyboardInterrupt) or exc.args or getattr(item, "keeps_time_limit", False):
        return
    assert excinfo is not None
    try:
        test = item.stash.get(_test, None)
        since = datetime.fromtimestamp(test.started) if test else datetime.min
        for label, interp in _interpreters(item, pytest.ExceptionInfo.from_exc_info(excinfo)).values():
            try:
                info = cast(Any, interp.tk).getvar("errorInfo")
            except Exception:  # closed, another thread's, never set
                continue
            if not isinstance(info, str) or not info.startswith("eval unwound\n"):
                continue
            entries = _recent(interp, since)[0]
            head = max(info.rfind('\n    invoked from within\n"'), info.rfind('\n    while executing\n"'))
            outermost = info[info.index('\n"', head) + 2:] if head >= 0 else ""
            outermost = outermost[:-4] if outermost.endswith('..."') else outermost[:-1]  # Tcl shortens it
            if not entries or not outermost or outermost not in entries[-1].api:
                continue
            where = _where(info)
            if where:
                exc.args = ("in Tcl (%s)%s" % (label, where),)
                return
    except Exception:  # telling where must never hide the interrupt
        pass


def _where(errorinfo: str) -> str:
    """Where Tcl was, from the errorInfo of work that was stopped: the command
    running and the innermost procedure, on one line (", at ..."), or "".
    (As tcltest items say it.)"""
    lines = errorinfo.split("\n")
    command = frame = ""
    for i, line in enumerate(lines):
        if not command and line.strip() in ("while executing", "invoked from within") and i + 1 < len(lines):
            command = lines[i + 1].strip()
        elif command and line.strip().startswith("(") and "line" in line:
            frame = " " + line.strip()
            break
    if len(command) > 80:
        command = command[:76] + '..."'
    return ", at %s%s" % (command, frame) if command else ""


def _crash_message(report: pytest.TestReport, error: BaseException) -> None:
    """The one-line account of a failure (the short summary, which pytest
    prints whole on CI and under -vv) names a TclError's message, not the
    errorInfo its text carries: the stack is in the report above it already."""
    crash = getattr(report.longrepr, "reprcrash", None)
    result = getattr(error, "result", None)
    info = getattr(error, "errorinfo", None)
    if crash is None or not isinstance(result, str) or not isinstance(info, str):
        return
    message = getattr(crash, "message", None)
    if not isinstance(message, str) or not message.endswith(info) or info == result:
        return
    crash.message = message[:len(message) - len(info)] + result


def _message_only(report: pytest.TestReport) -> None:
    """--tb=line shows an exception's message, not where it came from; a
    TclError's text is Tcl's errorInfo, its message and then Tcl's stack:
    cut to the message's first line, as for a Python traceback."""
    for traceback, _, _ in getattr(report.longrepr, "chain", ()):
        for entry in getattr(traceback, "reprentries", ()):
            lines = getattr(entry, "lines", None)
            if not isinstance(lines, list) or getattr(entry, "style", None) != "line":
                continue
            kept, cutting = [], False
            for line in lines:
                if line.startswith("E   "):
                    cutting = "TclError: " in line
                    kept.append(line)
                elif not cutting:
                    kept.append(line)
            lines[:] = kept


def _recent(interp: Interpreter, since: datetime) -> Tuple[List[Any], Dict[int, List[str]], bool]:
    """The interpreter's history entries made since `since` (oldest first), the
    markers holding each (by id) and whether recording is on."""
    history = getattr(interp, "history", None)
    if history is None:
        return [], {}, False
    entries: List[Any] = []
    for entry in reversed(history.__history__):
        if entry.timestamp < since:
            break
        entries.append(entry)
    entries.reverse()
    markers: Dict[int, List[str]] = {}
    wanted = {id(e) for e in entries}
    for name, deque in history.__markers__.items():
        for entry in reversed(deque):
            if entry.timestamp < since:
                break
            if id(entry) in wanted:
                names = markers.setdefault(id(entry), [])
                if name not in names:
                    names.append(name)
    return entries, markers, bool(history.enabled)


def _clip(text: str) -> str:
    if len(text) > MAX_ENTRY_CHARS:
        text = "%s... (%d more characters)" % (text[:MAX_ENTRY_CHARS], len(text) - MAX_ENTRY_CHARS)
    return text.replace("\n", "\n    ")


def _tcl_error(exc: Optional[BaseException]) -> Optional[BaseException]:
    """The TclError behind a failure: the exception itself or one it was raised from."""
    tkinter = sys.modules.get("tkinter")
    if tkinter is None:
        return None  # no Tcl was used: no TclError can exist
    tcl_error: type = tkinter.TclError
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, tcl_error):
            return exc
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return None


def history_report(interpreters: Any, since: datetime, limit: int,
                   exc: Optional[BaseException] = None, always: Any = ()) -> str:
    """The text of the "Tcl history" section.

    `interpreters` holds (label, Interpreter) pairs; those whose id is in
    `always` are listed even when they recorded nothing. Entries of all of them
    are merged by time, newest last, at most `limit` in all.
    """
    rows = []
    listed = []
    interpreters = list(interpreters)
    for label, interp in interpreters:
        try:
            entries, markers, enabled = _recent(interp, since)
        except Exception as err:  # a replaced or broken history must not hide the failure
            listed.append("%s: history not readable (%s: %s)" % (label, type(err).__name__, err))
            continue
        if not entries and id(interp) not in always:
            continue
        note = "" if enabled else ", recording disabled"
        listed.append("%s: %d entr%s%s" % (label, len(entries), "y" if len(entries) == 1 else "ies", note))
        for entry in entries:
            rows.append((entry.timestamp, label, entry, markers.get(id(entry), ())))
    error = _tcl_error(exc)
    if not listed and error is None:
        return ""
    rows.sort(key=lambda row: row[0])
    lines = ["Interpreters: " + "; ".join(listed)] if listed else []
    if len(rows) > limit:
        lines.append("(%d earlier entries left out; --tcl-history=N shows more)" % (len(rows) - limit))
        rows = rows[-limit:]
    tagged = len(listed) > 1
    for stamp, label, entry, names in rows:
        parts = [stamp.strftime("%Y-%m-%dT%H:%M:%S.%f")]
        if tagged:
            parts.append(label.split(" (", 1)[0])
        if names:
            parts.append("[%s]" % " ".join(names))
        lines.append("%s: %s" % (" ".join(parts), _clip(str(entry.api))))
    if error is not None:
        code = getattr(error, "errorcode", None)
        info = getattr(error, "errorinfo", None)
        if code is None and not info:  # raised by plain tkinter: its message is all there is
            lines.append("%s: %s" % (type(error).__name__, error))
        if code is not None:
            if isinstance(code, (tuple, list)):
                from korvex.tcl.zelph import zelph  # the package made this error: it is imported

                code = zelph(code)
            lines.append("errorcode: %s" % (code,))
        traceback = None
        for _, interp in interpreters if info else ():
            try:
                traceback = tcl_traceback(interp, str(info))
            except Exception:
                continue
            if traceback:
                break
        if traceback:
            lines.append(traceback)
        # Once: not again when the exception's own text is Tcl's errorInfo.
        if info and str(info) != str(error):
            lines.append("errorinfo:\n    " + str(info).replace("\n", "\n    "))
    return "\n".join(lines) + "\n"


# -- JUnit XML ---------------------------------------------------------------

def _junit_xml(config: pytest.Config) -> Any:
    try:
        from _pytest.junitxml import xml_key
    except ImportError:  # pragma: no cover - a pytest without it
        return None
    return config.stash.get(xml_key, None)


# Compiled on first use (by re's cache): compiling this class costs milliseconds,
# which every pytest run would pay at the plugin's import.
_XML_ILLEGAL = "[^\u0009\u000a\u000d\u0020-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]"


def _headed(text: str) -> str:
    return (" %s " % SECTION).center(80, "-") + "\n" + text


class _JunitSection:
    """Writes the "Tcl history" section into the test case's system-out.

    When pytest writes captured output to system-out itself (``junit_logging``
    system-out, out-err, all or log), the section rides along in that element;
    otherwise it gets a system-out element of its own.
    """

    def __init__(self, xml: Any) -> None:
        self.xml = xml
        self.pending: Dict[Tuple[str, Any], str] = {}

    def _prefix(self) -> Optional[str]:
        mode = getattr(self.xml, "logging", "no")
        if mode in ("system-out", "out-err", "all"):
            return "Captured stdout"
        if mode == "log":
            return "Captured log"
        return None

    def _writes_output(self, report: pytest.TestReport) -> bool:
        # When pytest writes a test's captured output: at teardown, or, when
        # passing tests are not logged, with the failing call.
        if not getattr(self.xml, "log_passing_tests", True):
            return report.failed and report.when in ("call", "teardown")
        return report.when == "teardown"

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_logreport(self, report: pytest.TestReport) -> Iterator[None]:
        key = (report.nodeid, getattr(report, "node", None))
        if report.failed:
            own = "".join(content for name, content in report.sections if name == SECTION)
            if own:
                self.pending[key] = self.pending.get(key, "") + own
        text = self.pending.get(key)
        prefix = self._prefix()
        carried = None
        if text and prefix and self._writes_output(report):
            carried = ("%s %s" % (prefix, SECTION), _headed(text))
            report.sections.append(carried)
            del self.pending[key]
        elif text and prefix is None and report.when == "teardown":
            # Before pytest closes the test case.
            self._own_element(report, self.pending.pop(key))
        try:
            yield
        finally:
            if carried is not None:
                report.sections.remove(carried)
        if prefix is None and key in self.pending and report.when != "teardown":
            self._own_element(report, self.pending.pop(key))
        elif report.when == "teardown":
            self.pending.pop(key, None)

    def _own_element(self, report: pytest.TestReport, text: str) -> None:
        from xml.etree import ElementTree

        element = ElementTree.Element("system-out")
        element.text = re.sub(_XML_ILLEGAL, lambda m: "#x%02X" % ord(m.group()), _headed(text))
        self.xml.node_reporter(report).append(element)

