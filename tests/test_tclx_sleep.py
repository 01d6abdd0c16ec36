"""TclX's `sleep`: the answers of tclsh with TclX for every kind of argument,
and a wait that Ctrl-C, time limits, the plugin's --tcl-timeout and
pytest-timeout stop as they stop `after` (see also test_lab_waits.py)."""

import shutil
import subprocess
import time

import pytest

from korvex.tcl.interpreter import Interpreter

pytest_plugins = ["pytester"]

# Each argument's outcome: its return code, result, error code and errorInfo.
PROBE = r"""proc probe {args} {
    set code [catch {sleep {*}$args} result options]
    list $code $result [expr {$code ? [dict get $options -errorcode] : {}}] \
        [expr {$code ? [dict get $options -errorinfo] : {}}]
}"""

# None of these waits: below one second, negative, or refused.
ARGUMENTS = ["0", "0.4", "0.999", "-1", "-0.5", "-2.7", "-inf", "1e-3", " 0 ", "0x0", "-0",
             "", "abc", "nan", "1_000", "true", "1 2", "{}"]


def words(arg):
    return "{%s}" % arg if arg != "1 2" and arg != "{}" else arg


@pytest.mark.skipif(not shutil.which("tclsh"), reason="no tclsh")
def test_every_argument_is_answered_as_tclsh_with_tclx_answers_it():
    script = "package require Tclx\n" + PROBE + "\n" + "".join(
        "puts [list [probe %s]]\n" % words(arg) for arg in ARGUMENTS)
    expected = subprocess.run(["tclsh"], input=script, capture_output=True, text=True, timeout=60).stdout
    interp = Interpreter()
    interp.eval(PROBE)
    t0 = time.monotonic()
    got = "".join("%s\n" % interp.eval("list [probe %s]" % words(arg)) for arg in ARGUMENTS)
    assert sum(line.startswith("{") for line in expected.splitlines()) == len(ARGUMENTS)
    assert got == expected
    assert time.monotonic() - t0 < 0.9
    assert interp.eval("probe") == interp.eval("probe 1 2") == (
        "1 {wrong # args: sleep seconds} NONE {wrong # args: sleep seconds\n"
        "    while executing\n\"sleep {*}$args\"}")


@pytest.mark.parametrize("arg, low, high", [("1.5", 1.0, 1.45), ("1", 1.0, 1.45),
                                            # TclX's 32-bit milliseconds wrapped round to 1.3 s
                                            ("-4294966", 0.0, 0.3)])
def test_whole_seconds_are_waited(arg, low, high):
    interp = Interpreter()
    t0 = time.monotonic()
    assert interp.eval("sleep %s" % arg) == ""
    assert low <= time.monotonic() - t0 < high


@pytest.mark.parametrize("args", [["--tcl-timeout=1"], ["--timeout=1", "--timeout-method=signal"]])
def test_a_long_sleep_fails_its_test_at_the_timeout(pytester, args):
    if "--timeout=1" in args:
        pytest.importorskip("pytest_timeout")
    pytester.makepyfile("""
        import time

        def test_sleeps(tcl):
            tcl.eval("if {[info commands sleep] eq {}} {proc sleep {ms} {after $ms}}")
            tcl.eval("sleep 30")

        def test_next(tcl):
            assert tcl.eval("expr {6 * 7}") == "42"
    """)
    t0 = time.monotonic()
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", *args, timeout=60)
    assert time.monotonic() - t0 < 20
    result.assert_outcomes(failed=1, passed=1)
    result.stdout.fnmatch_lines(["*Timeout*" if "--timeout=1" in args else
                                 "*TclTimeoutError: Tcl work exceeded the time limit of 1.0 seconds*"])
