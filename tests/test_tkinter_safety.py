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


HOSTILE = SETUP + """
import random
import sys

BAD = ["\\ud800", BadStr(), ("\\udfff",), [BadStr()], [["\\ud800"]], b"\\xff", 2**200, float("inf"), None]

def gen(depth=0):
    r = random.random()
    if depth > 3 or r < 0.3:
        return random.choice(BAD + ["ok", 1, 2.5, "a b", "{", ""])
    if r < 0.5:
        return [gen(depth + 1) for _ in range(random.randint(0, 3))]
    if r < 0.6:
        return tuple(gen(depth + 1) for _ in range(random.randint(0, 3)))
    if r < 0.7:
        return {str(i): gen(depth + 1) for i in range(random.randint(0, 2))}
    return Hook(gen(depth + 1)) if r < 0.85 else ZelphHook(gen(depth + 1))

interp.eval("array set arr {a 1}")
cmd = TclCommand("echo", tcl=interp)
ops = [
    lambda v: interp.tk.call("set", "z", tclobj(v)), lambda v: interp.set_var("x", v),
    lambda v: interp.set_list("x", v), lambda v: interp.set_array("arr2", v),
    lambda v: interp.set_keyed_list("k", v), lambda v: interp.vars.set("arr", v, array_index="b"),
    lambda v: cmd(v, opt=v), lambda v: interp.yarl.echo(v, cast_=False), lambda v: zelph(v),
    lambda v: (interp.create_callback(lambda: v, cmd_name="cb", force=True), interp.eval("cb")),
    lambda v: TclCommand("echo", v, tcl=interp)(), lambda v: interp.cast_any(v),
]
random.seed(int(sys.argv[1]))
interp.history.disable()
for _ in range(1500):
    value = gen()
    try:
        random.choice(ops)(value)
    except Exception:
        pass
print("survived")
"""


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_hostile_values_never_crash(seed):
    result = subprocess.run([sys.executable, "-c", HOSTILE, str(seed)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "survived"
