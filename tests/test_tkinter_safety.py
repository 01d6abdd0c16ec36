"""_tkinter converts the items of a tuple without checking for failures: an
item it cannot convert crashes the process. Everything this package hands to
Tcl as a list is made safe first, so such input raises instead (each case runs
in a subprocess, so a crash fails the test instead of the run)."""

import subprocess
import sys
import textwrap

import pytest

SETUP = """
from korvex.tcl import Interpreter, tclobj
from korvex.tcl.mardeck import Mardeck
from korvex.tcl.namespace import TclCommand

class BadStr:
    def __str__(self):
        raise RuntimeError("no text")

class Hook:
    def __init__(self, value):
        self.value = value
    def __tclobj__(self):
        return self.value

class ZelphHook:
    def __init__(self, value):
        self.value = value
    def __zelph__(self):
        return self.value

interp = Interpreter()
interp.eval("proc echo args {return $args}")
"""

CASES = [
    ("set_list", "interp.set_list('x', ['ok', '\\ud800'])", "UnicodeEncodeError"),
    ("nested list", "interp.set_var('x', [['\\udfff']])", "UnicodeEncodeError"),
    ("hook tuple", "interp.set_var('x', Hook(('a', '\\ud800')))", "UnicodeEncodeError"),
    ("hook nested", "interp.set_var('x', [Hook([('a', BadStr())])])", "RuntimeError"),
    ("hook object", "interp.set_var('x', [Hook(BadStr())])", "RuntimeError"),
    ("keyed list", "interp.set_keyed_list('k', Mardeck({'a': '\\ud800'}))", "UnicodeEncodeError"),
    ("command", "TclCommand('echo', tcl=interp)(['\\ud800'])", "UnicodeEncodeError"),
    ("tk call", "interp.tk.call('set', 'x', tclobj(['\\ud800']))", "UnicodeEncodeError"),
    ("element", "interp.eval('array set arr {}'); interp.vars.set('arr', '\\ud800', array_index='0')",
     "UnicodeEncodeError"),
    ("element hook", "interp.vars.set('arr', Hook(BadStr()), array_index='0')", "RuntimeError"),
    ("callback result", "interp.create_callback(lambda: ('ok', '\\ud800'), cmd_name='f'); interp.eval('f')",
     "TclError"),
    ("callback item", "interp.create_callback(lambda: [BadStr()], cmd_name='g'); interp.eval('g')", "TclError"),
    ("quick call", "interp.history.disable(); interp.yarl.set('x', ZelphHook(('\\ud800',)))",
     "UnicodeEncodeError"),
    ("array item", "from korvex.tcl.namespace import TclArrayVariable; "
     "TclArrayVariable('arr', tcl=interp)[0] = '\\ud800'", "UnicodeEncodeError"),
]


@pytest.mark.parametrize("code, error", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_unconvertible_items_raise_instead_of_crashing(code, error):
    script = SETUP + textwrap.dedent("""
        try:
            %s
        except Exception as exc:
            print(type(exc).__name__)
        else:
            print("no error")
    """) % code
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == error


def test_hook_results_keep_their_values(interp):
    from korvex.tcl import tclobj

    class Hook:
        def __tclobj__(self):
            return ["a", 1, 2.5, (b"x", None)]

    assert tclobj([Hook()]) == (("a", 1, 2.5, (b"x", "None")),)
    interp.set_var("x", [Hook()])
    assert interp.tk.eval("lindex $x 0 3 1") == "None"


def test_callback_results_reach_tcl_unchanged(interp):
    interp.create_callback(lambda: ("a b", 1, [2.5, b"x"]), cmd_name="f")
    interp.create_callback(lambda: 42, cmd_name="g")
    assert interp.eval("f") == "{a b} 1 {2.5 x}"
    assert interp.eval("g") == "42"
