import gc
import re
import sys

import pytest

from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.namespace import (TclArrayVariable, TclNamespace, TempTclArrayVariable, TempTclCommand,
                                  TempTclNamespace, TempTclVariable)


@pytest.mark.parametrize("cls, attr", [
    (TempTclVariable, "var_name"), (TempTclArrayVariable, "var_name"),
    (TempTclCommand, "cmd_name"), (TempTclNamespace, "ns"),
])
def test_unique_names_with_class_name(interp, cls, attr):
    a, b = cls(tcl=interp), cls(tcl=interp)
    name = getattr(a, attr)
    assert re.fullmatch(r"::__korvex__%s_(\d+)_tmp" % cls.__name__, name).group(1) == str(id(a))
    assert name != getattr(b, attr)

    class Mine(cls):
        pass

    assert getattr(Mine(tcl=interp), attr).startswith("::__korvex__Mine_")


def test_fixed_names_and_bad_templates(interp):
    assert TempTclVariable("::x", tcl=interp).var_name == "::x"
    assert TempTclNamespace(ns="::fixed", tcl=interp).ns == "::fixed"
    with pytest.raises(KeyError):
        TempTclVariable("::x{other}", tcl=interp)
    with pytest.raises(TypeError):
        TempTclArrayVariable(array_index="k", tcl=interp)


def test_variable_lifecycle(interp):
    with TempTclVariable(tcl=interp) as v:
        assert isinstance(v, TempTclVariable) and not v.exists()
        v.set("x")
        assert interp.tk.getvar(v.var_name) == "x"
    assert not v.exists()
    with TempTclVariable(tcl=interp):
        pass  # never set: exits quietly


def test_array_lifecycle(interp):
    assert TempTclArrayVariable.__mro__[1:3] == (TempTclVariable, TclArrayVariable)
    with TempTclArrayVariable(tcl=interp) as a:
        a["k"] = 1
        assert dict(a) == {"k": 1} and a.is_array()
    assert not a.is_array()


@pytest.mark.parametrize("make, gone", [
    (lambda i: TempTclVariable(tcl=i), lambda t: not t.exists()),
    (lambda i: TempTclArrayVariable(tcl=i), lambda t: not t.is_array()),
    (lambda i: TempTclNamespace(tcl=i), lambda t: not t.exists()),
    (lambda i: TempTclCommand(len, tcl=i), lambda t: not t.exists()),
])
def test_cleanup_after_exception(interp, make, gone):
    tmp = make(interp)
    with pytest.raises(ZeroDivisionError):
        with tmp as t:
            if isinstance(t, TempTclVariable):
                t.set(1) if not isinstance(t, TclArrayVariable) else t.update(k=1)
            1 / 0
    assert gone(tmp)


def test_manual_deletion_inside_block(interp):
    with TempTclNamespace(tcl=interp) as ns:
        assert ns.exists()
        ns.delete()
    with TempTclCommand(len, tcl=interp) as cmd:
        cmd.delete()
    with TempTclVariable(tcl=interp) as v:
        v.set(1)
        v.unset()


def test_command_calls_the_callable(interp):
    def f(*args):
        """Doc of f."""
        return "-".join(args)

    with TempTclCommand(f, tcl=interp) as cmd:
        assert interp.eval(cmd.cmd_name + " 1 2") == "1-2"
        assert cmd("a", "b") == "a-b"
        assert (cmd.__name__, cmd.__doc__, cmd.__wrapped__) == ("f", "Doc of f.", f)
    assert not cmd.exists()


def test_command_removed_on_collection(interp):
    cmd = TempTclCommand(len, tcl=interp)
    name = cmd.cmd_name
    assert interp.global_ns.cmds.exists(name)
    del cmd
    gc.collect()
    assert not interp.global_ns.cmds.exists(name)


def test_command_without_callable_registers_nothing(interp):
    cmd = TempTclCommand(tcl=interp)
    assert not cmd.exists() and not hasattr(cmd, "__wrapped__")
    with cmd:
        pass
    del cmd


def test_nothing_raised_when_interpreter_gone_first():
    interp = Interpreter()
    cmd = TempTclCommand(len, tcl=interp)
    unraisable = []
    old, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        del interp
        gc.collect()
        del cmd
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert unraisable == []


def test_exit_after_interpreter_gone_reports_it():
    interp = Interpreter()
    v = TempTclVariable(tcl=interp)
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        v.__exit__(None, None, None)


def test_enter_returns_next_class_result(interp):
    class Ctx:
        def __enter__(self):
            return "entered"

        def __exit__(self, *exc):
            return True  # swallows

    class Both(TempTclNamespace, Ctx):
        pass

    with Both(tcl=interp) as got:
        raise ValueError
    assert got == "entered"
