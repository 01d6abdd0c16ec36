"""_tkinter converts the items of a tuple without checking for failures: an
item it cannot convert crashes the process. Everything this package hands to
Tcl as a list is made safe first, so such input raises instead (each case runs
in a subprocess, so a crash fails the test instead of the run)."""

import enum
import os
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

class BadInt(int):
    def __str__(self):
        raise RuntimeError("no text")

class LyingTuple(tuple):
    def __iter__(self):
        return iter(("fine",))
    def __getitem__(self, i):
        return "fine"

class LyingList(list):
    def __iter__(self):
        return iter(("fine",))
    def __getitem__(self, i):
        return "fine"

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
    # _tkinter converts an int subclass with str() (unchecked inside a list),
    # and reads tuple and list subclasses from their storage, not through
    # their methods.
    ("int subclass from hook", "interp.set_var('v', [Hook(BadInt(5))])", "RuntimeError"),
    ("int subclass in hook tuple", "interp.set_var('v', Hook((BadInt(5),)))", "RuntimeError"),
    ("int subclass nested", "interp.set_var('v', Hook([[(1, BadInt(5))]]))", "RuntimeError"),
    ("int subclass element", "interp.eval('array set arr {}'); "
     "interp.vars.set('arr', Hook(BadInt(5)), array_index='0')", "RuntimeError"),
    ("int subclass command", "TclCommand('echo', tcl=interp)([Hook(BadInt(5))])", "RuntimeError"),
    ("int subclass command option", "TclCommand('echo', tcl=interp)(opt=Hook(BadInt(5)))", "RuntimeError"),
    ("int subclass namespace call", "from korvex.tcl.namespace import TclNamespace; "
     "TclNamespace('::', tcl=interp).call('echo', Hook((BadInt(5),)))", "RuntimeError"),
    ("int subclass quick call", "interp.yarl.echo(ZelphHook((BadInt(5),)))", "RuntimeError"),
    ("int subclass callback", "interp.create_callback(lambda: (BadInt(5),), cmd_name='h'); interp.eval('h')",
     "TclError"),
    ("lying tuple", "interp.set_var('v', Hook(LyingTuple((BadStr(),))))", "RuntimeError"),
    ("lying list", "interp.set_var('v', Hook(LyingList([BadStr()])))", "RuntimeError"),
    ("lying tuple in quick call", "interp.yarl.echo(ZelphHook(LyingTuple(('a', BadStr()))))", "RuntimeError"),
    ("int subclass keyed list", "interp.set_keyed_list('k', Mardeck({'a': Hook(BadInt(5))}))", "RuntimeError"),
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


HOSTILE = os.path.join(os.path.dirname(__file__), "hostile.py")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_hostile_values_never_crash(seed):
    """The generators of `make fuzz` with fixed seeds (see tests/hostile.py)."""
    result = subprocess.run([sys.executable, HOSTILE, str(seed)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-2000:])
    assert result.stdout.strip() == "survived"


# --- the safety check mirrors _tkinter's own rules ---------------------------------

def marked(base):
    """A subclass of `base` whose str() gives away that it was called."""
    return type("Marked" + base.__name__.title(), (base,), {"__str__": lambda self: "STR"})


class MarkedIntEnum(enum.IntEnum):
    A = 5

    def __str__(self):
        return "STR"


class MarkedObject:
    def __str__(self):
        return "STR"


KINDS = [
    ("int", lambda: 5), ("big int", lambda: 2 ** 80), ("bool", lambda: True), ("float", lambda: 2.5),
    ("str", lambda: "a b"), ("bytes", lambda: b"xy"), ("tuple", lambda: ("a", 1)), ("list", lambda: ["a", 1]),
    ("int subclass", lambda: marked(int)(5)), ("big int subclass", lambda: marked(int)(2 ** 80)),
    ("IntEnum", lambda: MarkedIntEnum.A), ("float subclass", lambda: marked(float)(2.5)),
    ("str subclass", lambda: marked(str)("a b")), ("bytes subclass", lambda: marked(bytes)(b"xy")),
    ("tuple subclass", lambda: marked(tuple)(("a", 1))), ("list subclass", lambda: marked(list)(["a", 1])),
    ("complex", lambda: marked(complex)(1, 2)), ("set", lambda: marked(set)({1})),
    ("frozenset", lambda: marked(frozenset)({1})), ("dict", lambda: marked(dict)({"a": 1})),
    ("object", MarkedObject), ("nested int subclass", lambda: (("a", marked(int)(5)),)),
    ("nested float subclass", lambda: [("a", marked(float)(1.5))]),
]


@pytest.mark.parametrize("make", [k[1] for k in KINDS], ids=[k[0] for k in KINDS])
def test_native_values_are_exactly_those_tkinter_converts_natively(interp, make):
    from korvex.tcl import tclobj

    class Hook:
        def __init__(self, value):
            self.value = value

        def __tclobj__(self):
            return self.value

    value = make()
    # What this Python's _tkinter does with the value inside a tuple: its own
    # conversion, or str() (which the marker shows, at any depth).
    interp.tk.call("set", "probe", (value,))
    tkinter_uses_str = "STR" in interp.tk.eval("set probe")
    # What the package does: a hook's tuple is handed on unchanged only when
    # _tkinter converts every item natively.
    held = (value,)
    ours_native = tclobj(Hook(held)) is held
    assert ours_native == (not tkinter_uses_str)
    # Either way Tcl gets the same text.
    interp.set_var("ours", Hook(held))
    assert interp.tk.eval("set ours") == interp.tk.eval("set probe")
