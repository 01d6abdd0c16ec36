"""TclX's signal traps beside Python and beside other interpreters: a trap runs
in the interpreter that set it, also while that interpreter waits in the
event loop, and closing the interpreter gives each signal back to the handler
it had before (Python's for SIGINT). Each case runs in a subprocess of its own:
signal dispositions belong to the whole process."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

# Tcl that makes the signal arrive about 0.3 s later, while `vwait` waits.
TRIGGERS = {
    "SIGALRM": "alarm 0.3",
    "SIGCHLD": "exec sleep 0.3 &",
    "SIGUSR1": "exec sh -c {sleep 0.3; kill -USR1 $PPID} &",
}

WAIT = """\
signal trap {sig} {{set ::got %S}}
{trigger}
set ::kx_timeout [after 10000 {{set ::got timeout}}]
vwait ::got
after cancel $::kx_timeout
puts $::got
"""

# Where the Tcl runs: a new interpreter, a second one while another (and the
# shared one) exists, the console reading a file.
MAKERS = {
    "new": "i = Interpreter()",
    "second": "first = Interpreter(); i = Interpreter(); first.eval('set x 1')",
}


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("where", ["new", "second", "console"])
@pytest.mark.parametrize("sig", sorted(TRIGGERS))
def test_a_trap_wakes_the_interpreter_that_set_it(tmp_path, sig, where):
    script = WAIT.format(sig=sig, trigger=TRIGGERS[sig])
    if where == "console":
        path = tmp_path / "wait.tcl"
        path.write_text(script)
        result = subprocess.run([sys.executable, "-m", "korvex.tcl", str(path)], capture_output=True,
                                text=True, timeout=60)
    else:
        result = run_python("""
            from korvex.tcl.interpreter import Interpreter
            %s
            i.eval(%r)
        """ % (MAKERS[where], script))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [sig]


def test_an_error_in_a_trap_while_waiting_is_a_background_error_of_that_interpreter():
    result = run_python("""
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        print(i.eval('''
            proc bgerror {msg} {set ::err [list $msg $::errorInfo]}
            signal trap SIGALRM {error boom}
            alarm 0.2
            vwait ::err
            set ::err
        '''))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("boom {boom\n    while executing")
    assert "while executing signal trap code for SIGALRM signal" in result.stdout


def test_a_trap_error_while_evaluating_fails_that_evaluation():
    result = run_python("""
        import tkinter
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        try:
            i.eval('signal trap SIGUSR1 {error boom}; kill SIGUSR1 [pid]; while 1 {incr n}')
        except tkinter.TclError as e:
            print(e)
        print(i.eval('expr {1 + 1}'))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")
    assert lines[0] == "boom" and lines[-2] == "2"


def test_signal_get_reports_traps_as_tclx_does():
    result = run_python("""
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        i.eval('signal trap {SIGUSR1 SIGUSR2} {puts %S}; signal error SIGHUP')
        for sig in ('SIGUSR1', 'SIGHUP', 'SIGTERM'):
            print(i.eval('signal get ' + sig))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == [
        "{SIGUSR1 {trap 0 {puts %S} 0}}", "{SIGHUP {error 0 {} 0}}", "{SIGTERM {default 0 {} 0}}"]


def test_closing_the_interpreter_gives_ctrl_c_back_to_python():
    result = run_python("""
        import os, signal, time
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        print(i.eval('signal trap SIGINT {set ::caught 1}; kill SIGINT [pid]; update; set ::caught'))
        i.close()
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
            print("not interrupted")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "KeyboardInterrupt"]


def test_closing_gives_back_only_what_nothing_else_changed_since():
    result = run_python("""
        import os, signal
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        i.eval('signal trap {SIGUSR1 SIGUSR2} {set ::x 1}')
        mine = lambda *a: None
        signal.signal(signal.SIGUSR2, mine)
        i.close()
        j = Interpreter()
        print(j.eval('signal get {SIGUSR1 SIGUSR2}'))
        print(signal.getsignal(signal.SIGUSR2) is mine)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["{SIGUSR1 {default 0 {} 0}} {SIGUSR2 {unknown 0 {} 0}}", "True"]


def test_a_signal_pending_when_its_interpreter_closes_runs_nowhere():
    result = run_python("""
        import os, signal
        import korvex.tcl
        from korvex.tcl.interpreter import Interpreter
        i = Interpreter()
        i.eval('signal trap SIGUSR1 {puts "ran in closed"}')
        os.kill(os.getpid(), signal.SIGUSR1)  # arrives while Python runs: pending in Tcl
        i.close()
        j = Interpreter()
        j.eval('update; after 50; update')
        korvex.tcl.eval('update')
        print(j.eval('signal get SIGUSR1'))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:1] == ["{SIGUSR1 {default 0 {} 0}}"]


def test_the_last_interpreter_to_set_a_trap_owns_it():
    result = run_python("""
        from korvex.tcl.interpreter import Interpreter
        a, b = Interpreter(), Interpreter()
        a.eval('signal trap SIGALRM {set ::got a}')
        b.eval('signal trap SIGALRM {set ::got b}')
        print(b.eval('alarm 0.2; vwait ::got; set ::got'), a.eval('info exists ::got'))
        b.close()
        print(a.eval('signal get SIGALRM'))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["b 0", "{SIGALRM {default 0 {} 0}}"]


def test_traps_in_another_thread_run_there():
    result = run_python("""
        import threading
        from korvex.tcl.interpreter import Interpreter
        out = []
        def work():
            i = Interpreter()
            out.append(i.eval('signal trap SIGALRM {set ::got %S}; alarm 0.3; vwait ::got; set ::got'))
            i.close()
        t = threading.Thread(target=work)
        t.start()
        t.join(20)
        print(out)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['SIGALRM']"
