import functools

import pytest

from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.namespace import TclCommand


def report(*args):
    return "cb:" + ",".join(args)


def test_generate_callback_cmd_name():
    class K:
        def report(self):
            pass

    assert Interpreter.generate_callback_cmd_name(report) == "report"
    assert Interpreter.generate_callback_cmd_name(K().report) == "report"
    assert Interpreter.generate_callback_cmd_name(lambda: 0) == "<lambda>"
    p = functools.partial(report)
    assert Interpreter.generate_callback_cmd_name(p) == "%d_" % id(p)
    assert Interpreter.generate_callback_cmd_name(report, mangle_cmd_name=True) == "%d_report" % id(report)


def test_create_and_remove(interp):
    cmd = interp.create_callback(report)
    assert isinstance(cmd, TclCommand) and cmd.cmd_name == "::report"
    assert interp.eval("report 1 2") == "cb:1,2"
    assert interp.__callbacks__ == {"::report": report}
    with pytest.raises(ValueError, match="Cannot create command '::report': command already exists"):
        interp.create_callback(report)
    interp.remove_callback(report)
    assert interp.__callbacks__ == {} and not cmd.exists()


def test_empty_cmd_name_is_generated(interp):
    interp.create_callback(report, cmd_name="")
    assert "::report" in interp.__callbacks__


@pytest.mark.parametrize("how", ["command", "callable", "name", "qualified"])
def test_remove_by_any_handle(interp, how):
    cmd = interp.create_callback(report)
    handle = {"command": cmd, "callable": report, "name": "report", "qualified": "::report"}[how]
    interp.remove_callback(handle)
    assert not interp.global_ns.cmds.exists("report")


def test_remove_unknown_raises(interp):
    interp.eval("proc report {} {}")
    with pytest.raises(ValueError, match="No callback in this interpreter named '::report'"):
        interp.remove_callback("report")
    assert interp.global_ns.procs.exists("report")


@pytest.mark.parametrize("name", ["report", "::ns::report", "::deep::er::report"])
def test_force_replaces_and_restores_a_procedure(interp, name):
    interp.eval("namespace eval %s {}; proc %s {x} {return proc:$x}" % (
        interp.global_ns.qualifiers(name) or "::", name))
    interp.create_callback(report, cmd_name=name, force=True)
    assert interp.eval("%s 1" % name) == "cb:1"
    interp.remove_callback(name)
    assert interp.eval("%s 1" % name) == "proc:1"
    assert interp.eval("info commands ::auxKit::_cbBkup::*") == ""


def test_backup_namespace_created_when_missing(interp):
    assert interp.eval("namespace exists ::auxKit") == "0"
    interp.eval("proc report {} {return old}")
    interp.create_callback(report, force=True)
    assert interp.eval("namespace exists ::auxKit::_cbBkup") == "1"
    assert interp.eval("::auxKit::_cbBkup::report") == "old"


def test_callback_over_callback(interp):
    def first():
        return "first"

    def second():
        return "second"

    interp.create_callback(first, "cb")
    interp.create_callback(second, "cb", force=True)
    assert interp.eval("cb") == "second" and interp.__callbacks__ == {"::cb": second}
    interp.remove_callback("cb")
    assert interp.eval("cb") == "first"


def test_callback_in_new_namespace(interp):
    interp.create_callback(report, "::fresh::report")
    assert interp.eval("::fresh::report x") == "cb:x"
    interp.remove_callback("fresh::report")
    assert interp.eval("info commands ::fresh::report") == ""


def test_remove_after_tcl_deleted_the_command(interp):
    interp.eval("proc report {} {return old}")
    interp.create_callback(report, force=True)
    interp.eval("rename report {}")
    interp.remove_callback(report)
    assert interp.__callbacks__ == {} and interp.eval("report") == "old"


def test_callback_errors_reach_tcl(interp):
    def boom():
        raise RuntimeError("boom")

    interp.create_callback(boom)
    with pytest.raises(TclError):
        interp.eval("boom")
