"""An interpreter belongs to the thread that created it. The paths that reach
Tcl without _tkinter's own thread check (the casts through tk.getint,
tk.getdouble and tk.getboolean, the Tcl library called directly) refuse any
other thread with RuntimeError before touching Tcl; the rest is refused by
_tkinter itself. Tcl running at the same time in the owning thread is never
disturbed."""

import gc
import threading

import pytest

from korvex.tcl.internal import GetListFromAny, Tcl_Interp_p, TclError_from_interp
from korvex.tcl.interpreter import Interpreter

OWN_CHECK = "belongs to another thread"

PATHS = [
    ("cast_boolean", lambda i: i.cast_boolean("yes")),
    ("cast_boolean of a number", lambda i: i.cast_boolean("2")),
    ("cast_int", lambda i: i.cast_int("0x10")),
    ("cast_double", lambda i: i.cast_double("1e3")),
    ("cast_any of a number", lambda i: i.cast_any("0x10")),
    ("cast_any of a boolean", lambda i: i.cast_any("true")),
    ("get_int", lambda i: i.get_int("n")),
    ("get_double", lambda i: i.get_double("n")),
    ("get_boolean", lambda i: i.get_boolean("n")),
    ("GetListFromAny with the interpreter", lambda i: GetListFromAny("{a", i)),
    ("GetListFromAny with a pointer", lambda i: GetListFromAny("{a", i.ptr)),
    ("TclError_from_interp", lambda i: TclError_from_interp(i)),
    ("TclError_from_interp with a pointer", lambda i: TclError_from_interp(i.ptr)),
    ("a pointer made", lambda i: Tcl_Interp_p.from_param(i)),
    ("eval", lambda i: i.eval("set n")),
    ("variables", lambda i: i.vars["n"]),
    ("set_var", lambda i: i.set_var("n", 2)),
]


def in_thread(fn):
    """fn() in a new thread: what it raised, or None.

    The collector stays off meanwhile: it could free an unreachable
    interpreter of an earlier test in that thread, which Tcl does not allow
    (_tkinter deletes the Tcl interpreter without looking at the thread).
    """
    caught = []

    def run():
        try:
            fn()
        except BaseException as exc:  # noqa: B036 - handed to the test
            caught.append(exc)

    gc.collect()
    gc.disable()
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join(30)
    finally:
        gc.enable()
    assert not t.is_alive()
    return caught[0] if caught else None


@pytest.fixture
def owned():
    interp = Interpreter()
    interp.eval("set n 7")
    interp.ptr = Tcl_Interp_p.from_param(interp)
    return interp


@pytest.mark.parametrize("path", [p[1] for p in PATHS], ids=[p[0] for p in PATHS])
def test_other_threads_are_refused(owned, path):
    exc = in_thread(lambda: path(owned))
    assert isinstance(exc, RuntimeError), exc
    # The interpreter is untouched and still works in its own thread.
    assert owned.eval("set n") == "7"
    try:
        path(owned)
    except Exception as e:  # the path's own outcome in the right thread, if any
        assert not isinstance(e, RuntimeError)


OWN = [p for p in PATHS if not p[0].startswith(("get_", "eval", "variables", "set_var"))]


@pytest.mark.parametrize("path", [p[1] for p in OWN], ids=[p[0] for p in OWN])
def test_refusal_names_the_cause(owned, path):
    exc = in_thread(lambda: path(owned))
    assert OWN_CHECK in str(exc)


def test_an_interpreter_made_in_a_thread_belongs_to_that_thread():
    made, done = [], threading.Event()
    outcome = []

    def own_thread():
        interp = Interpreter()
        outcome.append(interp.cast_int("0x10"))
        outcome.append(GetListFromAny("a {b c}", interp))
        made.append(interp)
        done.wait(30)
        # Tcl frees an interpreter only in its own thread.
        made.clear()
        del interp
        gc.collect()

    gc.collect()  # (see in_thread)
    gc.disable()
    t = threading.Thread(target=own_thread)
    t.start()
    try:
        while not made and t.is_alive():
            t.join(0.01)
        assert outcome == [16, ("a", "b c")]
        with pytest.raises(RuntimeError, match=OWN_CHECK):
            made[0].cast_boolean("yes")
        with pytest.raises(RuntimeError, match=OWN_CHECK):
            GetListFromAny("{", made[0])
    finally:
        done.set()
        t.join(30)
        gc.enable()


def test_threads_that_stay_off_the_interpreter_run_alongside(owned):
    # Tcl busy in its own thread while other threads are refused again and again.
    stop = threading.Event()
    refused = []

    def pester():
        while not stop.is_set():
            for name, path in PATHS[:9]:
                try:
                    path(owned)
                except RuntimeError:
                    refused.append(name)

    threads = [threading.Thread(target=pester) for _ in range(2)]
    gc.collect()
    gc.disable()  # (see in_thread)
    for t in threads:
        t.start()
    try:
        for _ in range(200):
            assert owned.eval("set x 0; for {set i 0} {$i < 200} {incr i} {incr x $i}; set x") == "19900"
            assert owned.cast_boolean("yes") is True
    finally:
        stop.set()
        for t in threads:
            t.join()
        gc.enable()
    assert refused
