"""Tcl C calls made through korvex.tcl.internal.TclDLL (ctypes: the GIL
released, _tkinter unaware) or with the GIL held (ctypes.PyDLL) that reach the
package's own Tcl commands, traces, checks and channels: each runs, or fails
with a Tcl error, and never aborts the process. Each case runs in a subprocess
(an abort would take the test run with it)."""

import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["pytester"]

SETUP = """
import ctypes, os, signal, sys, threading, time
from korvex.tcl import Interpreter, TclError
import korvex.tcl.internal as I
signal.signal(signal.SIGALRM, lambda *a: os._exit(3))
signal.alarm(30)
interp = Interpreter()
cdll = I.TclDLL.Tcl_Eval
cdll.argtypes = [I.Tcl_Interp_p, ctypes.c_char_p]
pydll = ctypes.PyDLL(None, handle=I.TclDLL._handle).Tcl_Eval  # the GIL held
pydll.argtypes = [I.Tcl_Interp_p, ctypes.c_char_p]
result = lambda: I.TclDLL.Tcl_GetStringResult(interp).decode()

def boom(*args):
    raise ValueError("boom %s" % " ".join(args))

interp.create_callback(lambda *args: "got " + " ".join(args), cmd_name="echo_args")
interp.create_callback(boom, cmd_name="boom")
interp.create_callback(lambda: interp.eval("expr {6 * 7}"), cmd_name="nested")
interp.tk.createcommand("plain", lambda *args: "plain " + " ".join(args))  # tkinter's own
"""


def run(code):
    script = SETUP + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    return result.stdout.splitlines()


@pytest.mark.parametrize("call", ["cdll", "pydll"])
@pytest.mark.parametrize("script, expected", [
    ("echo_args a {b c}", "0 got a b c"),
    ("boom x", "1 ValueError: boom x"),
    ("catch {boom y} m; set m", "0 ValueError: boom y"),
    ("nested", "0 42"),
    ("list [nested] [echo_args z]", "0 42 {got z}"),
])
def test_a_package_command_called_from_a_tcl_c_call_runs(call, script, expected):
    out = run("""
        print(%s(interp, %r), result())
        # _tkinter's own bookkeeping is intact: its commands still run.
        print(interp.eval("list [nested] [plain p]"))
    """ % (call, script.encode()))
    assert out == [expected, "42 {plain p}"]


def test_a_callback_error_from_a_tcl_c_call_carries_its_details():
    out = run("""
        print(cdll(interp, b"boom q"))
        print(interp.tk.eval("set ::errorCode"))
        print("Traceback" in interp.tk.eval("set ::errorInfo"))
    """)
    assert out == ["1", "PYTHON ValueError {boom q}", "True"]


@pytest.mark.parametrize("how", ["ctrl-c", "time limit"])
def test_a_wait_in_a_tcl_c_call_is_stopped_without_abort(how):
    out = run("""
        t0 = time.monotonic()
        try:
            if %r == "ctrl-c":
                threading.Timer(0.4, os.kill, (os.getpid(), signal.SIGINT)).start()
                code = cdll(interp, b"after 20000")
                time.sleep(0.5)  # Python raises the interrupt at its next check
            else:
                with interp.time_limit(0.4):
                    code = cdll(interp, b"while 1 {}")
            print(code, result())
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        print("soon" if time.monotonic() - t0 < 3 else "late")
        print(interp.eval("expr {1 + 1}"), interp.eval("nested"))
    """ % how)
    assert out[1:] == ["soon", "2 42"]
    assert out[0] == ("KeyboardInterrupt" if how == "ctrl-c" else "1 eval unwound")


def test_tcl_output_from_a_tcl_c_call_keeps_its_order():
    out = run("""
        print("python first")
        cdll(interp, b"puts {tcl second}")
        print("python third")
        cdll(interp, b"echo_args x; puts {tcl fourth}")
    """)
    assert out == ["python first", "tcl second", "python third", "tcl fourth"]


def test_a_file_sourced_by_a_tcl_c_call_is_measured(tmp_path):
    lib = tmp_path / "lib.tcl"
    lib.write_text("proc twice {x} {\n    return [echo_args [expr {2 * $x}]]\n}\nset loaded 1\n")
    out = run("""
        with interp.coverage([%r]) as cov:
            print(cdll(interp, b"source %s; twice 4"), result())
        f = cov.data()[os.path.realpath(%r)]
        print(sorted(f.lines), f.missed)
    """ % (str(tmp_path), str(lib).encode().decode(), str(lib)))
    assert out == ["0 got 8", "[1, 2, 4] []"]


def test_the_plugin_error_trace_survives_tcl_reset_result(pytester):
    # Tcl_ResetResult writes ::errorInfo after an error, which fires the
    # plugin's trace from inside the ctypes call.
    pytester.makepyfile("""
        import pytest
        from korvex.tcl import Interpreter, TclError
        import korvex.tcl.internal as I

        def test_reset():
            interp = Interpreter()
            interp.tk.eval("set ::r {boom}")
            with pytest.raises(TclError):
                I.TclError_from_interp(interp, "dflt")
            I.TclDLL.Tcl_ResetResult(interp)

        def test_reset_through_a_library_of_its_own():
            # (not TclDLL: the trace runs no Python, so nothing needs marking)
            import ctypes
            interp = Interpreter()
            interp.tk.eval("catch {error boom}")
            ctypes.CDLL(I.lib).Tcl_ResetResult(ctypes.c_void_p(interp.interpaddr()))

        def test_traceback_still_recorded():
            interp = Interpreter()
            interp.eval("source lib.tcl")
            interp.tk.eval("catch outer")
            I.TclDLL.Tcl_ResetResult(interp)
            interp.eval("outer")
    """)
    pytester.makefile(".tcl", lib="proc inner {} {\n    error deep\n}\nproc outer {} {\n    inner\n}\n")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", timeout=120)
    assert result.ret == 1, result.stderr.str()[-2000:]
    result.assert_outcomes(passed=2, failed=1)
    result.stdout.fnmatch_lines(["*Tcl traceback (most recent call last):*", "*lib.tcl:5: in ::outer",
                                 "*lib.tcl:2: in ::inner"])
