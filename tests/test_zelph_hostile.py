"""Hostile input: deep and self-containing structures, lone surrogates, and
conversions repeated many times without leaking."""

import gc
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from korvex.tcl.zelph import tclobj, zelph

# The package publishes the function `zelph` under the module's own name.
z = sys.modules["korvex.tcl.zelph"]


def run_isolated(code):
    """Runs code in a fresh interpreter; a crash shows as a signal exit."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    return proc.stdout


@pytest.mark.parametrize("limit", [1000, 10 ** 6])
def test_deep_and_self_containing_input_raises_recursion_error(limit):
    out = run_isolated("""
        import sys
        sys.setrecursionlimit(%d)
        from korvex.tcl.zelph import zelph, tclobj, _tcl_UpdateStringOfList, _zelph_from_mapping

        deep_list, deep_dict = [], {}
        for _ in range(10 ** 5):
            deep_list, deep_dict = [deep_list], {"k": deep_dict}
        loop = []
        loop.append(loop)
        cycle = {}
        cycle["me"] = [cycle]

        class Self:
            def __tclobj__(self):
                return self

        nested = [deep_list, deep_dict, loop, cycle, (1, (deep_list,))]
        runs = [(zelph, nested + [Self(), [Self()]]), (tclobj, nested),
                (_tcl_UpdateStringOfList, [deep_list, loop, (1, (deep_list,))]),
                (_zelph_from_mapping, [deep_dict, cycle])]
        for convert, cases in runs:
            for case in cases:
                try:
                    convert(case)
                except RecursionError:
                    print("ok")
                else:
                    print("converted", convert.__name__, type(case))
        print(zelph([[[["still", "fine"]]]]))
    """ % limit)
    lines = out.split()
    assert lines.count("ok") == 7 + 5 + 3 + 2 and "converted" not in out
    assert out.endswith("{{{still fine}}}\n")


def test_nesting_well_within_the_limit_converts():
    value = "a b"
    for _ in range(200):
        value = [value]
    text = zelph(value)
    assert text == "{" * 200 + "a b" + "}" * 200


# (U+DC80..U+DCFF are the bytes of text read from Tcl, which go back as they
# came; U+DCC0 U+DC80 would be Tcl's NUL, which the text does not hold.)
@pytest.mark.parametrize("value", [["\ud800"], ["ok", "a\udc7fb"], {"k": "\udfff"},
                                   ["\U0001f600\ud83d"], ["x\udcc0\udc80y"]])
def test_lone_surrogates_are_a_clear_error(value):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        zelph(value)


def test_lone_surrogate_in_the_element_functions():
    with pytest.raises(UnicodeEncodeError):
        z._Tcl_ScanElement("x\ud800")
    with pytest.raises(UnicodeEncodeError):
        z._Tcl_ConvertElement("\ud800", set())


class Hook:
    def __zelph__(self):
        return "h k"

    def __tclobj__(self):
        return ("t", 1)


class Plain:
    def __str__(self):
        return "p"


def fresh(text):
    """A str object of its own (literals are shared across the test session)."""
    return (text + ".")[:-1]


def inputs():
    items = [fresh("a b"), "{", "x\\{y}", "\u00e9 \U0001f600", 17, 2 ** 80, 1.5, None, True,
             b"by", Hook(), Plain(), ("t", ["n e", {"k": "v w"}]), {3, 4}, frozenset("ab")]
    return items, {"m": items, "n": {"o": items}}


CONVERSIONS = [
    ("zelph", zelph), ("tclobj", tclobj),
    ("from_sequence", z._zelph_from_sequence),
    ("from_mapping", lambda v: z._zelph_from_mapping(v[1]) if isinstance(v, tuple) else ""),
    ("scan", lambda v: z._Tcl_ScanElement(v[0][2])),
    ("convert", lambda v: z._Tcl_ConvertElement("{a b", set())),
]


def refcounts(value):
    # singletons and cached small ints are shared with the whole process
    objs = [x for x in value[0] if x is not None and not isinstance(x, (bool, int))
            and not (isinstance(x, str) and len(x) < 2)]
    return [sys.getrefcount(x) for x in objs + list(value)]


def count_growth(convert, value, rounds):
    for _ in range(200):
        convert(value)
    gc.collect()
    tracemalloc.start()
    start, _ = tracemalloc.get_traced_memory()
    for _ in range(rounds):
        convert(value)
    gc.collect()
    end, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return end - start


@pytest.mark.parametrize("name,convert", CONVERSIONS)
def test_no_leaks(name, convert):
    value = inputs()
    refs = refcounts(value)
    growth = count_growth(convert, value, 20000)
    assert growth < 20000  # far below one object per call
    assert refcounts(value) == refs


@pytest.mark.parametrize("convert", [zelph, tclobj])
def test_no_leaks_when_conversions_fail(convert):
    class Bad:
        def __str__(self):
            raise ValueError

        def __tclobj__(self):
            raise ValueError

    value = [fresh("a b"), Bad(), ["c"]]
    refs = [sys.getrefcount(x) for x in value]

    def failing(v):
        try:
            convert(v)
        except ValueError:
            pass

    assert count_growth(failing, value, 20000) < 20000
    assert [sys.getrefcount(x) for x in value] == refs


DEEP = """
import sys, threading
sys.setrecursionlimit(10 ** 6)
from korvex.tcl import Interpreter, tclobj, zelph
from korvex.tcl.mardeck import Mardeck
from korvex.tcl.namespace import TclCommand

class Again:
    def __zelph__(self):
        return zelph([self])
    def __tclobj__(self):
        return tclobj([self])

CASES = [
    "d = {}; d['x'] = d; Mardeck(d)",
    "m = Mardeck(); dict.__setitem__(m, 'x', m); m.all_items()",
    "m = Mardeck(); m['.'.join(['k'] * 20000)] = 1",
    "Mardeck.from_tcl('{k {' * 20000 + '{k x}' + '}}' * 20000)",
    "zelph(Again())",
    "tclobj(Again())",
    "deep = []\\nfor _ in range(10 ** 5): deep = [deep]\\ntclobj(deep)",
    "loop = []; loop.append(loop); interp.set_var('v', loop)",
    "interp.set_var('v', Again())",
    "interp.yarl.echo(Again())",
    "TclCommand('echo', tcl=interp)(Again())",
]

def run():
    global interp
    interp = Interpreter()
    interp.eval("proc echo args {return $args}")
    for case in CASES:
        try:
            exec(case, globals())
        except RecursionError:
            print("recursion")
        except ValueError:
            print("value")
        else:
            print("fine", case)
    del interp

if sys.argv[1] == "main":
    run()
else:
    threading.stack_size(int(sys.argv[1]))
    t = threading.Thread(target=run)
    t.start()
    t.join()
print("done")
"""


def smaller_main_stack():
    import resource

    resource.setrlimit(resource.RLIMIT_STACK, (2 * 1024 * 1024, resource.getrlimit(resource.RLIMIT_STACK)[1]))


@pytest.mark.parametrize("where", ["256 KiB thread", "2 MiB thread", "2 MiB main thread"])
def test_deep_nesting_raises_recursion_error_whatever_the_stack(where):
    """However high the recursion limit and however small the thread's
    stack, nesting raises RecursionError: the guards watch the C stack left."""
    size = {"256 KiB thread": str(256 * 1024), "2 MiB thread": str(2 * 1024 * 1024)}.get(where, "main")
    proc = subprocess.run([sys.executable, "-c", DEEP, size], capture_output=True, text=True, timeout=300,
                          preexec_fn=smaller_main_stack if size == "main" else None)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    lines = proc.stdout.splitlines()
    assert lines[-1] == "done" and len(lines) == 12
    assert set(lines[:-1]) <= {"recursion", "value"}, lines
