import copy
import gc
import inspect
import pickle
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
                                              ({"cast_": False}, "5"), ({"cast_": 0}, "5"), ({"cast_": None}, "5"),
                                              ({"".join(["cast", "_"]): False}, "5")])
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


# --- Yarl_Code's own state: kept in C fields until its __dict__ is asked for,
# it must behave exactly like the instance dict of a plain Python class.

class _PlainCode:
    """The oracle: what a Yarl_Code's state would be as a Python class."""

    def __init__(self, *cmd, tcl):
        self.tcl = tcl
        self.cmd = list(cmd)


_state_ops = st.lists(st.tuples(st.sampled_from(["set", "del", "get", "vars", "setdict"]),
                                st.sampled_from(["tcl", "cmd", "note"]),
                                st.integers(0, 3)), max_size=12)


def _apply(obj, op, name, value):
    try:
        if op == "set":
            setattr(obj, name, value)
        elif op == "del":
            delattr(obj, name)
        elif op == "get":
            # Names the object holds only: a missing one is a command name part.
            return ("got", type(obj).__getattribute__(obj, name)) if name in _names(obj) else None
        elif op == "vars":
            return ("vars", list(vars(obj).items()))
        else:
            obj.__dict__ = {name: value, "cmd": [value]}
    except AttributeError as exc:
        return ("AttributeError", name in str(exc))  # the wording varies with the Python
    return None


def _names(obj):
    # The state without asking for __dict__ (which would move it there).
    return [n for n in ("tcl", "cmd", "note") if _holds(obj, n)]


def _holds(obj, name):
    try:
        type(obj).__getattribute__(obj, name)  # no __getattr__
        return True
    except AttributeError:
        return False


_shared_yarl = Yarl(tcl=_global_interpreter)


@settings(max_examples=300, deadline=None)
@given(_state_ops, st.sampled_from(["init", "new", "attribute"]))
def test_state_matches_a_plain_class(ops, construct):
    if construct == "init":
        code, plain = Yarl_Code("a", tcl="T"), _PlainCode("a", tcl="T")
    elif construct == "new":
        code, plain = Yarl_Code.__new__(Yarl_Code), _PlainCode.__new__(_PlainCode)
    else:  # as a quick call makes it
        code, plain = _shared_yarl.a, _PlainCode("a", tcl=_shared_yarl.tcl)
    for op, name, value in ops:
        assert _apply(code, op, name, value) == _apply(plain, op, name, value)
        assert _names(code) == _names(plain)
    assert list(vars(code).items()) == list(vars(plain).items())


def test_fields_and_dict_stay_one_state(interp):
    code = interp.yarl.ns
    code.cmd = ["x"]
    assert code.cmd == ["x"] and list(vars(code)) == ["tcl", "cmd"]
    del code.cmd
    code.cmd = ["y"]
    assert list(vars(code)) == ["tcl", "cmd"] and code.cmd == ["y"]
    d = vars(code)
    d["cmd"] = ["z"]
    assert code.cmd == ["z"]  # the dict is the state now
    assert str(code) == "<tcl.Yarl magic, referring Tcl code ::z>"
    code.__dict__ = {"cmd": ["list"], "tcl": interp.yarl.tcl}
    assert list(vars(code)) == ["cmd", "tcl"] and code("p", "q") == ("p", "q")
    with pytest.raises(TypeError, match="__dict__ must be set to a dictionary"):
        code.__dict__ = [1]
    with pytest.raises(TypeError):
        del code.__dict__


def test_class_attributes_of_the_same_names_follow_python(interp):
    class WithProperty(Yarl_Code):
        @property
        def cmd(self):
            return ["set"]

    with pytest.raises(AttributeError):
        WithProperty("a", tcl=interp)  # __init__ stores cmd: a read-only property refuses

    class WithDefault(Yarl_Code):
        tcl = "class value"

    code = WithDefault("set", tcl=interp)
    assert code.tcl is interp and list(vars(code)) == ["tcl", "cmd"]
    assert code("a", 7) == 7
    del code.tcl
    assert code.tcl == "class value"


def test_subclass_instances(interp):
    class Loud(Yarl_Code):
        pass

    code = Loud("set", tcl=interp)
    assert isinstance(code, Yarl_Code) and type(code) is Loud
    assert code("a", 3) == 3 and code.other.cmd == ["set", "other"]
    assert list(vars(code)) == ["tcl", "cmd"]
    ref = weakref.ref(code)
    del code
    assert ref() is None


def test_copy_and_pickle_keep_the_state(interp):
    code = interp.yarl.ns.p
    twin = copy.copy(code)
    assert type(twin) is Yarl_Code and twin is not code
    assert list(vars(twin).items()) == list(vars(code).items())
    plain = Yarl_Code("ns", "q", tcl="not an interpreter")
    back = pickle.loads(pickle.dumps(plain))
    assert list(vars(back).items()) == [("tcl", "not an interpreter"), ("cmd", ["ns", "q"])]
    assert pickle.loads(pickle.dumps(Yarl_Code.__new__(Yarl_Code))).__dict__ == {}


def test_replaced_or_removed_call_is_honoured(interp, monkeypatch):
    code = interp.yarl.set
    monkeypatch.setattr(Yarl_Code, "__call__", lambda self, *a, **k: ("patched", a, k))
    assert code(1, k=2) == ("patched", (1,), {"k": 2})
    monkeypatch.delattr(Yarl_Code, "__call__")
    with pytest.raises(TypeError, match="'Yarl_Code' object is not callable"):
        code("a", 1)
    monkeypatch.undo()
    assert interp.yarl.set("a", 4) == 4 and code("b", 5) == 5


def test_messages_name_the_class_as_python_does(interp):
    with pytest.raises(AttributeError, match="^'Yarl_Code' object has no attribute '__wrapped__'$"):
        interp.yarl.p.__wrapped__
    with pytest.raises(AttributeError, match="cmd"):  # Python's own wording, which varies
        del Yarl_Code.__new__(Yarl_Code).cmd


def test_reused_instances_start_empty(interp):
    refs = [weakref.ref(interp.yarl.ns) for _ in range(20)]
    assert all(r() is None for r in refs)
    fresh = Yarl_Code.__new__(Yarl_Code)
    assert vars(fresh) == {}
    with pytest.raises(AttributeError):
        fresh.anything  # no cmd: nothing to extend


def test_cycles_through_the_state_are_collected(interp):
    code = interp.yarl.ns
    code.cmd.append(code)
    other = interp.yarl.p
    other.me = other
    refs = [weakref.ref(code), weakref.ref(other)]
    del code, other
    gc.collect()
    assert all(r() is None for r in refs)


def test_many_quick_calls_leave_nothing_behind(interp):
    interp.history.disable()
    interp.tk.eval("proc ::echo args { return $args }")

    def calls():
        for i in range(2000):
            interp.yarl.set("a", i)
            interp.yarl.set("a", i, cast_=False)
            interp.yarl.echo(i, k=i)
            code = interp.yarl.ns
            code.x.y
            vars(code)
            with pytest.raises(TclError):
                interp.yarl.nope()

    calls()
    gc.collect()
    before = len(gc.get_objects())
    counts = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    calls()
    gc.collect()
    assert len(gc.get_objects()) - before < 50
    if counts is not None:
        assert sys.gettotalrefcount() - counts < 1000


def test_casts_and_lookups_replaced_between_calls(interp, monkeypatch):
    """What the quick path remembers about classes and instance dicts gives
    way as soon as they change."""
    assert interp.yarl.set("a", 5) == 5
    monkeypatch.setattr(Interpreter, "cast_any", lambda self, value: ("class", value))
    assert interp.yarl.set("a", 5) == ("class", "5")
    monkeypatch.undo()
    assert interp.yarl.set("a", 5) == 5
    interp.cast_any = lambda value: ("instance", value)
    assert interp.yarl.set("a", 5) == ("instance", "5")
    del interp.cast_any
    assert interp.yarl.set("a", 5) == 5


def test_yarl_names_found_on_the_object_first(interp, monkeypatch):
    y = interp.yarl
    assert y.set.cmd == ["set"]
    y.__dict__["set"] = "own"
    assert y.set == "own"
    del y.__dict__["set"]
    monkeypatch.setattr(Yarl, "set", "from the class", raising=False)
    assert y.set == "from the class"
    monkeypatch.undo()
    assert y.set.cmd == ["set"] and y.set("a", 1) == 1


def test_name_list_made_once_when_read(interp):
    code = interp.yarl.set
    parts = code.cmd
    assert parts == ["set"] and code.cmd is parts and vars(code)["cmd"] is parts
    assert code("a", 2) == 2 and code.cmd is parts
    parts.append("x")
    assert str(code) == "<tcl.Yarl magic, referring Tcl code ::set::x>"
    other = interp.yarl.list
    other.cmd = ["set"]
    assert other("b", 3) == 3 and other.cmd == ["set"]
    third = interp.yarl.lappend
    del third.cmd
    with pytest.raises(AttributeError):
        third("a", 1)


def test_yarl_code_class_shape(interp):
    code = interp.yarl.p
    assert type(Yarl_Code) is type and Yarl_Code.__name__ == Yarl_Code.__qualname__ == "Yarl_Code"
    assert Yarl_Code.__module__ == "korvex.tcl.yarl"
    assert code.__weakref__ is None
    ref = weakref.ref(code)
    assert code.__weakref__ is ref
    assert not any(name.endswith("offset__") for name in vars(Yarl_Code))
    assert "tcl" not in dir(Yarl_Code) and {"tcl", "cmd"} <= set(dir(code))


# The command name reaches Tcl as a Tcl object the interpreter keeps for it,
# whose record of the command Tcl reuses. Each scenario runs Tcl scripts and
# calls (a tuple: the name, then its arguments) both ways in turn: through
# yarl, and through raw tk.call with a new str, which Tcl looks up afresh.
NAME_SCENARIOS = {
    "renamed": ["proc p {} {return p1}", ("p",), "rename p q", ("p",), ("q",), "rename q p", ("p",)],
    "deleted and made again": ["proc p {} {return p1}", ("p",), "rename p {}", ("p",),
                               "proc p {} {return p2}", ("p",)],
    "redefined": ["proc p {} {return p1}", ("p",), "proc p {} {return p2}", ("p",),
                  "interp alias {} p {} return p3", ("p",), "interp alias {} p {}", ("p",)],
    "namespace relative": ["namespace eval a {proc p {} {return a1}}", ("a::p",), "namespace delete a",
                           ("a::p",), "namespace eval a {proc p {} {return a2}}", ("a::p",),
                           "rename a::p {}", ("a::p",), "proc ::a::p {} {return a3}", ("a::p",)],
    "shadowed on the namespace path": ["namespace eval other {proc p {} {return other}}", ("p",),
                                       "namespace path ::other", ("p",), "proc ::p {} {return global}",
                                       ("p",), "rename ::p {}", ("p",), "namespace path {}", ("p",)],
    "unknown handler": [("p", "x"), "proc unknown args {return unknown:[join $args ,]}", ("p", "x"),
                        "proc p args {return p1}", ("p", "x"), "rename p {}", ("p", "x"),
                        "rename unknown {}", ("p", "x")],
    "built-in replaced": [("set", "v", "1"), "rename set _set; proc set args {return mine}",
                          ("set", "v", "2"), "rename set {}; rename _set set", ("set", "v", "3")],
    "failing command": ["proc p {} {error boom {} {MY CODE}}", ("p",), ("p",)],
}


def call_outcome(interp, call):
    """A call's result text, or Tcl's errorInfo and errorCode when it fails."""
    try:
        return "ok", call()
    except TclError:
        return "error", interp.tk.eval("set ::errorInfo"), interp.tk.eval("set ::errorCode")


def quick(interp, name):
    code = interp.yarl
    for part in name.split("::"):
        code = getattr(code, part)
    return code


@pytest.mark.parametrize("steps", NAME_SCENARIOS.values(), ids=list(NAME_SCENARIOS))
def test_kept_command_names_find_what_a_new_name_finds(interp, steps):
    for step in steps * 2:  # (the second round starts with every name kept)
        if isinstance(step, str):
            interp.tk.eval(step)
            continue
        name, *args = step
        ours = call_outcome(interp, lambda: quick(interp, name)(*args, cast_=False))
        raw = call_outcome(interp, lambda: str(interp.tk.call(name, *args)))
        assert ours == raw, step


def test_each_interpreter_keeps_its_own_command_names(interp):
    other = Interpreter()
    interp.tk.eval("proc p {} {return one}")
    other.tk.eval("proc p {} {return two}")
    for _ in range(3):
        assert (interp.yarl.p(), other.yarl.p()) == ("one", "two")
    other.close()
    assert interp.yarl.p() == "one"
    with pytest.raises(TclError, match="closed"):
        other.yarl.p()


def test_kept_names_pushed_out_while_in_use(interp):
    """A command whose run makes quick calls under many other names (pushing
    out the word kept for its own name) finishes, and runs again, as before."""
    names = ["p%d" % i for i in range(100)]
    for name in names:
        interp.tk.eval("proc %s {} {return %s}" % (name, name))

    def many():
        return ",".join(quick(interp, name)() for name in names)

    interp.create_callback(many)
    interp.tk.eval("proc outer {} {set r [many]; return [lindex [info level 0] 0]:[string length $r]}")
    expected = "outer:%d" % len(",".join(names))
    for _ in range(3):
        assert interp.yarl.outer() == expected


def test_replaced_tk_call_sees_the_words_as_str(interp):
    class Spy:
        def __init__(self, tk):
            self.tk, self.seen = tk, []

        def call(self, *words):
            self.seen.append(words)
            return self.tk.call(*words)

        def __getattr__(self, name):
            return getattr(self.tk, name)

    interp.yarl.set("a", 1)
    interp.tk = spy = Spy(interp.tk)
    assert interp.yarl.set("a", 5) == 5
    assert spy.seen == [("set", "a", "5")]
