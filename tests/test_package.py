import subprocess
import sys
import weakref

import pytest

import korvex.tcl
from korvex.datastructures import AttrDict
from korvex.tcl.array import Array
from korvex.tcl.interpreter import _global_interpreter


def test_package_publishes_shared_interpreter_names():
    for name in _global_interpreter.__all__:
        ours, theirs = getattr(korvex.tcl, name), getattr(_global_interpreter, name)
        if hasattr(theirs, "__self__"):  # methods bound to the shared interpreter
            assert ours.__self__ is theirs.__self__ is _global_interpreter, name
            # set_int and set_double are set_var under other names
            assert ours.__name__ == theirs.__name__ == {"set_int": "set_var", "set_double": "set_var"}.get(name, name)
        else:
            assert ours is theirs, name
    assert korvex.tcl.tk is _global_interpreter.tk
    assert korvex.tcl.history is _global_interpreter.history


def test_package_eval_runs_in_shared_interpreter():
    korvex.tcl.eval("set ::pkg_level 42")
    assert _global_interpreter.tk.getvar("::pkg_level") == "42"


def test_package_module_accepts_weak_proxies():
    proxy = weakref.proxy(sys.modules["korvex.tcl"])
    assert proxy.tk.eval("expr 1+1") == "2"


@pytest.mark.parametrize("text, expected", [
    ("a 1 b 2", {"a": "1", "b": "2"}),
    ("", {}),
    ("{x y} {1 2} z {}", {"x y": "1 2", "z": ""}),
    ("a 1 a 2", {"a": "2"}),
])
def test_array_from_tcl(text, expected):
    arr = Array.from_tcl(text)
    assert type(arr) is Array and arr == expected
    assert all(type(v) is str for v in arr.values())


@pytest.mark.parametrize("text", ["a", "a 1 b", "{a 1", 'a "b'])
def test_array_from_tcl_rejects_non_pairs(text):
    with pytest.raises(ValueError):
        Array.from_tcl(text)


def test_array_from_tcl_object():
    obj = _global_interpreter.tk.call("list", "a", 1, "b", 2.5)
    assert Array.from_tcl(obj) == {"a": "1", "b": "2.5"}


def test_array_repr_and_assignment():
    arr = Array.from_tcl("a 1 b 2")
    assert repr(arr) == "Array({'a': '1', 'b': '2'})"
    for key, value in arr.items():
        arr[key] = int(value)
    assert arr == {"a": 1, "b": 2}


def test_attrdict():
    d = AttrDict()
    d["boss"] = AttrDict(location="here")
    assert d.boss.location == "here"
    assert repr(d) == "AttrDict({'boss': AttrDict({'location': 'here'})})"
    with pytest.raises(AttributeError):
        d.missing
    assert getattr(d, "__zelph__", None) is None
    assert d.keys is not None  # real attributes win over fields
    d["keys"] = 1
    assert callable(d.keys)


def test_attrdict_subclass_uses_plain_dict_storage():
    class Dotted(AttrDict):
        def __getitem__(self, key):
            raise AssertionError("attribute reads use the plain storage")

    d = Dotted(a=1)
    assert d.a == 1


def test_importing_the_package_leaves_ctypes_out_until_it_is_needed():
    # ctypes and the structures built on it cost milliseconds of every import;
    # only the internal module, and the names published from it, need them.
    code = """
import sys
import korvex.tcl
print("ctypes" in sys.modules, "korvex.tcl.internal" in sys.modules)
korvex.tcl.Array.from_tcl("a 1")
print("korvex.tcl.internal" in sys.modules)
from korvex.tcl import array, interpreter, internal
print(array.GetListFromAny is interpreter.GetListFromAny is internal.GetListFromAny,
      interpreter.TclDLL is internal.TclDLL)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "False", "True", "True", "True"]
