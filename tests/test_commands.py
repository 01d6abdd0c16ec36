import logging
import types

import pytest

from korvex.tcl.interpreter import TclError
from korvex.tcl.namespace import TclCommand


@pytest.fixture
def proc(interp):
    interp.eval("proc two {x {y 5}} {return $x-$y}")
    return TclCommand("two", tcl=interp)


@pytest.mark.parametrize("cmd, kwargs, name, args", [
    ("puts hello", {}, "puts", ("hello",)),
    ("puts", {"args": "a b"}, "puts", ("a", "b")),
    ("my cmd", {"args": ()}, "my cmd", ()),
    (("lappend", "x"), {}, "lappend", ("x",)),
    (["lappend", "x y"], {}, "lappend", ("x y",)),
])
def test_words_from_cmd_and_args(interp, cmd, kwargs, name, args):
    c = TclCommand(cmd, tcl=interp, **kwargs)
    assert (c.cmd_name, c.args) == (name, args)


def test_command_built_on_command(interp):
    inner = TclCommand("lappend", args=("x",), keywords={"o": 1}, tcl=interp)
    outer = TclCommand(inner, args=("y",), tcl=interp)
    # the inner command's options stay after all positional words
    assert (outer.cmd_name, outer.args) == ("lappend", ("x", "y", "-o", 1))
    assert TclCommand(inner, tcl=interp).build_tclcmd() == ("lappend", "x", "-o", 1)


def test_empty_command_raises_index_error(interp):
    with pytest.raises(IndexError):
        TclCommand((), tcl=interp)


def test_options_after_positional_words_and_replaced_in_place(interp):
    c = TclCommand("cmd", args=("a",), keywords={"a": 1, "z": 0}, tcl=interp)
    assert c.build_tclcmd("b", b=2, a=3) == ("cmd", "a", "b", "-a", 3, "-z", 0, "-b", 2)
    assert c.keywords == {"a": 1, "z": 0}  # the call's options do not stick
    assert c.build_tclcmd((1, (2, 3))) == ("cmd", "a", (1, (2, 3)), "-a", 1, "-z", 0)


def test_kwargs_to_dashed_args():
    assert TclCommand.kwargs_to_dashed_args(x=None, y=True) == ("-x", None, "-y", True)
    assert TclCommand.kwargs_to_dashed_args() == ()


def test_call_matches_eval_and_raw(interp, proc):
    assert proc("a") == proc.eval("a") == interp.tk.call("two", "a") == "a-5"
    assert proc.call("a b", "{") == proc.eval("a b", "{") == "a b-{"
    with pytest.raises(TclError):
        proc()


def test_cast_and_options_reach_tcl(interp):
    interp.eval("proc opts {args} {return [llength $args]}")
    c = TclCommand("opts", keywords={"k": "v"}, cast=int, tcl=interp)
    assert c("a", z=1) == 5
    assert TclCommand("opts", tcl=interp)() == 0


def test_logger_logs_each_call_once(interp, proc, caplog):
    log = logging.getLogger("test.cmds")
    proc.logger = log
    with caplog.at_level(logging.INFO, logger="test.cmds"):
        proc("a b")
        proc.eval("x")
    assert [r.getMessage() for r in caplog.records] == ["Calling: two {a b}"]


def test_existence_tests_are_booleans(interp, proc):
    interp.tk.createcommand("pycmd", lambda: None)
    cases = {"two": (True, True, False), "pycmd": (True, False, True), "missing": (False, False, False)}
    for name, expected in cases.items():
        c = TclCommand(name, tcl=interp)
        got = (c.exists(), c.is_proc(), c.is_command())
        assert got == expected and all(type(v) is bool for v in got), name


@pytest.mark.parametrize("pattern_name", ["tw*", "t?o", "[t]wo", "tw\\o"])
def test_existence_matches_names_literally(interp, proc, pattern_name):
    cmd = TclCommand(pattern_name, args=(), tcl=interp)
    assert not cmd.exists() and not cmd.is_proc()
    interp.tk.call("proc", pattern_name, "", "")
    assert cmd.exists() and cmd.is_proc()


def test_glob_characters_in_namespace_qualifiers(interp):
    interp.eval("namespace eval {::a*} {proc f {} {}}")
    assert TclCommand("::a*::f", tcl=interp).exists()


def test_rename_and_delete_follow_the_command(interp, proc):
    proc.rename("three")
    assert proc.cmd_name == "three" and proc("x") == "x-5"
    assert not TclCommand("two", tcl=interp).exists()
    proc.delete()
    assert proc.cmd_name == "three" and not proc.exists()
    with pytest.raises(TclError):
        proc.delete()


def test_procedure_introspection_leaves_no_variable(interp, proc):
    before = interp.eval("info globals")
    assert proc.proc_body() == "return $x-$y"
    assert proc.proc_args() == ("x", "y")
    assert proc.proc_arg_default("y") == "5"
    assert proc.proc_arg_default("x") is None
    with pytest.raises(TclError):
        proc.proc_arg_default("nope")
    assert interp.eval("info globals") == before


def test_origin_and_absolute(interp):
    interp.eval("namespace eval ::src {proc f {} {}; namespace export f}; namespace eval ::dst {namespace import ::src::f}")
    assert TclCommand("::dst::f", tcl=interp).origin() == "::src::f"
    assert TclCommand("set", tcl=interp).absolute() == "::set"
    c = TclCommand("::foo::bar", tcl=interp)
    assert c.absolute() == "::foo::bar"
    rel = TclCommand("x", tcl=interp)
    rel.make_absolute()
    assert rel.cmd_name == "::x"


def test_repr_and_str(interp):
    assert repr(TclCommand("puts", args=("a",), tcl=interp)) == "TclCommand('puts', args=('a',))"
    assert repr(TclCommand("puts", tcl=interp, logger=logging.getLogger())) == "TclCommand('puts')"
    assert repr(TclCommand("p", keywords={"k": 1}, cast=int, tcl=interp)) == \
        "TclCommand('p', keywords={'k': 1}, cast=<class 'int'>)"
    assert str(TclCommand("puts", args=("a b",), tcl=interp)) == "puts {a b}"
    assert TclCommand("puts", args=("a",), tcl=interp).__tclobj__() == ("puts", "a")


def test_command_as_method(interp):
    class Thing:
        words = TclCommand("list", args=("first",), tcl=interp)

        def __tclobj__(self):
            return "thing"

    assert Thing.words is Thing.__dict__["words"]
    t = Thing()
    assert isinstance(t.words, types.MethodType)
    assert t.words("x") == ("first", "thing", "x")


def test_subclass_overrides_are_honoured(interp):
    class Upper(TclCommand):
        def build_tclcmd(self, *args, **kwargs):
            return super().build_tclcmd(*[a.upper() for a in args], **kwargs)

    class Counting(TclCommand):
        calls = 0

        def call(self, *args, **kwargs):
            Counting.calls += 1
            return super().call(*args, **kwargs)

    assert Upper("list", tcl=interp)("a") == ("A",)
    assert Counting("list", tcl=interp)("a") == ("a",) and Counting.calls == 1


def test_class_shape():
    names = [k for k in TclCommand.__dict__ if not k.startswith("__") or k in (
        "__init__", "__call__", "__repr__", "__str__", "__tclobj__", "__get__")]
    assert names == ["__init__", "createcommand", "exists", "is_command", "is_proc", "rename", "delete", "origin",
                     "proc_body", "proc_args", "proc_arg_default", "build_tclcmd", "kwargs_to_dashed_args", "call",
                     "__call__", "eval", "absolute", "make_absolute", "__repr__", "__str__", "__tclobj__", "__get__"]
    assert TclCommand.__bases__ == (object,)


def test_calls_follow_commands_alternating_and_changed_between_calls():
    # A call reuses the fields it read from the command called last while
    # that command's dict is unchanged: alternating commands, and fields
    # changed between calls, must still be seen.
    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.namespace import TclCommand

    first, second = Interpreter(), Interpreter()
    for interp, tag in ((first, "first"), (second, "second")):
        interp.eval("proc echo {args} {return [list %s {*}$args]}" % tag)
    one, two = TclCommand("echo", tcl=first), TclCommand("echo", tcl=second)
    for _ in range(2):
        assert (one("a"), two("a")) == (("first", "a"), ("second", "a"))
    one.args = ("x",)
    assert one("a") == ("first", "x", "a")
    one.cast = len
    assert one("a", "b") == 4
    one.tcl, one.cast = second, None
    assert one() == ("second", "x")
    first.eval("proc other {args} {return other}")
    one.cmd_name, one.tcl, one.cast = "other", first, None
    assert one() == "other"
