"""Failures that arrive by unusual paths: self-deleting callbacks, closed
interpreters, limits inside traces, odd exception texts, deadlines that pass
outside Tcl, exceptions Tcl caught."""

import gc
import time
import weakref

import pytest

from korvex.tcl import Interpreter, TclError, TclTimeoutError


@pytest.fixture
def fresh():
    with Interpreter() as interp:
        yield interp


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("how", ["rename sd {}", "rename sd sd2"])
def test_a_callback_that_removes_its_own_command_then_fails(fresh, exc, how):
    def selfish():
        fresh.eval(how)
        raise exc("gone")
    fresh.create_callback(selfish, cmd_name="sd")
    with pytest.raises(exc):
        fresh.eval("sd; set x reached")
    assert fresh.eval("info exists x") == "0"
    assert fresh.eval("set a usable") == "usable"


def test_self_removing_command_error_is_a_tcl_error(fresh):
    def selfish():
        fresh.eval("rename sd {}")
        raise ValueError("gone")
    fresh.create_callback(selfish, cmd_name="sd")
    with pytest.raises(TclError) as caught:
        fresh.eval("sd")
    assert caught.value.errorcode == ("PYTHON", "ValueError", "gone")
    assert isinstance(caught.value.__cause__, ValueError)


@pytest.mark.parametrize("use", [
    lambda i: i.get_var("x"), lambda i: i.vars["x"], lambda i: i.cast_int("1"),
    lambda i: i.cast_double("1.5"), lambda i: i.cast_boolean("yes"), lambda i: i.get_int("x"),
    lambda i: i.eval("set x"), lambda i: i.yarl.set("x"),
], ids=["get_var", "vars", "cast_int", "cast_double", "cast_boolean", "get_int", "eval", "yarl"])
def test_closed_interpreter_says_so_on_every_path(use):
    interp = Interpreter()
    interp.eval("set x 1")
    interp.close()
    with pytest.raises(TclError, match="^this Interpreter is closed$") as caught:
        use(interp)
    assert type(caught.value) is TclError


@pytest.mark.parametrize("read", [
    lambda i: i.get_var("v"), lambda i: i.vars["v"], lambda i: i.get_int("v"), lambda i: i.get_list("v"),
], ids=["get_var", "vars", "get_int", "get_list"])
def test_a_limit_firing_in_a_read_trace_is_a_timeout(fresh, read):
    fresh.eval("set v 1; trace add variable v read {apply {args {while 1 {}}}}")
    with pytest.raises(TclTimeoutError):
        with fresh.time_limit(0.2):
            read(fresh)
    fresh.eval("trace remove variable v read {apply {args {while 1 {}}}}")
    assert fresh.get_var("v") == "1"


@pytest.mark.parametrize("text", ["file \udc80 name", "\ud800", "nul \x00 and \udcff"])
def test_exception_text_with_lone_surrogates_keeps_its_details(fresh, text):
    def bad():
        raise ValueError(text)
    fresh.create_callback(bad, cmd_name="bad")
    with pytest.raises(TclError) as caught:
        fresh.eval("bad")
    exc = caught.value
    escaped = text.encode("utf-8", "backslashreplace").decode("utf-8")
    assert exc.result == "ValueError: " + escaped
    assert exc.errorcode == ("PYTHON", "ValueError", escaped)
    assert isinstance(exc.__cause__, ValueError) and exc.__cause__.args == (text,)
    assert "Traceback" in exc.errorinfo


@pytest.mark.parametrize("script", ["sleep 1", "exec sleep 1", "after 10; sleep 1"])
def test_a_blocking_command_that_overran_is_a_timeout(fresh, script):
    t0 = time.monotonic()
    with pytest.raises(TclTimeoutError):
        with fresh.time_limit(0.3):
            fresh.eval(script)
    assert time.monotonic() - t0 < 3
    assert fresh.eval("set a usable") == "usable"


def test_a_deadline_that_passed_in_python_stops_the_next_tcl_work(fresh):
    with pytest.raises(TclTimeoutError):
        with fresh.time_limit(0.2):
            time.sleep(0.3)
            fresh.eval("set a 1")
    with pytest.raises(TclTimeoutError):
        with fresh.time_limit(0.2):
            time.sleep(0.3)
            fresh.yarl.set("a", "2")
    # Neither script ran.
    assert fresh.eval("info exists a") == "0"


def test_an_abandoned_time_limit_lets_go_when_collected(fresh):
    limit = fresh.time_limit(0.1)
    limit.__enter__()
    del limit
    gc.collect()
    time.sleep(0.15)
    assert fresh.eval("after 200; set a free") == "free"


def test_a_caught_failure_is_let_go_when_the_evaluation_returns(fresh):
    refs = []

    class Big:
        pass

    def fails():
        big = Big()
        refs.append(weakref.ref(big))
        raise ValueError("x")
    fresh.create_callback(fails, cmd_name="fails")
    fresh.eval("catch fails")
    gc.collect()
    assert refs[0]() is None


WRITES = {
    "set_var": lambda i, v: i.set_var("t", v),
    "vars": lambda i, v: i.vars.__setitem__("t", v),
    "quick call": lambda i, v: i.yarl.set("t", v),
    "call": lambda i, v: i.call("set", "t", v),
    "set_list": lambda i, v: i.set_list("t", [v]),
    "callback result": lambda i, v: (i.create_callback(lambda: v, cmd_name="give"), i.eval("set t [give]")),
}


@pytest.mark.parametrize("write", list(WRITES))
@pytest.mark.parametrize("script", [r"set s a\udc80b", r"set s \udbff", "set s [encoding convertfrom utf-8 \\xff]"])
def test_text_with_surrogates_that_tcl_made_goes_back_unchanged(fresh, write, script):
    fresh.eval(script)
    value = fresh.get_var("s")
    WRITES[write](fresh, value)
    got = fresh.eval("lindex $t 0") if write == "set_list" else fresh.eval("set t")
    assert got == value
    assert fresh.eval("string equal [lindex $t 0] $s" if write == "set_list" else "string equal $t $s") == "1"


@pytest.mark.parametrize("text", ["\ud800", "a\udc7f", "x\udcc0\udc80y"])
def test_surrogates_tcl_cannot_hold_are_refused(fresh, text):
    with pytest.raises(UnicodeEncodeError):
        fresh.set_var("t", text)
    assert fresh.eval("info exists t") == "0"


def test_nested_callback_failures_keep_errorinfo_linear(fresh):
    depth = [0]

    def cb():
        depth[0] += 1
        if depth[0] >= 40:
            raise ValueError("deep")
        return fresh.eval("cb")
    fresh.create_callback(cb, cmd_name="cb")
    with pytest.raises(TclError) as caught:
        fresh.eval("cb")
    # Each level adds its own "invoked from within" lines, once.
    assert caught.value.errorinfo.count("Traceback") == 1
    assert caught.value.errorinfo.count('invoked from within\n"cb"') == 40
    assert len(caught.value.errorinfo) < 5000


@pytest.mark.parametrize("where", ["main thread", "small thread"])
def test_python_tcl_recursion_with_raised_limits_does_not_crash(where):
    import subprocess
    import sys
    import textwrap
    script = textwrap.dedent("""
        import sys, threading
        from korvex.tcl import Interpreter, TclError
        sys.setrecursionlimit(100000)
        out = []
        def work():
            interp = Interpreter()
            interp.eval("interp recursionlimit {} 100000")
            interp.create_callback(lambda: interp.eval("cb"), cmd_name="cb")
            try:
                interp.eval("cb")
            except (TclError, RecursionError):
                out.append(True)  # a clean error: which one depends on the stack's size
            out.append(interp.eval("set a usable"))
        if %r == "main thread":
            work()
        else:
            threading.stack_size(1024 * 1024)
            t = threading.Thread(target=work)
            t.start()
            t.join()
        print(*out)
    """ % where)
    import resource

    def usual_stack():  # (the sanitizer run raises it far above the usual 8 MiB)
        soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
        want = 8 * 1024 * 1024
        if hard == resource.RLIM_INFINITY or hard >= want:
            resource.setrlimit(resource.RLIMIT_STACK, (want, hard))

    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=240,
                            preexec_fn=usual_stack)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["True", "usable"]


@pytest.mark.parametrize("limited", [False, True])
def test_caught_failures_stay_caught_however_long_tcl_runs(fresh, limited):
    # Nothing the package does while Tcl runs may let a caught error escape
    # its catch (Tcl can hand a check the code of an error just caught).
    def fail():
        raise ValueError("bad value")
    fresh.create_callback(fail, cmd_name="fail")
    script = "for {set k 0} {$k < 20000} {incr k} {catch fail}; set k"
    if limited:
        with fresh.time_limit(600):
            assert fresh.eval(script) == "20000"
    else:
        assert fresh.eval(script) == "20000"


@pytest.mark.parametrize("write", [
    lambda i: i.eval("set v 1"), lambda i: i.set_var("v", 2), lambda i: i.yarl.set("v", 3),
], ids=["eval", "set_var", "quick call"])
def test_a_trace_callbacks_exception_is_the_cause(fresh, write):
    def refuse(*args):
        raise ValueError("no writes")
    fresh.create_callback(refuse, cmd_name="refuse")
    fresh.eval("trace add variable v write refuse")
    with pytest.raises(TclError) as caught:
        write(fresh)
    assert caught.value.result == 'can\'t set "v": ValueError: no writes'
    assert caught.value.errorcode == ("TCL", "WRITE", "VARNAME")
    assert isinstance(caught.value.__cause__, ValueError)
    # Only for the failure it caused: a later unrelated error has none.
    with pytest.raises(TclError) as later:
        fresh.eval("error other")
    assert later.value.__cause__ is None
