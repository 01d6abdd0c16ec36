import functools

import pytest

import korvex.tcl
from korvex.tcl.array import Array
from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.mardeck import Mardeck


@pytest.mark.parametrize("text, expected", [
    ("42", 42), ("-7", -7), ("0x10", 16), (" 12 ", 12), ("123456789012345678901234567890", 123456789012345678901234567890),
    ("1.5", 1.5), ("1e3", 1000.0), ("true", True), ("yes", True), ("off", False), ("FALSE", False),
    ("", ""), ("word", "word"), ("a b c", "a b c"), ("hello world", "hello world"),
    # Tcl 8.6's number syntax: a leading zero means octal, so 08 is no number.
    ("010", 8), ("007", 7), ("08", "08"), ("0o17", 15), ("0b101", 5), ("8.6", 8.6), ("8.6.13", "8.6.13"),
    ("inf", float("inf")), ("-Inf", float("-inf")), ("nan", "nan"), ("NaN", "NaN"),
    # Boolean words in any case and unambiguous abbreviation ("o" is on or off).
    ("y", True), ("N", False), ("Of", False), ("o", "o"),
    # White space alone is no keyed list (it used to become an empty Mardeck).
    (" ", " "), ("\n", "\n"), (" \t\r\n ", " \t\r\n "),
])
def test_cast_any_text(interp, text, expected):
    result = interp.cast_any(text)
    assert result == expected and type(result) is type(expected)


def test_cast_any_keyed_list(interp):
    result = interp.cast_any("{a 1} {b 2}")
    assert type(result) is Mardeck and result == {"a": "1", "b": "2"}


def test_cast_any_values(interp):
    assert interp.cast_any((1, "x")) == ("1", "x")
    assert interp.cast_any(True) is True
    assert interp.cast_any(2.5) == 2.5

    class MyInt(int):
        pass

    result = interp.cast_any(MyInt(7))
    assert result == 7 and type(result) is int


def test_cast_any_tcl_objects(interp):
    value = interp.tk.call("expr", "1.0 / 4")
    assert interp.cast_any(value) == 0.25
    obj = interp.tk.call("list", "a", "b")
    assert interp.cast_any(obj) == ("a", "b")


def test_cast_any_honours_overrides():
    class Strict(Interpreter):
        def cast_int(self, value):
            if value == "hello":
                return 99
            return super().cast_int(value)

    assert Strict().cast_any("hello") == 99


def test_eval_typecast(interp):
    assert interp.eval("set a 1", typecast=True) == 1
    assert interp.eval("set a {x y}", typecast=True) == "x y"


@pytest.mark.parametrize("value, expected", [(True, True), ("12", 12), ("0b101", 5)])
def test_cast_int(interp, value, expected):
    assert interp.cast_int(value) == expected


def test_cast_int_errors(interp):
    with pytest.raises(ValueError, match="expected integer"):
        interp.cast_int(1.0)
    with pytest.raises(ValueError):
        interp.cast_int("abc")
    assert interp.cast_double(3) == 3.0 and type(interp.cast_double(3)) is float
    assert interp.cast_double("2.5") == 2.5


@pytest.mark.parametrize("value, expected", [
    (5, True), (-2, True), (0.0, False), ("0.0", False), ("yes", True), ("of", False), ("1.5", True),
])
def test_cast_boolean(interp, value, expected):
    assert interp.cast_boolean(value) is expected


def test_cast_boolean_error(interp):
    with pytest.raises(ValueError) as info:
        interp.cast_boolean("maybe")
    assert isinstance(info.value.__cause__, TclError)
    assert "expected boolean value but got \"maybe\"" in str(info.value)


def test_cast_list():
    assert Interpreter.cast_list("a {b c}") == ("a", "b c")
    assert korvex.tcl.cast_list("1 2 3", item_cast=int) == (1, 2, 3)
    ints = functools.partial(korvex.tcl.cast_list, item_cast=int)
    assert ints("4 5") == (4, 5)
    with pytest.raises(ValueError) as info:
        Interpreter.cast_list("a {b")
    assert isinstance(info.value.__cause__, TclError)
    with pytest.raises(ValueError, match="invalid literal"):
        Interpreter.cast_list("1 x", item_cast=int)


def test_cast_array():
    arr = korvex.tcl.cast_array("a 1 b 2", item_cast=int)
    assert type(arr) is Array and arr == {"a": 1, "b": 2}
    with pytest.raises(ValueError):
        korvex.tcl.cast_array("a 1 b")


def test_cast_keyed_list():
    m = korvex.tcl.cast_keyed_list("{a {{b 1}}} {c 2}", item_cast=int)
    assert m.all_items() == [("a.b", 1), ("c", 2)]
    with pytest.raises(ValueError):
        korvex.tcl.cast_keyed_list("a")


def test_cast_errors_from_item_cast_keep_replaced_values():
    def picky(v):
        if v == "2":
            raise RuntimeError("no")
        return int(v)

    with pytest.raises(RuntimeError):
        korvex.tcl.cast_array("a 1 b 2", item_cast=picky)


def test_cast_any_honours_base_conversion_overrides():
    class Seven(Interpreter):
        def getint(self, value):
            return 7

    assert Seven().cast_any("hello") == 7


def test_cast_any_uses_a_replaced_package_cast_list(cast_list_calls, interp):
    assert interp.cast_any("plain words") == "plain words"
    assert type(interp.cast_any("{a 1}")) is Mardeck
    assert "plain words" in cast_list_calls and "{a 1}" in cast_list_calls
