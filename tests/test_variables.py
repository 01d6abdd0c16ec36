from collections.abc import MutableMapping

import pytest

from korvex.tcl.array import Array
from korvex.tcl.interpreter import TclError
from korvex.tcl.namespace import TclArrayVariable, TclNamespace, TclVariable
from korvex.tcl.zelph import tclobj, zelph


@pytest.fixture
def var(interp):
    def make(*args, **kw):
        return TclVariable(*args, tcl=interp, **kw)
    return make


@pytest.mark.parametrize("args, kw, name", [
    (("x",), {"array_index": "k"}, "x(k)"), ((None,), {}, ""), ((TclVariable("::a"),), {}, "::a"),
    (("a",), {"array_index": 3}, "a(3)"), (("a b",), {"array_index": "c d"}, "a b(c d)"),
])
def test_names(args, kw, name):
    assert TclVariable(*args, **kw).var_name == name


def test_repr_str_tclobj(interp):
    assert repr(TclVariable("::x")) == "TclVariable('::x')"
    assert repr(TclArrayVariable("::x")) == "TclArrayVariable('::x')"
    v = TclVariable("::x y")
    assert str(v) == "::x y" and v.__tclobj__() == "::x y"
    assert tclobj(v) == "::x y" and zelph(("set", v)) == "set {::x y}"
    assert list(vars(v)) == ["tcl", "cast", "var_name"]


def test_class_layout():
    assert TclVariable.get is TclVariable.get_obj
    assert TclVariable.array_get is TclVariable.array_get_obj
    assert TclArrayVariable.get is TclVariable.get
    assert TclArrayVariable.__mro__[1] is MutableMapping
    assert isinstance(TclVariable.__dict__["_TclVariable__marker"], object)


def test_get_set_unset(interp, var):
    v = var("::x", cast=int)
    v.set(5)
    assert v.get_obj() == 5 and type(v.get_obj()) is int
    assert v.get_str() == "5"
    assert v.get_obj(cast=None) == interp.tk.getvar("::x")
    assert v.get_obj(cast=str) == "5"
    assert v.exists() is True
    assert v.unset() is None
    assert v.exists() is False
    with pytest.raises(TclError):
        v.unset()
    assert v.unset(nocomplain=True) is None
    with pytest.raises(TclError):
        v.get_str()


def test_elements_by_every_path(interp, var):
    v = var("a")
    v.set("v k", array_index="k k")
    assert interp.tk.eval("set {a(k k)}") == "v k"
    assert v.get_obj(array_index="k k") == "v k"
    assert v.get_str(array_index="k k") == "v k"
    assert v.exists(array_index="k k") is True and v.exists(array_index="z") is False
    e = v.array_item_byref("k k")
    assert type(e) is TclVariable and e.var_name == "a(k k)" and e.tcl is v.tcl
    assert e.get_str() == "v k"
    v.array_item_byref("j").set(5)
    assert interp.tk.eval("set a(j)") == "5"
    assert v.array_item_byref("j", cast=int).get() == 5
    v.unset(array_index="j")
    assert v.array_names() == ("k k",)
    v.unset(array_index="j", nocomplain=True)


def test_integer_index_reads_like_it_writes(var):
    v = var("a")
    v.set("one", array_index=1)
    assert v.get_obj(array_index=1) == "one"
    assert TclArrayVariable("a", tcl=v.tcl)[1] == "one"


def test_array_operations(interp, var):
    v = var("::arr")
    v.array_set({"x": 1, "y": "a b"})
    assert v.is_array() is True
    assert v.array_get() == Array({"x": "1", "y": "a b"})
    assert v.array_get_str("x") == Array({"x": "1"})
    assert sorted(v.array_names()) == ["x", "y"] and v.array_names("y") == ("y",)
    assert v.array_size() == 2
    v.array_unset("x")
    assert v.array_names() == ("y",)
    v.array_unset()
    assert v.is_array() is False


def test_array_set_on_scalar_raises(var):
    v = var("::s")
    v.set(1)
    with pytest.raises(TclError):
        v.array_set({"a": 1})


def test_absolute(interp, var):
    assert var("x").absolute() == "::x"
    assert var("::x").absolute() == "::x"
    v = var("a::x")
    v.make_absolute()
    assert v.var_name == "::a::x"


def test_array_as_mapping(interp):
    interp.tk.eval("array set a {x 1 y 2}")
    arr = TclArrayVariable("a", tcl=interp)
    assert len(arr) == 2 and sorted(arr) == ["x", "y"]
    assert all(type(k) is str for k in arr)
    assert "x" in arr and "q" not in arr
    assert arr["x"] == interp.tk.getvar("a", "x")
    assert arr.get("x") == arr["x"]
    assert TclArrayVariable("a", tcl=interp, cast=int).get("x", str) == "1"
    arr.update(z=3)
    arr.update({"w": 4}, v=5)
    assert sorted(arr) == ["v", "w", "x", "y", "z"]
    del arr["x"]
    assert "x" not in arr
    with pytest.raises(TclError):
        arr["x"]
    with pytest.raises(TclError):
        del arr["x"]
    arr["n"] = "new"
    assert dict(arr.items())["n"] == "new"
    arr.clear()
    assert arr.is_array() is False and len(arr) == 0 and list(arr) == []


def test_array_cast(interp):
    interp.tk.eval("array set c {x 1}")
    assert TclArrayVariable("c", tcl=interp, cast=int)["x"] == 1


# --- views ------------------------------------------------------------------

@pytest.fixture
def ns(interp):
    interp.tk.eval("namespace eval ::a {variable x 5}")
    return TclNamespace("::a", tcl=interp)


def test_view_items(interp, ns):
    assert ns.vars["x"] == "5"
    assert ns.objs["x"] == interp.tk.getvar("::a::x")
    assert "x" in ns.vars and "nope" not in ns.vars
    assert ns.vars.byref("x").var_name == "::a::x"
    assert ns.vars.byref("::y").var_name == "::y"
    ns.vars["y"] = 7
    assert interp.tk.eval("set ::a::y") == "7"
    del ns.vars["y"]
    assert interp.tk.eval("info exists ::a::y") == "0"
    assert interp.vars["::a::x"] == "5"
    assert interp.local_ns.vars.byref("x").var_name == "x"


@pytest.mark.parametrize("action", [
    lambda v: v["missing"], lambda v: v.__delitem__("missing"),
])
def test_view_errors_are_key_errors(ns, action):
    for view in (ns.vars, ns.objs):
        with pytest.raises(KeyError) as e:
            action(view)
        assert isinstance(e.value.__cause__, TclError)
        assert e.value.args[0] is e.value.__cause__


def test_view_named_operations(interp, ns):
    assert ns.vars.unset("missing", nocomplain=True) is None
    with pytest.raises(TclError):
        ns.vars.unset("missing")
    with pytest.raises(TypeError):
        ns.vars.get("x", "default")
    ns.vars.array_set("arr", {"k": "v"})
    assert ns.vars.is_array("arr") is True
    assert ns.vars.array_get("arr") == Array({"k": "v"})
    assert ns.objs.array_get("arr") == Array({"k": "v"})
    assert ns.objs.get("arr", "k") == "v"
    assert ns.vars.exists("arr", "k") is True
    assert ns.vars.array_names("arr") == ("k",)
    ns.vars.set("arr", "w", array_index="j")
    assert interp.tk.eval("set ::a::arr(j)") == "w"
    ns.vars.unset("arr", array_index="j")
    ns.vars.array_unset("arr")
    assert ns.vars.is_array("arr") is False


def test_byref_arguments(interp, ns):
    e = ns.vars.byref("arr", "k")
    assert e.var_name == "::a::arr(k)"
    assert ns.vars.byref("x", cast=int).get() == 5
    a = ns.vars.array_byref("arr")
    assert type(a) is TclArrayVariable and a.var_name == "::a::arr"
    assert ns.vars.byref("x", var_type=TclArrayVariable).var_name == "::a::x"
    with pytest.raises(TypeError):
        ns.vars.byref("x", tcl=interp)
    with pytest.raises(TypeError):
        ns.vars.array_byref("x", var_type=TclVariable)


def test_view_iteration_yields_str(interp):
    names = list(interp.vars)
    assert "tcl_version" in names and all(type(n) is str for n in names)
    assert len(interp.vars) == len(names)
    assert sorted(interp.vars) == sorted(names)


def test_view_requires_a_namespace():
    with pytest.raises(AssertionError):
        TclNamespace.VariablesView("::a")


class LoudView(TclNamespace.VariablesView):
    def get(self, var_name):
        return "loud " + super().get(var_name)

    def byref(self, var_name, *args, **kwargs):
        self.seen = var_name
        return super().byref(var_name, *args, **kwargs)


def test_subclass_overrides_are_used(ns):
    view = LoudView(ns)
    assert view["x"] == "loud 5"
    view["y"] = 1
    assert view.seen == "y"


class Handle(TclVariable):
    def get_str(self, array_index=None):
        return "handle"


def test_handle_type_reaches_views(ns):
    assert ns.vars.byref("x", var_type=Handle).get_str() == "handle"


def test_patched_handle_methods_are_used(ns, monkeypatch):
    monkeypatch.setattr(TclVariable, "get_str", lambda self, array_index=None: "patched")
    assert ns.vars["x"] == "patched"


def test_views_follow_methods_replaced_on_their_class(interp, monkeypatch):
    from korvex.tcl.namespace import TclNamespace, TclVariable

    interp.eval("set ::patched 1")
    assert interp.vars["::patched"] == "1"
    monkeypatch.setattr(TclNamespace.VariablesView, "get", lambda self, name: "from get")
    assert interp.vars["::patched"] == "from get"
    monkeypatch.undo()
    assert interp.vars["::patched"] == "1"
    monkeypatch.setattr(TclVariable, "set", lambda self, value, array_index=None: self.tcl.tk.setvar(self.var_name, "seen"))
    interp.vars["::patched"] = "x"
    monkeypatch.undo()
    assert interp.vars["::patched"] == "seen"


# The hot paths reuse what they read from the objects they used last (the
# interpreter's tk and bridge registry, a view's namespace, a namespace's name
# and interpreter) while those objects' dicts are unchanged: alternating
# objects, and objects changed in between, must still reach the right place.

def _set_by(how, interp, name, value):
    if how == "set_var":
        interp.set_var(name, value)
    elif how == "vars":
        interp.vars[name] = value
    elif how == "ns vars":
        interp.global_ns.vars[name.lstrip(":")] = value
    else:
        TclVariable(name, tcl=interp).set(value)


@pytest.mark.parametrize("how", ["set_var", "vars", "ns vars", "handle"])
def test_alternating_interpreters_keep_their_own_variables(how):
    from korvex.tcl.interpreter import Interpreter

    first, second = Interpreter(), Interpreter()
    for i in range(3):
        _set_by(how, first, "::x", "first%d" % i)
        _set_by(how, second, "::x", "second%d" % i)
        assert (first.vars["::x"], second.vars["::x"]) == ("first%d" % i, "second%d" % i)
        assert (first.eval("set ::x"), second.eval("set ::x")) == ("first%d" % i, "second%d" % i)


def test_a_namespace_rebound_to_another_interpreter_is_followed():
    from korvex.tcl.interpreter import Interpreter

    first, second = Interpreter(), Interpreter()
    ns = TclNamespace("::", tcl=first)
    ns.vars["x"] = 1
    ns.tcl = second  # the namespace's dict changes: what was read from it is read again
    ns.vars["x"] = 2
    view = ns.vars
    view.ns = TclNamespace("::", tcl=first)
    view["y"] = 3
    assert (first.eval("set x"), second.eval("set x"), first.eval("set y")) == ("1", "2", "3")
    assert second.eval("info exists y") == "0"


def test_variables_of_a_closed_interpreter_fail_cleanly():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    interp.set_var("::x", 1)
    var = TclVariable("::x", tcl=interp)
    interp.close()
    for action in (lambda: interp.set_var("::x", 2), lambda: var.set(2), lambda: var.get()):
        with pytest.raises(TclError, match="closed"):
            action()
