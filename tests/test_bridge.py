"""Python and Tcl failing into each other: exceptions raised by Python callables
registered as Tcl commands, the details every TclError carries, the results a
callable hands Tcl, and what happens to an unwinding evaluation."""

import gc
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from korvex.tcl import TclError
from korvex.tcl.interpreter import Interpreter
from korvex.tcl.namespace import TclCommand, TclNamespace, TempTclCommand


def boom(x="42"):
    raise ValueError("bad value " + x)


# Every way this package registers a Python callable as a Tcl command; each
# returns the command's name.
def by_create_callback(interp, func):
    interp.create_callback(func, cmd_name="cb")
    return "cb"


def by_temp_command(interp, func):
    cmd = TempTclCommand(func, tcl=interp)
    interp._keep = cmd
    return cmd.cmd_name


def by_view_assignment(interp, func):
    interp.global_ns.cmds["cb"] = func
    return "cb"


def by_procs_view(interp, func):
    interp.global_ns.procs["cb"] = func
    return "cb"


def by_createcommand(interp, func):
    TclCommand("::cb", tcl=interp).createcommand(func)
    return "::cb"


def by_interpreter_createcommand(interp, func):
    interp.createcommand("cb", func)  # tkinter's way, on the interpreter
    return "cb"


def by_namespace_view(interp, func):
    interp.eval("namespace eval ::n {}")
    TclNamespace("::n", tcl=interp).cmds["cb"] = func
    return "::n::cb"


PATHS = [by_create_callback, by_temp_command, by_view_assignment, by_procs_view, by_createcommand,
         by_interpreter_createcommand, by_namespace_view]
PATH_IDS = [p.__name__ for p in PATHS]


def nothing_parked(interp):
    # _tkinter re-raises an exception a command left behind from its mainloop.
    interp.tk.mainloop(0)


@pytest.mark.parametrize("register", PATHS, ids=PATH_IDS)
def test_callback_exception_is_a_tcl_error(interp, register):
    name = register(interp, boom)
    with pytest.raises(TclError) as info:
        interp.eval(name + " 42")
    exc = info.value
    assert exc.result == "ValueError: bad value 42"
    assert exc.errorcode == ("PYTHON", "ValueError", "bad value 42")
    assert exc.errorinfo.startswith("ValueError: bad value 42\nTraceback (most recent call last):\n")
    assert 'raise ValueError("bad value " + x)' in exc.errorinfo
    assert exc.errorinfo.endswith('"%s 42"' % name)
    assert str(exc) == exc.errorinfo == interp.get_errorInfo()
    assert isinstance(exc.__cause__, ValueError) and str(exc.__cause__) == "bad value 42"
    assert exc.__cause__.__traceback__ is not None
    assert "in boom" in "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    nothing_parked(interp)
    assert interp.eval("set after ok") == "ok"


@pytest.mark.parametrize("register", PATHS, ids=PATH_IDS)
def test_tcl_catches_callback_exceptions(interp, register):
    name = register(interp, boom)
    assert interp.eval("catch {%s 1} m o; list $m [dict get $o -errorcode]" % name) == \
        "{ValueError: bad value 1} {PYTHON ValueError {bad value 1}}"
    assert interp.eval("try {%s 2} trap {PYTHON ValueError} {m} {set r caught:$m}" % name) == \
        "caught:ValueError: bad value 2"
    assert interp.eval("try {%s 3} trap {PYTHON KeyError} {} {set r no} on error {m} {set r other}" % name) \
        == "other"
    nothing_parked(interp)


@pytest.mark.parametrize("exc, result, code", [
    (KeyError("k"), "KeyError: 'k'", ("PYTHON", "KeyError", "'k'")),
    (RuntimeError(), "RuntimeError", ("PYTHON", "RuntimeError", "")),
    (AssertionError("a {b"), "AssertionError: a {b", ("PYTHON", "AssertionError", "a {b")),
    (TypeError("n\x00l"), "TypeError: n\x00l", ("PYTHON", "TypeError", "n\x00l")),
])
def test_exception_messages(interp, exc, result, code):
    def raiser():
        raise exc
    interp.create_callback(raiser, cmd_name="raiser")
    with pytest.raises(TclError) as info:
        interp.eval("raiser")
    assert info.value.result == result
    assert info.value.errorcode == code
    assert info.value.__cause__ is exc


def test_exception_whose_str_fails(interp):
    class Odd(Exception):
        def __str__(self):
            raise RuntimeError("no text")
    def raiser():
        raise Odd()
    interp.create_callback(raiser, cmd_name="raiser")
    with pytest.raises(TclError) as info:
        interp.eval("raiser")
    assert info.value.errorcode[:2] == ("PYTHON", "Odd")
    assert isinstance(info.value.__cause__, Odd)


def test_cause_only_for_the_error_it_caused(interp):
    interp.create_callback(boom, cmd_name="boom")
    # Tcl catches the callback's error and raises its own: no cause.
    with pytest.raises(TclError) as info:
        interp.eval("catch boom; error mine")
    assert info.value.__cause__ is None and info.value.result == "mine"
    # Re-raised with its options, it is still the callback's error.
    with pytest.raises(TclError) as info:
        interp.eval("catch boom m o; return -options $o $m")
    assert isinstance(info.value.__cause__, ValueError)


def test_nesting_two_deep(interp):
    interp.create_callback(boom, cmd_name="boom")

    def middle():
        return interp.eval("boom 7")

    interp.create_callback(middle, cmd_name="middle")
    interp.create_callback(lambda: interp.eval("middle"), cmd_name="top")
    with pytest.raises(TclError) as info:
        interp.eval("top")
    exc = info.value
    # Tcl saw the innermost error all the way up.
    assert exc.errorcode == ("PYTHON", "ValueError", "bad value 7")
    chain = []
    while exc is not None:
        chain.append(type(exc).__name__)
        exc = exc.__cause__
    assert chain == ["TclError", "TclError", "TclError", "ValueError"]
    assert interp.eval("catch top m; set m") == "ValueError: bad value 7"
    nothing_parked(interp)


def test_caught_errors_do_not_accumulate(interp):
    interp.create_callback(boom, cmd_name="boom")
    interp.eval("for {set i 0} {$i < 50} {incr i} {catch boom}")
    gc.collect()
    before = len(gc.get_objects())
    interp.eval("for {set i 0} {$i < 2000} {incr i} {catch boom}")
    gc.collect()
    assert len(gc.get_objects()) - before < 50


@pytest.mark.parametrize("base_exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("script", ["cb", "catch cb; set x reached", "proc p {} {catch {cb}}; p; set x reached",
                                    "try {cb} on error {} {set x reached} finally {set y 1}"])
def test_base_exceptions_unwind_the_whole_evaluation(interp, base_exc, script):
    raised = base_exc("stop")

    def cb():
        raise raised

    interp.create_callback(cb, cmd_name="cb")
    with pytest.raises(base_exc) as info:
        interp.eval(script)
    assert info.value is raised
    assert interp.eval("info exists x") == "0"
    assert interp.eval("set z usable") == "usable"
    nothing_parked(interp)


def test_base_exception_through_nested_evaluations(interp):
    interp.create_callback(lambda: (_ for _ in ()).throw(KeyboardInterrupt()), cmd_name="ki")
    interp.create_callback(lambda: interp.eval("catch ki; set ::inner reached"), cmd_name="mid")
    with pytest.raises(KeyboardInterrupt):
        interp.eval("catch mid; set ::outer reached")
    assert interp.eval("info exists ::inner; info exists ::outer") == "0"

    # Caught in Python halfway, the outer evaluation goes on.
    def careful():
        try:
            interp.eval("ki")
        except KeyboardInterrupt:
            return "handled"
    interp.create_callback(careful, cmd_name="careful")
    assert interp.eval("careful") == "handled"


@pytest.mark.parametrize("value, text", [
    ("r\x00s", "r\x00s"), ("\x00", "\x00"), ("é\x00ü", "é\x00ü"), ("😀", "😀"), ("", ""),
    (5, "5"), (2 ** 70, str(2 ** 70)), (-3, "-3"), (2.5, "2.5"), (True, "1"), (False, "0"),
    (b"by\x00tes", "by\x00tes"), (None, "None"), (("a b", 1, [2.5, ("x", "")]), "{a b} 1 {2.5 {x {}}}"),
    ([], ""), ([1, "r\x00s"], "1 r\x00s"),
])
def test_results_reach_tcl_exactly(interp, tk, value, text):
    interp.create_callback(lambda: value, cmd_name="value")
    assert interp.eval("value") == text
    assert interp.eval("string length [value]") == str(tk.call("string", "length", text))
    assert interp.tk.call("value") is not None


def test_results_of_other_types_go_through_str(interp):
    class I(int):
        def __str__(self):
            return "eleven"

    class F(float):
        pass

    interp.create_callback(lambda: (I(5), F(1.5), I(7)), cmd_name="odd")
    assert interp.eval("odd") == "eleven 1.5 eleven"
    tcl_obj = interp.tk.call("list", 1, 2)
    interp.create_callback(lambda: tcl_obj, cmd_name="obj")
    assert interp.eval("llength [obj]") == "2"


@pytest.mark.parametrize("value", [
    "\ud800", ("ok", "\udfff"), [[object.__new__(type("Bad", (), {"__str__": lambda s: 1 / 0}))]],
])
def test_results_that_cannot_be_converted_are_the_commands_error(interp, value):
    interp.create_callback(lambda: value, cmd_name="bad")
    with pytest.raises(TclError) as info:
        interp.eval("bad")
    assert info.value.errorcode[0] == "PYTHON"
    assert isinstance(info.value.__cause__, (UnicodeEncodeError, ZeroDivisionError))
    nothing_parked(interp)


def test_arguments_arrive_whole(interp):
    seen = []
    interp.create_callback(lambda *a: seen.append(a), cmd_name="take")
    interp.tk.call("take", "a\x00b", "é", "")
    assert seen == [("a\x00b", "é", "")]


def test_command_deleting_itself_while_running(interp):
    def suicide():
        interp.eval("rename self {}")
        return "done"
    interp.create_callback(suicide, cmd_name="self")
    assert interp.eval("self") == "done"
    assert interp.eval("info commands self") == ""
    gc.collect()
    assert interp.eval("set ok 1") == "1"


def test_raw_tkinter_commands_still_work_after_nested_calls(interp):
    # Our callback calls into Tcl, then Tcl runs a command _tkinter made itself.
    interp.create_callback(lambda: interp.eval("set ::n 1"), cmd_name="ours")
    interp.tk.createcommand("raw", lambda: "raw ok")
    assert interp.eval("ours; ours; raw") == "raw ok"


# --- error details on every TclError --------------------------------------------------

def tcl_failures(interp):
    interp.eval("proc fail {} {error message {info text} {MY CODE}}")
    interp.eval("namespace eval ::ns {}")
    ns = TclNamespace("::ns", tcl=interp)
    return {
        "eval": lambda: interp.eval("fail"),
        "yarl": lambda: interp.yarl.fail(),
        "command call": lambda: TclCommand("fail", tcl=interp)(),
        "command eval": lambda: TclCommand("fail", tcl=interp).eval(),
        "namespace eval": lambda: ns.eval("::fail"),
        "namespace call": lambda: ns.call(("::fail",)),
        "proc_body": lambda: TclCommand("nosuchproc", tcl=interp).proc_body(),
    }


@pytest.mark.parametrize("path", list(tcl_failures(Interpreter())))
def test_error_details_on_each_path(interp, path):
    with pytest.raises(TclError) as info:
        tcl_failures(interp)[path]()
    exc = info.value
    assert type(exc) is TclError
    if path == "proc_body":
        assert exc.result == '"nosuchproc" isn\'t a procedure'
        assert exc.errorcode == ("TCL", "LOOKUP", "PROCEDURE", "nosuchproc")
        return
    assert exc.result == "message"
    assert exc.errorcode == ("MY", "CODE")
    assert exc.errorinfo.startswith("info text")
    assert isinstance(exc.errorline, int)
    assert isinstance(exc.errorinfo, str)


def test_error_line(interp):
    with pytest.raises(TclError) as info:
        interp.eval("set a 1\nset b 2\nerror three")
    assert info.value.errorline == 3
    assert info.value.result == "three"
    assert info.value.errorcode == ("NONE",)


def test_variable_errors_have_details(interp):
    with pytest.raises(KeyError) as info:
        interp.get_var("::nosuch")
    exc = info.value.__cause__
    assert isinstance(exc, TclError)
    assert exc.result == str(exc) == 'can\'t read "::nosuch": no such variable'
    assert exc.errorcode == ("TCL", "LOOKUP", "VARNAME", "::nosuch")
    assert exc.errorline in (None, 1)


def test_callback_exception_through_quick_calls_and_commands(interp):
    interp.create_callback(boom, cmd_name="boom")
    for call in (lambda: interp.yarl.boom("9"), lambda: TclCommand("boom", tcl=interp)("9"),
                 lambda: TclNamespace("::", tcl=interp).call(("boom", "9"))):
        with pytest.raises(TclError) as info:
            call()
        assert isinstance(info.value.__cause__, ValueError)
        assert info.value.errorcode == ("PYTHON", "ValueError", "bad value 9")


# --- signals (each in a process of its own, bounded in time) ----------------------------

SIGNAL_SETUP = """
import os, signal, sys, threading, time
from korvex.tcl import Interpreter
interp = Interpreter()
interp.create_callback(lambda *a: 1, cmd_name="cb")

def fire(after, sig):
    threading.Timer(after, os.kill, (os.getpid(), sig)).start()
"""


def run(code, timeout=60):
    script = SIGNAL_SETUP + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split()


SCRIPTS = {
    "computing": "while 1 {}",
    "sleeping": "after 10000",
    "calling Python": "while 1 {cb}",
    "caught": "catch {while 1 {}}; set x reached",
    "in a procedure": "proc p {} {catch {after 10000}}; p; set x reached",
}


# Tcl looks for signals every 50 ms; the bounds here are loose, so that a busy
# machine cannot fail the test: what matters is that Tcl stops long before the
# script would have.
@pytest.mark.parametrize("script", list(SCRIPTS.values()), ids=list(SCRIPTS))
def test_ctrl_c_interrupts_tcl(script):
    bound = 3
    out = run("""
        fire(0.3, signal.SIGINT)
        t0 = time.monotonic()
        try:
            interp.eval(%r)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - t0 - 0.3 < %r)
        print(interp.eval("info exists x"), interp.eval("set a usable"))
    """ % (script, bound))
    assert out == ["interrupted", "True", "0", "usable"]


@pytest.mark.parametrize("script", list(SCRIPTS.values()), ids=list(SCRIPTS))
def test_raising_signal_handler_unwinds(script):
    out = run("""
        class Alarm(Exception):
            pass
        def handler(signum, frame):
            raise Alarm("too slow")
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            interp.eval(%r)
        except Alarm as exc:
            print("alarm", exc.__class__.__name__)
        print(interp.eval("info exists x"), interp.yarl.set("a", "usable"))
    """ % script)
    assert out == ["alarm", "Alarm", "0", "usable"]


def test_returning_signal_handler_lets_tcl_go_on():
    out = run("""
        seen = []
        signal.signal(signal.SIGALRM, lambda *a: seen.append(time.monotonic()))
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        result = interp.eval("after 1200; set x done")
        # The handler ran while Tcl slept, not once it had returned.
        print(result, len(seen), seen[0] < time.monotonic() - 0.6)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        print(interp.eval("set n 0; while {$n < 3000000} {incr n}; set n"), len(seen))
    """)
    assert out == ["done", "1", "True", "3000000", "2"]


def test_signal_inside_nested_evaluation():
    out = run("""
        interp.create_callback(lambda: interp.eval("while 1 {}"), cmd_name="spin")
        fire(0.3, signal.SIGINT)
        try:
            interp.eval("catch spin; set x reached")
        except KeyboardInterrupt:
            print("interrupted")
        print(interp.eval("info exists x"), interp.eval("set a usable"))
    """)
    assert out == ["interrupted", "0", "usable"]


# --- time limits --------------------------------------------------------------------------

from korvex.tcl import TclTimeoutError  # noqa: E402


def test_timeout_error_type():
    assert issubclass(TclTimeoutError, TclError) and issubclass(TclTimeoutError, TimeoutError)
    assert TclTimeoutError.__module__ == "korvex.tcl"


@pytest.mark.parametrize("script", ["while 1 {}", "after 5000", "catch {while 1 {}}; set x reached",
                                    "while 1 {cb}"])
def test_time_limit_expires(interp, script):
    import time
    interp.create_callback(lambda: None, cmd_name="cb")
    t0 = time.monotonic()
    with pytest.raises(TclTimeoutError, match="time limit of 0.2 seconds") as caught:
        with interp.time_limit(0.2):
            interp.eval(script)
    assert 0.15 < time.monotonic() - t0 < 4
    exc = caught.value
    assert (exc.result, exc.errorcode, exc.errorline) == (str(exc), ("TCL", "LIMIT", "TIME"), None)
    assert exc.errorinfo.startswith(str(exc))
    assert interp.eval("info exists x") == "0"
    assert interp.eval("set a usable") == "usable"


@pytest.mark.parametrize("script, says", [("exec sleep 1.6", r" \(it ran 1\.[6-9] seconds\)$"),
                                          ("while 1 {}", r"0\.2 seconds$")])
def test_a_timeout_says_how_long_blocked_work_ran(interp, script, says):
    # Work blocked in the system is stopped only when it returns: the
    # message says how long it ran when that was well past the limit.
    with pytest.raises(TclTimeoutError, match=says):
        with interp.time_limit(0.2):
            interp.eval(script)


def test_time_limit_not_reached(interp):
    with interp.time_limit(5) as limit:
        assert interp.eval("after 20; set a 1") == "1"
        assert limit.seconds == 5
    # Outside the block nothing is bounded any more.
    assert interp.eval("after 300; set b 2") == "2"


def test_time_limit_bounds_every_path(interp):
    interp.eval("proc spin {} {while 1 {}}")
    for call in (lambda: interp.yarl.spin(), lambda: TclCommand("spin", tcl=interp)(),
                 lambda: interp.global_ns.eval("spin")):
        with pytest.raises(TclTimeoutError):
            with interp.time_limit(0.1):
                call()


def test_nested_time_limits(interp):
    import time
    # The inner, earlier deadline wins, and the outer one is back after it.
    with interp.time_limit(3):
        t0 = time.monotonic()
        with pytest.raises(TclTimeoutError, match="0.1 seconds"):
            with interp.time_limit(0.1):
                interp.eval("while 1 {}")
        assert time.monotonic() - t0 < 2.5
        assert interp.eval("after 200; set a 1") == "1"
    # An outer deadline earlier than the inner one.
    with pytest.raises(TclTimeoutError, match="0.2 seconds"):
        with interp.time_limit(0.2):
            with interp.time_limit(10):
                interp.eval("while 1 {}")


def test_time_limit_inside_callback(interp):
    def slow():
        with interp.time_limit(0.1):
            interp.eval("while 1 {}")
    interp.create_callback(slow, cmd_name="slow")
    # Out of the callback, the timeout still ends the whole evaluation.
    with pytest.raises(TclTimeoutError):
        interp.eval("catch slow; set x reached")
    assert interp.eval("info exists x") == "0"
    # An outer limit running out during a nested evaluation: the same.
    interp.create_callback(lambda: interp.eval("while 1 {}"), cmd_name="spin")
    with pytest.raises(TclTimeoutError):
        with interp.time_limit(0.1):
            interp.eval("catch spin; set x reached")
    assert interp.eval("info exists x") == "0"


@pytest.mark.parametrize("seconds, error", [
    (0, ValueError), (-1, ValueError), (float("nan"), ValueError), (-0.5, ValueError),
    ("1", TypeError), (None, TypeError), (True, TypeError),
])
def test_time_limit_arguments(interp, seconds, error):
    with pytest.raises(error):
        interp.time_limit(seconds)


def test_time_limit_accepts_int_float_and_huge(interp):
    for seconds in (1, 0.5, 10 ** 30, float("inf")):
        with interp.time_limit(seconds):
            assert interp.eval("set a 1") == "1"


# --- closing ------------------------------------------------------------------------------

def registered_everywhere(interp):
    interp.create_callback(lambda: 1, cmd_name="a")
    interp.global_ns.cmds["b"] = lambda: 2
    interp.eval("namespace eval ::n {}")
    TclNamespace("::n", tcl=interp).cmds["c"] = lambda: 3
    temp = TempTclCommand(lambda: 4, tcl=interp)
    TclCommand("d", tcl=interp).createcommand(lambda: 5)
    return ["::a", "::b", "::n::c", temp.cmd_name, "::d"], temp


def test_close_removes_commands_and_releases(interp):
    names, temp = registered_everywhere(interp)
    tk = interp.tk
    interp.tk.eval("rename ::a ::renamed_a")
    names[0] = "::renamed_a"
    interp.close()
    assert [tk.eval("info commands " + n) for n in names] == [""] * len(names)
    assert interp.__callbacks__ == {}
    for use in (lambda: interp.get_var("a"), lambda: interp.eval("set a 1"), lambda: interp.yarl.set("a", 1),
                lambda: interp.set_var("a", 1), lambda: interp.tk.eval("set a 1"),
                lambda: TclCommand("set", tcl=interp)("a", 1)):
        with pytest.raises(TclError, match="closed"):
            use()
    interp.close()  # again: nothing happens
    del temp  # its cleanup finds the interpreter closed and says nothing


def test_with_statement_closes(interp):
    with Interpreter() as other:
        other.create_callback(lambda: "x", cmd_name="f")
        assert other.eval("f") == "x"
    with pytest.raises(TclError, match="closed"):
        other.eval("f")


def test_close_lets_go_of_tcl(interp):
    import weakref

    def func():
        return 1

    interp.create_callback(func, cmd_name="f")
    interp.global_ns.cmds["g"] = func
    ref = weakref.ref(func)
    del func
    tk = interp.tk
    interp.close()
    gc.collect()
    assert ref() is None  # Tcl's hold on the callables is gone
    assert sys.getrefcount(tk) == 2  # and on the application: ours is the last reference


def test_unreachable_interpreter_is_collected():
    import weakref

    def make():
        interp = Interpreter()
        interp.create_callback(lambda: interp.eval("set a 1"), cmd_name="cb")  # a cycle through Tcl
        interp.global_ns.cmds["v"] = lambda: interp
        interp.eval("cb; v")
        cmd = TempTclCommand(lambda: interp, tcl=interp)
        interp._cmd = cmd
        return weakref.ref(interp)

    ref = make()
    gc.collect()
    assert ref() is None


@pytest.mark.memory
def test_dropped_interpreters_free_their_memory():
    script = textwrap.dedent("""
        import gc, os
        from korvex.tcl import Interpreter

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        def one(cyclic):
            interp = Interpreter()
            if cyclic:
                interp.create_callback(lambda: interp.eval("set a 1"), cmd_name="cb")
            else:
                interp.create_callback(lambda: "x", cmd_name="cb")
            interp.global_ns.cmds["v"] = len
            interp.eval("cb; v abc")

        for cyclic in (False, True):
            for _ in range(20):
                one(cyclic)
                gc.collect()
            before = rss()
            for _ in range(200):
                one(cyclic)
                gc.collect()
            print((rss() - before) / 2 ** 20)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    growth = [float(x) for x in result.stdout.split()]
    assert all(g < 5 for g in growth), growth


def test_list_parsing_errors_have_details(interp):
    from korvex.tcl.internal import GetListFromAny
    with pytest.raises(TclError) as info:
        GetListFromAny("{a", interp)
    assert info.value.result == "unmatched open brace in list"
    assert info.value.errorcode == ("TCL", "VALUE", "LIST", "BRACE")
    assert info.value.errorinfo == info.value.result and info.value.errorline is None
    with pytest.raises(TclError) as info:
        GetListFromAny("{a", None)
    assert info.value.errorcode == () and info.value.result == str(info.value)


def test_time_limit_in_a_thread_of_its_own():
    import threading
    out = []

    def work():
        interp = Interpreter()
        try:
            with interp.time_limit(0.2):
                interp.eval("while 1 {}")
        except TclTimeoutError:
            out.append("timeout")
        out.append(interp.eval("set a ok"))
        interp.close()

    thread = threading.Thread(target=work)
    thread.start()
    thread.join(20)
    assert out == ["timeout", "ok"]


def test_time_limit_from_another_thread_is_refused(interp):
    import threading
    errors = []

    def other():
        try:
            with interp.time_limit(1):
                pass
        except RuntimeError as exc:
            errors.append(str(exc))

    thread = threading.Thread(target=other)
    thread.start()
    thread.join(20)
    assert errors and "thread" in errors[0]


def test_ctrl_c_in_an_idle_event_loop_is_pythons():
    # Waiting for events, no script runs: the signal reaches Python's own check.
    out = run("""
        fire(0.3, signal.SIGINT)
        t0 = time.monotonic()
        try:
            while time.monotonic() - t0 < 20:
                interp.tk.dooneevent(0)
        except KeyboardInterrupt:
            print("interrupted")
        print(interp.eval("set a usable"))
    """)
    assert out == ["interrupted", "usable"]


def test_close_inside_a_callback_does_not_crash():
    out = run("""
        import gc
        from korvex.tcl import TclError
        interp.create_callback(lambda: interp.close(), cmd_name="closer")
        print(interp.eval("closer; set a finished"))
        gc.collect()
        try:
            interp.eval("set b 1")
        except TclError as exc:
            print("closed" in str(exc))
    """)
    assert out == ["finished", "True"]


# _tkinter's command data holds the application object strongly (older
# CPython) or borrows it (newer): the bridge frees that data itself, and must
# release the application as _tkinter holds it. Each mode runs in its own
# process (it is chosen once per process; a release too many crashes). The
# borrowing kind is stood in for on a CPython that has the other.
OWNERSHIP_SCRIPT = """
import gc, sys
from korvex.tcl import interpreter as module
from korvex.tcl.interpreter import Interpreter

def cycle(interp):
    # each way a command's data is freed: deleted by name, replaced, renamed
    # away, deleted by itself while it runs
    interp.createcommand("a", len)
    interp.tk.deletecommand("a")
    interp.global_ns.cmds["b"] = len
    interp.global_ns.cmds["b"] = str
    interp.eval("rename b {}")
    interp.create_callback(lambda: interp.eval("rename self {}"), cmd_name="self")
    interp.eval("self")

for _ in range(3):
    interp = Interpreter()
    tk = interp.tk
    cycle(interp)
    gc.collect()
    before = sys.getrefcount(tk)
    for _ in range(30):
        cycle(interp)
    gc.collect()
    after = sys.getrefcount(tk)
    interp.createcommand("left", len)  # freed by close
    interp.close()
    del interp
    gc.collect()
    print(after - before, sys.getrefcount(tk))
print(*module._tk_command_data())
"""


@pytest.mark.parametrize("force", [None, "owned", "borrowed"])
def test_command_data_releases_the_application_as_held(force):
    env = dict(os.environ, KORVEX_TCL_TEST_TK_SELF=force or "")
    result = subprocess.run([sys.executable, "-c", OWNERSHIP_SCRIPT], capture_output=True, text=True, timeout=120,
                            env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    *rounds, (actual, assumed) = [line.split() for line in result.stdout.splitlines()]
    assert rounds == [["0", "2"]] * 3  # no reference lost or kept, and ours is the last at close
    assert actual in ("owned", "borrowed") and assumed == (force or actual)


def test_command_data_ownership_is_learnt_from_tkinter(interp):
    import _tkinter

    from korvex.tcl import interpreter as module

    app = _tkinter.create(None, "", "Tk", False, True, False)
    before = sys.getrefcount(app)
    app.createcommand("probe", len)
    during = sys.getrefcount(app)
    app.deletecommand("probe")
    expected = "owned" if during == before + 1 else "borrowed"
    assert module._tk_command_data() == (expected, os.environ.get("KORVEX_TCL_TEST_TK_SELF") or expected)
