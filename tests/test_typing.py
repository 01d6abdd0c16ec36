"""Types and introspection: the stubs match the installed package, examples
type-check strictly, every public callable has a signature, and methods
behave as Python methods do."""

import importlib
import inspect
import os
import pickle
import pydoc
import re
import subprocess
import sys
import types
import weakref

import pytest

import korvex.tcl
from test_leaks import growth
from korvex.tcl.interpreter import Interpreter, _global_interpreter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALLOWLIST = os.path.join(ROOT, "tests", "stubtest_allowlist.txt")

MODULES = ["korvex.tcl"] + ["korvex.tcl." + m for m in (
    "zelph", "internal", "interpreter", "mardeck", "namespace", "history", "yarl", "array", "pytest_plugin",
    "console")] + [
    "korvex.datastructures"]

# Public names whose signature comes from elsewhere: ctypes types (their
# constructors are ctypes' own) and names other packages define.
NO_SIGNATURE = {"TclError", "Tcl_Interp_p", "Tcl_Obj", "Tcl_ObjType", "Tcl_WideInt", "u_internalRep", "s_twoPtrValue"}


def _module(name):
    importlib.import_module(name)
    return sys.modules[name]  # korvex.tcl.zelph the attribute is the function


def _public_callables():
    seen = set()
    for modname in MODULES:
        mod = _module(modname)
        for name, obj in sorted(vars(mod).items()):
            if name.startswith("_") or isinstance(obj, types.ModuleType) or not callable(obj):
                continue
            if not (getattr(obj, "__module__", "") or "").startswith("korvex") and modname != "korvex.tcl":
                continue
            if name in NO_SIGNATURE or (modname, name) in seen:
                continue
            seen.add((modname, name))
            yield pytest.param(obj, id="%s.%s" % (modname, name))
            if isinstance(obj, type):
                yield from _members(obj, "%s.%s" % (modname, name))


def _members(cls, prefix):
    for name, attr in vars(cls).items():
        if name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
            continue
        if name in ("__class__", "__doc__", "__module__", "__qualname__", "__dict__", "__weakref__",
                    "__signature__", "__abstractmethods__", "__slots__", "__new__") or name in NO_SIGNATURE:
            continue
        if isinstance(attr, type):
            yield pytest.param(attr, id="%s.%s" % (prefix, name))
            yield from _members(attr, "%s.%s" % (prefix, name))
        elif isinstance(attr, (staticmethod, classmethod)) or callable(attr):
            yield pytest.param(getattr(cls, name), id="%s.%s" % (prefix, name))


PUBLIC = list(_public_callables())


@pytest.mark.parametrize("obj", PUBLIC)
def test_every_public_callable_has_a_signature(obj):
    inspect.signature(obj)


@pytest.mark.parametrize("obj", [p for p in PUBLIC if inspect.isroutine(p.values[0])])
def test_help_shows_parameters(obj):
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    # From 3.13 pydoc wraps a long signature over several lines.
    squeeze = lambda s: "".join(s.split())  # noqa: E731
    assert squeeze("%s%s" % (obj.__name__, inspect.signature(obj))) in squeeze(text)


@pytest.mark.parametrize("obj, expected", [
    (Interpreter.eval, "(self, /, code, typecast=False, record=True)"),
    (_global_interpreter.eval, "(code, typecast=False, record=True)"),
    (korvex.tcl.create_callback, "(callback, cmd_name=None, force=False)"),
    (korvex.tcl.cast_list, "(value, item_cast=None)"),
    (Interpreter, "(*, tclx=None)"),
    (korvex.tcl.namespace.TclCommand, "(cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)"),
    (korvex.tcl.namespace.TclVariable.get, "(self, /, array_index=None, cast=<no cast given>)"),
    (korvex.tcl.namespace.TclNamespace.join, "(string, *args)"),
    (korvex.tcl.Mardeck.from_tcl, "(string)"),
    (korvex.tcl.Array, "(iterable=(), /, **kwargs)"),
    (korvex.tcl.zelph, "(obj)"),
    (korvex.tcl.namespace.TclCommand("set"), "(*args, **kwargs)"),
    (korvex.tcl.yarl.set, "(*args, **kwargs)"),
])
def test_signatures_read_as_declared(obj, expected):
    assert str(inspect.signature(obj)) == expected


def _bound_methods():
    ns = _global_interpreter.global_ns
    cmd = korvex.tcl.namespace.TclCommand("set")
    var = korvex.tcl.namespace.TclVariable("::x")
    objects = [_global_interpreter, _global_interpreter.history, ns, ns.vars, ns.objs, ns.cmds, ns.procs,
               cmd, var, korvex.tcl.Mardeck(a="1"), _global_interpreter.yarl]
    for obj in objects:
        for name, attr in vars(type(obj)).items():
            if name.startswith("_") or isinstance(attr, (staticmethod, classmethod, type)):
                continue
            if callable(attr) and hasattr(type(attr), "__get__"):
                yield pytest.param(obj, name, id="%s.%s" % (type(obj).__qualname__, name))


@pytest.mark.parametrize("obj, name", list(_bound_methods()))
def test_methods_behave_as_python_methods(obj, name):
    a, b = getattr(obj, name), getattr(obj, name)
    assert inspect.ismethod(a)
    assert a.__self__ is obj
    assert a.__func__ is inspect.getattr_static(type(obj), name) or a.__func__ is getattr(type(obj), name)
    assert a == b and hash(a) == hash(b)
    assert weakref.WeakMethod(a)() == a
    inspect.signature(a)


def test_package_names_equal_the_shared_interpreters_methods():
    for name in _global_interpreter.__all__:
        theirs = getattr(_global_interpreter, name)
        if inspect.ismethod(theirs):
            assert getattr(korvex.tcl, name) == theirs, name
    assert korvex.tcl.create_callback == _global_interpreter.create_callback
    assert korvex.tcl.eval != Interpreter().eval  # another interpreter, another method


def test_method_called_unbound_checks_its_self():
    with pytest.raises(TypeError, match="Interpreter"):
        Interpreter.eval(object(), "set a 1")
    with pytest.raises(TypeError):
        Interpreter.eval()


def test_methods_pickle_by_reference():
    assert pickle.loads(pickle.dumps(Interpreter.eval)) is Interpreter.eval


def test_subclass_super_calls_reach_the_cpp_bodies():
    class Loud(Interpreter):
        def eval(self, code, typecast=False, record=True):
            return "<" + super().eval(code, typecast, record) + ">"

    assert Loud().eval("set a 5") == "<5>"


def _run(*args):
    return subprocess.run([sys.executable, *args], cwd=os.path.join(ROOT, "tests"),
                          capture_output=True, text=True, timeout=600)


def test_stubs_match_the_installed_package():
    pytest.importorskip("mypy")
    result = _run("-m", "mypy.stubtest", "--allowlist", ALLOWLIST, "korvex.tcl", "korvex.datastructures")
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_strictly():
    pytest.importorskip("mypy")
    result = _run("-m", "mypy", "--strict", "--no-incremental", os.path.join(ROOT, "examples"),
                  os.path.join(ROOT, "tests", "typing_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def _readme_example(tmp_path):
    """The README's first Python example, as a file of its own."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        example = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    assert "except TclError as exc" in example and "exc.errorcode" in example
    path = tmp_path / "readme_example.py"
    path.write_text(example)
    return path


def test_readme_example_type_checks_strictly(tmp_path):
    pytest.importorskip("mypy")
    result = _run("-m", "mypy", "--strict", "--no-incremental", str(_readme_example(tmp_path)))
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_accepts_user_code(tmp_path):
    # typing_usage.py asks for pyright's strict mode itself; the README's
    # example is checked in pyright's default mode (its lambda is untyped).
    pytest.importorskip("pyright")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no look-up of newer versions
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable,
         os.path.join(ROOT, "tests", "typing_usage.py"), str(_readme_example(tmp_path))],
        cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def _wrong_self():
    try:
        Interpreter.eval(object(), "set a 1")
    except TypeError:
        pass


@pytest.mark.parametrize("case", [
    lambda: _global_interpreter.get_errorInfo(),
    lambda: Interpreter.cast_int(_global_interpreter, "5"),
    lambda: _global_interpreter.eval("set a 1", record=False),
    lambda: weakref.WeakMethod(_global_interpreter.eval)(),
    lambda: Interpreter.eval.__text_signature__,
    lambda: inspect.signature(korvex.tcl.namespace.TclVariable.get),
    lambda: inspect.signature(korvex.tcl.zelph),
    _wrong_self,
], ids=["bound nb body", "unbound nb body", "bound fast body", "weak method", "text signature",
        "built signature", "function signature", "wrong self"])
def test_routines_do_not_leak(case):
    # growth() takes the smaller of two runs: on 3.10, after other tests imported
    # many modules, one run grew 2.6 MB once (a table being resized).
    assert growth(case) < 50000


REVEALED = [
    ("interp.eval('set a 1')", "builtins.str"),
    ("interp.eval('set a 1', record=False)", "builtins.str"),
    ("interp.eval('set a 1', typecast=True)", "Any"),
    ("korvex.tcl.eval('set a 1')", "builtins.str"),
    ("korvex.tcl.cast_int('1')", "builtins.int"),
    ("korvex.tcl.cast_list('1 2', int)", "builtins.tuple[builtins.int, ...]"),
    ("korvex.tcl.cast_keyed_list('{a 1}')", "korvex.tcl.mardeck.Mardeck"),
    ("interp.vars['::a']", "builtins.str"),
    ("interp.global_ns.cmds['set']", "korvex.tcl.namespace.TclCommand"),
    ("interp.history.filter()", "builtins.list[korvex.tcl.history.Entry]"),
    ("list(interp.history)", "builtins.list[korvex.tcl.history.Entry]"),
    ("len(interp.history)", "builtins.int"),
    ("korvex.tcl.TclError('x').errorcode", "builtins.tuple[builtins.str, ...]"),
    ("korvex.tcl.TclTimeoutError('x').errorinfo", "builtins.str"),
]


@pytest.fixture(scope="module")
def revealed_types(tmp_path_factory):
    """The types mypy --strict reveals for each expression of REVEALED, by line."""
    pytest.importorskip("mypy")
    source = tmp_path_factory.mktemp("reveal") / "reveal.py"
    lines = ["import korvex.tcl", "interp = korvex.tcl.Interpreter()"]
    lines += ["reveal_type(%s)" % expr for expr, _ in REVEALED]
    source.write_text("\n".join(lines) + "\n")
    result = _run("-m", "mypy", "--strict", "--no-incremental", str(source))
    found = {}
    for line in result.stdout.replace("builtins.", "").splitlines():  # mypy versions differ here
        parts = line.split(":", 3)
        if len(parts) == 4 and "Revealed type is" in parts[3]:
            found[int(parts[1]) - 3] = parts[3].split('"')[1]
    return found, result.stdout


@pytest.mark.parametrize("index", range(len(REVEALED)), ids=[e for e, _ in REVEALED])
def test_stub_types_are_precise(revealed_types, index):
    found, output = revealed_types
    assert found.get(index) == REVEALED[index][1].replace("builtins.", ""), output


@pytest.mark.parametrize("expr", [
    "type(korvex.tcl.Interpreter.eval)",           # fast-call routine
    "type(korvex.tcl.Interpreter.create_callback)",  # routine over a nanobind body
    "type(korvex.tcl.zelph)",                      # module function
])
def test_function_types_cannot_be_instantiated_empty(expr):
    """An empty routine used to crash on repr() or signature access."""
    script = (
        "import korvex.tcl\n"
        "t = %s\n"
        "try:\n"
        "    r = t()\n"
        "    repr(r); getattr(r, '__text_signature__', None); r.__get__(1)()\n"
        "except TypeError as exc:\n"
        "    print('TypeError')\n" % expr)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "TypeError"


def test_function_types_are_immutable():
    for fn in (Interpreter.eval, korvex.tcl.zelph):
        with pytest.raises(TypeError):
            type(fn).extra = 1


def test_stubs_themselves_pass_strict_checks():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
         "-p", "korvex.tcl", "-p", "korvex.datastructures"],
        cwd=os.path.join(ROOT, "src"), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_tk_methods_are_not_offered_but_what_works_without_tk_is(tmp_path):
    # An Interpreter has no Tk: mypy must reject tkinter's Tk methods (they fail
    # at run time) and accept what works, tkinter's and the application object's.
    pytest.importorskip("mypy")
    source = tmp_path / "tk_methods.py"
    source.write_text(
        "import tkinter\nfrom korvex.tcl import Interpreter\n"
        "def use(interp: Interpreter) -> None:\n"
        "    interp.after(10)\n"
        "    ident: str = interp.after(10, print, 'x')\n"
        "    interp.after_cancel(ident)\n"
        "    interp.update()\n"
        "    interp.setvar('a', 1)\n"
        "    words: tuple[object, ...] = interp.splitlist(interp.tk.eval('list a b'))\n"
        "    address: int = interp.interpaddr()\n"
        "    interp.createcommand('cmd', print)\n"
        "    assert isinstance(interp, tkinter.Tk)\n"
        "    del words, address\n"
        "def misuse(interp: Interpreter) -> None:\n"
        "    interp.winfo_width()\n"
        "    interp.grid_slaves()\n"
        "    interp.geometry('10x10')\n"
        "    interp.bind('<Key>', print)\n")
    result = _run("-m", "mypy", "--strict", "--no-incremental", str(source))
    errors = re.findall(r":(\d+): error: (.*)", result.stdout)
    assert [(int(line), text) for line, text in errors] == [
        (15, '"Interpreter" has no attribute "winfo_width"  [attr-defined]'),
        (16, '"Interpreter" has no attribute "grid_slaves"  [attr-defined]'),
        (17, '"Interpreter" has no attribute "geometry"  [attr-defined]'),
        (18, '"Interpreter" has no attribute "bind"  [attr-defined]'),
    ], result.stdout
