import pytest

from korvex.tcl.interpreter import TclError
from korvex.tcl.namespace import TclCommand, TclNamespace


@pytest.fixture
def ns(interp):
    ns = TclNamespace("::a", tcl=interp)
    ns.create()
    return ns


def test_views_are_set_in_order(interp):
    ns = TclNamespace("::a", tcl=interp)
    assert list(vars(ns)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    assert type(ns.cmds) is TclNamespace.CommandsView and type(ns.procs) is TclNamespace.ProcsView
    assert ns.cmds.ns is ns and TclNamespace.ProcsView.__qualname__ == "TclNamespace.ProcsView"
    with pytest.raises(AssertionError):
        TclNamespace.CommandsView("::a")


@pytest.mark.parametrize("name, full", [("foo", "::a::foo"), ("::bar", "::bar"), ("b::c", "::a::b::c")])
def test_getitem_joins_names(ns, name, full):
    cmd = ns.cmds[name]
    assert isinstance(cmd, TclCommand) and cmd.cmd_name == full
    assert ns.cmds.get(name, "default") is not "default"


def test_relative_names_in_current_namespace_object(interp):
    assert interp.local_ns.cmds["foo"].cmd_name == "foo"


def test_assignment_registers_a_callable(ns, interp):
    seen = []
    ns.cmds["foo"] = lambda *a: seen.append(a) or "ok"
    assert "foo" in ns.cmds and "foo" not in ns.procs
    assert interp.eval("::a::foo 1 2") == "ok" and seen == [("1", "2")]
    ns.procs["x"] = len  # a plain command, even through the procedures view
    assert "x" in ns.cmds and "x" not in ns.procs


def test_procedures(ns):
    ns.eval("proc foo {x {y 5}} {}")
    assert "foo" in ns.procs and ns.procs.exists("foo") is True
    assert ns.procs.proc_args("foo") == ("x", "y")
    assert ns.cmds.proc_arg_default("foo", "x") is None
    assert ns.cmds.proc_arg_default("foo", "y") == "5"
    assert ns.cmds.proc_body("foo") == ""
    assert list(ns.procs) == ["foo"] and len(ns.procs) == 1


def test_iteration_yields_str_names(ns, interp):
    ns.eval("proc foo {} {}")
    names = list(ns.cmds)
    assert all(type(n) is str for n in names)
    assert "set" in names and "foo" in names and len(ns.cmds) == len(names)
    assert "set" not in ns.cmds  # ::a::set does not exist
    assert "set" in interp.global_ns.cmds


def test_rename_and_delete(ns, interp):
    ns.eval("proc foo {} {return f}")
    ns.cmds.rename("foo", "bar")
    assert "bar" in ns.procs and "foo" not in ns.procs
    ns.cmds.rename("bar", "::g")
    assert interp.eval("::g") == "f"
    del interp.global_ns.cmds["g"]
    assert "g" not in interp.global_ns.cmds


def test_del_missing_raises_key_error_from_tcl_error(ns):
    with pytest.raises(KeyError) as info:
        del ns.cmds["missing"]
    (arg,) = info.value.args
    assert isinstance(arg, TclError) and info.value.__cause__ is arg


def test_byref_passes_arguments(ns, interp):
    cmd = ns.cmds.byref("::lappend", ("x",))
    assert cmd.args == ("x",) and cmd.tcl.tk is interp.tk
    cmd()
    cmd()
    assert interp.eval("set ::x") == ""  # lappend x with no values creates an empty list
    with pytest.raises(TypeError):
        ns.cmds.byref("f", tcl=interp)


def test_origin(ns, interp):
    interp.eval("namespace eval ::src {proc f {} {}; namespace export f}")
    ns.eval("namespace import ::src::f")
    assert ns.cmds.origin("f") == "::src::f"
