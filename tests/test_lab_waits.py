"""Waits inside Tcl extensions (Expect, Thread, sqlite) and blocking channel
reads, stopped by Ctrl-C and time limits: each ends soon after the signal or
the deadline with the usual exception, and the interpreter, the spawned
process, the worker thread, the database and the socket still work. Each runs
in a subprocess (a wait that is not stopped would hang the suite)."""

import fnmatch
import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["pytester"]

SETUP = """
import os, signal, sys, threading, time
from korvex.tcl import Interpreter, TclError
signal.signal(signal.SIGALRM, lambda *a: os._exit(3))
signal.alarm(30)  # a wait that is not stopped fails the test
interp = Interpreter()

def stop(how, script):
    t0 = time.monotonic()
    try:
        if how == "ctrl-c":
            threading.Timer(0.4, os.kill, (os.getpid(), signal.SIGINT)).start()
            interp.eval(script)
        else:
            with interp.time_limit(0.4):
                interp.eval(script)
        print("returned")
    except BaseException as exc:
        print(type(exc).__name__)
    print("late" if time.monotonic() - t0 - 0.4 > LATE else "soon")
"""

# Generous for a loaded machine: unstopped, each waits for ever.
LATE = 2.0

# name: (set-up, the wait, a check that all still works afterwards)
WAITS = {
    "expect -1": (
        "package require Expect; log_user 0; spawn cat; set timeout -1; set ran 0",
        "expect { timeout { set ran 1 } eof { set ran 2 } never { set ran 3 } }",
        "list $ran [exp_send hi\\n; set timeout 5; expect hi {set r matched} timeout {set r timeout}]",
        "0 matched",
    ),
    "expect 10 in a proc": (
        "package require Expect; log_user 0; spawn cat; set timeout 10; set ran 0;"
        "proc waiting {} {global spawn_id ran; expect timeout {set ran 1} never {set ran 3}}",
        "waiting",
        "list $ran [exp_send hi\\n; set timeout 5; expect hi {set r matched} timeout {set r timeout}]",
        "0 matched",
    ),
    "thread::send": (
        "package require Thread; set t [thread::create]",
        "thread::send $t {while 1 {}}",
        "thread::send $t {set y answered}",
        "answered",
    ),
    "sqlite": (
        "package require sqlite3; sqlite3 db :memory:",
        "db eval {WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c}",
        "db eval {SELECT 6*7}",
        "42",
    ),
    # TclX's own waits.
    "tclx sleep": ("set slept 0", "sleep 20; set slept 1", "sleep 0; expr {$slept + 42}", "42"),
    "tclx wait": (
        "set pid [exec sleep 20 &]",
        "wait $pid",
        "kill $pid; set status [lrange [wait $pid] 1 2]; set pid [exec sleep 20 &]; set status",
        "SIG SIGTERM",
    ),
    "tclx select": (
        "pipe r w",
        "select [list $r] {} {}",
        "puts $w line; flush $w; list [select [list $r] {} {} 5] [gets $r]",
        "{file* {} {}} line",
    ),
    "tclx flock": (
        "set f [open FLOCKED w]; set pid [exec PYTHON -c {if 1:\n"
        "    import fcntl, time; f = open('FLOCKED', 'w'); fcntl.lockf(f, fcntl.LOCK_EX); time.sleep(20)} &];"
        "while {[flock -nowait $f]} {funlock $f; after 50}",
        "flock $f",
        "list [flock -nowait $f] [file exists FLOCKED]",
        "0 1",
    ),
    "socket gets": (
        "proc accept {s a p} {set ::server $s}; set listener [socket -server accept 0];"
        "set client [socket 127.0.0.1 [lindex [fconfigure $listener -sockname] 2]]; vwait ::server",
        "gets $client",
        "puts $server line; flush $server; gets $client",
        "line",
    ),
}


def run(code):
    script = SETUP.replace("LATE", repr(LATE)) + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split()


@pytest.mark.parametrize("how", ["ctrl-c", "time limit"])
@pytest.mark.parametrize("name", list(WAITS))
def test_a_wait_inside_an_extension_stops(name, how, tmp_path):
    setup, wait, after, expected = WAITS[name]
    setup = setup.replace("FLOCKED", str(tmp_path / "flocked")).replace("PYTHON", sys.executable)
    after = after.replace("FLOCKED", str(tmp_path / "flocked"))
    out = run("""
        interp.eval(%r)
        stop(%r, %r)
        print(interp.eval("set a usable"))
        print(interp.eval(%r).replace(" ", "_"))
        # And it stops again.
        stop(%r, %r)
    """ % (setup, how, wait, after, how, wait))
    exc = "KeyboardInterrupt" if how == "ctrl-c" else "TclTimeoutError"
    if "*" in expected:  # (a channel name)
        assert fnmatch.fnmatch(out[3], expected.replace(" ", "_")), out
        out[3] = expected.replace(" ", "_")
    assert out == [exc, "soon", "usable", expected.replace(" ", "_"), exc, "soon"]


def test_a_catch_around_expect_does_not_keep_it_waiting():
    out = run("""
        interp.eval("package require Expect; log_user 0; spawn cat; set timeout -1")
        stop("ctrl-c", "catch {expect never} msg; set after_catch 1")
        print(interp.eval("info exists after_catch"))
    """)
    assert out == ["KeyboardInterrupt", "soon", "0"]


def test_tpool_wait_ends_the_process_on_a_second_ctrl_c():
    # Nothing can break Thread's tpool::wait while its jobs run: as tclsh, a
    # second Ctrl-C ends the process (killed by SIGINT).
    script = SETUP + textwrap.dedent("""
        interp.eval("package require Thread; set p [tpool::create]; set j [tpool::post $p {while 1 {}}]")
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        threading.Timer(0.8, os.kill, (os.getpid(), signal.SIGINT)).start()
        interp.eval("tpool::wait $p $j")
        print("returned")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == -2, (result.returncode, result.stderr[-2000:])
    assert result.stdout == ""


def test_an_expect_that_never_ends_fails_its_test_at_the_tcl_timeout(pytester):
    pytester.makepyfile("""
        def test_waits_for_ever(tcl_session):
            tcl_session.eval("package require Expect; log_user 0; spawn cat; set timeout -1")
            tcl_session.eval("expect never")
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "--tcl-timeout=2", timeout=60)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*TclTimeoutError: Tcl work exceeded the time limit of 2.0 seconds*"])
