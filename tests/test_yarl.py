import copy
import gc
import inspect
import sys
import weakref

import pytest

from korvex.tcl.interpreter import Interpreter, TclError, _global_interpreter
from korvex.tcl.yarl import Yarl, Yarl_Code

yarl_module = sys.modules["korvex.tcl.yarl"]  # the package's `yarl` is the shared Yarl


@pytest.fixture
def echo(interp):
    """A procedure returning its words, so a test sees what Tcl received."""
    interp.tk.eval("proc ::echo args { return $args }")
    return interp


def newest(interp):
    return interp.history.filter()[-1].api


@pytest.mark.parametrize("kwargs, expected", [({}, 5), ({"cast_": True}, 5), ({"cast_": "yes"}, 5),
                                              ({"cast_": False}, "5"), ({"cast_": 0}, "5"), ({"cast_": None}, "5")])
def test_set_casts_unless_told(interp, kwargs, expected):
    result = interp.yarl.set("a", 5, **kwargs)
    assert result == expected and type(result) is type(expected)
    assert interp.tk.eval("set a") == "5"


@pytest.mark.parametrize("args, kwargs, expected", [
    (("x", "y z"), {}, ("x", "y z")),
    (("x", "y z"), {"cast_": False}, "x {y z}"),  # the Tcl list text, not a Python repr
    ((("a", ("b c", "d")),), {"cast_": False}, "{a {{b c} d}}"),
    ((), {"cast_": False}, ""),
])
def test_list_results(interp, args, kwargs, expected):
    assert interp.yarl.list(*args, **kwargs) == expected


def test_python_list_is_one_tcl_list_word(interp):
    assert interp.yarl.llength([1, 2, 3]) == 3


@pytest.mark.parametrize("call, words", [
    (lambda y: y.echo("first", "second", alpha="one", beta="two"),
     ("first", "second", "-alpha", "one", "-beta", "two")),
    (lambda y: y.echo(beta=2, alpha=1), ("-beta", "2", "-alpha", "1")),
    (lambda y: y.echo("p", x=1, cast_=True, y=2), ("p", "-x", "1", "-y", "2")),
    (lambda y: y.echo(*range(40), **{"k%d" % i: i for i in range(20)}),
     tuple(str(i) for i in range(40)) + sum((("-k%d" % i, str(i)) for i in range(20)), ())),
    (lambda y: y.echo(True, None, b"ab", 1.5, {"k": "v w"}),
     ("true", "", "97 98", "1.5", "k {v w}")),
])
def test_words_in_order_options_last(echo, call, words):
    assert call(echo.yarl) == words


def test_nested_namespaces_str_and_repr(interp):
    interp.tk.eval("namespace eval ns_a::ns_b { proc procname {x args} { return $x|$args } }")
    code = interp.yarl.ns_a.ns_b.procname
    text = "<tcl.Yarl magic, referring Tcl code ::ns_a::ns_b::procname>"
    assert str(code) == repr(code) == text
    assert code("x", opt="v") == "x|-opt v"
    assert newest(interp) == "ns_a::ns_b::procname x -opt v"


def test_kept_code_is_extended_in_place(interp):
    x = interp.yarl.ns
    assert x.a is x
    assert x.cmd == ["ns", "a"] and str(x).endswith("::ns::a>")
    assert interp.yarl.ns is not interp.yarl.ns


def test_own_attributes_are_not_name_parts(interp):
    y = interp.yarl
    assert type(y.tcl) in weakref.ProxyTypes and y.tcl.history is interp.history
    code = y.proc
    assert code.tcl is y.tcl and code.cmd == ["proc"]
    assert code.__class__ is Yarl_Code
    code.note = 1
    assert code.note == 1 and code.cmd == ["proc"]
    assert list(vars(code)) == ["tcl", "cmd", "note"]


@pytest.mark.parametrize("probe", [lambda c: hasattr(c, "__wrapped__"), lambda c: hasattr(c, "__setstate__"),
                                   inspect.unwrap, copy.copy])
def test_python_probes_leave_the_name_alone(interp, probe):
    code = interp.yarl.ns.p
    probe(code)
    assert code.cmd == ["ns", "p"]
    with pytest.raises(AttributeError, match="'Yarl' object has no attribute '__wrapped__'"):
        interp.yarl.__wrapped__


@pytest.mark.parametrize("call, text", [
    (lambda y: y.set("a", "b c"), "set a {b c}"),
    (lambda y: y.set("a", 5, cast_=False), "set a 5"),
    (lambda y: y.echo("x", opt="v w"), "echo x -opt {v w}"),
])
def test_history_text(echo, call, text):
    call(echo.yarl)
    assert newest(echo) == text


def test_error_carries_tcl_stack_without_context(interp):
    with pytest.raises(TclError) as info:
        interp.yarl.nope("x")
    exc = info.value
    text = str(exc)
    assert text.startswith('invalid command name "nope"')
    assert text == interp.tk.getvar("::errorInfo") and '"nope x"' in text
    assert exc.args == (text,)
    assert exc.__cause__ is None and exc.__suppress_context__
    assert newest(interp) == "nope x"


def test_error_inside_procedure(interp):
    interp.tk.eval("proc boom {} { error {it broke} }")
    with pytest.raises(TclError, match=r'(?s)^it broke\n.*\(procedure "boom" line 1\)'):
        interp.yarl.boom()


def test_unconvertible_argument_records_and_runs_nothing(interp):
    class Bad:
        def __zelph__(self):
            raise KeyError("no text")

    before = len(interp.history.filter())
    with pytest.raises(KeyError):
        interp.yarl.set("a", Bad())
    assert len(interp.history.filter()) == before
    assert interp.tk.eval("info exists a") == "0"


def test_keyword_dict_changed_by_a_hook(echo):
    opts = {}

    class Clearing:
        def __zelph__(self):
            opts.clear()
            return "v"

    opts.update(a=Clearing(), b="w")
    assert echo.yarl.echo(**opts) == ("-a", "v", "-b", "w")


def test_interpreter_gone_raises_reference_error():
    interp = Interpreter()
    ref = weakref.ref(interp)
    y, code = interp.yarl, interp.yarl.set
    del interp
    gc.collect()
    assert ref() is None
    for call in (lambda: code("a", 1), lambda: y.set("a", 1), lambda: y.tcl.history):
        with pytest.raises(ReferenceError):
            call()
    assert y.ns.p.cmd == ["ns", "p"]


def test_call_keeps_interpreter_alive():
    interp = Interpreter()
    interp.tk.eval("proc ::p {} { return done }")
    code = interp.yarl.p
    interp.history.append = lambda words: globals().pop("_held", None)
    globals()["_held"] = interp
    del interp
    assert code() == "done"


def test_yarl_object_itself_names_no_command(interp):
    with pytest.raises(TclError, match='^invalid command name ""$'):
        interp.yarl("x", k=1)


def test_yarl_code_construction(interp):
    code = Yarl_Code("a", "b", tcl=interp)
    assert code.cmd == ["a", "b"] and code.tcl is interp and list(vars(code)) == ["tcl", "cmd"]
    assert code.c.cmd == ["a", "b", "c"]
    with pytest.raises(TypeError, match=r"missing 1 required keyword-only argument: 'tcl'"):
        Yarl_Code("a")
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        Yarl_Code("a", tcl=interp, x=1)


def test_yarl_binds_weakly_and_keeps_a_given_proxy(interp):
    y = Yarl(tcl=interp)
    assert type(y.tcl) in weakref.ProxyTypes and y.tcl.tk is interp.tk
    proxy = weakref.proxy(interp)
    assert Yarl(tcl=proxy).tcl is proxy
    assert interp.yarl.tcl.yarl is interp.yarl


def test_missing_own_state_is_an_attribute_error(interp):
    y, code = Yarl(tcl=interp), interp.yarl.p
    del y.tcl, code.cmd
    with pytest.raises(AttributeError):
        y.anything
    with pytest.raises(AttributeError):
        code.anything


def test_overrides_in_subclasses_and_module(interp, monkeypatch):
    class Shouting(Yarl_Code):
        def __getattr__(self, name):
            return name.upper()

        def __call__(self, *args, **kwargs):
            return ("called", self.cmd, args, kwargs)

    code = Shouting("x", tcl=interp)
    assert code.abc == "ABC" and code(1, k=2) == ("called", ["x"], (1,), {"k": 2})
    monkeypatch.setattr(yarl_module, "Yarl_Code", Shouting)
    assert interp.yarl.anything.more == "MORE"


def test_interpreter_cast_override_is_used():
    class Typed(Interpreter):
        def cast_any(self, value):
            return ("cast", value)

    assert Typed().yarl.set("a", 5) == ("cast", "5")


def test_interpreter_attributes(interp):
    assert interp.Yarl is interp.yarl and isinstance(interp.yarl, Yarl)
    names = list(vars(interp))
    assert names[names.index("history"):][:3] == ["history", "Yarl", "yarl"]
    shared = _global_interpreter.__all__
    assert shared[shared.index("history"):][:3] == ["history", "Yarl", "yarl"]


def test_class_shapes():
    assert Yarl.__bases__ == Yarl_Code.__bases__ == (object,)
    assert Yarl_Code.__doc__ == "A worker class that implements the Yarl logic."
    assert str(inspect.signature(Yarl_Code.__init__)) == "(self, /, *cmd, tcl)"
    assert yarl_module.TclError is TclError and yarl_module.weakref is weakref


@pytest.mark.parametrize("hook_result, text, length", [
    (("a", "b c", 5), "a {b c} 5", 3),
    ((), "", 0),
    (["x", ("y z",)], "x {{y z}}", 2),
    (7, "7", 1),
    (b"by", "by", 1),
    (True, "1", 1),
])
def test_a_hook_result_that_is_no_str_is_recorded_as_sent(interp, hook_result, text, length):
    """zelph() hands a __zelph__ hook's result back as it is: the command
    still runs, and the history records each word as the text Tcl got."""
    class Hooked:
        def __zelph__(self):
            return hook_result

    interp.eval("proc probe {v tail} {return [list [llength $v] $v $tail]}")
    got = interp.tk.splitlist(interp.yarl.probe(Hooked(), "tail", cast_=False))
    assert got == (str(length), text, "tail")
    word = "{%s}" % text if " " in text else text
    assert interp.history.filter(count=1)[0].api == "probe %s tail" % word
