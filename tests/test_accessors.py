import pytest

from korvex.tcl.array import Array
from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.mardeck import Mardeck

ORDER = ["get_array", "get_list", "get_keyed_list", "get_int", "get_boolean", "get_double", "get_var",
         "set_array", "set_keyed_list", "set_var", "set_int", "set_double", "set_boolean", "set_list"]


def test_class_order():
    names = list(Interpreter.__dict__)
    at = names.index("get_errorInfo")
    assert names[at + 1:at + 1 + len(ORDER)] == ORDER
    assert names[at + 1 + len(ORDER)] == "cast_list"
    assert Interpreter.set_int is Interpreter.set_var is Interpreter.set_double


@pytest.mark.parametrize("value, flag, text", [
    ("false", True, "1"), ([], False, "0"), (0.0, False, "0"), ("0", True, "1"), (None, False, "0"),
])
def test_set_boolean_uses_python_truth(interp, value, flag, text):
    interp.set_boolean("::b", value)
    assert interp.get_var("::b") == text
    assert interp.get_boolean("::b") is flag


@pytest.mark.parametrize("stored, getter, expected", [
    ("5", "get_int", 5), ("5", "get_double", 5.0), ("-3", "get_boolean", True), ("0", "get_boolean", False),
    ("off", "get_boolean", False), ("0x10", "get_int", 16), (" 7 ", "get_int", 7), ("2.5", "get_double", 2.5),
])
def test_typed_getters(interp, stored, getter, expected):
    interp.tk.setvar("::v", stored)
    got = getattr(interp, getter)("::v")
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("stored, getter", [("abc", "get_int"), ("1.5", "get_int"), ("abc", "get_double"),
                                             ("abc", "get_boolean")])
def test_getter_errors_are_value_errors(interp, stored, getter):
    interp.tk.setvar("::v", stored)
    with pytest.raises(ValueError):
        getattr(interp, getter)("::v")


@pytest.mark.parametrize("getter", ["get_int", "get_var", "get_list", "get_double"])
def test_missing_variable_is_key_error(interp, getter):
    with pytest.raises(KeyError):
        getattr(interp, getter)("::missing")


def test_setters(interp):
    interp.set_int("::i", 5)
    interp.set_double("::d", 2.5)
    interp.set_var(name="::s", value="a b")
    assert interp.get_var("::i") == "5" and interp.get_double("::d") == 2.5 and interp.get_var("::s") == "a b"
    interp.set_list("::l", range(3))
    assert interp.get_list("::l") == ("0", "1", "2")
    interp.set_list("::l", [])
    assert interp.get_var("::l") == ""
    interp.set_list("::l", ["a b", "c"])
    assert interp.get_list("::l") == ("a b", "c")


def test_arrays(interp):
    interp.set_array("::arr", {"k": "v", "n": 1})
    assert interp.get_array("::arr") == Array({"k": "v", "n": "1"})
    interp.set_array(name="::arr", obj=Array({"z": "2"}))
    assert interp.get_array("::arr")["z"] == "2"


def test_keyed_lists(interp):
    interp.set_keyed_list("::kl", {"a": 1})
    assert interp.get_keyed_list("::kl") == Mardeck({"a": "1"})
    assert interp.tk.eval("keylget ::kl a") == "1"
    m = Mardeck({"b": "x"})
    interp.set_keyed_list("::kl", m)
    assert interp.get_keyed_list("::kl")["b"] == "x"
    interp.tk.setvar("::bad", "{a")
    with pytest.raises(ValueError):
        interp.get_keyed_list("::bad")


def test_relative_names_follow_current_namespace(interp):
    interp.set_var("rel", 1)
    assert interp.tk.eval("set ::rel") == "1"


def test_argument_errors(interp):
    with pytest.raises(TypeError):
        interp.get_int()
    with pytest.raises(TypeError):
        interp.set_var("::x")
    with pytest.raises(TypeError):
        interp.set_array("::x", value={})


class Doubling(Interpreter):
    def cast_int(self, value):
        return 2 * int(value)


def test_subclass_casts_are_used():
    interp = Doubling()
    interp.set_var("::x", 4)
    assert interp.get_int("::x") == 8


def test_errorinfo_through_views(interp):
    with pytest.raises(TclError) as e:
        interp.eval("error boom")
    assert str(e.value) == interp.get_errorInfo() == interp.global_ns.vars["errorInfo"]
    assert str(e.value).startswith("boom\n")


def test_argv_globals(interp):
    assert [interp.global_ns.vars[n] for n in ("argc", "argv", "argv0", "tcl_interactive")] == ["0", "", "", "0"]


def test_shared_names_in_order():
    from korvex.tcl.interpreter import _global_interpreter
    names = _global_interpreter.__all__
    tail = names[names.index("history"):]
    assert tail[-4:] == ["global_ns", "local_ns", "vars", "objs"]
    assert names.index("get_errorInfo") + 1 == names.index("get_array")
