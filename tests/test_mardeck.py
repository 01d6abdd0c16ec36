import subprocess
import sys
import textwrap

import pytest

from korvex.tcl.mardeck import Mardeck
from korvex.tcl.zelph import tclobj, zelph
from korvex.tcl.interpreter import Interpreter

CONFLICT = 'target key "%s" is a value, cannot update value against another keyed list'


def conflict(key):
    return pytest.raises(KeyError, match=CONFLICT.replace("(", r"\(") % key)


def test_dotted_store_creates_levels():
    m = Mardeck()
    m["name.first"] = "x"
    assert type(m["name"]) is Mardeck and m["name"]["first"] == "x"
    assert "name.first" in m and "name.last" not in m and "other.x" not in m
    assert m.has_key("name.first") is True
    assert m["name.first"] == "x"


def test_value_conflicts():
    m = Mardeck()
    m["a"] = "text"
    with conflict("a"):
        m["a.b"] = 1
    with conflict("a"):
        m["a"] = Mardeck()
    assert m == {"a": "text"}
    m["a"] = 5
    assert m["a"] == 5


def test_mardeck_replaces_branch():
    m = Mardeck({"a.b": 1})
    m["a"] = Mardeck({"c": 2})
    assert m.all_keys() == ["a.c"]


def test_delete_removes_emptied_levels():
    m = Mardeck({"a.b.c": 1})
    del m["a.b.c"]
    assert m == {}
    m = Mardeck({"a.b": 1, "a.c": 2})
    del m["a.b"]
    assert m.all_items() == [("a.c", 2)]
    with pytest.raises(KeyError):
        del m["zz.y"]


@pytest.mark.parametrize("value, nested", [("", True), ([], True), ({}, True), ([("k", "v")], True),
                                           ("xy", False), (5, False), (None, False), ("ab cd", False)])
def test_construction_turns_mappings_into_levels(value, nested):
    m = Mardeck(a=value)
    assert (type(m["a"]) is Mardeck) == nested
    if not nested:
        assert m["a"] is value


def test_construction_copies_top_level_only():
    inner = Mardeck({"x": 1})
    m = Mardeck({"a": inner})
    copy = Mardeck(m)
    assert copy["a"] is inner


def test_dotted_keys_in_construction():
    m = Mardeck({"name.first": "jo", "name.last": "doe"})
    assert list(m) == ["name"]
    assert m.all_items() == [("name.first", "jo"), ("name.last", "doe")]
    assert zelph(m) == "{name {{first jo} {last doe}}}"


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("{a {}}", {"a": Mardeck()}),
    ("{a {b c}}", {"a": "b c"}),
    ("{a {{b c}}}", {"a": Mardeck({"b": "c"})}),
    ("{a.b 1}", {"a": Mardeck({"b": "1"})}),
    ("{a 1} {a 2} {b 3}", {"a": "2", "b": "3"}),
])
def test_from_tcl(text, expected):
    m = Mardeck.from_tcl(text)
    assert type(m) is Mardeck and m == expected
    for key, value in expected.items():
        assert type(m[key]) is type(value)


def test_from_tcl_text_round_trip():
    m = Mardeck.from_tcl("{a.b 1}")
    assert zelph(m) == "{a {{b 1}}}"
    assert zelph(Mardeck({"a": "1", "b": "2"})) == "{a 1} {b 2}"
    assert zelph(Mardeck()) == ""
    assert Mardeck.from_tcl(zelph(m)) == m


@pytest.mark.parametrize("text", ["a", "{a 1 2}", "{a", "{a 1} b"])
def test_from_tcl_rejects(text):
    with pytest.raises(ValueError):
        Mardeck.from_tcl(text)


def test_update_variants():
    m = Mardeck({"a.b": 1})
    m.update({"a": Mardeck({"c": 2})})
    assert m.all_keys() == ["a.c"]
    m = Mardeck({"a.b": 1})
    m.update(Mardeck({"a": Mardeck({"c": 2})}))
    assert m.all_keys() == ["a.b", "a.c"]
    m = Mardeck({"a.c": 2})
    m.update(Mardeck({"a.b": 1}))
    assert sorted(m.all_keys()) == ["a.b", "a.c"]
    with pytest.raises(TypeError, match=r"update\(\) takes at most 1 positional arguments \(2 given\)"):
        m.update({}, {})
    with conflict("a"):
        Mardeck({"a": "v"}).update(a=Mardeck({"b": 1}))
    m = Mardeck()
    m.update([("x.y", 1)], z=2)
    assert m.all_items() == [("x.y", 1), ("z", 2)]


def test_generic_mapping_methods_use_dotted_keys():
    m = Mardeck({"a.b": 1})
    assert m.get("a.zz") is None and m.get("a.b") == 1
    assert m.pop("a.b") == 1 and m == {}
    assert m.setdefault("x.y", 3) == 3 and m["x"]["y"] == 3
    assert m.pop("nope", "dflt") == "dflt"
    assert Mardeck.get is not dict.get


@pytest.mark.parametrize("op", ["contains", "get", "del", "getmethod", "pop", "setdefault"])
def test_dotted_key_through_plain_value_is_missing(op):
    m = Mardeck({"a": "text with b", "n": 5})
    for key in ("a.b", "n.x"):
        if op == "contains":
            assert key not in m
        elif op == "get":
            with pytest.raises(KeyError):
                m[key]
        elif op == "del":
            with pytest.raises(KeyError):
                del m[key]
        elif op == "getmethod":
            assert m.get(key, "dflt") == "dflt"
        elif op == "pop":
            assert m.pop(key, "dflt") == "dflt"
    assert m == {"a": "text with b", "n": 5}


def test_dotted_key_through_other_mapping():
    m = Mardeck()
    dict.__setitem__(m, "d", {"x": 1})
    assert m["d.x"] == 1 and "d.x" in m and "d.y" not in m
    del m["d.x"]
    assert "d" not in m


def test_non_string_keys():
    m = Mardeck()
    with pytest.raises(TypeError):
        m[1] = "x"
    with pytest.raises(TypeError):
        1 in m


def test_attribute_reads_top_level_fields():
    m = Mardeck({"boss.location": "here"})
    assert m.boss.location == "here"
    with pytest.raises(AttributeError):
        m.nothing
    assert repr(Mardeck({"a": "1"})) == "Mardeck({'a': '1'})"


def test_tclobj_gives_nested_pairs():
    m = Mardeck({"a.b": 1, "c": "x y"})
    assert tclobj(m) == ((("a", (("b", 1),)), ("c", "x y")))


def test_keyed_list_round_trip_through_tclx():
    interp = Interpreter()
    interp.tk.eval("keylset k name.first Jo name.last {van Doe} age 7")
    m = interp.cast_keyed_list(interp.tk.eval("set k"))
    assert m.all_items() == [("name.first", "Jo"), ("name.last", "van Doe"), ("age", "7")]
    interp.tk.call("set", "k2", tclobj(m))
    assert interp.tk.eval("keylget k2 name.last") == "van Doe"
    obj = interp.tk.call("set", "k2")  # TclX has typed it as a keyed list now
    assert obj.typename == "keyedList"
    m2 = Mardeck()
    m2["x"] = obj
    assert type(m2["x"]) is Mardeck and m2["x.name.first"] == "Jo"
    assert type(interp.cast_any(obj)) is Mardeck


def test_subclass_overrides_are_used():
    class Logged(Mardeck):
        def __setitem__(self, key, value):
            self.seen = getattr(self, "seen", []) + [key]
            super().__setitem__(key, value)

    m = Logged({"a.b": 1, "c": 2})
    assert m.seen == ["a.b", "c"]


@pytest.mark.parametrize("code", [
    "d = {}; d['x'] = d; Mardeck(d)",
    "m = Mardeck(); dict.__setitem__(m, 'x', m); m.all_keys()",
    "m = Mardeck(); dict.__setitem__(m, 'x', m); m.all_items()",
    "d = {}\nfor _ in range(100000): d = {'x': d}\nMardeck(d)",
    "m = Mardeck(); m['.'.join(['k'] * 100000)] = 1",
    "from korvex.tcl.mardeck import Mardeck as M; M.from_tcl('{a ' * 100000 + '}' * 100000)",
])
def test_hostile_nesting_raises_recursion_error(code):
    script = textwrap.dedent("""
        import sys
        sys.setrecursionlimit(10**6)
        from korvex.tcl.mardeck import Mardeck
        try:
            exec(%r)
        except RecursionError:
            print("recursion")
        except ValueError:
            print("value")
        else:
            print("fine")
    """) % code
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() in ("recursion", "value", "fine")


@pytest.mark.parametrize("text, expected", [
    ("{a {{b c}}}", {"a": Mardeck({"b": "c"})}),
    ("{a {b c}}", {"a": "b c"}),
    ("{a.b 1} {c {}}", {"a": Mardeck({"b": "1"}), "c": Mardeck()}),
])
def test_from_tcl_through_a_replaced_package_cast_list(cast_list_calls, text, expected):
    m = Mardeck.from_tcl(text)
    assert m == expected and cast_list_calls
    for key, value in expected.items():
        assert type(m[key]) is type(value)


SHAPES = """
from korvex.tcl.mardeck import Mardeck
from korvex.tcl.interpreter import Interpreter

shape = %r

class M(Mardeck):
    def all_items(self):
        return shape

class N(Mardeck):
    def items(self):
        return shape

def report(fn):
    try:
        fn()
    except (TypeError, ValueError) as exc:
        return "%%s: %%s" %% (type(exc).__name__, exc)
    return "ok"

def dict_update():
    dict().update(shape)

results = [report(dict_update), report(lambda: Mardeck().update(M())), report(lambda: Mardeck().update(key=M())),
           report(lambda: N({"x": "1"}).all_items()), report(lambda: N({"x": "1"}).all_keys())]
Mardeck.from_tcl = staticmethod(lambda text: M())
results.append(report(lambda: Interpreter.cast_keyed_list("{a 1}", item_cast=str)))
print("|".join(results))
"""


@pytest.mark.parametrize("shape", [[["a", "1"]], [("a",)], [5], 5, [("a", "1", "2")], [["a.b", "2"]], ["ab"],
                                   [None], [[]]])
def test_replaced_pair_methods_returning_other_shapes(shape):
    """all_items() and items() may be replaced by a subclass: whatever they
    return is checked as dict.update checks its pairs."""
    script = SHAPES % (shape,)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    expected, *ours = result.stdout.strip().split("|")
    assert ours == [expected] * len(ours)
