"""Runs a tcltest file for the pytest plugin: each file in a fresh
Interpreter, one test at a time.

A tcltest file is a script: its tests run while it is evaluated, between
top-level code that defines procedures, constraints and fixtures. pytest
wants one test per call. So a run evaluates the file in a greenlet of
pytest's own thread (as the console runs a file: at Tcl's top level, from the
file's directory, ``argv0`` the file's name and ``argv`` the tcltest
arguments), and traces on ``tcltest::test`` switch back to pytest at each
test the session selected until pytest's item for it asks to go on. Tests the
session did not select are skipped by tcltest itself (as its ``-skip``
would), without stopping. All of a session's Tcl work happens in that one
thread, as under tclsh: extensions that tie themselves to a thread (Expect
cannot be loaded in a second one; Thread lists every thread that used it)
behave as they do there.

Collection is a dry run of the same kind: the whole file evaluated with every
test skipped, the names and lines of the tests it meets recorded. It costs
the file's top-level code (a new interpreter, tcltest, whatever the file does
outside its tests), no test body, setup or cleanup. When that code fails
after some tests (it relies on what a test made), the file is collected
again by a full run that runs every test, as tclsh would, with their output
dropped. A test that the run meets and collection did not find is named by
the run's End, not silently lost.

The run and pytest take turns (one waits while the other works), handing the
current directory over at each turn; a watchdog thread keeps the time limits.
"""

import ctypes
import os
import re
import signal
import sys
import tempfile
import threading
import time
import weakref
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Sequence, Tuple, Union

# greenlet ships no type information: its classes are Any to mypy.
import greenlet  # type: ignore[import-untyped, unused-ignore]

from korvex.tcl import debugger as _debugger
from korvex.tcl.internal import TclDLL
from korvex.tcl.interpreter import Interpreter, TclError, TclTimeoutError

from . import tclsh as _tclsh

__all__ = ["FileRun", "Result", "End", "collect"]

_Path = Union[str, "os.PathLike[str]"]
# A test of the file: its name, and which test of that name it is (from 1).
Key = Tuple[str, int]
# The messages of the two sides. To the run: go on to the test wanted (None:
# to the end) with a time limit, run the test reached, or stop.
_ToRun = Union[Tuple[Literal["go", "skip"], Optional[Key], float], Tuple[Literal["run"], float],
               Tuple[Literal["abort"]]]
# To pytest's side: a selected test was reached, its Result, the run's End.
_ToPytest = Union[Tuple[Literal["reached"], Key], Tuple[Literal["result"], "Result"], Tuple[Literal["end"], "End"]]

# The run's state lives in ::tcl::KorvexTcltest (S below):
#   S(collect)  1 in a dry run: every test skipped, name and line kept in
#               S(found); 2 in a full one: every test run, the same kept
#   S(k:KEY)    the test KEY ({name occurrence}) was collected; one that was
#               not is skipped, its name and line kept in S(unlisted)
#   S(n:NAME)   how many top-level tests named NAME began so far
#   S(met)      how many top-level tests began so far
#   S(s:KEY)    the test KEY ({name occurrence}) is selected
#   S(stack)    for each tcltest::test running: {} (not ours: nested), {skip I
#               SKIP} (skipped here, tcltest's -skip to put back) or {run I KEY
#               COUNTS} (selected, tcltest's counts before it)
# The procedures take the path of the interpreter whose tcltest runs the test:
# {} for the file's own, a child's for tcltest::loadIntoChildInterpreter.
_SETUP = r"""{collect selected known file} {
    upvar #0 ::tcl::KorvexTcltest S
    array unset S
    set S(collect) $collect
    set S(found) {}
    set S(unlisted) {}
    set S(met) 0
    set S(stack) {}
    set S(file) [file normalize $file]
    foreach {name n} $selected {set S(s:[list $name $n]) 1}
    foreach {name n} $known {set S(k:[list $name $n]) 1}
    set S(counts) {0 0 0 0}
    ::tcl::KorvexTcltestHook {}
    trace add execution ::tcltest::cleanupTests {enter leave} ::tcl::KorvexTcltestCleanup
}"""

_PROCS = r"""
proc ::tcl::KorvexTcltestHook {i} {
    if {$i ne {}} {
        foreach name {Enter Leave Child} {
            interp alias $i ::tcl::KorvexTcltest$name {} ::tcl::KorvexTcltest$name $i
        }
        set prefix {}
    } else {
        set prefix [list {}]
    }
    interp eval $i [list trace add execution ::tcltest::test enter [list ::tcl::KorvexTcltestEnter {*}$prefix]]
    interp eval $i [list trace add execution ::tcltest::test leave [list ::tcl::KorvexTcltestLeave {*}$prefix]]
    interp eval $i [list trace add execution ::tcltest::loadIntoChildInterpreter leave \
            [list ::tcl::KorvexTcltestChild {*}$prefix]]
}

proc ::tcl::KorvexTcltestChild {i cmd code result op} {
    if {!$code} {::tcl::KorvexTcltestHook [list {*}$i {*}[lindex $cmd 1]]}
}

proc ::tcl::KorvexTcltestEnter {i cmd op} {
    upvar #0 ::tcl::KorvexTcltest S
    if {[interp eval $i {set ::tcltest::testLevel}] || [lsearch -exact -index 0 $S(stack) run] >= 0} {
        lappend S(stack) {}
        return
    }
    set name [lindex $cmd 1]
    set key [list $name [incr S(n:$name)]]
    incr S(met)
    if {$S(collect)} {
        lappend S(found) $name [::tcl::KorvexTcltestLine $i]
        if {$S(collect) == 2} {
            lappend S(stack) {}
            return
        }
    } elseif {![info exists S(k:$key)]} {
        lappend S(unlisted) $name [::tcl::KorvexTcltestLine $i]
    } elseif {[info exists S(s:$key)]} {
        catch {flush stdout}
        if {[::tcl::korvex_tcltest_gate enter $name $S(n:$name) $cmd]} {
            lappend S(stack) [list run $i $key [interp eval $i {list $::tcltest::numTests(Passed) \
                    $::tcltest::numTests(Failed) $::tcltest::numTests(Skipped) \
                    [array get ::tcltest::skippedBecause]}]]
            return
        }
    }
    lappend S(stack) [list skip $i [interp eval $i {set ::tcltest::Option(-skip)}]]
    interp eval $i {set ::tcltest::Option(-skip) *}
}

proc ::tcl::KorvexTcltestLeave {i cmd code result op} {
    upvar #0 ::tcl::KorvexTcltest S
    set top [lindex $S(stack) end]
    set S(stack) [lrange $S(stack) 0 end-1]
    lassign $top what i data counts
    if {$what eq "skip"} {
        interp eval $i [list set ::tcltest::Option(-skip) $data]
        return
    }
    if {$what ne "run"} return
    catch {flush stdout}
    lassign $counts passed failed skipped because
    lassign [interp eval $i {list $::tcltest::numTests(Passed) $::tcltest::numTests(Failed) \
            $::tcltest::numTests(Skipped)}] passed2 failed2 skipped2
    set reasons {}
    set unmet {}
    if {$code} {
        set outcome error
    } elseif {$failed2 > $failed} {
        set outcome failed
    } elseif {$passed2 > $passed} {
        set outcome passed
    } elseif {$skipped2 > $skipped} {
        set outcome skipped
        foreach {k v} [interp eval $i {array get ::tcltest::skippedBecause}] {
            if {![dict exists $because $k] || [dict get $because $k] < $v} {lappend reasons $k}
        }
        set unmet [::tcl::KorvexTcltestUnmet $i $cmd]
    } else {
        set outcome none
    }
    ::tcl::korvex_tcltest_gate done {*}$data $outcome $result $reasons $unmet [lindex $cmd 2]
}

# tcltest's counts of the file (Total Passed Skipped Failed), as its
# cleanupTests prints them: those of each cleanupTests that reset them added
# up, with those counted since.
proc ::tcl::KorvexTcltestCleanup {cmd args} {
    upvar #0 ::tcl::KorvexTcltest S
    if {[lindex $args end] eq "enter"} {
        set S(before) [::tcl::KorvexTcltestTotals]
    } elseif {[info exists S(before)]} {
        if {$::tcltest::numTests(Total) == 0} {set S(counts) $S(before)}
        unset S(before)
    }
}

proc ::tcl::KorvexTcltestTotals {} {
    upvar #0 ::tcl::KorvexTcltest S
    lmap n $S(counts) name {Total Passed Skipped Failed} {expr {$n + $::tcltest::numTests($name)}}
}

# The line of the file where the running test command is: the innermost
# frame of the file's text in the interpreter of the test, else (negated)
# that of the file's own interpreter, else 0.
proc ::tcl::KorvexTcltestLine {i} {
    set sign 1
    foreach where [expr {$i eq {} ? [list {}] : [list $i {}]}] {
        set frames [interp eval $where {info frame}]
        for {set k $frames} {$k > 0} {incr k -1} {
            set f [interp eval $where [list info frame $k]]
            if {[dict get $f type] eq "source" && [dict exists $f file]
                    && [dict get $f file] eq $::tcl::KorvexTcltest(file)} {
                return [expr {$sign * [dict get $f line]}]
            }
        }
        set sign -1
    }
    return 0
}

# Where the procedures and methods named by an errorInfo come from,
# innermost first: {name file line} for each whose body came from a file,
# {name {} 0} for the others (the line is the line in the file, from the
# line in the body that errorInfo gives).
proc ::tcl::KorvexTcltestFrames {i info} {
    set frames {}
    set pattern {\n    \((?:procedure "([^"\n]*)"|(?:class|object) "([^"\n]*)" method "([^"\n]*)") line (\d+)\)}
    foreach {- proc cls method line} [regexp -all -inline $pattern $info] {
        if {$proc ne {}} {
            set name [interp eval $i [list namespace which -command $proc]]
            set code [list proc $name]
            set label $name
        } else {
            set code [list method $cls $method]
            set label "$cls $method"
        }
        if {$code ne {} && [lindex $code 1] ne {}
                && ![catch {interp eval $i [list ::tcl::unsupported::getbytecode {*}$code]} bc]
                && [dict exists $bc sourcefile] && [dict get $bc sourcefile] ne {}} {
            lappend frames [list $label [dict get $bc sourcefile] \
                    [expr {[dict get $bc initiallinenumber] + $line - 1}]]
        } else {
            lappend frames [list $label {} 0]
        }
    }
    return $frames
}

# The constraints of a test, then those of them known to be false (none for
# an expression). Only constraints tcltest has already set up are read:
# reading another one would run its initializer.
proc ::tcl::KorvexTcltestUnmet {i cmd} {
    set args [lrange $cmd 3 end]
    set constraints {}
    if {[string match -* [lindex $args 0]] || [llength $args] <= 1} {
        if {[llength $args] % 2 == 0} {
            foreach {k v} $args {if {$k eq "-constraints"} {set constraints $v}}
        }
    } elseif {[llength $args] == 3} {
        set constraints [lindex $args 0]
    }
    if {[string match {*[$\[]*} $constraints] || [regexp {[^.:_a-zA-Z0-9 \n\r\t]} $constraints]
            || [catch {llength $constraints}]} {
        return [list $constraints]
    }
    set known [interp eval $i {array names ::tcltest::testConstraints}]
    set unmet [list $constraints]
    foreach c $constraints {
        if {$c in $known && ![string is true -strict \
                [interp eval $i [list set ::tcltest::testConstraints($c)]]]} {
            lappend unmet $c
        }
    }
    return $unmet
}
"""

# Tcl_CancelEval, which Tcl lets any thread call: how the watchdog stops a
# run's Tcl work at its time limit, and a signal handler gently stops it.
_TCL_CANCEL_UNWIND = 0x100000
_Tcl_CancelEval = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                   ctypes.c_int)(("Tcl_CancelEval", TclDLL))
# TclResetCancellation (exported by libtcl 8.6): drops a cancellation that
# came too late for the work it was meant for (see FileRun._obey).
_TclResetCancellation = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)(
    ("TclResetCancellation", TclDLL))

# Set by pytest to the running test, a different value for each.
_PYTEST_VARIABLE = "PYTEST_CURRENT_TEST"

# How long a test stopped gently (an error tcltest catches and reports, with
# Tcl's stack) has to end before its run is unwound; at least this, at most
# the test's own limit.
_GENTLE_GRACE = 1.0


class Result:
    """What became of one test: outcome ("passed", "failed", "skipped",
    "error": the test command itself failed, "none": tcltest counted
    nothing), tcltest's report of a failure, and why it was skipped."""

    __slots__ = ("key", "outcome", "report", "reasons", "unmet", "description")

    def __init__(self, key: Key, outcome: str, report: str = "", reasons: Iterable[str] = (),
                 unmet: Iterable[str] = (), description: str = "") -> None:
        self.key = key
        self.outcome = outcome
        self.report = report
        self.reasons = tuple(reasons)
        self.unmet = tuple(unmet)
        self.description = description


class End:
    """How a run ended: kind "ok" (the end of the file), "exit" (the file
    called exit; status), "error" (an error reached the file's top level;
    text is Tcl's errorInfo, as tclsh prints it), "timeout" and "aborted"
    (stopped from outside; in_test tells whether a test was running),
    "finished" (run to its end with no test left to run)."""

    __slots__ = ("kind", "text", "status", "exc", "in_test", "found", "counts", "unlisted", "key", "met")

    def __init__(self, kind: str, text: str = "", status: int = 0, exc: Optional[BaseException] = None,
                 in_test: bool = False, found: Tuple[str, ...] = ()) -> None:
        self.kind = kind
        self.text = text
        self.status = status
        self.exc = exc
        self.in_test = in_test
        self.found = found
        # tcltest's counts of the file's tests (Total, Passed, Skipped, Failed), when known.
        self.counts: Optional[Tuple[int, ...]] = None
        # The tests the run met that collection had not found: (name, line).
        self.unlisted: Tuple[Tuple[str, int], ...] = ()
        # The test running when the run ended, if any; how many tests the
        # run met from the file's top (a new run skips as many).
        self.key: Optional[Key] = None
        self.met = 0


class _Stop(BaseException):
    """Ends a run from inside a callback (never reaches Tcl's catch)."""


class _Watchdog:
    """The one thread that keeps the time limits of runs: Tcl works in the
    thread that runs pytest, which cannot watch itself. When a stretch of Tcl
    work overruns its limit, it is stopped gently (an error that tcltest
    reports with Tcl's stack); if it goes on for `_GENTLE_GRACE` seconds of
    processor time after that (a catch in a loop swallowed it), it is
    unwound. Only one stretch runs at a time (runs take turns in one
    thread), so one job is kept."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._job: Optional[Tuple["FileRun", Optional[float], float, Optional[int]]] = None
        self._thread: Optional[threading.Thread] = None

    def arm(self, run: "FileRun", seconds: float) -> None:
        """Stops the run's work after `seconds` (its thread's clock read now)."""
        self._set((run, time.monotonic() + seconds, seconds, _thread_clock()))

    def grace(self, run: "FileRun") -> None:
        """Unwinds the run's work unless it ends within the grace time."""
        self._set((run, None, 0.0, _thread_clock()))

    def hold(self) -> Callable[[], None]:
        """Holds the time limit off while the Tcl debugger's prompt waits;
        returns what puts it back, later by the time waited."""
        with self._cond:
            job, self._job = self._job, None
        started = time.monotonic()

        def put_back() -> None:
            if job is None:
                return
            run, deadline, seconds, clock = job
            if deadline is not None:
                deadline += time.monotonic() - started
            with self._cond:
                if self._job is None:
                    self._job = (run, deadline, seconds, clock)
                    self._cond.notify()
        return put_back

    def disarm(self) -> None:
        if self._job is not None:
            with self._cond:
                self._job = None

    def _set(self, job: Tuple["FileRun", Optional[float], float, Optional[int]]) -> None:
        with self._cond:
            self._job = job
            if self._thread is None:
                self._thread = threading.Thread(target=self._loop, name="tcltest time limits", daemon=True)
                self._thread.start()
            self._cond.notify()

    def _loop(self) -> None:
        cond = self._cond
        while True:
            with cond:
                while self._job is None:
                    cond.wait()
                job = self._job
                run, deadline, seconds, clock = job
                if deadline is not None:
                    remaining = deadline - time.monotonic()
                    if remaining > 0:
                        cond.wait(remaining)
                        continue
                    self._job = (run, None, seconds, clock)  # the grace that follows
                    job = self._job
                    if not run._overrun(seconds):
                        self._job = None  # answered meanwhile
                        continue
            start = _cpu_time(clock)
            wall = time.monotonic() + _GENTLE_GRACE
            while True:
                with cond:
                    if self._job is not job:
                        break
                    cond.wait(0.1)
                    if self._job is not job:
                        break
                used = _cpu_time(clock)
                if (time.monotonic() > wall) if start is None or used is None else (used - start > _GENTLE_GRACE):
                    run._cancel(_TCL_CANCEL_UNWIND)
                    with cond:
                        if self._job is job:
                            self._job = None
                    break


_watchdog = _Watchdog()


def _thread_clock() -> Optional[int]:
    try:
        return time.pthread_getcpuclockid(threading.get_ident())
    except (AttributeError, OSError):
        return None


def _cpu_time(clock: Optional[int]) -> Optional[float]:
    """The processor time of the thread whose clock this is (None where it cannot be read)."""
    if clock is None:
        return None
    try:
        return time.clock_gettime(clock)
    except OSError:
        return None


# Signals whose Python handlers a run stands in for while its Tcl works: a
# handler that raises (Ctrl-C, pytest-timeout's signal method) stops the test
# gently first, so that tcltest reports where Tcl was.
_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGALRM") if hasattr(signal, name))


class FileRun:
    """One evaluation of a tcltest file with its own Interpreter, in the
    calling thread.

    `selected` lists the keys ((name, occurrence) pairs) of the tests to stop
    at; `order` gives each key's place in the file (from collection): a test
    the run meets that it does not list is skipped and named in the End's
    `unlisted`. pytest's side calls :meth:`run_test` for each of them in turn
    and :meth:`finish` at the end; a collection (`collect`: True for a dry
    run that skips every test, "full" for one that runs them, their output
    dropped) only needs :meth:`finish`.

    The file is evaluated in a greenlet of the calling thread: Tcl's
    extensions that tie themselves to a thread (Expect, Thread) see one
    thread, as under tclsh. The greenlet and its caller take turns.
    """

    def __init__(self, path: _Path, args: Iterable[str] = (), selected: Iterable[Key] = (),
                 order: Optional[Dict[Key, int]] = None, collect: Union[bool, str] = False,
                 tclx: Optional[bool] = None) -> None:
        self.path = os.path.abspath(path)
        self.args = list(args)
        self.tclx = tclx  # Interpreter(tclx=...): None follows KORVEX_TCL_TCLX
        self.selected = list(selected)
        self.order = order or {}
        self.mode = 2 if collect == "full" else 1 if collect else 0
        self.collect = bool(self.mode)
        self.position = -1  # the place of the last selected test reached
        self.end: Optional[End] = None
        self.interp: Optional[Interpreter] = None
        # The run's interpreter once closed: its history stays readable.
        self.last_interp: Optional[Interpreter] = None
        self._greenlet: Optional[greenlet.greenlet] = None
        self._caller: Optional[greenlet.greenlet] = None
        # What the run waits for: "go", or the key it reached.
        self._waiting: Union[None, Literal["go"], Key] = None
        # Guards _address (the interpreter's deletion) and _answered against
        # the watchdog's cancellations.
        self._lock = threading.Lock()
        self._address: Optional[int] = None
        self._answered = True  # the run's side has answered the last turn
        self._active: Optional[Key] = None  # the key of the test running in Tcl
        # The file holding what a test writes to stdout, and descriptor 1 as
        # it was before (while a test's output is captured).
        self._capture: Optional[int] = None
        self._saved_stdout: Optional[int] = None
        self._main_cwd: Optional[int] = None
        self._tcl_cwd: Optional[int] = None
        # When the last stretch overran its time limit: the limit and how
        # long the stretch took in all (None while it runs on).
        self.overran: Optional[float] = None
        self.took: Optional[float] = None
        # The Result of the test that was running when a signal handler
        # raised (Ctrl-C, pytest-timeout), stopped gently.
        self.stopped: Optional[Result] = None
        self._gentle_sent = False  # a gentle cancellation was sent (see _obey)
        self._in_tcl = False  # the run's Tcl is working (not a gate, not the caller)
        self._interrupt: Optional[BaseException] = None  # what a signal handler raised meanwhile
        self._escaped: Optional[BaseException] = None  # a BaseException that unwound the run
        self._handlers: Dict[int, Any] = {}  # the signal handlers stood in for

    # -- pytest's side -----------------------------------------------------

    def run_test(self, key: Key, seconds: float = 0.0) -> Union[Result, End, None]:
        """Runs the file on to the test `key` and that test, with a time limit
        of `seconds` (0: none) on this stretch. Returns its Result, or the
        run's End when the run ends before running it (or None when the run
        passed its place without it)."""
        while self.end is None:
            if self._waiting is None or self._waiting == "go":
                message = self._turn(("go", key, seconds))
            elif self._waiting == key:
                message = self._turn(("run", seconds))
            elif self._place(self._waiting) < self._place(key):
                message = self._turn(("skip", key, seconds))
            else:
                return None  # the file went past the place of this test
            if message[0] == "result":
                self._waiting = "go"
                self.position = max(self.position, self._place(key))
                return message[1]
            if message[0] == "reached":
                self._waiting = message[1]
                self.position = max(self.position, self._place(message[1]))
        return self.end

    def finish(self, seconds: float = 0.0) -> End:
        """Runs the file to its end, running no further test. Returns its End."""
        while self.end is None:
            if self._waiting is None or self._waiting == "go":
                message = self._turn(("go", None, seconds))
            else:
                message = self._turn(("skip", None, seconds))
            if message[0] == "result":  # cannot happen: nothing is wanted
                self._waiting = "go"
            elif message[0] == "reached":
                self._waiting = message[1]
        end = self.end
        if end.kind == "ok" and not self.collect:
            end.kind = "finished"
        return end

    def abort(self) -> None:
        """Ends a run that has not ended (its interpreter deleted)."""
        if self.end is None and self._greenlet is not None and not self._greenlet.dead:
            self._abort()

    def _place(self, key: Key) -> int:
        return self.order.get(key, -1)

    def _turn(self, message: _ToRun) -> _ToPytest:
        """Hands the turn to the run with `message`; returns its answer."""
        run = self._greenlet
        if run is None:
            run = self._greenlet = greenlet.greenlet(self._work)
            _live.add(self)
        caller = self._caller = greenlet.getcurrent()
        run.parent = caller
        seconds = message[-1] if message[0] != "abort" else 0.0
        self.overran = self.took = None
        self._guard_signals()
        with self._lock:
            self._answered = False
        started = time.monotonic()
        if seconds and seconds > 0:
            _watchdog.arm(self, seconds)
        try:
            answer: _ToPytest = run.switch(message)
        except BaseException:
            # Raised by the run itself (a plugin fault, or what unwound it):
            # it has ended.
            _watchdog.disarm()
            self._unguard_signals()
            if self.end is None:
                self.end = End("aborted", "the run ended with an exception", in_test=self._active is not None)
            raise
        finally:
            self._caller = None
        _watchdog.disarm()
        if self.overran is not None:
            self.took = time.monotonic() - started
        if answer[0] == "end":
            self.end = answer[1]
            self._unguard_signals()
        interrupt, self._interrupt = self._interrupt, None
        if interrupt is not None:  # a signal handler raised while Tcl worked: stopped gently
            if answer[0] == "result":
                self.stopped = answer[1]
            if self.end is None:
                self._abort()
            end = self.end
            if end is not None:
                if self.stopped is not None:
                    end.in_test = True  # stopped in a test: the next one needs a new run
                if end.kind == "error":
                    end.kind = "aborted"
            raise interrupt
        escaped, self._escaped = self._escaped, None
        if escaped is not None:
            raise escaped
        return answer

    def _overrun(self, seconds: float) -> bool:
        """The watchdog's: the stretch overran `seconds`; stops it gently
        unless it has answered. Returns whether it was stopped."""
        with self._lock:
            if self._address is None or self._answered:
                return False
            self.overran = seconds
            _Tcl_CancelEval(self._address, None, None, 0)
            self._gentle_sent = True
            return True

    def _cancel(self, flags: int) -> bool:
        """Cancels the run's Tcl work unless the run has answered (its
        answers are marked under the lock: a cancellation never reaches work
        that comes after them)."""
        with self._lock:
            if self._address is None or self._answered:
                return False
            _Tcl_CancelEval(self._address, None, None, flags)
            self._gentle_sent = not flags
            return True

    def _abort(self) -> None:
        """Unwinds the run from the gate it waits in, or ends it before it began."""
        self._aborted = True
        run = self._greenlet
        if run is None or run.dead:
            if self.end is None:
                self.end = End("aborted", "the run did not start", in_test=False)
            return
        caller = self._caller = run.parent = greenlet.getcurrent()
        try:
            answer: _ToPytest = run.throw(_Stop)
        except _Stop:  # not started: greenlet ends it at once
            answer = ("end", End("aborted", in_test=False))
        finally:
            if self._caller is caller:
                self._caller = None
        self._unguard_signals()
        if answer[0] == "end":
            self.end = answer[1]
        else:  # pragma: no cover - a run answers a stop with its end
            self.end = End("aborted", "the run did not stop", in_test=True)

    # -- signals -------------------------------------------------------------

    def _guard_signals(self) -> None:
        """Stands in for the Python handlers of _SIGNALS while this run's Tcl
        works (in the main thread only: only there do they run)."""
        if threading.current_thread() is not threading.main_thread():
            return
        for signum in _SIGNALS:
            try:
                handler = signal.getsignal(signum)
            except (OSError, ValueError):
                continue
            if getattr(handler, "korvex_run", None) is self or not callable(handler):
                continue
            try:
                signal.signal(signum, self._stand_in(handler))
            except (OSError, ValueError):
                continue
            self._handlers.setdefault(signum, handler)

    def _stand_in(self, handler: Callable[..., Any]) -> Callable[..., Any]:
        def stand_in(signum: int, frame: Any) -> Any:
            if not self._in_tcl or self._interrupt is not None:
                return handler(signum, frame)  # as if it were not here (a second signal unwinds)
            try:
                return handler(signum, frame)
            except BaseException as exc:
                # Stopped gently: tcltest reports the test with Tcl's stack,
                # and the exception is raised once the run answers.
                self._interrupt = exc
                if self._cancel(0):
                    _watchdog.grace(self)
                return None

        stand_in.korvex_run = self  # type: ignore[attr-defined]
        stand_in.korvex_handler = handler  # type: ignore[attr-defined]
        return stand_in

    def _unguard_signals(self) -> None:
        handlers, self._handlers = self._handlers, {}
        for signum in handlers:
            try:
                current = signal.getsignal(signum)
                if getattr(current, "korvex_run", None) is self:
                    signal.signal(signum, current.korvex_handler)  # type: ignore[union-attr]
            except (OSError, ValueError):
                pass

    # -- the run's side ------------------------------------------------------

    def _work(self, message: _ToRun) -> _ToPytest:
        self._take_turn()
        restore_executable: Optional[Callable[[], None]] = None
        interp: Optional[Interpreter]
        try:
            os.chdir(os.path.dirname(self.path))
            interp = self._open()
            with self._lock:
                self._address = interp.interpaddr()
            restore_executable = _use_launcher(interp)
            self._prepare(interp)
            end = self._evaluate(message)
        except (_Stop, greenlet.GreenletExit) as exc:
            _forget_frames(exc)
            end = End("aborted", in_test=self._active is not None)
        except BaseException as exc:  # a fault of the plugin: reported, never lost
            text = "%s: %s" % (type(exc).__name__, exc)
            if exc.__cause__ is not None:
                text += "\n(from %s: %s)" % (type(exc.__cause__).__name__, exc.__cause__)
            info = getattr(exc.__cause__ or exc, "errorinfo", None)
            if info:
                text += "\n" + info
            end = End("error", text, exc=exc)
        self._in_tcl = False
        try:
            self._clean_up(restore_executable)
        except BaseException as exc:  # reported; the caller must still get the end
            if end.kind != "error":
                end = End("error", "cleaning up after the file: %s: %s" % (type(exc).__name__, exc), exc=exc)
        _forget_frames(end.exc)
        interp = None
        with self._lock:
            self._answered = True
        return ("end", end)

    def _clean_up(self, restore_executable: Optional[Callable[[], None]]) -> None:
        # Every step runs whatever an earlier one raised: the caller's
        # directory above all must come back.
        try:
            try:
                self._release_stdout()
            finally:
                with self._lock:
                    self._address = None
                if self.interp is not None:
                    try:
                        if restore_executable is not None:
                            restore_executable()
                    finally:
                        try:
                            self.interp.close()
                        except Exception:
                            pass
        finally:
            try:
                self._give_turn()
            finally:
                if self._tcl_cwd is not None:
                    os.close(self._tcl_cwd)
                    self._tcl_cwd = None
                if self._capture is not None:
                    os.close(self._capture)
                    self._capture = None
                self.last_interp, self.interp = self.interp, None
                _live.discard(self)

    def _open(self) -> Interpreter:
        from korvex.tcl.console import _new_interpreter  # argv, argc, argv0 and exit as the console sets them

        if self.collect:  # a collection only finds the tests: no run of the code to count
            from .tclcoverage import unmeasured

            with unmeasured():
                interp = self.interp = _new_interpreter(os.path.basename(self.path), self.args, False, self.tclx)
        else:
            interp = self.interp = _new_interpreter(os.path.basename(self.path), self.args, False, self.tclx)
        return interp

    def _prepare(self, interp: Interpreter) -> None:
        # As a harness that runs test files in one interpreter does
        # (tcltest's runAllTests -singleproc, tcllib's): tcltest loaded and
        # its commands imported before the file.
        interp.tk.eval("package require tcltest; namespace import ::tcltest::*")
        interp.tk.eval(_PROCS)
        interp.create_callback(self._gate, cmd_name="::tcl::korvex_tcltest_gate")
        selected = [part for key in self.selected for part in key]
        known = [part for key in self.order for part in key] if not self.mode else []
        interp.tk.call("apply", _SETUP, self.mode, selected, known, os.path.basename(self.path))

    def _evaluate(self, message: _ToRun) -> End:
        interp = self.interp
        assert interp is not None  # opened by _work
        self._obey(message)
        if self.mode == 2:  # what the tests write is not shown
            self._capture_stdout()
        self._in_tcl = True
        try:
            _tclsh.eval_file(interp, os.path.basename(self.path))
            end = End("ok")
        except SystemExit as exc:
            _forget_frames(exc)
            if self._active is not None:  # for the "Tcl history" section of the test
                interp.history.append(self._command)
            code = exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 1)
            end = End("exit", "the file called exit %d" % code, status=code, in_test=self._active is not None)
        except TclError as exc:
            timeout: Optional[BaseException] = exc if isinstance(exc, TclTimeoutError) else exc.__cause__
            if self._active is not None:  # for the "Tcl history" section of the test stopped
                interp.history.append(self._command)
            if isinstance(timeout, TclTimeoutError):
                end = End("timeout", "%s\n%s" % (timeout, exc), exc=timeout, in_test=self._active is not None)
            elif self.overran is not None:  # stopped at the time limit
                end = End("timeout", _own_frames_dropped(_stack_text(exc)), in_test=self._active is not None)
            elif self._aborted:  # where Tcl was: the stack it unwound
                end = End("aborted", _own_frames_dropped(_stack_text(exc)), in_test=self._active is not None)
            else:
                end = End("error", str(exc), exc=exc)
            _forget_frames(exc)
            timeout = None
        except (_Stop, greenlet.GreenletExit):
            raise
        except BaseException as exc:  # (KeyboardInterrupt...) unwound the file: raised to the caller
            if self._active is not None:
                interp.history.append(self._command)
            end = End("aborted", _stack_text(exc), in_test=self._active is not None)
            self._escaped = exc
        finally:
            self._in_tcl = False
        if self.mode == 2:
            self._release_stdout()
        end.key = self._active
        found = ()
        if end.kind in ("timeout", "aborted"):
            with self._lock:  # unwound: Tcl reads nothing until the cancellation is dropped
                if self._address is not None:
                    _TclResetCancellation(self._address, 1)
        try:
            if self.collect:
                found = tuple(interp.tk.splitlist(interp.tk.eval("set ::tcl::KorvexTcltest(found)")))
                if end.kind == "error":
                    text = interp.tk.call("apply", _tclsh._READ_FILE, os.path.basename(self.path), "")
                    end.status = int(interp.tk.call("info", "complete", text))  # 0: cannot be parsed
            else:
                end.counts = tuple(int(n) for n in interp.tk.splitlist(interp.tk.eval("::tcl::KorvexTcltestTotals")))
                end.met = int(interp.tk.eval("set ::tcl::KorvexTcltest(met)"))
                found = tuple(interp.tk.splitlist(interp.tk.eval("set ::tcl::KorvexTcltest(unlisted)")))
        except (TclError, ValueError):
            pass  # a run stopped (time limit, Ctrl-C): its counts are not known
        if self.collect:
            end.found = found
        else:
            end.unlisted = tuple((str(found[i]), int(found[i + 1])) for i in range(0, len(found) - 1, 2))
        return end

    _aborted = False

    def _obey(self, message: _ToRun) -> bool:
        """Acts on a message from the caller: returns whether to run the
        test reached, and sets what is wanted next."""
        if message[0] == "abort":
            self._aborted = True
            raise _Stop
        self._take_turn()
        if self._gentle_sent:
            # Sent as the work finished, before its answer: Tcl has not
            # seen it, and must not at the next command, which is not
            # the work it was meant for.
            self._gentle_sent = False
            with self._lock:
                if self._address is not None:
                    _TclResetCancellation(self._address, 1)
        # The time limit is kept by the watchdog.
        if message[0] == "run":
            return True
        self._wanted = message[1]
        return False

    _wanted: Optional[Key] = None
    _command = ""

    def _wait(self, answer: _ToPytest) -> bool:
        """Gives the turn to the caller with `answer`; returns its reply."""
        self._give_turn()
        with self._lock:
            self._answered = True
        caller = self._caller
        assert caller is not None  # a turn is on
        return self._obey(caller.switch(answer))

    def _gate(self, what: str, name: str, occurrence: str, *rest: str) -> Union[int, str]:
        # Called by the traces on tcltest::test (see _PROCS).
        self._in_tcl = False
        try:
            return self._pass_gate(what, name, occurrence, rest)
        finally:
            self._in_tcl = True

    def _pass_gate(self, what: str, name: str, occurrence: str, rest: Sequence[str]) -> Union[int, str]:
        interp = self.interp
        assert interp is not None  # the traces run in it
        key = (name, int(occurrence))
        if what == "enter":
            run = key == self._wanted or self._wait(("reached", key))
            if run:
                self._active = key
                self._command = rest[0]
                self._capture_stdout()
            return int(run)
        outcome, text, reasons, unmet, description = rest
        self._active = None
        output = self._release_stdout()
        report = ""
        if outcome == "failed":
            report, output = _split_report(output, name, description)
            report = _with_frames(report, interp)
        elif outcome == "error":
            report = text
        if outcome in ("failed", "error", "none"):
            # For the "Tcl history" section of the failure.
            interp.history.append(self._command)
        if output:
            _write_stdout(output)
        split = interp.tk.splitlist
        result = Result(key, outcome, report, split(reasons) if reasons else (), split(unmet) if unmet else (),
                        description)
        self._wanted = None
        self._wait(("result", result))
        return ""

    # -- the directory, stdout ---------------------------------------------

    def _take_turn(self) -> None:
        # The turn came to the run: the caller's directory kept, the run's
        # restored; the variable pytest changes for each test hidden from
        # the environment (tcltest reports a changed environment).
        if _PYTEST_VARIABLE in os.environ:
            os.unsetenv(_PYTEST_VARIABLE)
        if self._main_cwd is None:
            self._main_cwd = os.open(".", os.O_RDONLY)
        if self._tcl_cwd is not None:
            try:
                os.fchdir(self._tcl_cwd)
            finally:
                os.close(self._tcl_cwd)
                self._tcl_cwd = None

    def _give_turn(self) -> None:
        if _PYTEST_VARIABLE in os.environ:
            os.putenv(_PYTEST_VARIABLE, os.environ[_PYTEST_VARIABLE])
        if self._main_cwd is None:
            return
        if self._tcl_cwd is None:
            self._tcl_cwd = os.open(".", os.O_RDONLY)
        try:
            os.fchdir(self._main_cwd)
        finally:
            os.close(self._main_cwd)
            self._main_cwd = None

    def _capture_stdout(self) -> None:
        # While a test runs, what reaches descriptor 1 (Tcl's stdout: the
        # test's output, then tcltest's report) goes to a file of our own.
        if self._capture is None:
            file = tempfile.TemporaryFile()
            self._capture = os.dup(file.fileno())
            file.close()
        self._saved_stdout = os.dup(1)
        os.dup2(self._capture, 1)

    def _release_stdout(self) -> bytes:
        """Puts descriptor 1 back; returns what the test wrote there."""
        capture, saved = self._capture, self._saved_stdout
        if capture is None or saved is None:
            return b""
        self._saved_stdout = None
        os.dup2(saved, 1)
        os.close(saved)
        size = os.lseek(capture, 0, os.SEEK_CUR)
        if not size:
            return b""
        data = os.pread(capture, size, 0)
        os.ftruncate(capture, 0)
        os.lseek(capture, 0, os.SEEK_SET)
        return data


# The runs begun and not ended, to end at the end of a session (a run left
# waiting would otherwise be unwound whenever its greenlet is collected).
_live: "weakref.WeakSet[FileRun]" = weakref.WeakSet()


def _prompt_hold() -> Callable[[], None]:
    """For the Tcl debugger's prompt in a test: the time limit held off, and
    descriptor 1 (captured for tcltest's report while a test runs) given
    back to the terminal."""
    put_back_limit = _watchdog.hold()
    runs = [run for run in list(_live) if run._saved_stdout is not None and run._capture is not None]
    for run in runs:
        os.dup2(run._saved_stdout, 1)  # type: ignore[arg-type]

    def put_back() -> None:
        for run in runs:
            if run._capture is not None and run._saved_stdout is not None:
                os.dup2(run._capture, 1)
        put_back_limit()
    return put_back


_debugger.add_hold(_prompt_hold)


def abort_all() -> None:
    """Ends every run that has not ended."""
    for run in list(_live):
        run.abort()


def _stack_text(exc: BaseException) -> str:
    """The errorInfo of a stopped evaluation (the stack Tcl unwound), from
    the exception or those behind it: reading ::errorInfo afterwards in a
    cancelled interpreter fails with "eval unwound" itself."""
    seen = set()
    text = str(exc)
    found: Optional[BaseException] = exc
    while found is not None and id(found) not in seen:  # the first failure is the last one here
        seen.add(id(found))
        info = getattr(found, "errorinfo", None)
        if isinstance(info, str) and "\n" in info:
            text = info
        found = found.__cause__ or found.__context__
    return text


# The frames of the runner's own traces in an errorInfo: a stop that unwinds
# a test ends in its leave trace.
_OWN_FRAMES = re.compile(r'\n    (?:while executing|invoked from within)\n"::tcl::KorvexTcltest(?:Enter|Leave) '
                         r'(?:[^\n]*\n)*?    \((?:enter|leave) trace on "[^\n]*\)')


def _own_frames_dropped(text: str) -> str:
    return _OWN_FRAMES.sub("", text)


def _with_frames(report: str, interp: Interpreter) -> str:
    """tcltest's report of a failure: an empty result or output said to be
    so; for an error, the file and line of each procedure and method of its
    errorInfo (as a Python test's failure gives them)."""
    report = re.sub(r"^(---- (?:Result|Output|Error output) (?:was|should have been[^\n]*):)\n\n(?=---- |==== )",
                    r"\1\n(empty)\n", report, flags=re.M)
    start = report.find("\n---- errorInfo: ")
    if start < 0:
        return report
    end = report.find("\n---- errorCode: ", start)
    info = report[start + len("\n---- errorInfo: "):end if end >= 0 else len(report)]
    try:
        frames = [interp.tk.splitlist(f) for f in interp.tk.splitlist(
            interp.tk.call("::tcl::KorvexTcltestFrames", "", info))]
    except TclError:
        return report
    lines = ["  %s:%s: in %s" % (path, line, name) for name, path, line in reversed(frames) if path]
    if not lines:
        return report
    return report + "\nTcl traceback (most recent call last):\n" + "\n".join(lines)


def _forget_frames(exc: Optional[BaseException]) -> None:
    """Drops the tracebacks of exc and the exceptions behind it."""
    pending, seen = [exc], set()
    while pending:
        exc = pending.pop()
        if exc is None or id(exc) in seen:
            continue
        seen.add(id(exc))
        exc.__traceback__ = None
        pending += [exc.__cause__, exc.__context__]


def _split_report(output: bytes, name: str, description: str) -> Tuple[str, bytes]:
    """tcltest's report of a failure, the end of what the test wrote to
    stdout, apart from the rest: (report, rest), both as bytes but the report
    as text."""
    text = output.decode("utf-8", "surrogateescape")
    header = "==== %s %s FAILED" % (name, description.strip())
    start = text.rfind("\n" + header)
    if start < 0:
        start = 0 if text.startswith(header) else -1
    else:
        start += 1
    if start < 0:
        return ("==== %s FAILED (tcltest did not write its report to stdout)" % name, output)
    # With -verbose l, a line naming the file and line comes first.
    before = text.rfind("\n", 0, max(start - 1, 0))
    line = text[before + 1:start - 1] if start else ""
    if ": error: test failed: %s" % name in line:
        start = before + 1
    rest = text[:start].rstrip("\n")
    if rest:
        rest += "\n"
    report = text[start:].strip("\n")
    return report.encode("utf-8", "surrogateescape").decode("utf-8", "replace"), \
        rest.encode("utf-8", "surrogateescape")


def _write_stdout(data: bytes) -> None:
    while data:
        try:
            data = data[os.write(1, data):]
        except OSError:
            return


# ``info nameofexecutable`` names the console's launcher while runs go on (as
# in the console, so that tcltest's [interpreter] runs Tcl); it is process
# wide, so runs count themselves in and out.
_launcher_lock = threading.Lock()
_launcher_users = 0
_launcher_saved: Optional[Tuple[str, str]] = None


def _use_launcher(interp: Interpreter) -> Optional[Callable[[], None]]:
    global _launcher_users, _launcher_saved
    with _launcher_lock:
        if _launcher_users == 0:
            path = _tclsh.launcher(interp._tclx)
            if path is None:
                return None
            _launcher_saved = _tclsh.executable()
            _tclsh.set_executable(interp, path)
        _launcher_users += 1

    def restore() -> None:
        global _launcher_users
        with _launcher_lock:
            _launcher_users -= 1
            if _launcher_users == 0 and _launcher_saved is not None:
                name, encoding = _launcher_saved
                _tclsh.set_executable(interp, name or sys.executable, encoding)
    return restore


def _find_lines(path: _Path, tests: Sequence[Tuple[str, int]]) -> List[Tuple[str, int]]:
    """Lines of tests run in a child interpreter: only the line of the
    command that ran the child's code is known (negated); the test's own is
    the first line from there on that starts with "test NAME"."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().split("\n")
    except OSError:
        lines = []
    found = []
    for name, line in tests:
        if line < 0:
            line = -line
            pattern = re.compile(r"\s*(::)?(tcltest::)?test\s+[{\"]?%s[}\"]?\s" % re.escape(name))
            line = next((n + 1 for n in range(line - 1, len(lines)) if pattern.match(lines[n])), line)
        found.append((name, line))
    return found


def collect(path: _Path, args: Iterable[str] = (), seconds: float = 0.0, tclx: Optional[bool] = None,
            ) -> Tuple[List[Tuple[str, int]], Optional[str]]:
    """The tests of the tcltest file at `path`, in the order the file runs
    them: a list of (name, line) pairs, and the text tclsh would print for an
    error that ended the file's run after them (or None).

    A dry run finds them; when the file's top-level code fails after some
    tests, a full run (every test run, as tclsh would) finds them again, and
    the error is what that run met, if any.

    Raises TclError with that text when the file cannot be read, cannot be
    parsed, fails at its top level before any test or runs longer than
    `seconds` (when not 0). `tclx` is the Interpreter's (None: as
    KORVEX_TCL_TCLX says)."""
    tests, end = _collect(path, args, seconds, tclx, True)
    if end.kind == "error" and tests and end.status:
        limit = seconds * (len(tests) + 1) if seconds else 0.0  # the tests run too
        full, full_end = _collect(path, args, limit, tclx, "full")
        if full_end.kind in ("ok", "error", "exit") and len(full) >= len(tests):
            tests, end = full, full_end
    if end.kind == "error" and (not tests or not end.status):
        raise TclError(end.text)
    if end.kind == "timeout":
        raise TclError("the file's top-level code ran longer than %g seconds\n%s" % (seconds, end.text))
    if end.kind == "exit" and end.status and not tests:
        raise TclError("the file called exit %d" % end.status)
    if end.kind == "aborted":
        raise TclError("the file's run was stopped")
    return tests, (end.text if end.kind == "error" else None)


def _collect(path: _Path, args: Iterable[str], seconds: float, tclx: Optional[bool], how: Union[bool, str],
             ) -> Tuple[List[Tuple[str, int]], End]:
    run = FileRun(path, args, collect=how, tclx=tclx)
    end = run.finish(seconds)
    found = end.found
    tests = [(str(found[i]), int(found[i + 1])) for i in range(0, len(found) - 1, 2)]
    if any(line < 0 for _, line in tests):
        tests = _find_lines(path, tests)
    return tests, end
