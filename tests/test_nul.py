"""U+0000 is text like any other: written through any path of the package it
reaches Tcl whole (Tcl's own string length and string equal agree), and it
reads back whole through every read path, on every supported Python (before
3.13 _tkinter hands such text to Tcl with a raw zero byte, which Tcl cuts
wherever it reads the text as a C string)."""

import pytest

from korvex.tcl.mardeck import Mardeck
from korvex.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

TEXTS = ["a\x00b", "\x00", "\x00\x00", "tail\x00", "\xe9\x00\u20ac", "{\x00 }", "\x00\\"]
# Tcl 8.6 keeps characters beyond U+FFFF in two forms that compare unequal,
# so these are checked by reading back only.
WIDE = ["x\x00\U0001f600", "\U0001f600\x00\x00"]


def tcl_literal(text):
    """A Tcl script word that makes `text` out of ASCII only."""
    units = text.encode("utf-16-le")
    return '"%s"' % "".join("\\u%04x" % int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2))


def tcl_has(interp, var_text, text):
    """Whether the Tcl value (a script word such as $v) equals `text` as Tcl sees it."""
    interp.tk.eval("set ::_ref %s" % tcl_literal(text))
    same = interp.tk.eval("string equal %s $::_ref" % var_text) == "1"
    length = interp.tk.eval("string length %s" % var_text) == interp.tk.eval("string length $::_ref")
    return same and length


WRITERS = {
    "view": lambda i, v: i.vars.__setitem__("v", v),
    "view set": lambda i, v: i.vars.set("v", v),
    "objs view": lambda i, v: i.objs.__setitem__("v", v),
    "set_var": lambda i, v: i.set_var("v", v),
    "TclVariable.set": lambda i, v: TclVariable("v", tcl=i).set(v),
    "quick call": lambda i, v: i.yarl.set("v", v),
    "quick call option": lambda i, v: i.yarl.proc_opt("v", opt=v),
    "command": lambda i, v: TclCommand("set", tcl=i)("v", v),
    "command bound": lambda i, v: TclCommand("set", ("v", v), tcl=i)(),
    "command option": lambda i, v: TclCommand("proc_opt", tcl=i)("v", opt=v),
    "namespace call": lambda i, v: TclNamespace("::", tcl=i).call("set", "v", v),
    "namespace call of a tuple": lambda i, v: TclNamespace("::", tcl=i).call(("set", "v", v)),
}

READERS = {
    "get_var": lambda i: i.get_var("v"),
    "view": lambda i: i.vars["v"],
    "objs view": lambda i: str(i.objs["v"]),
    "TclVariable.get_str": lambda i: TclVariable("v", tcl=i).get_str(),
    "TclVariable.get": lambda i: str(TclVariable("v", tcl=i).get()),
    "eval": lambda i: i.eval("set v"),
    "quick call": lambda i: i.yarl.set("v", cast_=False),
    "quick call cast": lambda i: i.yarl.set("v"),
    "command": lambda i: TclCommand("set", tcl=i)("v"),
    "tk.getvar": lambda i: i.tk.getvar("v"),
}


@pytest.fixture
def nul_interp(interp):
    interp.eval("proc proc_opt {name -opt value} {upvar #0 $name v; set v $value}")
    return interp


@pytest.mark.parametrize("text", TEXTS, ids=repr)
@pytest.mark.parametrize("write", WRITERS.values(), ids=WRITERS.keys())
def test_written_text_reaches_tcl_whole(nul_interp, write, text):
    write(nul_interp, text)
    assert tcl_has(nul_interp, "$v", text)


@pytest.mark.parametrize("text", TEXTS + WIDE, ids=repr)
@pytest.mark.parametrize("read", READERS.values(), ids=READERS.keys())
def test_text_reads_back_whole(nul_interp, read, text):
    nul_interp.set_var("v", text)
    assert read(nul_interp) == text


@pytest.mark.parametrize("text", TEXTS, ids=repr)
def test_elements_and_lists(nul_interp, text):
    nul_interp.eval("array set arr {}")
    nul_interp.vars.set("arr", text, array_index="i")
    TclArrayVariable("arr", tcl=nul_interp)["j"] = text
    nul_interp.set_array("arr2", {"k": text})
    for ref in ("$arr(i)", "[lindex [array get arr j*] 1]", "$arr2(k)"):
        assert tcl_has(nul_interp, ref, text), ref
    assert nul_interp.vars.get("arr(i)") == text
    assert TclArrayVariable("arr", tcl=nul_interp)["i"] == text
    assert nul_interp.get_array("arr2")["k"] == text

    nul_interp.set_list("l", ["x", text, (text, "y")])
    assert tcl_has(nul_interp, "[lindex $l 1]", text)
    assert tcl_has(nul_interp, "[lindex $l 2 0]", text)
    assert nul_interp.get_list("l")[1] == text
    assert nul_interp.cast_list(nul_interp.get_list("l")[2])[0] == text


@pytest.mark.parametrize("text", TEXTS, ids=repr)
def test_keyed_list_values(nul_interp, text):
    nul_interp.set_keyed_list("k", Mardeck({"a": text, "b": {"c": text}}))
    assert tcl_has(nul_interp, "[keylget k a]", text)
    assert tcl_has(nul_interp, "[keylget k b.c]", text)
    back = nul_interp.get_keyed_list("k")
    assert back["a"] == text and back["b.c"] == text


@pytest.mark.parametrize("text", TEXTS, ids=repr)
def test_casts_of_text_holding_nul(nul_interp, text):
    nul_interp.set_var("v", text)
    value = nul_interp.get_var("v")
    assert nul_interp.cast_any(value) == text
    for cast in (nul_interp.cast_int, nul_interp.cast_double, nul_interp.cast_boolean):
        with pytest.raises(ValueError):
            cast(value)


def test_a_script_cannot_hold_nul(nul_interp):
    # A script is C text for _tkinter: a clear ValueError, never a shortened script.
    with pytest.raises(ValueError):
        nul_interp.eval("set v a\x00b")
    assert nul_interp.tk.eval("info exists v") == "0"


def test_the_history_keeps_nul(nul_interp):
    nul_interp.yarl.set("v", "a\x00b")
    assert nul_interp.history.filter(count=1)[0].api == "set v a\x00b"


@pytest.mark.parametrize("text", WIDE, ids=repr)
@pytest.mark.parametrize("write", WRITERS.values(), ids=WRITERS.keys())
def test_wide_text_written_reads_back_whole(nul_interp, write, text):
    write(nul_interp, text)
    assert nul_interp.get_var("v") == text
    units = int(nul_interp.eval("string length \U0001f600")) == 2  # Tcl 8.6 counts UTF-16 units
    size = (lambda t: len(t.encode("utf-16-le")) // 2) if units else len
    assert int(nul_interp.eval("string length $v")) == size(text)
    assert nul_interp.eval("string index $v %d" % size(text[:text.index("\x00")])) == "\x00"
