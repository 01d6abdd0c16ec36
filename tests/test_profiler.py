"""The Tcl profiler (korvex.tcl.profiler): counts and times on hand-made code,
the names of procedures, methods, lambdas, children and Python callbacks,
the pstats and collapsed-stack files, and the pytest and console fronts."""

import marshal
import os
import pstats
import subprocess
import sys
import textwrap

import pytest

from korvex.tcl.interpreter import Interpreter
from korvex.tcl.profiler import Stats, combine

LIB = """\
proc ::leaf {n} {
    expr {$n * 2}
}
proc ::mid {n} {
    set s 0
    for {set k 0} {$k < $n} {incr k} { incr s [leaf $k] }
    return $s
}
proc ::rec {n} {
    if {$n <= 0} { return 0 }
    return [expr {1 + [rec [expr {$n - 1}]]}]
}
proc ::napper {} {
    for {set k 0} {$k < 5} {incr k} { after 100 }
}
proc ::failing {} {
    mid 2
    error boom
}
oo::class create ::acme::Order {
    method close {} {
        my helper
        return ok
    }
    method helper {} { leaf 3 }
}
"""


def py_callback(x):
    return int(x) + 1


@pytest.fixture
def lib(tmp_path):
    path = tmp_path / "lib.tcl"
    path.write_text(LIB)
    with Interpreter() as interp:
        interp.eval("source {%s}" % path)
        interp.createcommand("pycb", py_callback)
        yield interp, str(path)


def by_name(prof):
    return {r.name: r for r in prof.rows()}


@pytest.mark.parametrize("script, name, calls, primitive, line", [
    ("mid 10", "::leaf", 10, 10, 1),
    ("mid 10; mid 3", "::mid", 2, 2, 4),
    ("rec 5", "::rec", 6, 1, 9),                     # recursion: total counted once
    ("catch failing; catch failing", "::failing", 2, 2, 16),
    ("catch failing; catch failing", "::mid", 2, 2, 4),  # unwound through, and counted
    ("[::acme::Order new] close", "::acme::Order close", 1, 1, 21),
    ("[::acme::Order new] close", "::acme::Order helper", 1, 1, 25),
])
def test_exact_counts_names_and_definitions(lib, script, name, calls, primitive, line):
    interp, path = lib
    with interp.profile() as prof:
        interp.eval(script)
    row = by_name(prof)[name]
    assert (row.calls, row.primitive_calls, row.file, row.line) == (calls, primitive, path, line)
    assert 0 <= row.own <= row.total + 1e-9


def test_own_time_of_a_waiting_procedure_and_its_callers(lib):
    interp, _ = lib
    interp.eval("proc ::outer {} { napper; leaf 1 }")
    with interp.profile() as prof:
        interp.eval("outer")
    rows = by_name(prof)
    assert rows["::napper"].own == pytest.approx(0.5, rel=0.1)
    assert rows["::outer"].total == pytest.approx(0.5, rel=0.1)
    assert rows["::outer"].own < 0.05  # its callee's wait is not its own
    assert "<built-in ::after>" not in rows


def test_commands_are_entries_when_asked(lib):
    interp, _ = lib
    with interp.profile(commands=True) as prof:
        interp.eval("napper")
    rows = by_name(prof)
    assert rows["<built-in ::after>"].calls == 5
    assert rows["<built-in ::after>"].own == pytest.approx(0.5, rel=0.1)
    assert rows["::napper"].own < 0.05


def test_errors_unwinding_leave_the_stack_right(lib):
    interp, _ = lib
    with interp.profile() as prof:
        interp.eval("catch failing; mid 1")
    # mid's second call is a top-level one: no caller left behind by the error
    callers = prof.pstats()[(lib[1], 4, "::mid")][4]
    assert callers == {(lib[1], 16, "::failing"): (1, 1, pytest.approx(callers[(lib[1], 16, "::failing")][2]),
                                                   pytest.approx(callers[(lib[1], 16, "::failing")][3]))}
    assert "::mid" in [line.rpartition(" ")[0] for line in prof.collapsed()]


def test_python_callbacks_lambdas_and_children(lib):
    interp, _ = lib
    with interp.profile() as prof:
        interp.eval("pycb 4; pycb 5; apply {{x} {leaf $x}} 5")
        interp.eval("interp create kid; kid eval {proc kp {} {return 1}; kp; kp}; interp delete kid")
    rows = by_name(prof)
    cb = rows["python:%s.py_callback" % __name__]
    assert (cb.calls, cb.file, cb.line) == (2, __file__, py_callback.__code__.co_firstlineno)
    assert rows["apply {{x} {leaf $x}}"].calls == 1
    assert rows["{kid} ::kp"].calls == 2
    assert "apply {{x} {leaf $x}};::leaf" in [line.rpartition(" ")[0] for line in prof.collapsed()]


def test_itcl_methods_and_coroutines(tmp_path):
    with Interpreter() as interp:
        interp.eval("package require itcl")
        interp.eval("itcl::class Counter { variable n 0; method bump {} { incr n; helper }; "
                    "method helper {} { return $n } }; Counter c1")
        interp.eval("proc gen {} { yield [info coroutine]; for {set k 0} {$k < 3} {incr k} { yield $k } }")
        with interp.profile() as prof:
            interp.eval("c1 bump; c1 bump; coroutine co gen; co; co; co")
        rows = by_name(prof)
    assert rows["::Counter bump"].calls == 2
    assert rows["::Counter helper"].calls == 2
    assert rows["::gen"].calls == 1


def test_pstats_file_equals_the_table_and_files_combine(lib, tmp_path):
    interp, _ = lib
    with interp.profile() as prof:
        interp.eval("mid 5; rec 3; [::acme::Order new] close")
    path = tmp_path / "a.prof"
    prof.dump_stats(path)
    prof.dump_collapsed(tmp_path / "a.collapsed")
    loaded = pstats.Stats(str(path))
    for row in prof.rows():
        cc, nc, tt, ct, _ = loaded.stats[(row.file, row.line, row.name)]
        assert (cc, nc, tt, ct) == (row.primitive_calls, row.calls, row.own, row.total)
    # the collapsed stacks hold each entry's own time (microseconds)
    own = {}
    for line in prof.collapsed():
        stack, _, n = line.rpartition(" ")
        own[stack.split(";")[-1]] = own.get(stack.split(";")[-1], 0) + int(n)
    for row in prof.rows():
        assert own.get(row.name, 0) == pytest.approx(row.own * 1e6, abs=2 + 1e-3 * row.own * 1e6)
    twice = combine([path, path])
    assert {r.name: r.calls for r in twice.rows()} == {r.name: 2 * r.calls for r in prof.rows()}
    assert sum(int(x.rpartition(" ")[2]) for x in twice.collapsed()) == \
        2 * sum(int(x.rpartition(" ")[2]) for x in prof.collapsed())
    with open(path, "rb") as f:
        assert isinstance(marshal.load(f), dict)


def test_print_stats_is_cprofile_table(lib, capsys):
    interp, path = lib
    with interp.profile() as prof:
        interp.eval("mid 3")
    prof.print_stats(limit=5)
    out = capsys.readouterr().out
    assert "ncalls  tottime  percall  cumtime  percall filename:lineno(function)" in out
    assert "%s:4(::mid)" % path in out
    assert "%s:4(::mid)" % path in prof.table()


def test_closed_inside_the_profile_and_bad_input():
    interp = Interpreter()
    with interp.profile() as prof:
        interp.eval("proc a {} {return 1}; a")
        interp.close()
    assert by_name(prof)["::a"].calls == 1
    with pytest.raises(ValueError):
        Stats().rows(sort="nonsense")


def run(args, cwd, **kw):
    return subprocess.run([sys.executable] + args, cwd=cwd, capture_output=True, text=True, timeout=300, **kw)


PYTEST_FILE = """\
import sys
import pytest

@pytest.mark.parametrize("n", range(4))
def test_naps(tcl, n):
    tcl.eval("proc ::nap {} { after 10 }; proc ::outer {} { nap; nap }")
    tcl.eval("outer")

def test_option_off_costs_nothing(tcl):
    profiled = "korvex.tcl.profiler" in sys.modules
    assert profiled == {profiled}
"""


TCLTEST_FILE = """\
package require tcltest
namespace import ::tcltest::*
proc ::tproc {} { return 7 }
test t-1 {} -body { tproc } -result 7
test t-2 {} -body { tproc; tproc } -result 7
cleanupTests
"""


@pytest.mark.tcltest_items  # (tcltest files under pytest: greenlets)
@pytest.mark.parametrize("extra", [[], ["-n", "2"]], ids=["one-process", "xdist"])
def test_pytest_option(tmp_path, extra):
    if extra:
        pytest.importorskip("xdist")
    (tmp_path / "test_t.py").write_text(PYTEST_FILE.replace("{profiled}", "True"))
    (tmp_path / "t.test").write_text(TCLTEST_FILE)
    done = run(["-m", "pytest", "-q", "-p", "no:cacheprovider", "--tcl-profile=out", "--tcl-profile-per-test"]
               + extra, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Tcl profile: top 20 by own time" in done.stdout
    total = Stats().load(tmp_path / "out" / "tcl.prof")
    rows = {r.name: r for r in total.rows()}
    assert (rows["::nap"].calls, rows["::outer"].calls, rows["::tproc"].calls) == (8, 4, 3)
    assert rows["::tproc"].file == str(tmp_path / "t.test")
    assert 0.08 <= rows["::nap"].own < 2  # eight waits of 10 ms (longer on a busy machine)
    per_test = sorted(os.listdir(tmp_path / "out" / "tests"))
    assert len([n for n in per_test if n.endswith(".prof")]) == 7
    assert not os.path.exists(tmp_path / "out" / ".workers")
    if not extra:  # the option off: the profiler is not even imported
        (tmp_path / "test_t.py").write_text(PYTEST_FILE.replace("{profiled}", "False"))
        (tmp_path / "t.test").unlink()
        off = run(["-m", "pytest", "-q", "-p", "no:cacheprovider"], tmp_path)
        assert off.returncode == 0, off.stdout + off.stderr
        assert "Tcl profile" not in off.stdout


def test_console_profile(tmp_path):
    (tmp_path / "main.tcl").write_text(textwrap.dedent("""\
        proc fact {n} { if {$n <= 1} { return 1 }; return [expr {$n * [fact [expr {$n - 1}]]}] }
        for {set i 0} {$i < 10} {incr i} { fact 5 }
        puts done
    """))
    done = run(["-m", "korvex.tcl", "--profile=p", "main.tcl"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "done\n"
    assert "5(::fact)" not in done.stderr and "main.tcl:1(::fact)" in done.stderr
    rows = {r.name: r for r in Stats().load(tmp_path / "p" / "tcl.prof").rows()}
    assert (rows["::fact"].calls, rows["::fact"].primitive_calls) == (50, 10)


HOSTILE = r'''
import threading
from korvex.tcl.interpreter import Interpreter
from korvex.tcl.profiler import Session
i = Interpreter()
i.eval("""
proc selfdel {} { rename selfdel {}; return 1 }
proc gen {} { yield 1; yield 2; return 3 }
proc deep {n} { if {$n > 0} { deep [expr {$n - 1}] } else { py_stop } }
""")
state = {}
i.createcommand("py_stop", lambda: state["prof"].stop())
with i.profile() as outer:                      # two sessions on one interpreter
    with i.profile(commands=True) as inner:
        i.eval("selfdel")                       # a procedure deleting itself while it runs
    i.eval("coroutine c gen; c")
assert sorted(r.name for r in outer.rows()) == ["::gen", "::selfdel"], outer.rows()
assert sorted(r.name for r in inner.rows()) == ["::selfdel", "<built-in ::rename>"], inner.rows()
state["prof"] = p = i.profile().start()
i.eval("deep 5")                                # ended from inside Tcl, six frames open
assert {r.name: r.calls for r in p.rows()}["::deep"] == 6
def py_start():
    state["prof2"] = i.profile().start()
i.createcommand("py_start", py_start)
i.eval("proc wrapper {} { py_start; inner2 }; proc inner2 {} { return 2 }; wrapper; inner2")
state["prof2"].stop()                           # started inside Tcl: leaves without enters
assert {r.name: r.calls for r in state["prof2"].rows()} == {"::inner2": 2}
with i.profile() as p3:                         # a child deleting itself; a coroutine resumed
    i.eval("interp create k; k eval {proc die {} { interp delete {} }}; catch {k eval die}; catch {interp delete k}")
    i.eval("c")
i.eval("catch c")
assert [r.name for r in p3.rows()] == ["{k} ::die"], p3.rows()
s = Session()
def worker():                                   # an interpreter of another thread
    j = Interpreter()
    s.attach(j)
    j.eval("proc w {} {return 1}; w; w")
    j.close()
t = threading.Thread(target=worker)
t.start()
t.join()
assert {r.name: r.calls for r in s.take().rows()} == {"::w": 2}
assert not s.take().rows()                      # taken: counting starts again
s.close()
assert s.attach(i) is False
i.close()
print("ok")
'''


def test_hostile_uses_in_a_process_of_their_own(tmp_path):
    done = run(["-c", HOSTILE], tmp_path)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


def test_flame_graph_of_collapsed_stacks():
    import xml.etree.ElementTree as ET

    from korvex.tcl.profiler.flamegraph import render

    svg = render(["a;b 300", "a;c 100", "a 100", "bad line", "d;e 500"], width=1020)
    boxes = {g.find("{http://www.w3.org/2000/svg}title").text.split(" (")[0]:
             float(g.find("{http://www.w3.org/2000/svg}rect").get("width"))
             for g in ET.fromstring(svg).iter("{http://www.w3.org/2000/svg}g")}
    assert boxes["all"] == pytest.approx(1000)
    assert (boxes["a"], boxes["b"], boxes["c"], boxes["e"]) == pytest.approx((500, 300, 100, 500))


def test_children_made_before_the_profile():
    with Interpreter() as interp:
        interp.eval("interp create a; a eval {interp create b; b eval {proc p {} {return 1}}; proc q {} {b eval p}}")
        with interp.profile() as prof:
            interp.eval("a eval {q; q}")
    assert {r.name: r.calls for r in prof.rows()} == {"{a} ::q": 2, "{a b} ::p": 2}


def test_paused_time_is_not_the_open_entries():
    import time

    from korvex.tcl.profiler import Session

    session = Session()
    with Interpreter() as interp:
        def elsewhere():  # as pytest between two tests of a tcltest file
            session.pause()
            time.sleep(0.3)
            session.resume()
        interp.createcommand("elsewhere", elsewhere)
        interp.eval("proc host {} { elsewhere; after 100 }")
        session.attach(interp)
        interp.eval("host")
        session.detach(interp)
    rows = {r.name: r for r in session.take().rows()}
    session.close()
    assert rows["::host"].total == pytest.approx(0.1, abs=0.08)
    assert rows["python:%s.%s.<locals>.elsewhere" % (__name__, "test_paused_time_is_not_the_open_entries")].calls == 1


def failing_callback():
    raise ValueError("from Python")


def test_redefinitions_and_python_errors(tmp_path):
    first, second = tmp_path / "first.tcl", tmp_path / "second.tcl"
    first.write_text("proc ::p {} { return 1 }\n")
    second.write_text("\n\nproc ::p {} { return 2 }\n")
    with Interpreter() as interp:
        interp.createcommand("pyfail", failing_callback)
        interp.eval("proc ::calls_python {} { pyfail }")
        with interp.profile() as prof:
            interp.eval("source {%s}; p; p; source {%s}; p" % (first, second))
            interp.eval("catch calls_python; catch calls_python")
    rows = {(r.name, r.file, r.line): r.calls for r in prof.rows()}
    assert rows[("::p", str(first), 1)] == 2
    assert rows[("::p", str(second), 3)] == 1  # a new procedure of the same name is another entry
    assert rows[("::calls_python", "~", 0)] == 2
    assert rows[("python:%s.failing_callback" % __name__, __file__,
                 failing_callback.__code__.co_firstlineno)] == 2


@pytest.mark.parametrize("script, status", [("fact 4\nexit 3\n", 3), ("fact 4\nerror oops\n", 1)])
def test_console_writes_the_profile_however_the_script_ends(tmp_path, script, status):
    (tmp_path / "main.tcl").write_text("proc fact {n} { if {$n <= 1} { return 1 }; "
                                       "return [expr {$n * [fact [expr {$n - 1}]]}] }\n" + script)
    done = run(["-m", "korvex.tcl", "--profile", "main.tcl"], tmp_path)
    assert done.returncode == status, done.stderr
    rows = {r.name: r.calls for r in Stats().load(tmp_path / "prof" / "tcl.prof").rows()}
    assert rows["::fact"] == 4
    assert (tmp_path / "prof" / "tcl.collapsed").read_text().startswith("::fact ")
