import inspect
import re
import tkinter

import pytest

import korvex.tcl
from korvex.tcl.history import History
from korvex.tcl.interpreter import Interpreter, TclError, _global_interpreter


def test_is_a_tk_without_tk(interp):
    assert isinstance(interp, tkinter.Tk)
    assert interp.tk.eval("info commands button") == ""
    assert interp.tk.eval("package present Tclx")


def _set_item(interp):
    interp["background"] = "red"


@pytest.mark.parametrize("call, name, label", [
    (lambda i: i.winfo_width(), "winfo_width", "winfo_width()"),
    (lambda i: i.grid_slaves(), "grid_slaves", "grid_slaves()"),
    (lambda i: i.geometry("10x10"), "geometry", "geometry()"),
    (lambda i: i.bind("<Key>", print), "bind", "bind()"),
    (lambda i: i.wait_variable("v"), "wait_variable", "wait_variable()"),
    (lambda i: i.destroy(), "destroy", "destroy()"),
    (lambda i: i["background"], "__getitem__", "interp[option]"),
    (_set_item, "__setitem__", "interp[option] = value"),
])
def test_tk_methods_say_that_tk_is_not_loaded(interp, call, name, label):
    commands = interp.tk.eval("llength [info commands]")
    with pytest.raises(TclError, match=r"^%s needs Tk, and Tk is not loaded in this interpreter" % re.escape(label)
                       ) as info:
        call(interp)
    assert info.value.errorcode == ("TK", "NOT_LOADED", name)
    assert interp.tk.eval("llength [info commands]") == commands  # nothing registered on the way
    assert interp.eval("set a 1") == "1"  # the interpreter goes on


@pytest.mark.parametrize("call", [
    lambda i: i.after(1), lambda i: i.after_cancel(i.after(1000, print)), lambda i: i.update(),
    lambda i: i.update_idletasks(), lambda i: i.setvar("v", "1") or i.getvar("v"), lambda i: i.getint("7"),
    lambda i: i.deletecommand(i.register(print)), lambda i: i.quit(), lambda i: i.mainloop(),
])
def test_what_works_without_tk_is_tkinters(interp, call):
    call(interp)


@pytest.mark.parametrize("name, value", [("argc", "0"), ("argv", ""), ("argv0", ""), ("tcl_interactive", "0")])
def test_fresh_globals(interp, name, value):
    assert interp.tk.eval("set ::%s" % name) == value


def test_instance_state(interp):
    assert isinstance(interp.history, History)
    assert interp.__callbacks__ == {}
    assert Interpreter.__MAX_HISTORY__ == 9999
    assert interp.history.__history__.maxlen == 9999


def test_tclx_load_is_not_recorded(interp):
    assert interp.history.filter() == []


def test_eval_returns_text_and_records(interp):
    assert interp.eval("set a 1") == "1"
    assert [e.api for e in interp.history.filter()] == ["set a 1"]


def test_eval_passes_code_unchanged(interp):
    code = "set a {x  y}\nset b [string length $a]"
    assert interp.eval(code) == "4"
    assert interp.history.filter()[-1].api == code


@pytest.mark.parametrize("record", [False, 0, None, "", []])
def test_eval_falsy_record_leaves_history(interp, record):
    interp.eval("set a 1", record=record)
    assert interp.history.filter() == []


@pytest.mark.parametrize("record", [True, 1, "yes"])
def test_eval_truthy_record(interp, record):
    interp.eval("set a 1", record=record)
    assert len(interp.history.filter()) == 1


def test_eval_error_carries_error_info(interp):
    script = "proc boom {} { error {it broke} }\nboom"
    with pytest.raises(TclError) as info:
        interp.eval(script)
    exc = info.value
    text = str(exc)
    assert text.startswith("it broke\n    while executing")
    assert '"boom"' in text
    assert text == interp.tk.eval("set ::errorInfo")
    assert exc.args == (text,)
    assert exc.__cause__ is None and exc.__suppress_context__
    assert interp.history.filter()[-1].api == script


def test_eval_error_inside_handler_keeps_user_context(interp):
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(TclError) as info:
            interp.eval("error inner")
    assert info.value.__suppress_context__
    assert str(info.value).startswith("inner")


def test_eval_non_string_code_is_recorded_first(interp):
    with pytest.raises(TypeError):
        interp.eval(["set", "a b"])
    assert interp.history.filter()[-1].api == "set {a b}"


def test_eval_argument_binding(interp):
    assert interp.eval(code="set a 2") == "2"
    assert interp.eval("set a 3", False, False) == "3"
    with pytest.raises(TypeError, match="unexpected keyword argument 'cod'"):
        interp.eval(cod="x")
    with pytest.raises(TypeError, match="missing required argument 'code'"):
        interp.eval()
    with pytest.raises(TypeError, match="multiple values for argument 'code'"):
        interp.eval("x", code="y")
    with pytest.raises(TypeError, match="takes from 1 to 3 positional arguments but 4 were given"):
        interp.eval("x", 1, 2, 3)
    assert str(inspect.signature(Interpreter.eval)) == "(self, /, code, typecast=False, record=True)"
    # Keywords found by their text too, not only as the interned names.
    class Name(str):
        pass

    for key in ("".join(["rec", "ord"]), Name("record")):
        interp.eval("set b %d" % len(key), **{key: False})
        assert interp.history.filter()[-1].api != "set b 6"


def test_eval_typecast_goes_through_cast_any():
    class Casting(Interpreter):
        def cast_any(self, value):
            return ("cast", value)

    interp = Casting()
    assert interp.eval("set a 1", typecast=True) == ("cast", "1")
    assert interp.eval("set a 1", typecast=0) == "1"


def test_eval_in_subclass_via_super():
    class Logging(Interpreter):
        def eval(self, code, typecast=False, record=True):
            self.seen = code
            return super().eval(code, typecast, record)

    interp = Logging()
    assert interp.eval("set a 9") == "9" and interp.seen == "set a 9"


def test_get_error_info(interp):
    with pytest.raises(TclError):
        interp.eval("error oops")
    assert interp.get_errorInfo().startswith("oops\n")


def test_call_runs_words_and_records(interp):
    interp.eval("proc sum {a b} {expr {$a + $b}}")
    interp.history.clear()
    assert interp.call("sum", 1, 2) == 3  # the result as Tcl holds it: an int
    assert interp.call("set", "v", "a {b") == "a {b"  # each argument one word
    assert interp.call("list", ["x y", 1], ("z",)) == (("x y", 1), ("z",))
    assert interp.call(("set", "w", "lone tuple")) == "lone tuple"  # the words themselves, as tk.call
    assert interp.call() == ""
    assert [e.api for e in interp.history] == [
        "sum 1 2", "set v {a {b}", "list {{x y} 1} z", "set w {lone tuple}", ""]


def test_call_failure_carries_details(interp):
    with pytest.raises(TclError) as info:
        interp.call("error", "boom", "the info", "CODE X")
    assert str(info.value) == "boom"
    assert info.value.errorcode == ("CODE", "X")
    assert info.value.errorinfo == "the info"
    assert interp.history.filter(count=1)[0].api == "error boom {the info} {CODE X}"


def test_call_takes_no_keywords(interp):
    with pytest.raises(TypeError, match="keyword"):
        interp.call("set", "v", value=1)


def test_call_is_published(interp):
    assert korvex.tcl.call("set", "::published", 5) == 5
    assert korvex.tcl.call == _global_interpreter.call
    assert interp.call.__doc__.startswith("Run one Tcl command given as its words")


def test_getattr_forwards_to_application(interp):
    assert interp.exprstring == interp.tk.exprstring
    assert interp.splitlist("a {b c}") == ("a", "b c")


def test_createcommand_goes_through_the_bridge(interp):
    # The application object's own method would park the exception inside
    # _tkinter and leave Tcl an empty error.
    def fail():
        raise LookupError("gone")

    interp.createcommand("fail", fail)
    with pytest.raises(TclError) as info:
        interp.eval("fail")
    assert info.value.errorcode == ("PYTHON", "LookupError", "gone")
    assert isinstance(info.value.__cause__, LookupError)
    assert interp.createcommand.__self__ is interp
    interp.close()
    with pytest.raises(TclError, match="closed"):
        interp.createcommand("again", fail)


def test_getattr_missing_name(interp):
    with pytest.raises(AttributeError) as info:
        interp.no_such_thing
    assert str(info.value) == "'Interpreter' object has no attribute 'no_such_thing'"
    assert info.value.__context__ is None


def test_getattr_before_tk_exists():
    bare = Interpreter.__new__(Interpreter)
    with pytest.raises(AttributeError, match="'Interpreter' object has no attribute 'anything'"):
        bare.anything


class _Recorded:
    seen = []

    def __init_subclass__(cls, **kwargs):
        _Recorded.seen.append(cls.__name__)
        super().__init_subclass__(**kwargs)


# The class keeps object.__getattribute__ (the fast method lookup) and lists
# the application object's names instead of reaching them through
# __getattr__; a subclass gets the same unless it defines a hook of its own.
@pytest.mark.parametrize("kind", ["class", "subclass", "subclass with a mixin", "subclass with __getattr__"])
def test_the_application_objects_names_through_the_interpreter(kind):
    if kind == "class":
        cls = Interpreter
    elif kind == "subclass":
        cls = type("Sub", (Interpreter,), {})
    elif kind == "subclass with a mixin":
        cls = type("Mixed", (Interpreter, _Recorded), {})
        assert _Recorded.seen[-1] == "Mixed"
    else:
        cls = type("Hooked", (Interpreter,), {"__getattr__": lambda self, name: "via " + name})
    interp = cls()
    assert interp.splitlist("a {b c}") == ("a", "b c")
    assert interp.createcommand.__self__ is interp and interp.wantobjects() in (0, 1, 2)
    if kind == "subclass with __getattr__":
        assert interp.no_such_thing == "via no_such_thing"
    else:
        with pytest.raises(AttributeError, match="^'%s' object has no attribute 'no_such_thing'$" % cls.__name__):
            interp.no_such_thing
    interp.close()
    if kind != "subclass with __getattr__":  # (whose hook answers instead)
        with pytest.raises(AttributeError, match="no attribute 'splitlist'"):
            interp.splitlist
    with pytest.raises(TypeError):
        type("Bad", (Interpreter,), {}, unexpected=1)


def test_class_member_order():
    members = list(Interpreter.__dict__)
    public = [k for k in members if not k.startswith("_")]
    assert public[:5] == ["generate_callback_cmd_name", "create_callback", "remove_callback", "eval", "get_errorInfo"]
    assert members.index("__getattr__") + 1 == members.index("generate_callback_cmd_name")
    assert list(Interpreter.__dict__).index("__MAX_HISTORY__") < list(Interpreter.__dict__).index("__init__")


def test_shared_interpreter_names():
    names = _global_interpreter.__all__
    assert names[:5] == ["generate_callback_cmd_name", "create_callback", "remove_callback", "eval", "get_errorInfo"]
    assert "set_int" in names and "set_double" in names and "vars" in names and "yarl" in names
    assert not [n for n in names if n.startswith("_")]
    assert names.index("tk") < names.index("history")
    # tkinter's own methods that the class makes raise what stops their Tcl
    # work (after, update...) stay tkinter's, not names of the package.
    import tkinter
    # Nor do the application object's names the class forwards.
    public_members = [k for k, v in Interpreter.__dict__.items() if not k.startswith("_")
                      and not hasattr(tkinter.Misc, k) and type(v).__name__ != "forwarded_attribute"]
    assert {"after", "update", "setvar", "getvar"} <= set(Interpreter.__dict__) - set(names)
    public_attrs = [k for k in vars(_global_interpreter) if not k.startswith("_")]
    assert names == public_members + public_attrs


def test_interpreters_are_independent():
    a, b = Interpreter(), Interpreter()
    a.eval("set x 1")
    assert b.tk.eval("info exists x") == "0"
    assert a.history is not b.history


def test_eval_records_through_a_replaced_history(interp, monkeypatch):
    seen = []

    class Spy(History):
        def append(self, item):
            seen.append(item)
            super().append(item)

    interp.history = Spy()
    interp.eval("set a 1")
    assert seen == ["set a 1"] and len(interp.history.filter()) == 1
    monkeypatch.setattr(History, "append", lambda self, item: seen.append(("patched", item)))
    interp.history = History()
    interp.eval("set a 2")
    interp.yarl.set("a", 3)
    assert seen[1:] == [("patched", "set a 2"), ("patched", ["set", "a", "3"])]


def test_eval_follows_replaced_attributes(interp):
    calls = []

    class Tk:
        def __init__(self, tk):
            self.tk = tk

        def eval(self, code):
            calls.append(code)
            return self.tk.eval(code)

        def call(self, *words):
            calls.append(words)
            return self.tk.call(*words)

    interp.eval("set a 1")
    interp.yarl.set("a", 1)
    real = interp.tk
    interp.tk = Tk(real)
    try:
        assert interp.eval("set a 2") == "2"
        assert interp.yarl.set("a", 3) == 3
    finally:
        interp.tk = real
    assert calls == ["set a 2", ("set", "a", "3")]
    assert interp.eval("set a 4") == "4" and calls[-1] == ("set", "a", "3")


def test_class_attributes_and_hooks_still_decide(monkeypatch):
    class Shadowed(Interpreter):
        other = History()
        history = property(lambda self: Shadowed.other, lambda self, value: None)

    interp = Shadowed()
    interp.eval("set a 1")
    interp.yarl.set("a", 2)
    assert [e.api for e in Shadowed.other.filter()] == ["set a 1", "set a 2"]

    class Watching(Interpreter):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)

    seen = []
    watched = Watching()
    watched.yarl.set("a", 1)
    assert "yarl" in seen and "cast_any" in seen
    monkeypatch.setattr(Interpreter, "__getattr__", lambda self, name: "via " + name)
    assert Interpreter().no_such_name == "via no_such_name"


def test_cast_override_after_use(interp, monkeypatch):
    assert interp.eval("set a 5", typecast=True) == 5
    monkeypatch.setattr(Interpreter, "cast_int", lambda self, value: ("int", value))
    assert interp.eval("set a 5", typecast=True) == ("int", "5")
