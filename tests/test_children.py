"""Child and safe interpreters, signals and time limits reaching into them."""

import subprocess
import sys
import textwrap
import time

import pytest

from korvex.tcl import Interpreter, TclTimeoutError

COUNT = "set n 0; while {$n < 300000} {incr n}; set n"
NO_LIMIT = "-command {} -granularity 10 -milliseconds {} -seconds {}"


def has_tcllib(interp):
    return interp.eval("catch {package require snit}") == "0"


@pytest.fixture
def fresh():
    with Interpreter() as interp:
        yield interp


@pytest.mark.parametrize("create", ["interp create kid", "interp create -safe kid",
                                    "set kid [::safe::interpCreate kid]"])
def test_children_work_as_long_as_they_need(fresh, create):
    time.sleep(0.2)  # longer than any periodic check: nothing of it may expire in the child
    fresh.eval(create)
    assert fresh.eval("interp limit kid time") == NO_LIMIT
    assert fresh.eval("kid eval {%s}" % COUNT) == "300000"
    assert fresh.eval("kid eval {after 100; set x done}") == "done"


def test_snit_types_in_fresh_interpreters():
    for _ in range(3):
        with Interpreter() as interp:
            if not has_tcllib(interp):
                pytest.skip("tcllib is not installed")
            time.sleep(0.1)
            interp.eval("snit::type counter { variable n 0; method incr {} { incr n } }")
            interp.eval("counter c; c incr")
            assert interp.eval("c incr") == "2"


@pytest.mark.parametrize("when", ["in the block", "before the block"])
def test_a_child_spinning_in_a_limited_block_times_out(fresh, when):
    script = "interp create kid; kid eval {while 1 {}}"
    if when == "before the block":
        fresh.eval("interp create kid")
        script = "kid eval {while 1 {}}"
    t0 = time.monotonic()
    with pytest.raises(TclTimeoutError, match="0.3 seconds"):
        with fresh.time_limit(0.3):
            fresh.eval(script)
    assert 0.25 < time.monotonic() - t0 < 3
    # Nothing of the block is left in the child or in the interpreter.
    assert fresh.eval("interp limit kid time") == NO_LIMIT
    assert fresh.eval("kid eval {%s}" % COUNT) == "300000"
    assert fresh.eval("after 400; set a usable") == "usable"


def test_a_child_created_in_a_block_outlives_it(fresh):
    with fresh.time_limit(0.3):
        fresh.eval("interp create kid; interp create -safe {kid grandkid}")
    time.sleep(0.35)
    assert fresh.eval("kid eval {%s}" % COUNT) == "300000"
    assert fresh.eval("kid eval {grandkid eval {after 50; set a 1}}") == "1"


def test_timeout_keeps_the_tcl_stack(fresh):
    fresh.eval("proc spin {} {while 1 {}}; proc outer {} {spin}")
    with pytest.raises(TclTimeoutError) as caught:
        with fresh.time_limit(0.2):
            fresh.eval("outer")
    info = caught.value.errorinfo
    assert info.startswith("Tcl work exceeded the time limit of 0.2 seconds\n")
    assert '(procedure "spin" line 1)' in info and '(procedure "outer" line 1)' in info
    assert info.endswith('invoked from within\n"outer"')


def test_ctrl_c_stops_a_child():
    script = textwrap.dedent("""
        import os, signal, threading, time
        from korvex.tcl import Interpreter
        interp = Interpreter()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        t0 = time.monotonic()
        try:
            interp.eval("interp create kid; kid eval {while 1 {}}")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - t0 < 3)
        print(interp.eval("kid eval {set a usable}"))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["interrupted", "True", "usable"]
