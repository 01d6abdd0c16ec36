"""Plain Tcl, without TclX: Interpreter(tclx=False), KORVEX_TCL_TCLX=0
reaching every interpreter made without the argument, and everything that
does not need TclX working the same in such an interpreter."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["pytester"]

from korvex.tcl import Interpreter, Mardeck, TclError

needs_tclsh = pytest.mark.skipif(not shutil.which("tclsh8.6"), reason="no tclsh8.6 here")


def tclx_loaded(interp):
    return interp.eval("package provide Tclx") != ""


@needs_tclsh
def test_a_plain_interpreter_has_tclshs_commands(tmp_path):
    script = tmp_path / "commands.tcl"
    script.write_text("puts [lsort [info commands]]\nputs [lsort [namespace children ::]]\n")
    tclsh = subprocess.run(["tclsh8.6", str(script)], capture_output=True, text=True, timeout=60,
                           cwd=tmp_path).stdout.splitlines()
    with Interpreter(tclx=False) as interp:
        commands = interp.eval("lsort [info commands]").split()
        assert not tclx_loaded(interp)
        # _tkinter deletes exit from every interpreter it makes.
        assert sorted(commands + ["exit"]) == tclsh[0].split()
        assert interp.eval("lsort [namespace children ::]") == tclsh[1]
    with Interpreter() as interp:
        assert set(commands) < set(interp.eval("info commands").split())


@pytest.mark.parametrize("setting, loaded", [
    ("0", False), ("no", False), (" OFF ", False), ("false", False),
    ("1", True), ("", True), ("yes", True), (None, True),
])
def test_the_environment_decides_for_interpreters_made_without_the_argument(monkeypatch, setting, loaded):
    if setting is None:
        monkeypatch.delenv("KORVEX_TCL_TCLX", raising=False)
    else:
        monkeypatch.setenv("KORVEX_TCL_TCLX", setting)
    with Interpreter() as interp:
        assert tclx_loaded(interp) is loaded
        assert interp._tclx is loaded
    # The argument wins over the environment.
    with Interpreter(tclx=not loaded) as interp:
        assert tclx_loaded(interp) is not loaded


@pytest.mark.parametrize("tclx, error", [("no", TypeError), (None, None)])
def test_bad_settings_make_no_interpreter(monkeypatch, tclx, error):
    if error is None:
        monkeypatch.setenv("KORVEX_TCL_TCLX", "maybe")
        error = ValueError
    with pytest.raises(error, match="KORVEX_TCL_TCLX must be 1 or 0|tclx must be True, False or None"):
        Interpreter(tclx=tclx)


LIBRARY = """
from korvex.tcl.interpreter import Interpreter

def session():
    return Interpreter()
"""

SHARED = """
import sys
sys.path.insert(0, sys.argv[1])
import korvex.tcl
import mylib
from korvex.tcl.interpreter import Interpreter
print(repr(korvex.tcl.eval("package provide Tclx")), repr(mylib.session().eval("package provide Tclx")),
      Interpreter(tclx=True).eval("package provide Tclx"))
"""


@pytest.mark.parametrize("setting, expected", [("0", "'' '' 8.4"), ("1", "'8.4' '8.4' 8.4")])
def test_the_environment_reaches_the_shared_interpreter_and_a_librarys(tmp_path, setting, expected):
    (tmp_path / "mylib.py").write_text(LIBRARY)
    env = dict(os.environ, KORVEX_TCL_TCLX=setting)
    result = subprocess.run([sys.executable, "-c", SHARED, str(tmp_path)], capture_output=True, text=True,
                            env=env, timeout=120)
    assert (result.stdout.strip(), result.returncode) == (expected, 0), result.stderr


def test_a_bad_environment_setting_fails_the_import_clearly():
    env = dict(os.environ, KORVEX_TCL_TCLX="maybe")
    result = subprocess.run([sys.executable, "-c", "import korvex.tcl"], capture_output=True, text=True,
                            env=env, timeout=120)
    assert result.returncode == 1
    assert result.stderr.strip().splitlines()[-1] == (
        'ValueError: KORVEX_TCL_TCLX must be 1 or 0 (or yes/no, true/false, on/off), not "maybe"')


# Code written for plain tclsh that makes a command unless one of that name
# exists (as tcllib's textutil::expander makes its objects): TclX's exp, max
# and the like take the name.
OBJECT_COMMAND = """
proc make {name} {
    if {[info commands ::$name] ne ""} {error "command \\"$name\\" already exists"}
    proc ::$name {what} {return <$what>}
}
catch {make %(name)s}
%(name)s lb
"""


@pytest.mark.parametrize("name", ["exp", "max", "union"])
def test_code_for_plain_tcl_that_names_its_commands_as_tclx_does(name):
    with Interpreter(tclx=False) as interp:
        assert interp.eval(OBJECT_COMMAND % {"name": name}) == "<lb>"
    with Interpreter() as interp:
        with pytest.raises(TclError):
            interp.eval(OBJECT_COMMAND % {"name": name})


# Keyed lists are Tcl lists of key/value pairs that Mardeck reads and writes
# itself: the same from Python with TclX or without. What needs TclX are its
# commands (keylset, keylget...), which plain Tcl does not know, as in tclsh.
@pytest.mark.parametrize("tclx", [True, False])
def test_keyed_lists_from_python_need_no_tclx(tclx):
    with Interpreter(tclx=tclx) as interp:
        interp.eval("set k {{name {{first Ann} {last Lee}}} {age 42}}")
        deck = interp.get_keyed_list("k")
        assert deck == Mardeck.from_tcl("{name {{first Ann} {last Lee}}} {age 42}")
        assert deck["name.first"] == "Ann"
        assert interp.cast_keyed_list("{a 1} {b 2}", item_cast=int) == Mardeck({"a": 1, "b": 2})
        assert interp.cast_any("{a 1} {b 2}") == Mardeck({"a": "1", "b": "2"})
        interp.set_keyed_list("out", Mardeck({"a": Mardeck({"b": "1"})}))
        assert interp.eval("lindex $out 0 1 0") == "b 1"
        if tclx:
            assert interp.eval("keylget k name.last") == "Lee"
        else:
            with pytest.raises(TclError) as failure:
                interp.eval("keylget k name.last")
            assert failure.value.result == 'invalid command name "keylget"'  # as in tclsh


@pytest.mark.parametrize("value", [
    "12", "-0x10", "1.5", "1e3", "true", "no", "on", "", "abc", "a b c", "{a 1} {b 2}", "{a 1} b",
    ("x", "y"), 7, 2.5, False,
])
def test_cast_any_gives_the_same_without_tclx(value):
    with Interpreter() as with_tclx, Interpreter(tclx=False) as plain:
        assert plain.cast_any(value) == with_tclx.cast_any(value)
        assert type(plain.cast_any(value)) is type(with_tclx.cast_any(value))


NO_TCLX_SCRIPT = """
import korvex.tcl
from korvex.tcl import Interpreter, Mardeck
print(korvex.tcl.eval("package provide Tclx") == "", Interpreter().eval("expr {6*7}"),
      korvex.tcl.get_keyed_list is not None and korvex.tcl.cast_any("{a 1}") == Mardeck(a="1"))
"""


def test_a_machine_without_tclx_runs_plain_tcl(tmp_path):
    test_tclx = pytest.importorskip("test_tclx")
    if not test_tclx._namespaces_work():
        pytest.skip("no private mount namespaces here (unshare -rm)")
    result = test_tclx.without_tclx(tmp_path, "env", "KORVEX_TCL_TCLX=0", sys.executable, "-c",
                                    textwrap.dedent(NO_TCLX_SCRIPT))
    assert (result.stdout.strip(), result.returncode) == ("True 42 True", 0), result.stderr
    # With TclX asked for, the error says how to do without.
    result = test_tclx.without_tclx(tmp_path, sys.executable, "-c", "import korvex.tcl")
    last = result.stderr.strip().splitlines()[-1]
    for switch in ("KORVEX_TCL_TCLX=0", "Interpreter(tclx=False)", "korvex-tcl --no-tclx", "--tcl-tclx=no", "tcl_tclx"):
        assert switch in last


CONSOLE_SCRIPT = r"""
puts [list [package provide Tclx] [llength [info commands exp]]]
unset -nocomplain env(KORVEX_TCL_TCLX)
puts [exec [info nameofexecutable] << {puts [list [package provide Tclx] [llength [info commands exp]]]}]
"""


@pytest.mark.parametrize("args, env, expected", [
    (["--no-tclx"], {}, "{} 0\n{} 0\n"),
    ([], {"KORVEX_TCL_TCLX": "0"}, "{} 0\n{} 0\n"),
    ([], {}, "8.4 1\n8.4 1\n"),
])
def test_console_without_tclx_and_the_programs_it_runs(tmp_path, args, env, expected):
    from test_console import CONSOLE, TIMEOUT, _env

    (tmp_path / "show.tcl").write_text(CONSOLE_SCRIPT)
    environment = _env(tmp_path)
    environment.pop("KORVEX_TCL_TCLX", None)
    environment.update(env)
    result = subprocess.run([*CONSOLE, *args, "show.tcl"], cwd=tmp_path, capture_output=True, text=True,
                            env=environment, timeout=TIMEOUT)
    assert (result.stdout, result.stderr, result.returncode) == (expected, "", 0)


PLUGIN_TESTS = """
import os
from korvex.tcl.interpreter import Interpreter

def loaded(interp):
    return interp.eval("package provide Tclx") != ""

def test_fixtures(tcl, tcl_session):
    assert (loaded(tcl), loaded(tcl_session), loaded(Interpreter())) == (EXPECTED,) * 3
    assert os.environ.get("KORVEX_TCL_TCLX") == VARIABLE
"""

PLUGIN_TCLTEST = """package require tcltest
namespace import ::tcltest::*
test plain-1 {TclX's exp} {llength [info commands exp]} %d
test plain-2 {the programs it runs} {exec [info nameofexecutable] << {puts [llength [info commands exp]]}} %d
cleanupTests
"""


@pytest.mark.tcltest_items
@pytest.mark.parametrize("ini, args, tclx", [
    (None, ["--tcl-tclx=no"], False),
    ("no", [], False),
    ("no", ["--tcl-tclx=YES"], True),
    ("yes", [], True),
    (None, [], True),
])
def test_the_plugin_setting_reaches_fixtures_tcltest_files_and_made_interpreters(
        pytester, monkeypatch, ini, args, tclx):
    monkeypatch.delenv("KORVEX_TCL_TCLX", raising=False)
    pytester.makeini("[pytest]\ntcltest_files = *.test\n" + ("tcl_tclx = %s\n" % ini if ini else ""))
    variable = None if ini is None and not args else ("1" if tclx else "0")
    pytester.makepyfile(test_fixtures=PLUGIN_TESTS.replace("EXPECTED", repr(tclx)).replace(
        "VARIABLE", repr(variable)))
    (pytester.path / "suite.test").write_text(PLUGIN_TCLTEST % (int(tclx), int(tclx)))
    reprec = pytester.inline_run("-p", "no:cacheprovider", *args)
    reprec.assertoutcome(passed=3)
    assert "KORVEX_TCL_TCLX" not in os.environ  # put back at the end of the session


@pytest.mark.parametrize("ini, args, message", [
    (None, ["--tcl-tclx=maybe"], "--tcl-tclx must be yes or no, not 'maybe'"),
    ("2", [], "tcl_tclx must be yes or no, not '2'"),
])
def test_bad_plugin_settings_are_usage_errors(pytester, ini, args, message):
    pytester.makeini("[pytest]\n" + ("tcl_tclx = %s\n" % ini if ini else ""))
    pytester.makepyfile(test_x="def test_x(): pass\n")
    result = pytester.runpytest("-p", "no:cacheprovider", *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*" + message + "*"])
