import gc
import sys
import weakref

import pytest

import korvex.tcl
from korvex.tcl.interpreter import Interpreter, TclError
from korvex.tcl.namespace import TclNamespace


class RecordingTk:
    """Stands in for the _tkinter application object: records what is sent."""

    def __init__(self):
        self.sent = []

    def call(self, *words):
        self.sent.append(("call",) + words)
        return ""

    def eval(self, script):
        self.sent.append(("eval", script))
        return ""


class Recorder:
    def __init__(self):
        self.tk = RecordingTk()

    cast_list = staticmethod(Interpreter.cast_list)

    def cast_boolean(self, value):
        return bool(value)


@pytest.fixture
def rec():
    return Recorder()


def sent(rec, name="::a", op=None, *args, **kw):
    rec.tk.sent.clear()
    getattr(TclNamespace(name, tcl=rec), op)(*args, **kw)
    return rec.tk.sent


@pytest.mark.parametrize("ns, op, args, kw, words", [
    ("::a", "call", ("set", "x", 1), {}, ("namespace", "eval", "::a", ("set", "x", 1))),
    ("", "call", ("set", "x", 1), {}, ("set", "x", 1)),
    ("::a", "export", (), {}, ("namespace", "eval", "::a", ("namespace", "export"))),
    ("::a", "export", (True,), {}, ("namespace", "eval", "::a", ("namespace", "export", "-clear"))),
    ("::a", "export", (False, "a*", "b*"), {}, ("namespace", "eval", "::a", ("namespace", "export", "a*", "b*"))),
    ("::a", "import_", (True, "::x::*"), {}, ("namespace", "eval", "::a", ("namespace", "import", "-force", "::x::*"))),
    ("::a", "forget", ("p*",), {}, ("namespace", "eval", "::a", ("namespace", "forget", "p*"))),
    ("::a", "which", ("set",), {"command": True}, ("namespace", "eval", "::a", ("namespace", "which", "-command", "set"))),
    ("::a", "which", ("v",), {"variable": 1}, ("namespace", "eval", "::a", ("namespace", "which", "-variable", "v"))),
    ("::a", "origin", ("cmd",), {}, ("namespace", "eval", "::a", ("namespace", "origin", "cmd"))),
    ("::a", "code", ("puts x",), {}, ("namespace", "eval", "::a", ("namespace", "code", "puts x"))),
    ("::a", "current", (), {}, ("namespace", "current")),
    ("::a", "delete", (), {}, ("namespace", "delete", "::a")),
    ("::a", "exists", (), {}, ("namespace", "exists", "::a")),
    ("::a", "parent", (), {"force_eval": True}, ("namespace", "parent", "::a")),
    ("", "parent", (), {}, ("namespace", "parent")),
    ("::a", "children", (), {}, ("namespace", "eval", "::a", ("namespace", "children"))),
    ("::a", "children", ("b",), {}, ("namespace", "eval", "::a", ("namespace", "children", "b"))),
    ("::a", "children", (None,), {}, ("namespace", "eval", "::a", ("namespace", "children"))),
    ("::a", "children", ([1, "x y"],), {}, ("namespace", "eval", "::a", ("namespace", "children", "1 {x y}"))),
    ("", "children", ("b*",), {}, ("namespace", "children", "b*")),
])
def test_words_sent(rec, ns, op, args, kw, words):
    assert sent(rec, ns, op, *args, **kw) == [("call", words)]


@pytest.mark.parametrize("args, script", [
    (("set x 1",), "namespace eval ::a {set x 1}"),
    (("puts", "a b"), "namespace eval ::a {puts {a b}}"),
    (("",), "namespace eval ::a {}"),
])
def test_eval_script(rec, args, script):
    assert sent(rec, "::a", "eval", *args) == [("eval", script)]


def test_create_and_exists(interp):
    ns = TclNamespace("::a", tcl=interp)
    assert ns.exists() is False
    assert ns.create() is None
    assert ns.exists() is True
    assert interp.tk.eval("namespace exists ::a") == "1"
    ns.delete()
    assert ns.exists() is False


def test_create_current_is_refused(rec):
    with pytest.raises(ValueError, match="^Cannot create current namespace$"):
        TclNamespace(None, tcl=rec).create()
    assert rec.tk.sent == []


def test_operations_in_tcl(interp):
    ns = TclNamespace("::a", tcl=interp)
    assert ns.children() == ()
    interp.tk.eval("namespace eval ::a::b {}; namespace eval ::a::bc {}; namespace eval ::a::z {}")
    assert sorted(ns.children()) == ["::a::b", "::a::bc", "::a::z"]
    assert ns.current() == "::"
    assert ns.call("namespace", "current") == "::a"
    assert ns.eval("namespace current") == "::a"
    ns.call("set", "x", 1)
    assert interp.tk.eval("set ::a::x") == "1"
    ns.eval("proc p {} {return p}")
    ns.export(False, "p*")
    assert ns.export() == ("p*",)
    assert ns.export(True) is None and ns.export() == ()
    assert ns.which("x", variable=True) == "::a::x"
    assert ns.which("set", command=True) == "::set"


def test_children_word_is_the_namespace_argument(interp):
    # Tcl reads a lone extra word as the namespace whose children are listed,
    # resolved inside the object's namespace.
    interp.tk.eval("namespace eval ::a::b::c {}; namespace eval ::a::b::d {}; namespace eval ::a::bc {}")
    ns = TclNamespace("::a", tcl=interp)
    assert sorted(ns.children("b")) == ["::a::b::c", "::a::b::d"]
    assert ns.children("bc") == ()
    assert sorted(ns.children("::a")) == ["::a::b", "::a::bc"]
    assert sorted(TclNamespace(None, tcl=interp).children("::a")) == ["::a::b", "::a::bc"]
    assert sorted(TclNamespace(None, tcl=interp).children("a")) == ["::a::b", "::a::bc"]
    assert sorted(TclNamespace("a", tcl=interp).children("b")) == ["::a::b::c", "::a::b::d"]


@pytest.mark.parametrize("ns, word", [("::a", "missing"), ("::a", "b*"), ("", "nowhere")])
def test_children_of_a_missing_namespace_raise(interp, ns, word):
    interp.tk.eval("namespace eval ::a::b {}")
    with pytest.raises(TclError, match="namespace"):
        TclNamespace(ns, tcl=interp).children(word)


def test_import_and_forget(interp):
    interp.tk.eval("namespace eval ::x {proc hi {} {return hi}; namespace export hi}")
    ns = TclNamespace("::a", tcl=interp)
    ns.create()
    ns.import_(False, "::x::*")
    assert interp.tk.eval("::a::hi") == "hi"
    assert ns.origin("hi") == "::x::hi"
    ns.forget("::x::*")
    assert interp.tk.eval("info commands ::a::hi") == ""


@pytest.mark.parametrize("name, parent", [("::a::b", "::a"), ("::a", "::"), ("::", ""), ("::a::b::", "::a")])
def test_parent_local(rec, name, parent):
    assert TclNamespace(name, tcl=rec).parent() == parent
    assert rec.tk.sent == []


def test_parent_force_eval(interp):
    with pytest.raises(TclError):
        TclNamespace("::missing", tcl=interp).parent(force_eval=True)
    interp.tk.eval("namespace eval ::a::b {}")
    assert TclNamespace("::a::b", tcl=interp).parent(force_eval=True) == "::a"


def test_absolute_names(interp):
    assert TclNamespace("a", tcl=interp).absolute() == "::a"
    assert TclNamespace("::x", tcl=interp).absolute() == "::x"
    assert TclNamespace("::x::", tcl=interp).absolute() == "::x::"
    assert TclNamespace(None, tcl=interp).absolute() == ""
    ns = TclNamespace("a::b", tcl=interp)
    assert ns.make_absolute() is None
    assert ns.ns == "::a::b" and ns.is_absolute() is True


@pytest.mark.parametrize("name, absolute, relative", [("::a", True, False), ("a", False, True), ("", "", "")])
def test_is_absolute_relative(rec, name, absolute, relative):
    ns = TclNamespace(name, tcl=rec)
    assert ns.is_absolute() == absolute and type(ns.is_absolute()) is type(absolute)
    assert ns.is_relative() == relative and type(ns.is_relative()) is type(relative)
    assert str(ns) == name


def test_attributes(interp):
    ns = TclNamespace(None, tcl=interp)
    assert ns.ns == ""
    assert list(vars(ns)) == ["ns", "tcl", "vars", "objs", "procs", "cmds"]
    assert type(ns.vars) is TclNamespace.VariablesView
    assert type(ns.objs) is TclNamespace.ObjectsView
    assert ns.vars.ns is ns
    assert TclNamespace.ObjectsView.__qualname__ == "TclNamespace.ObjectsView"
    assert TclNamespace.VariablesView.__module__ == "korvex.tcl.namespace"


# --- binding ---------------------------------------------------------------

def test_interpreter_is_wrapped_in_a_proxy(interp):
    ns = TclNamespace("::", tcl=interp)
    assert type(ns.tcl) in weakref.ProxyTypes
    assert ns.tcl.tk is interp.tk


def test_proxy_is_kept(interp):
    proxy = weakref.proxy(interp)
    assert TclNamespace("::", tcl=proxy).tcl is proxy


@pytest.mark.parametrize("tcl", [None, 0, ""])
def test_no_interpreter_means_the_shared_one(tcl):
    ns = TclNamespace("::", tcl=tcl)
    assert type(ns.tcl) in weakref.ProxyTypes
    assert ns.tcl.tk is korvex.tcl.tk
    assert ns.exists() is True


def test_interpreter_objects_use_the_shared_views(interp):
    assert interp.global_ns.ns == "::" and interp.local_ns.ns == ""
    assert interp.vars is interp.local_ns.vars and interp.objs is interp.local_ns.objs
    assert type(interp.global_ns.tcl) in weakref.ProxyTypes


def test_dead_interpreter_raises_reference_error():
    interp = Interpreter()
    ns = TclNamespace("::a", tcl=interp)
    v = ns.vars.byref("x")
    views = ns.vars, ns.objs
    del interp
    gc.collect()
    with pytest.raises(ReferenceError):
        ns.exists()
    with pytest.raises(ReferenceError):
        ns.current()
    with pytest.raises(ReferenceError):
        views[0]["x"]
    with pytest.raises(ReferenceError):
        views[1]["x"] = 1
    with pytest.raises(ReferenceError):
        v.get_str()
    with pytest.raises(ReferenceError):
        list(views[0])
    assert ns.parent() == "::"
