"""korvex.tcl.internal: the library binding, list splitting and dictionary order."""

import ctypes
import functools
import re
import subprocess
import sys
import tkinter

import pytest

from korvex.tcl import internal as I
from korvex.tcl.internal import DictionaryCompare, GetListFromAny
from test_leaks import growth


@pytest.fixture(scope="module")
def tcl():
    return tkinter.Tcl()


# --- binding -------------------------------------------------------------------

def test_module_globals_in_order():
    names = [n for n in vars(I) if not n.startswith("__")]
    assert names == ["ctypes", "tkinter", "Sequence", "Set", "unicode", "ReturnCodes", "lib",
                     "TclDLL", "_ptr_add", "_ptr_sub", "_ptr_diff", "TclError_from_interp",
                     "Tcl_Interp_p", "Tcl_WideInt", "Tcl_ObjType", "Tcl_Obj",
                     "_c_char_p_from_obj", "GetListFromAny", "DictionaryCompare"]
    assert I.unicode is str and isinstance(I.TclDLL, ctypes.CDLL)
    assert (I.ReturnCodes.TCL_OK, I.ReturnCodes.TCL_ERROR, I.ReturnCodes.TCL_RETURN,
            I.ReturnCodes.TCL_BREAK, I.ReturnCodes.TCL_CONTINUE) == (0, 1, 2, 3, 4)


def test_loads_the_tcl_that_tkinter_uses():
    import _tkinter
    assert I.lib.startswith("libtcl%s." % _tkinter.TCL_VERSION)
    maps = ""
    if sys.platform.startswith("linux"):
        with open("/proc/self/maps") as f:
            maps = f.read()
    tcls = {line.split()[-1] for line in maps.splitlines() if re.search(r"/libtcl\d", line)}
    assert len(tcls) <= 1


def test_declared_functions():
    f = I.TclDLL.TclFindElement
    assert f.argtypes[0] is I.Tcl_Interp_p and f.restype is ctypes.c_int
    assert I.TclDLL.Tcl_GetStringResult.restype is ctypes.c_char_p
    assert I.TclDLL.Tcl_ResetResult.restype is None


def test_structures():
    assert I.Tcl_WideInt is ctypes.c_longlong
    assert [f[0] for f in I.Tcl_Obj._fields_] == ["refCount", "bytes", "length", "typePtr",
                                                  "internalRep"]
    rep = I.Tcl_Obj.u_internalRep
    assert issubclass(rep, ctypes.Union) and rep.__qualname__ == "Tcl_Obj.u_internalRep"
    assert rep.s_twoPtrValue.__qualname__ == "Tcl_Obj.u_internalRep.s_twoPtrValue"
    assert ctypes.sizeof(rep) == max(ctypes.sizeof(ctypes.c_double), 2 * ctypes.sizeof(ctypes.c_void_p))
    assert I.Tcl_Obj.typePtr.offset == 3 * ctypes.sizeof(ctypes.c_void_p)
    assert [f[0] for f in I.Tcl_ObjType._fields_][0] == "name"


def test_interp_from_param(tcl):
    p = I.Tcl_Interp_p(1234)
    assert I.Tcl_Interp_p.from_param(p) is p
    assert I.Tcl_Interp_p.from_param(None).value is None
    assert I.Tcl_Interp_p.from_param(interp=tcl).value == tcl.tk.interpaddr()
    with pytest.raises(ValueError, match="^Unrecognized Tcl interpreter object: 5$"):
        I.Tcl_Interp_p.from_param(5)
    with pytest.raises(ctypes.ArgumentError, match="Unrecognized Tcl interpreter object: 'x'"):
        I.TclDLL.Tcl_ResetResult("x")


def test_error_from_interp(tcl):
    with pytest.raises(tkinter.TclError) as e:
        raise I.TclError_from_interp(None, "x")
    assert e.value.args == ("x",)
    with pytest.raises(tkinter.TclError) as e:
        I.TclError_from_interp(None)
    assert e.value.args == ()
    with pytest.raises(tkinter.TclError) as e:
        tcl.tk.eval("catch {error {boom \u00e9}}")  # leaves the result "1"
        I.TclError_from_interp(tcl, "dflt")
    assert e.value.args == ("1",)
    I.TclDLL.Tcl_ResetResult(tcl)
    with pytest.raises(tkinter.TclError) as e:
        I.TclError_from_interp(tcl, "dflt")
    assert e.value.args == ("dflt",)


def test_error_from_interp_decodes_tcl_internal_form(tcl):
    tcl.tk.eval(r"set x [string cat a \u0000 \U0001F600]")  # result holds C0 80
    with pytest.raises(tkinter.TclError) as e:
        I.TclError_from_interp(tcl)
    assert e.value.args[0] == tcl.tk.call("set", "x")


def test_pointer_helpers():
    s = ctypes.c_char_p(b"hello world")
    p = I._ptr_add(s, 6)
    assert type(p) is ctypes.c_char_p and p.value == b"world"
    assert I._ptr_diff(p, s) == 6 and I._ptr_diff(s, p) == -6
    back = I._ptr_sub(p, 6)
    assert type(back) is ctypes.c_char_p and back.value == b"hello world"
    assert I._ptr_diff(I._ptr_sub(p, 2), s) == 4


@pytest.mark.parametrize("obj, expected", [(None, b""), (12, b"12"), ("\u00e9", b"\xc3\xa9"),
                                           ("a\0b", b"a")])
def test_c_char_p_from_obj(obj, expected):
    c = I._c_char_p_from_obj(obj)
    assert type(c) is ctypes.c_char_p and c.value == expected


# --- GetListFromAny ----------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("a b c {de} {f g h { i }}", ("a", "b", "c", "de", "f g h { i }")),
    ("", ()), (" \t\n\r\v\f ", ()),
    (r"{a\nb} a\nb", ("a\\nb", "a\nb")),
    (r'"x\ty" "a b"', ("x\ty", "a b")),
    (r"\{ \} \\", ("{", "}", "\\")),
    ("{} \"\" x", ("", "", "x")),
    ("\u00e9l\u00e8ve {\U0001F600 x}", ("\u00e9l\u00e8ve", "\U0001F600 x")),
    (r"\u00e9 \x41 \101", ("\u00e9", "A", "A")),
    ("a\0b {\0} \"\0\"", ("a\0b", "\0", "\0")),   # a NUL is an ordinary character
    ("\\\0 x", ("\\\0", "x")),                   # as Tcl sees backslash-NUL
    (r"\u0000", ("\0",)),                          # Tcl hands NUL back as C0 80
])
def test_split(text, expected):
    assert GetListFromAny(text) == expected


@pytest.mark.parametrize("text", [r"\U0001F600", "\\\U0001F600", r"\uD83D\uDE00 \uDE00",
                                  r"\uD83D x\uD83Dy", "\\\u00e9 \\", "\\\x80 \\\uffff"])
def test_split_agrees_with_tcl_on_backslashed_characters(tcl, text):
    assert GetListFromAny(text) == tcl.tk.splitlist(text)


@pytest.mark.parametrize("text, message", [
    ("{a", "unmatched open brace in list"),
    ('"a', "unmatched open quote in list"),
    ("{a}b", 'list element in braces followed by "b" instead of space'),
    ('"a"b', 'list element in quotes followed by "b" instead of space'),
    ("x {a}\0", 'list element in braces followed by "" instead of space'),  # Tcl's wording
])
def test_malformed_lists(tcl, text, message):
    with pytest.raises(tkinter.TclError) as e:
        GetListFromAny(text, tcl)
    assert e.value.args == (message,)
    with pytest.raises(tkinter.TclError) as e:
        GetListFromAny(text)
    assert e.value.args == ("invalid list element",)
    with pytest.raises(tkinter.TclError) as e:
        GetListFromAny(text, interp=I.Tcl_Interp_p(tcl.tk.interpaddr()))
    assert e.value.args == (message,)


def test_passthrough_and_wrapping():
    t = (1, "a b")
    assert GetListFromAny(t) is t
    assert GetListFromAny(None) == ()
    assert GetListFromAny(5) == (5,) and GetListFromAny(2.5) == (2.5,)
    assert GetListFromAny(True) == (True,) and type(GetListFromAny(True)[0]) is bool
    assert GetListFromAny([1, "a b"]) == (1, "a b")
    assert GetListFromAny(b"ab") == (97, 98)
    assert GetListFromAny(range(3)) == (0, 1, 2)
    assert GetListFromAny(frozenset([7])) == (7,)
    assert GetListFromAny({"a b": 1}) == GetListFromAny(str({"a b": 1}))


def test_text_path_for_subclasses_and_tcl_obj(tcl):
    class I2(int):
        def __str__(self):
            return "x {y z}"

    class S(str):
        def __str__(self):
            return "p q"

    assert GetListFromAny(I2(3)) == ("x", "y z")
    assert GetListFromAny(S("ignored")) == ("p", "q")
    tcl_obj = tcl.tk.call("dict", "create", "a", "b c", "\u00e9\0", "\\{")
    assert type(tcl_obj).__name__ == "Tcl_Obj"
    assert GetListFromAny(tcl_obj) == ("a", "b c", "\u00e9\0", "\\{")


def test_bad_arguments(tcl):
    with pytest.raises(ctypes.ArgumentError, match="Unrecognized Tcl interpreter object: 5"):
        GetListFromAny("a b", 5)
    assert GetListFromAny("", 5) == ()   # nothing to scan: the interpreter is not looked at
    with pytest.raises(TypeError):
        GetListFromAny()
    with pytest.raises(TypeError):
        GetListFromAny("a", None, 3)
    with pytest.raises(TypeError):
        GetListFromAny("a", interpp=None)
    with pytest.raises(TypeError):
        GetListFromAny("a", obj="b")
    assert GetListFromAny(obj="x y", interp=tcl) == ("x", "y")
    with pytest.raises(UnicodeEncodeError):
        GetListFromAny("a \ud800")
    # (Bytes of text read from Tcl, held as U+DC80..U+DCFF, go back as they came.)
    assert GetListFromAny("a \udc80") == ("a", "\udc80")

    class Bad:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        GetListFromAny(Bad())


def test_signature_and_doc():
    import inspect
    assert str(inspect.signature(GetListFromAny)) == "(obj, interp=None)"
    assert GetListFromAny.__doc__.splitlines()[0] == \
        "Convert any Tcl object/string to a Python list (tuple)"
    assert str(inspect.signature(DictionaryCompare)) == "(left, right)"


# --- DictionaryCompare -------------------------------------------------------------

@pytest.mark.parametrize("left, right, expected", [
    ("a2", "a10", -1), ("a10", "a2", 1), ("x01", "x1", 1), ("x1", "x01", -1),
    ("ABC", "abc", -32), ("abc", "ABC", 32), ("abc", "abd", -1), ("ab", "a", 98),
    ("a", "ab", -98), ("B", "b", -32), ("B", "a", 1), ("x10y", "x9y", 1), ("", "", 0),
    ("same", "same", 0), (10, 9, 1), ("A01", "a1", -32), ("a01b", "A1B", 32),
    ("abc", "abc\0\0", 0), ("a\0b", "a\0c", -1), ("0", "00", -1), ("a0", "a", 48),
    ("\u0130", "i", 0x130 - ord("i")), ("\u0130x", "iy", -1),
    ("\u00b2", "\u00b3", -1),  # superscript digits are digits
])
def test_dictionary_compare(left, right, expected):
    assert DictionaryCompare(left, right) == expected
    assert DictionaryCompare(right=right, left=left) == expected


def test_dictionary_compare_lowers_every_character():
    # Each character against U+0001: its lower-case form's first code point
    # decides, its own code breaks the tie.
    for c in range(2, 0x110000):
        ch = chr(c)
        if ch.isdigit():
            continue
        low = ord(ch.lower()[0]) - 1
        assert DictionaryCompare(ch, "\x01") == (low or c - 1), hex(c)


def test_dictionary_compare_digits_are_what_isdigit_accepts():
    # "cc" against "c": a digit makes both numbers, the longer one larger (1);
    # any other character is compared against the end of "c" (its code).
    for c in range(2, 0x110000):
        ch = chr(c)
        assert (DictionaryCompare(ch * 2, ch) == 1) == ch.isdigit(), hex(c)


def test_dictionary_compare_bad_arguments():
    with pytest.raises(TypeError):
        DictionaryCompare("a")
    with pytest.raises(TypeError):
        DictionaryCompare("a", "b", "c")

    class Bad:
        def __str__(self):
            raise KeyError("k")

    with pytest.raises(KeyError):
        DictionaryCompare(Bad(), "a")


# --- no leaks --------------------------------------------------------------------

@pytest.mark.parametrize("make_call", [
    lambda tcl: (lambda: GetListFromAny("a {b c} \\n \u00e9 \U0001F600 \\u0000 \0 x")),
    lambda tcl: (lambda: GetListFromAny([1, 2])),
    lambda tcl: (lambda: GetListFromAny(7)),
    lambda tcl: (lambda: pytest.raises(tkinter.TclError, GetListFromAny, "{a", tcl)),
    lambda tcl: (lambda: pytest.raises(ctypes.ArgumentError, GetListFromAny, "a", 5)),
    lambda tcl: (lambda: DictionaryCompare("x10\u00e9", "X9\U0001F600")),
    lambda tcl: (lambda: I._ptr_add(ctypes.c_char_p(b"ab"), 1)),
])
def test_no_memory_growth(tcl, make_call):
    # under a byte per call: far below one leaked object per call
    assert growth(make_call(tcl), rounds=10000) < 10000


def test_input_refcounts_unchanged(tcl):
    text = "a {b c} \\t \u00e9"
    lst = [1, 2]
    left, right = "abc10", "ABC9"
    counts = [sys.getrefcount(o) for o in (text, lst, left, right, tcl)]
    for _ in range(10000):
        GetListFromAny(text, tcl)
        GetListFromAny(lst)
        DictionaryCompare(left, right)
    assert [sys.getrefcount(o) for o in (text, lst, left, right, tcl)] == counts


def test_sort_matches_lsort(tcl):
    words = ["a10", "a9", "A9", "a09", "b", "B", "\u00e9", "x1y2", "x1y10", "", "0", "00"]
    assert sorted(words, key=functools.cmp_to_key(DictionaryCompare)) == \
        list(tcl.tk.call("lsort", "-dictionary", words))


def _rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.memory
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_native_memory_growth(tcl):
    # C++ buffers are invisible to tracemalloc: watch the process instead.
    text = " ".join(["{a b}", "c\\td", "\u00e9\\u0000", "\U0001F600\\x41"] * 50)
    for _ in range(2000):
        GetListFromAny(text, tcl)
    before = _rss_kb()
    for _ in range(30000):
        GetListFromAny(text, tcl)
        pytest.raises(tkinter.TclError, GetListFromAny, text + " {", tcl)
    assert _rss_kb() - before < 4096


STALE = """
import gc, tkinter
from korvex.tcl.interpreter import Interpreter
from korvex.tcl.internal import GetListFromAny, Tcl_Interp_p, TclError_from_interp, TclDLL
interp = %s
ptr = Tcl_Interp_p.from_param(interp)
address = interp.tk.interpaddr()
del interp
gc.collect()
assert ptr.value == address
for call in (lambda: GetListFromAny("{a", ptr), lambda: TclError_from_interp(ptr),
             lambda: TclError_from_interp(Tcl_Interp_p.from_param(ptr), "dflt")):
    try:
        call()
    except (tkinter.TclError, ReferenceError) as exc:
        print(type(exc).__name__, exc)
TclDLL.Tcl_ResetResult(ptr)
try:
    TclError_from_interp(ptr, "dflt")
except tkinter.TclError as exc:
    print(exc)
"""


@pytest.mark.parametrize("make", ["Interpreter()", "tkinter.Tcl()"])
def test_a_pointer_made_from_an_interpreter_keeps_it_alive(make):
    result = subprocess.run([sys.executable, "-c", STALE % make], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["TclError unmatched open brace in list"] * 3 + ["dflt"]
