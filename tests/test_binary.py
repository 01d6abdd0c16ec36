"""Tcl byte arrays (what binary format, encoding convertto, zlib and base64
encoders return) reach Python as the same text eval gives for them, on every
path: one character per byte, the byte's value as its code point. _tkinter
itself hands them over as bytes from call and getvar."""

import tkinter

import pytest

from korvex.tcl import TclError, zelph
from korvex.tcl.mardeck import Mardeck
from korvex.tcl.namespace import TclArrayVariable, TclCommand, TclNamespace, TclVariable

ALL = bytes(range(256))
TEXT = ALL.decode("latin-1")
HEX = ALL.hex()


@pytest.fixture
def binterp(interp):
    """An interpreter holding byte arrays of every byte: ::b, ::arr(k), ::ns::v, in ::lb."""
    interp.tk.eval("set ::b [binary format H* %s]" % HEX)
    interp.tk.eval("array set ::arr [list k $::b]")
    interp.tk.eval("set ::lb [list $::b]")
    interp.tk.eval("namespace eval ::ns {variable v $::b}")
    interp.tk.eval("proc ::bytes {} {binary format H* %s}" % HEX)
    interp.tk.eval("proc ::pair {} {list $::b [list $::b x]}")
    assert interp.tk.call("set", "::b") == ALL  # what _tkinter itself gives
    return interp


def test_eval_gives_each_byte_as_its_code_point(binterp):
    # The reference every other path follows, U+0000 included.
    assert binterp.eval("set ::b") == TEXT
    assert binterp.eval("bytes") == TEXT
    assert binterp.eval("string length $::b") == "256"


def callback_argument(i):
    got = []
    i.create_callback(got.append, cmd_name="::take")
    i.eval("take $::b")
    return got[0]


READERS = {
    "eval typecast": lambda i: i.eval("set ::b", typecast=True),
    "quick call": lambda i: i.yarl.set("::b"),
    "quick call cast_=False": lambda i: i.yarl.set("::b", cast_=False),
    "quick call of a producer": lambda i: i.yarl.binary("format", "H*", HEX),
    "quick call of a producer cast_=False": lambda i: i.yarl.bytes(cast_=False),
    "Interpreter.call": lambda i: i.call("set", "::b"),
    "Interpreter.call of a producer": lambda i: i.call("binary", "format", "H*", HEX),
    "TclCommand()": lambda i: TclCommand("::bytes", tcl=i)(),
    "TclCommand.call": lambda i: TclCommand("::set", tcl=i).call("::b"),
    "TclCommand cast=str": lambda i: TclCommand("::bytes", tcl=i, cast=str)(),
    "TclCommand.eval": lambda i: TclCommand("::bytes", tcl=i).eval(),
    "TclNamespace.call": lambda i: TclNamespace("::ns", tcl=i).call("set", "v"),
    "TclNamespace.eval": lambda i: TclNamespace("::ns", tcl=i).eval("set v"),
    "get_var": lambda i: i.get_var("::b"),
    "vars view": lambda i: i.vars["::b"],
    "objs view": lambda i: i.objs["::b"],
    "objs view get": lambda i: i.objs.get("::b"),
    "objs view element": lambda i: i.objs.get("::arr", "k"),
    "namespace objs view": lambda i: TclNamespace("::ns", tcl=i).objs["v"],
    "namespace vars view": lambda i: TclNamespace("::ns", tcl=i).vars["v"],
    "TclVariable.get": lambda i: TclVariable("::b", tcl=i).get(),
    "TclVariable.get_obj": lambda i: TclVariable("::b", tcl=i).get_obj(),
    "TclVariable.get_str": lambda i: TclVariable("::b", tcl=i).get_str(),
    "TclVariable element": lambda i: TclVariable("::arr", tcl=i).get("k"),
    "TclVariable element with cast": lambda i: TclVariable("::arr", "k", tcl=i, cast=str).get(),
    "TclVariable.array_get_obj": lambda i: TclVariable("::arr", tcl=i).array_get_obj()["k"],
    "TclArrayVariable item": lambda i: TclArrayVariable("::arr", tcl=i)["k"],
    "get_array": lambda i: i.get_array("::arr")["k"],
    "get_list": lambda i: i.get_list("::lb")[0],
    "cast_any of a tk.call result": lambda i: i.cast_any(i.tk.call("set", "::b")),
    "cast_list of a tk.call result": lambda i: i.cast_list(i.tk.call("list", i.tk.call("set", "::b")))[0],
    "proc_arg_default": lambda i: (i.eval("proc ::withdef [list [list x $::b]] {}"),
                                   TclCommand("::withdef", tcl=i).proc_arg_default("x"))[1],
    "callback argument": callback_argument,
}


@pytest.mark.parametrize("read", READERS.values(), ids=READERS.keys())
def test_byte_array_reads_as_eval_text(binterp, read):
    value = read(binterp)
    assert type(value) is str
    assert value == TEXT


LISTS = {
    "quick call": (lambda i: i.yarl.pair(), (TEXT, (TEXT, "x"))),
    "Interpreter.call": (lambda i: i.call("pair"), (TEXT, (TEXT, "x"))),
    "TclCommand()": (lambda i: TclCommand("::pair", tcl=i)(), (TEXT, (TEXT, "x"))),
    "TclNamespace.call": (lambda i: TclNamespace("::", tcl=i).call("pair"), (TEXT, (TEXT, "x"))),
    "objs view": (lambda i: (i.eval("set ::l [pair]"), i.objs["::l"])[1], (TEXT, (TEXT, "x"))),
}


@pytest.mark.parametrize("read, expected", LISTS.values(), ids=LISTS.keys())
def test_byte_arrays_inside_lists(binterp, read, expected):
    # Tcl lists arrive as (nested) tuples; their byte array elements are text too.
    got = read(binterp)
    flat = (got[0], got[1][0]) if isinstance(got[1], tuple) else (got[0], binterp.cast_list(got[1])[0])
    assert all(type(x) is str and x == TEXT for x in flat)


def test_quick_call_text_of_a_list_is_its_tcl_text(binterp):
    assert binterp.yarl.pair(cast_=False) == binterp.eval("pair")


def test_deep_list_holding_a_byte_array(binterp):
    # _tkinter makes nested tuples as deep as Tcl holds them: no recursion limit.
    binterp.tk.eval("set d $::b; for {set n 0} {$n < 3000} {incr n} {set d [list $d]}")
    value = TclCommand("::set", tcl=binterp)("d")
    for _ in range(3000):
        assert type(value) is tuple and len(value) == 1
        value = value[0]
    assert value == TEXT


def byte_array(interp, hex_text):
    return interp.tk.call("binary", "format", "H*", hex_text)


CASTS = {
    "cast_any int": (lambda i, b: i.cast_any(b("3132")), 12),
    "cast_any hex int": (lambda i, b: i.cast_any(b("30783130")), 16),
    "cast_any text": (lambda i, b: i.cast_any(b("00e9ff")), "\x00\xe9\xff"),
    "cast_any tuple": (lambda i, b: i.cast_any((b("e9"), ("x", b("00")))), ("\xe9", zelph(("x", "\x00")))),
    "cast_int": (lambda i, b: i.cast_int(b("2d37")), -7),
    "cast_double": (lambda i, b: i.cast_double(b("312e35")), 1.5),
    "cast_boolean": (lambda i, b: i.cast_boolean(b("796573")), True),
    "cast_list": (lambda i, b: i.cast_list(b("61207b6220637d")), ("a", "b c")),
    "cast_list of a tuple": (lambda i, b: i.cast_list((b("e9"),)), ("\xe9",)),
    "cast_array": (lambda i, b: dict(i.cast_array(b("6b20e9"))), {"k": "\xe9"}),
    "cast_keyed_list": (lambda i, b: i.cast_keyed_list(b("7b6b20e97d")), Mardeck({"k": "\xe9"})),
}


@pytest.mark.parametrize("cast, expected", CASTS.values(), ids=CASTS.keys())
def test_casts_read_a_byte_array_as_its_text(interp, cast, expected):
    # A byte array handed over by _tkinter (tk.call) is cast as the text it is,
    # not as the repr of bytes or a sequence of integers.
    assert cast(interp, lambda h: byte_array(interp, h)) == expected


def test_error_details_of_a_foreign_interpreter_keep_byte_arrays():
    # An interpreter the package did not make: the details come from its
    # errorCode and errorInfo variables, where a byte array was lost.
    plain = tkinter.Tcl()
    data = plain.tk.call("binary", "format", "H*", "0041e9")
    with pytest.raises(TclError) as caught:
        TclNamespace("::", tcl=plain).call("error", "m", data, data)
    assert caught.value.errorcode == ("\x00A\xe9",)
    assert caught.value.errorinfo.startswith("\x00A\xe9\n")


def test_error_code_of_a_foreign_interpreter_keeps_nested_lists():
    plain = tkinter.Tcl()
    plain.tk.eval("set ::code [list A [list b c]]; lindex $::code 1 0")
    with pytest.raises(TclError) as caught:
        TclNamespace("::", tcl=plain).call("error", "m", "i", plain.tk.call("set", "::code"))
    assert caught.value.errorcode == ("A", "b c")
