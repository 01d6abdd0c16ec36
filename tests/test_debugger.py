"""The Tcl debugger (korvex.tcl.debugger): its prompt driven through piped
standard input and a pseudo-terminal, from the console (--debug, --break),
from pytest (--tcl-pdb, --tcl-break) and from ::korvex::breakpoint."""

import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from korvex.tcl import Interpreter, TclError, debugger

TIMEOUT = 90
CONSOLE = [sys.executable, "-m", "korvex.tcl"]
PYTEST = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-p", "no:randomly"]

LIB = """\
namespace eval acme {}
proc ::acme::log {msg} {
    set stamp "T:$msg"
    return $stamp
}
proc ::acme::total {items} {
    set sum 0
    array set seen {}
    foreach i $items {
        incr sum $i
        set seen($i) 1
    }
    ::acme::log "sum $sum"
    set sum [expr {$sum * 10}]
    error "total is $sum"
}
oo::class create ::acme::Order {
    variable lines
    constructor {} {set lines {}}
    method add {x} {lappend lines $x}
    method close {} {
        set n [llength $lines]
        return "closed $n"
    }
}
proc ::acme::work {a} {
    set b [expr {$a * 2}]
    ::korvex::breakpoint
    set c [::acme::log $b]
    return "$c!"
}
"""
LOG_LINE = 3  # set stamp ...
ERROR_LINE = 15
LOOP_LINE = 10  # incr sum $i


@pytest.fixture
def lib(tmp_path):
    path = tmp_path / "lib.tcl"
    path.write_text(LIB)
    return path


def _env(**extra):
    env = dict(os.environ, TERM="dumb", INPUTRC=os.devnull, HOME=os.environ.get("HOME", "/tmp"))
    for name in ("PYTEST_XDIST_WORKER", "PYTEST_CURRENT_TEST", "KORVEX_TCL_BREAKPOINT", "PYTEST_ADDOPTS"):
        env.pop(name, None)
    env.update(extra)
    return env


def run(args, input="", cwd=None, stdin=None, **extra):
    return subprocess.run(args, input=input if stdin is None else None, stdin=stdin, capture_output=True,
                          text=True, timeout=TIMEOUT, cwd=cwd, env=_env(**extra))


def script(tmp_path, lib, body):
    path = tmp_path / "main.tcl"
    path.write_text("source %s\n%s\n" % (lib, body))
    return path


# -- post-mortem ------------------------------------------------------------------

def test_console_post_mortem_shows_frames_and_values_as_raised(tmp_path, lib):
    main = script(tmp_path, lib, "::acme::total {1 2 3}")
    out = run([*CONSOLE, "--debug", str(main)],
              "locals\nset sum\nset seen(2)\narray names seen\ninfo locals s*\nl\nup\nset i\nputs hi\n"
              "down\ndown\nwhere\nq\n")
    assert out.returncode == 1
    text = out.stdout
    assert "Tcl error: total is 60" in text
    # The traceback, innermost selected, as the plugin's report names frames.
    assert re.search(r"Tcl traceback \(most recent call last\):\n  %s:2: in \(file\)\n> %s:%d: in ::acme::total\n"
                     r'    error "total is \$sum"' % (main, lib, ERROR_LINE), text), text
    # Values as they were when the error was raised (sum already multiplied).
    assert "i = 3\nitems = 1 2 3\nseen(1) = 1\nseen(2) = 1\nseen(3) = 1\nsum = 60\n" in text
    assert "(tcl-pdb) 60\n(tcl-pdb) 1\n" in text
    assert re.search(r"\(tcl-pdb\) [123] [123] [123]\n\(tcl-pdb\) seen sum\n", text), text
    assert "%4d -> " % ERROR_LINE + '    error "total is $sum"' in text
    # Up at the file's level: its variables are the globals; other input runs at global level.
    assert "> %s:2: in (file)" % main in text
    assert "*** newest frame" in text
    assert 'hi\n' in text and "total is 60\n    while executing" in out.stderr


@pytest.mark.parametrize("debug", [False, True])
def test_recording_changes_nothing_tcl_sees(lib, debug):
    with Interpreter() as interp:
        interp.eval("source %s" % lib)
        # (A script evaluated twice brings the package's ::tcl::korvex_eval.)
        for _ in range(2):
            interp.eval("info commands ::tcl::*")
        before = (interp.eval("namespace children ::"), interp.eval("info commands ::tcl::*"),
                  interp.eval("trace info variable ::errorInfo"))
        if debug:
            debugger.enable(interp)
        with pytest.raises(TclError) as info:
            interp.eval("::acme::total {4 5}")
        # The error's text is Tcl's own either way (the line in the procedure included).
        assert '(procedure "::acme::total" line 10)' in info.value.errorinfo
        kept = debugger.kept(info.value)
        if not debug:
            assert kept is None
            assert (interp.eval("namespace children ::"), interp.eval("info commands ::tcl::*"),
                    interp.eval("trace info variable ::errorInfo")) == before
            return
        _, _, frames = kept
        assert [f.where() for f in frames[1:]] == ["%s:%d: in ::acme::total" % (lib, ERROR_LINE)]
        assert frames[-1].values["sum"] == "90" and frames[-1].values["seen"] == {"4": "1", "5": "1"}
        debugger.disable(interp)
        assert interp.eval("trace info variable ::errorInfo") == before[2]


PYTHON_TEST = """\
import os

def test_total(tcl):
    tcl.eval("source " + os.path.join(os.path.dirname(__file__), "lib.tcl"))
    tcl.eval("::acme::total {4 5}")

def test_after(tcl):
    assert tcl.eval("expr 1+1") == "2"
"""

TCLTEST = """\
package require tcltest
namespace import ::tcltest::*
source [file join [file dirname [info script]] lib.tcl]
test lib-1 {total} -body {::acme::total {7 8}} -result 15
test lib-2 {fine} -body {expr 1} -result 1
cleanupTests
"""


@pytest.fixture
def project(tmp_path, lib):
    (tmp_path / "test_total.py").write_text(PYTHON_TEST)
    (tmp_path / "lib.test").write_text(TCLTEST)
    return tmp_path


@pytest.mark.tcltest_items  # (tcltest files under pytest: greenlets)
def test_pytest_post_mortem_for_a_python_test_and_a_tcltest_item(project, lib):
    out = run([*PYTEST, "--tcl-pdb", "test_total.py", "lib.test"], "set sum\nlocals\nc\nset items\nc\n",
              cwd=project)
    text = out.stdout
    assert out.returncode == 1, text
    assert "2 failed, 2 passed" in text
    prompts = text.split("Tcl error: ")
    assert len(prompts) == 3, text
    assert "> %s:%d: in ::acme::total" % (lib, ERROR_LINE) in prompts[1]
    assert "(tcl-pdb) 90\n" in prompts[1] and "sum = 90\n" in prompts[1]
    assert "%s:4: in (file)" % (project / "lib.test") in prompts[2]
    assert "(tcl-pdb) 7 8\n" in prompts[2]


def test_pytest_quit_ends_the_run(project):
    out = run([*PYTEST, "--tcl-pdb", "test_total.py", "lib.test"], "q\n", cwd=project)
    assert out.returncode == 2
    assert "Quitting the Tcl debugger" in out.stdout and "1 failed" in out.stdout


@pytest.mark.parametrize("option", ["--tcl-pdb", "--tcl-break=::acme::log"])
def test_pytest_refuses_distributing_with_the_debugger(project, option):
    out = run([*PYTEST, option, "-n", "2", "test_total.py"], cwd=project)
    assert out.returncode == 4
    assert "%s is incompatible with distributing tests (-n, --dist)" % option.split("=")[0] in out.stderr


def test_without_the_option_a_failure_opens_no_prompt(project):
    out = run([*PYTEST, "test_total.py"], "c\n", cwd=project)
    assert "1 failed, 1 passed" in out.stdout and "tcl-pdb" not in out.stdout


# -- live breakpoints and stepping ----------------------------------------------

def test_breakpoint_step_next_return_and_frames(tmp_path, lib):
    main = script(tmp_path, lib, "proc outer {} {set o 1; ::acme::work 5}\nputs [outer]")
    out = run([*CONSOLE, str(main)],
              "set b\nset b 100\nup\nset o\nset o 2\ndown\ns\ns\nwhere\nset msg\nr\nn\nset c\nc\n")
    text = out.stdout
    assert out.returncode == 0, out.stderr
    stops = text.split("(tcl-pdb) ")
    assert stops[0].strip() == "> %s:28: in ::acme::work\n    ::korvex::breakpoint" % lib
    assert "10" == stops[1].strip() and "100" == stops[2].strip()
    # up: evaluation moves with the frame, as uplevel does
    assert "in ::outer" in stops[3] and stops[4].strip() == "1"
    # step enters ::acme::log
    assert "%s:29: in ::acme::work\n    ::acme::log $b" % lib in stops[7]
    assert "%s:%d: in ::acme::log\n    set stamp" % (lib, LOG_LINE) in stops[8]
    assert stops[10].strip() == "100"
    # return: out of ::acme::log, next: the next command of the frame
    assert "in ::acme::work\n    set c [::acme::log $b]" in stops[11]
    assert "%s:30: in ::acme::work" % lib in stops[12]
    assert "T:100" == stops[13].strip()
    assert text.rstrip().endswith("T:100!")


@pytest.mark.parametrize("location, stop, value", [
    ("::acme::log", "%d: in ::acme::log" % LOG_LINE, "sum 6"),
    ("acme::log", "%d: in ::acme::log" % LOG_LINE, "sum 6"),
    ("lib.tcl:%d" % LOOP_LINE, "%d: in ::acme::total\n    incr sum $i" % LOOP_LINE, None),
    ("::acme::Order close", "22: in ::acme::Order close", None),
])
def test_break_at_a_location(tmp_path, lib, location, stop, value):
    main = script(tmp_path, lib, "set o [::acme::Order new]; $o add 1; puts [$o close]\ncatch {::acme::total {1 2 3}}")
    out = run([*CONSOLE, "--break", location, str(main)], "set msg\nlocals\nc\n")
    assert out.returncode == 0, out.stderr
    assert re.search(r"> .*lib\.tcl:%s" % re.escape(stop), out.stdout), out.stdout
    if value is not None:
        assert "(tcl-pdb) %s\n" % value in out.stdout
    assert out.stdout.count("(tcl-pdb) ") == 3  # stdin ended: later stops are no-ops


@pytest.mark.tcltest_items  # (tcltest files under pytest: greenlets)
def test_pytest_tcl_break_in_a_tcltest_item(project, lib):
    (project / "lib.test").write_text(TCLTEST.replace("{::acme::total {7 8}} -result 15",
                                                       "{::acme::log x} -result T:x"))
    # (A command's words are substituted before it runs: the stop shows
    # "set stamp ..." about to run with what $msg was.)
    out = run([*PYTEST, "--tcl-break", "::acme::log", "lib.test"], "set msg\nc\n", cwd=project)
    assert "> %s:%d: in ::acme::log" % (lib, LOG_LINE) in out.stdout
    assert "(tcl-pdb) x\n" in out.stdout and "2 passed" in out.stdout


ITCL = """\
package require Itcl
itcl::class Counter {
    variable n 0
    method bump {by} {
        set old $n
        incr n $by
        return $n
    }
}
Counter c
c bump 2
puts [c bump 3]
"""


def test_break_at_an_itcl_method(tmp_path):
    main = tmp_path / "counter.tcl"
    main.write_text(ITCL)
    out = run([*CONSOLE, "--break", "::Counter bump", str(main)], "set by\nn\nn\nset old\nc\n")
    if "can't find package Itcl" in out.stderr:
        pytest.skip("Itcl is not installed")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("\n> in ::Counter bump (not defined from a file)\n    set old $n\n")
    assert "(tcl-pdb) 2\n" in out.stdout and "(tcl-pdb) 0\n" in out.stdout and out.stdout.endswith("5\n")


PYTHON_API = """\
import sys
from korvex.tcl import Interpreter, TclError, debugger
interp = Interpreter()
debugger.enable(interp)
interp.eval("proc half {n} {set h [expr {$n / 2}]; if {$n % 2} {error odd}; return $h}")
try:
    interp.eval("half 7")
except TclError as exc:
    print("->", debugger.post_mortem(exc))
debugger.disable(interp)
try:
    interp.eval("half 9")
except TclError as exc:
    print("->", debugger.post_mortem(exc))
"""


def test_post_mortem_from_python(tmp_path):
    out = run([sys.executable, "-c", PYTHON_API], "set h\ninfo exists n\nstep\nc\n")
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.split("-> continue\n")
    assert "> in ::half (not defined from a file)\n    error odd\n" in first
    assert "(tcl-pdb) 3\n(tcl-pdb) 1\n(tcl-pdb) *** the frames are gone" in first
    # Recording off again: nothing kept, no prompt.
    assert second.startswith("tcl-pdb: nothing was kept of this error") and second.endswith("-> None\n")


def test_breakpoint_in_a_child_interpreter(tmp_path):
    main = tmp_path / "child.tcl"
    main.write_text("interp create kid\nkid eval {\n    proc inner {x} {\n        set y [expr {$x * 3}]\n"
                    "        ::korvex::breakpoint\n        return $y\n    }\n}\nputs [kid eval {inner 4}]\n")
    out = run([*CONSOLE, "--debug", str(main)], "set y\nset y 99\ns\nc\n")
    assert out.returncode == 0, out.stderr
    assert "> %s:5: in inner\n    ::korvex::breakpoint" % main in out.stdout
    assert "(tcl-pdb) 12\n(tcl-pdb) 99\n(tcl-pdb) *** no stepping in a child interpreter (kid)" in out.stdout
    assert out.stdout.endswith("99\n")


@pytest.mark.parametrize("how", ["devnull", "ended", "variable", "xdist"])
def test_breakpoint_is_a_no_op_where_nobody_can_answer(tmp_path, lib, how):
    main = script(tmp_path, lib, "puts [::acme::work 1]")
    extra = {"variable": {"KORVEX_TCL_BREAKPOINT": "0"}, "xdist": {"PYTEST_XDIST_WORKER": "gw0"}}.get(how, {})
    if how == "devnull":
        with open(os.devnull) as stdin:
            out = run([*CONSOLE, str(main)], stdin=stdin)
    else:
        out = run([*CONSOLE, str(main)], "" if how == "ended" else "c\n", **extra)
    assert out.returncode == 0 and out.stdout == "T:2!\n" and "tcl-pdb" not in out.stdout


@pytest.mark.tcltest_items  # (tcltest files under pytest: greenlets)
def test_time_limits_wait_while_the_prompt_does(tmp_path, lib):
    (tmp_path / "bp.test").write_text(
        "package require tcltest\nnamespace import ::tcltest::*\n"
        "test bp-1 {} -body {set v 41; ::korvex::breakpoint; incr v} -result 41\ncleanupTests\n")
    (tmp_path / "test_bp.py").write_text(
        "def test_bp(tcl):\n    assert tcl.eval('proc p {} {set n 5; ::korvex::breakpoint; set n}; p') == '6'\n")
    proc = subprocess.Popen([*PYTEST, "--tcl-timeout", "0.5", "-o", "timeout=1", "bp.test", "test_bp.py"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            cwd=tmp_path, env=_env(), text=True)
    try:
        for line in ("set v 40", "c", "set n 6", "c"):
            time.sleep(1.5)  # longer than every limit
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
        out, _ = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
    assert "2 passed" in out, out


# -- a pseudo-terminal ------------------------------------------------------------------

_ON_TTY = ("import fcntl, os, sys, termios; fcntl.ioctl(0, termios.TIOCSCTTY, 0); "
           "os.execv(sys.executable, [sys.executable] + sys.argv[1:])")


class Terminal:
    def __init__(self, args, cwd=None):
        master, slave = os.openpty()
        try:
            self.proc = subprocess.Popen([sys.executable, "-c", _ON_TTY, *args[1:]], stdin=slave, stdout=slave,
                                         stderr=slave, start_new_session=True, env=_env(), cwd=cwd)
        finally:
            os.close(slave)
        self.fd, self.text, self.pos = master, "", 0

    def send(self, keys):
        os.write(self.fd, keys.encode())

    def expect(self, pattern, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            match = re.compile(pattern).search(self.text, self.pos)
            if match:
                self.pos = match.end()
                return match
            ready, _, _ = select.select([self.fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("no %r in %r" % (pattern, self.text[self.pos:]))
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                data = b""
            if not data:
                raise AssertionError("ended; no %r in %r" % (pattern, self.text[self.pos:]))
            self.text += data.decode("utf-8", "replace").replace("\r\n", "\n")

    def close(self):
        self.proc.kill()
        self.proc.wait(timeout=TIMEOUT)
        os.close(self.fd)


def interrupt_prompt(term):
    """Ctrl-C at the prompt. Python's readline misses a signal that comes
    after it drew the prompt and before it waits for keys (the next key
    delivers it); a person is never that quick, a test is: repeat."""
    for _ in range(30):
        term.send("\x03")
        try:
            term.expect("--KeyboardInterrupt--", timeout=1)
            break
        except AssertionError:
            pass
    else:
        raise AssertionError("Ctrl-C at the prompt did nothing: %r" % term.text[term.pos:])
    term.send("\n")  # a Ctrl-C still on its way takes this empty line
    term.expect(r"\(tcl-pdb\) $")


@pytest.fixture
def terminal():
    made = []
    yield lambda *args, **kw: made.append(Terminal(*args, **kw)) or made[-1]
    for term in made:
        term.close()


def test_ctrl_c_stops_running_tcl_at_the_prompt_and_not_the_prompt(terminal, tmp_path):
    main = tmp_path / "loop.tcl"
    main.write_text("proc tick {i} {return [expr {$i + 1}]}\nset i 0\n"
                    "while {$i < 100000000} {set i [tick $i]}\nputs done\n")
    term = terminal([*CONSOLE, "--debug", str(main)])
    time.sleep(1.0)
    for _ in range(30):  # until Tcl runs under the debugger
        term.send("\x03")
        try:
            term.expect(r"\(tcl-pdb\) ", timeout=1)
            break
        except AssertionError:
            pass
    assert "%s:3: in (file)" % main in term.text or "in ::tick" in term.text
    interrupt_prompt(term)
    term.send("set i\n")
    term.expect(r"\n\d+\n")
    term.send("q\n")
    assert term.proc.wait(timeout=TIMEOUT) == 130


def test_pytest_post_mortem_on_a_terminal(terminal, project, lib):
    term = terminal([*PYTEST, "--tcl-pdb", "test_total.py"], cwd=project)
    term.expect(r"> .*lib\.tcl:%d: in ::acme::total\n.*\n\(tcl-pdb\) " % ERROR_LINE)
    term.send("set sum\n")
    term.expect(r"\n90\n\(tcl-pdb\) ")
    interrupt_prompt(term)  # at the prompt: the run goes on
    term.send("c\n")
    term.expect("1 failed, 1 passed")
    assert term.proc.wait(timeout=TIMEOUT) == 1


def test_set_break_api_and_bad_locations():
    with pytest.raises(ValueError, match="a breakpoint is a procedure"):
        debugger.set_break(None, "a b c")
    with Interpreter() as interp:
        debugger.set_break(interp, "::nowhere")
        assert debugger.breaks(interp) == ["::nowhere"]
        assert interp.eval("namespace children ::") == interp.eval("namespace children ::")
        debugger.clear_breaks(interp)
        assert debugger.breaks(interp) == []
        assert interp.eval("set x 1") == "1"  # the trace is gone, Tcl runs as before


# -- breakpoints that cost nothing to the code that cannot reach them ----------------

SHAPES = """\
proc area {w h} {
    set a [expr {$w * $h}]
    return $a
}
set top [area 2 3]
oo::class create Base {
    method size {} {
        set s 10
        return $s
    }
}
oo::class create Box {
    superclass Base
    method size {} {
        set n [next]
        return [expr {$n + 1}]
    }
    method twice {} {my size}
}
set box [Box new]
"""

SHAPES_RUN = """\
import sys
from korvex.tcl import Interpreter, debugger
interp = Interpreter()
path, location, before, script = sys.argv[1:5]
if before == "1":
    debugger.set_break(interp, location)
interp.tk.call("source", path)
if before == "0":
    debugger.set_break(interp, location)
print("->", interp.eval(script))
"""


@pytest.mark.parametrize("location, before, script, stop, ask, answer", [
    # a procedure defined before the breakpoint was set, and after
    ("shapes.tcl:2", False, "area 4 5", "2: in ::area", "set w", "4"),
    ("shapes.tcl:2", True, "area 4 5", "2: in ::area", "set w", "2"),  # (the file's own call first)
    # top-level code of a file sourced after the breakpoint was set
    ("shapes.tcl:5", True, "area 1 1", "5: in (file)", "info exists top", "0"),
    # a method reached through my and next; a line in a method's body
    ("::Base size", False, "[Box new] twice", "8: in ::Base size", "self class", "::Base"),
    ("::Base size", True, "[Box new] twice", "8: in ::Base size", "self class", "::Base"),  # classes made later
    ("shapes.tcl:15", False, "[Box new] size", "15: in ::Box size", "self class", "::Box"),
    ("shapes.tcl:8", True, "[Box new] size", "8: in ::Base size", "info exists s", "0"),
    ("shapes.tcl:16", False, "$box size", "16: in ::Box size", "set n", "10"),  # an object made before
])
def test_breaks_found_by_their_traces(tmp_path, location, before, script, stop, ask, answer):
    path = tmp_path / "shapes.tcl"
    path.write_text(SHAPES)
    out = run([sys.executable, "-c", SHAPES_RUN, str(path), location, "1" if before else "0", script],
              "%s\nc\n" % ask)
    assert out.returncode == 0, out.stderr
    assert "> %s:%s" % (path, stop) in out.stdout, out.stdout
    assert "(tcl-pdb) %s\n" % answer in out.stdout, out.stdout


ORDERS = """\
oo::class create Order {
    variable lines
    constructor {} {set lines {}}
    method add {sku qty} {lappend lines [list $sku $qty]}
    method total {} {
        set sum 0
        foreach l $lines {incr sum [lindex $l 1]}
        return $sum
    }
}
proc fill {o n} {
    for {set i 1} {$i <= $n} {incr i} {
        $o add sku$i $i
    }
}
"""


@pytest.mark.parametrize("answers", ["n\nn\nn\nn\nn\nc\n", "s\ns\nr\nn\nc\nc\nc\nc\n", "c\nn\nset lines\nc\nc\nc\n"])
def test_stepping_among_the_step_traces_of_breakpoints(tmp_path, answers):
    # Stops made by Tcl's step traces (a line of a procedure, the objects of
    # a class with a method breakpoint), then stepping: the command trace
    # comes and goes among them (a crash once).
    path = tmp_path / "orders.tcl"
    path.write_text(ORDERS)
    main = script(tmp_path, path, 'set o [Order new]\nfill $o 3\nputs "total [$o total]"')
    out = run([*CONSOLE, "--break", "orders.tcl:13", "--break", "::Order total", str(main)], answers)
    assert out.returncode == 0, (out.stdout, out.stderr)
    assert "> %s:13: in ::fill\n    $o add sku$i $i" % path in out.stdout
    assert out.stdout.endswith("total 6\n")
