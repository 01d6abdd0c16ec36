"""The short ways of the hot paths (a repeated script handed to Tcl as its
words, variables read and set where no trace can see it) must give exactly
what the long way gives: plain tkinter is the oracle."""

import gc
import importlib
import subprocess
import sys
import textwrap
import tkinter

import pytest

from korvex.tcl import Interpreter

# (korvex.tcl.history, the attribute, is the shared interpreter's History)
history_module = importlib.import_module("korvex.tcl.history")

SETUP = r"""
proc frames {} {return [info frame]}
proc caller {} {return [info frame -1]}
proc here {} {return [info frame 0]}
proc fails {} {error boom}
proc deeper {} {fails}
proc brk {} {return -code break}
proc cnt {} {return -code continue}
proc up2 {} {return -level 2 up}
proc err2 {} {return -code error -errorcode {X Y} -level 2 deep}
proc code5 {} {return -code 5 five}
proc echo {args} {return $args}
proc rec {n} {rec [incr n]}
set x 0x10
namespace eval ns {variable v 7}
"""

# Each is evaluated three times: the first time the long way, then the short one.
SCRIPTS = [
    "frames", "caller", "here", "fails", "deeper", "brk", "cnt", "up2", "err2", "code5",
    "set nosuch", "lindex", "error foo", "break", "continue", "return", "return 5",
    "return -code error -errorcode A::B boom", "return -level 0 x", "return -code 7", "info level",
    "set a 5", "set x", "incr counter", "incr x 2", "echo 1 2 3", "expr 1+2", "expr 1/0",
    "nosuchcmd a b", "tailcall echo", "yield", "set a(1) 2", "uplevel 1 set", "string repeat x -1",
    "set ns::v", "namespace current", "rec 0", "echo a::b c(d) e,f",
    # Not plain words: always the long way.
    "set b {a b}", "set c $x", "echo [set x]", "set  a 6", " set a 7", "set a 8;", "# note",
]

OBSERVE = ("list $::errorInfo $::errorCode [info errorstack] "
           "[catch {dict get [info frame 0] line} l] $l")


def outcomes(evaluate, tk):
    out = []
    for script in SCRIPTS:
        for _ in range(3):
            count = int(tk.eval("info cmdcount"))
            try:
                got = ("ok", str(evaluate(script)))
            except tkinter.TclError as exc:
                message = getattr(exc, "result", None)
                got = ("error", str(exc) if message is None else str(message), tk.eval(OBSERVE))
            # (Tcl counts the commands it runs: the short way runs no other. A
            # failure's details cost the package commands of its own.)
            count = int(tk.eval("info cmdcount")) - count if got[0] == "ok" else None
            out.append((script, got, count, tk.eval("set ::a"), tk.eval("info exists ::counter")))
    return out


# A repeated script runs through a command of the package's, or, while a
# command trace is on the interpreter (which would see that command), through
# a variable's read trace.
ROUTES = {"command": "", "variable": "set ::devnull [open /dev/null w]; cmdtrace on procs $::devnull"}


@pytest.mark.parametrize("route", ROUTES)
def test_repeated_scripts_give_what_tkinter_gives(route):
    # The oracle: tkinter's own eval on an interpreter made the same way.
    ours, other = Interpreter(), Interpreter()
    for interp in (ours, other):
        interp.tk.eval(SETUP + ROUTES[route])
        interp.tk.eval("set a 0")
    assert outcomes(ours.eval, ours.tk) == outcomes(other.tk.eval, other.tk)
    taken = ("command" if ours.tk.eval("info commands ::tcl::korvex_eval") else "") + \
        ("variable" if ours.tk.eval("info vars ::tcl::korvex_eval") else "")
    assert taken.endswith(route)
    ours.close()
    other.close()


def test_callbacks_reached_from_a_repeated_script():
    # A tkinter-made command takes the GIL back through _tkinter's own record:
    # the short way must run inside a call of _tkinter's.
    ours = Interpreter()
    seen = []
    ours.tk.createcommand("raw", lambda *a: seen.append(a) or "r%d" % len(seen))
    ours.createcommand("own", lambda *a: "o" + "".join(a))
    ours.eval("proc viaproc {} {set x local; return [raw y]}")
    for _ in range(3):
        assert ours.eval("raw a b") == "r%d" % len(seen)
        assert ours.eval("own p q") == "opq"
        assert ours.eval("viaproc") == "r%d" % len(seen)
    assert seen[0] == ("a", "b")

    # A script a callback evaluates runs in the frame of the procedure that
    # called it, as tk.eval runs it, however often it was seen.
    inner = []
    ours.createcommand("look", lambda: inner.append((ours.eval("set x"), ours.vars["x"])))
    ours.eval("set x global; proc p {} {set x local; look}")
    for _ in range(3):
        ours.eval("p")
    assert inner == [("local", "local")] * 3
    ours.close()


def test_the_cache_command_taken_away_or_replaced():
    ours = Interpreter()
    for _ in range(3):
        assert ours.eval("set a 1") == "1"
    ours.eval("rename ::tcl::korvex_eval gone")
    for _ in range(3):
        assert ours.eval("set a 2") == "2"
    # Another command under the name is not the package's: it never runs.
    ours.eval("proc ::tcl::korvex_eval {args} {lappend ::hijacked $args}")
    for _ in range(3):
        assert ours.eval("set a 3") == "3"
    ours.eval("rename ::tcl::korvex_eval {}; rename gone ::tcl::korvex_eval")
    for _ in range(3):
        assert ours.eval("set a 4") == "4"
    assert ours.eval("info exists ::hijacked") == "0"
    # Called by a script, the package's command does nothing.
    assert ours.eval("::tcl::korvex_eval") == ""
    ours.close()


def test_the_cache_variable_taken_away():
    ours = Interpreter()
    ours.eval(ROUTES["variable"])
    for _ in range(3):
        assert ours.eval("set a 1") == "1"
    ours.eval("unset ::tcl::korvex_eval")
    for _ in range(3):
        assert ours.eval("set a 2") == "2"
    ours.eval("unset ::tcl::korvex_eval; array set ::tcl::korvex_eval {k v}")
    for _ in range(3):
        assert ours.eval("set a 3") == "3"
    assert ours.eval("array get ::tcl::korvex_eval") == "k v"
    ours.close()


@pytest.mark.parametrize("name", ["x", "::x", "ns::v", "::ns::v", "link", "traced", "arr", "arr(k)", "undef",
                                  "nosuch", "ns::nosuch"])
def test_variables_read_and_set_as_tkinter_does(name):
    setup = """
        set x 0x10; namespace eval ns {variable v {a  b}; variable undef}
        upvar #0 ns::v link
        set traced 1; trace add variable traced {read write} {apply {{a b op} {lappend ::log $op}}}
        array set arr {k 1.50}; set log {}
    """
    ours = Interpreter()
    ours.eval(setup)
    plain = tkinter.Tcl()
    plain.tk.eval(setup)

    def read(tk, how):
        try:
            return how()
        except (tkinter.TclError, KeyError) as exc:
            return "error", type(exc).__name__
    got = [read(ours.tk, lambda: ours.vars[name]) for _ in range(2)]
    want = [read(plain.tk, lambda: plain.tk.eval("set {%s}" % name)) for _ in range(2)]
    # (vars[] raises KeyError for what Tcl cannot read)
    assert [g if g[0] != "error" else "error" for g in got] == [w if w[0] != "error" else "error" for w in want]
    for value in [5, -2**63, 2**70, 2.5, "plain", "héllo", True, ("l", "t")]:
        outcome = []
        for tk, set_it in ((ours.tk, lambda: ours.set_var(name, value)),
                           (plain.tk, lambda: plain.tk.setvar(name, value))):
            try:
                set_it()
                outcome.append(tk.eval("list [set {%s}] $::log" % name))
            except tkinter.TclError as exc:
                outcome.append(str(getattr(exc, "result", exc)).splitlines()[0])
        assert outcome[0] == outcome[1], (name, value)
    ours.close()


@pytest.mark.skipif(not history_module._entries_uncounted, reason="built without private CPython API")
@pytest.mark.parametrize("how", ["eval", "call", "yarl"])
def test_history_entries_do_not_start_collections(how):
    ours = Interpreter()
    run = {"eval": lambda i: ours.eval("set a %d" % i), "call": lambda i: ours.call("set", "a", i),
           "yarl": lambda i: ours.yarl.set("a", i)}[how]
    ours.history.__history__.clear()
    gc.collect()
    before = gc.get_count()[0]
    for i in range(3000):
        run(i)
    assert gc.get_count()[0] - before < 100
    assert len(ours.history.__history__) == 3000
    ours.close()


def test_many_distinct_scripts_keep_memory_flat():
    # Every script seen twice: the cache holds a bounded number of them.
    code = textwrap.dedent("""
        import resource
        from korvex.tcl import Interpreter
        i = Interpreter()
        def run(start, n):
            for k in range(start, start + n):
                i.eval("set a %d" % k, record=False)
                i.eval("set a %d" % k, record=False)
        run(0, 20000)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        run(20000, 200000)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    grown_kib = int(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                   text=True).stdout)
    assert grown_kib < 8 * 1024


@pytest.mark.parametrize("call, expected", [
    ("interp.call('info', 'frame')", "'1'"),
    ("interp.call('info', 'fr', '0')", "'type eval line 1 cmd {info fr 0} level 0'"),
    ("interp.call('::tcl::info::frame')", "'1'"),
    ("interp.yarl.info('frame')", "1"),
    ("interp.call('info', 'level')", "0"),
])
def test_info_frame_called_with_nothing_of_tcl_running(call, expected):
    # Tcl 8.6 crashes on `info frame` run with no command frame at all, as
    # tk.call runs a command at the top level: the package evaluates it as a script.
    code = "from korvex.tcl import Interpreter\ninterp = Interpreter()\nprint(repr(%s))" % call
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, expected), done.stderr
