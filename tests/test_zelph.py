"""Tcl list quoting and the conversion of Python values to Tcl values."""

import collections.abc
import doctest
import subprocess
import sys
import textwrap

import pytest

from korvex.tcl.zelph import tclobj, zelph

# The package publishes the function `zelph` under the module's own name.
z = sys.modules["korvex.tcl.zelph"]

U, D, M = "USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"
BS = "\\"

# element, flags after the scan, element as written into a list
WORKED = [
    ("abc", set(), "abc"),
    ("a b", {U}, "{a b}"),
    ("", {U}, "{}"),
    ("{a}", {U}, "{{a}}"),
    ("$x", {U}, "{$x}"),
    ("a{b}c", set(), "a{b}c"),
    ("#a", set(), "#a"),
    ("{", {D, M}, BS + "{"),
    ("}", {D, M}, BS + "}"),
    ("a" + BS, {D, M}, "a" + BS + BS),
    ("a" + BS + "b", {U}, "{a" + BS + "b}"),
    ('a"b', set(), "a" + BS + '"b'),
    ('"a', {U}, '{"a}'),
    ("a\nb", {U}, "{a\nb}"),
    # the newline after the backslash is scanned too, and asks for braces
    ("a" + BS + "\nb", {D, M, U}, "a" + BS * 3 + "nb"),
    ("a" + BS + "{", {D, M}, "a" + BS * 3 + "{"),
    ("{a b", {D, M}, BS + "{a" + BS + " b"),
]


@pytest.mark.parametrize("element,flags,written", WORKED)
def test_worked_examples(tk, element, flags, written):
    assert z._Tcl_ScanElement(element) == (2 * len(element) + 2, flags)
    assert z._Tcl_ConvertElement(element, set(flags)) == written
    assert z._tcl_UpdateStringOfList([element]) == written
    assert tk.splitlist(written + " x") == (element, "x")


@pytest.mark.parametrize("value,text", [
    ([1, 2, [3, 4]], "1 2 {3 4}"),
    (["a b", "c"], "{a b} c"),
    ([], ""),
    ([""], "{}"),
    (["", ""], "{} {}"),
    ((x for x in "ab"), "a b"),
    ({"my key": "my value", "a": "b"}.keys(), "{my key} a"),
])
def test_whole_lists(value, text):
    assert z._tcl_UpdateStringOfList(value) == text


@pytest.mark.parametrize("element,written", [
    # one unbalanced brace backslashes every brace, the balanced pair too
    ("{a}}", BS + "{a" + BS + "}" + BS + "}"),
    ("x{a} {", "x" + BS + "{a" + BS + "}" + BS + " " + BS + "{"),
    # a trailing backslash wins over the space
    ("a b" + BS, "a" + BS + " b" + BS + BS),
    # control characters: raw inside braces, escaped outside
    ("a\tb\r\f\v", "{a\tb\r\f\v}"),
    ("\t\n\r\f\v}", BS + "t" + BS + "n" + BS + "r" + BS + "f" + BS + "v" + BS + "}"),
    ("a]b", "a" + BS + "]b"),
    ("a[b", "{a[b}"),
    ("a;b", "{a;b}"),
    ("a;b}", "a" + BS + ";b" + BS + "}"),
    # non-ASCII letters and spaces never force quoting
    ("\u00e9\u00a0\u3000\u2028\U0001f600", "\u00e9\u00a0\u3000\u2028\U0001f600"),
    ("\x00", "\x00"),
    # Tcl's reader does not count a brace after a backslash: no braces then
    ("{" + BS + "}", BS + "{" + BS + BS + BS + "}"),
    (BS + "{x}a", BS + BS + BS + "{x" + BS + "}a"),
    ("a" + BS + "{b}", "a" + BS + BS + BS + "{b" + BS + "}"),
    # ... but escaped braces that balance under Tcl's reading stay braced
    ("x" + BS + "{ " + BS + "}", "{x" + BS + "{ " + BS + "}}"),
    (BS + BS + "{a}", "{" + BS + BS + "{a}}"),
])
def test_edge_elements(tk, element, written):
    assert z._tcl_UpdateStringOfList([element]) == written
    assert tk.call("lindex", written, 0) == element


def test_hash_is_never_quoted(tk):
    assert zelph(["#a", "#"]) == "#a #"
    assert tk.splitlist("#a #") == ("#a", "#")


def test_convert_marks_leading_brace_unmatched():
    flags = set()
    assert z._Tcl_ConvertElement("{a}b", flags) == BS + "{a" + BS + "}b"
    assert flags == {M}
    flags = {U}
    assert z._Tcl_ConvertElement("{a}", flags) == "{{a}}"
    assert flags == {U}
    flags = {U, D}
    z._Tcl_ConvertElement("", flags)
    assert flags == {U, D}


class Hooked:
    def __init__(self, zel=None, obj=None):
        if zel is not None:
            self.__zelph__ = lambda: zel
        if obj is not None:
            self.__tclobj__ = lambda: obj


class StrSub(str):
    def __str__(self):
        return "plain"


@pytest.mark.parametrize("value,text", [
    (None, ""), ([None], "{}"), (True, "true"), (False, "false"), (1.5, "1.5"),
    (1e20, "1e+20"), (10, "10"), (-7, "-7"), (2 ** 70, str(2 ** 70)),
    ([1, 2, [3, 4]], "1 2 {3 4}"), ((1, (2, ())), "1 {2 {}}"),
    ({"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
    ({"a": {"b": [1, "c d"]}}, "a {b {1 {c d}}}"),
    (b"ab", "97 98"), (bytearray(b"a"), "97"), (range(3), "0 1 2"),
    (frozenset([5]), "5"), ([True, None, 1.0], "true {} 1.0"),
    (StrSub("x"), "plain"), ([StrSub("x")], "plain"),
    (Hooked(zel="Z", obj="T"), "Z"), (Hooked(obj=["a b", 1]), "{a b} 1"),
    (type("F", (), {"__zelph__": None, "__tclobj__": lambda s: "T"})(), "T"),  # false: absent
    ([Hooked(zel="{a b} c")], "{{a b} c}"),
])
def test_zelph_values(value, text):
    assert zelph(value) == text
    assert type(zelph(value)) is str


def test_zelph_of_iterator_is_its_str():
    gen = (i for i in range(3))
    assert zelph(gen) == str(gen)
    assert next(gen) == 0  # not iterated


def test_set_in_iteration_order():
    s = {"b", 3, "a c"}
    assert zelph(s) == z._zelph_from_sequence(list(s))


class Mapped(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k] * 2

    def __iter__(self):
        return iter(sorted(self.d))

    def __len__(self):
        return len(self.d)


def test_mapping_uses_iteration_order_and_getitem():
    m = Mapped({"b": 1, "a": 2})
    assert zelph(m) == "a 4 b 2"
    assert tclobj(m) == ("a", 4, "b", 2)


def test_zelph_hook_result_returned_unchanged():
    marker = object()
    assert zelph(Hooked(zel=marker)) is marker


@pytest.mark.parametrize("value", [0, 1, -1, 9, 10, -10, 99, 123456789, sys.maxsize, -sys.maxsize - 1,
                                   2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, -10 ** 30])
def test_integers_are_their_decimal_text(value):
    assert zelph(value) == str(value) and type(zelph(value)) is str
    assert zelph([value, -value]) == "%d %d" % (value, -value)


class BadText:
    def __str__(self):
        raise RuntimeError("no text")


class Twice:
    """A hook result whose own hook returns a str subclass or anything else."""

    def __init__(self, value):
        self.value = value

    def __zelph__(self):
        return self.value


@pytest.mark.parametrize("items, text", [
    ([Hooked(zel=5), "a b"], "5 {a b}"),
    ([Twice(None), Hooked(zel=1.5)], "{} 1.5"),
    ([Hooked(zel=[1, "x y"])], "{1 {x y}}"),
    ([Hooked(zel={"k": "v w"})], "{k {v w}}"),
    ([Twice(False), Twice(True)], "false true"),
    ([Hooked(zel=StrSub("x"))], "plain"),
    ([Hooked(zel=Twice("a b"))], "{a b}"),
    ([Hooked(zel=Hooked(obj=[1, 2]))], "{1 2}"),
    ((Hooked(zel=7),), "7"),
    ([Twice(b"ab"), Twice({"k": Twice(8)})], "{97 98} {k 8}"),
])
def test_hook_results_inside_a_list_are_converted_once_more(items, text):
    result = zelph(items)
    assert result == text and type(result) is str
    assert z._tcl_UpdateStringOfList(items) == text


def test_non_str_hook_result_at_top_level_is_returned_unchanged():
    assert zelph(Hooked(zel=5)) == 5
    assert type(zelph(Hooked(zel=5))) is int


@pytest.mark.parametrize("value", [
    Hooked(zel=5),                         # the scanner and quoter need a length
    Hooked(zel=Twice(5)),
])
def test_scanner_and_quoter_need_text(value):
    with pytest.raises(TypeError):
        z._Tcl_ScanElement(value)
    with pytest.raises(TypeError):
        z._Tcl_ConvertElement(value, set())


def test_hook_result_converted_twice_must_end_as_text():
    # zelph of the hook's result is itself a hook returning a number: nothing
    # converts that one again, as the scanner would need its length.
    with pytest.raises(TypeError, match="__zelph__ returned non-string"):
        zelph([Hooked(zel=Twice(5))])


@pytest.mark.parametrize("items", [
    [Hooked(zel=BadText())],
    ["a", Hooked(zel=[BadText()])],
    [Hooked(zel=Hooked(obj=BadText()))],
])
def test_failing_str_of_a_hook_result_propagates(items):
    with pytest.raises(RuntimeError, match="no text"):
        zelph(items)


def test_hook_results_in_lists_never_crash():
    script = textwrap.dedent("""
        from korvex.tcl import Interpreter, zelph
        from korvex.tcl.namespace import TclNamespace

        class Odd:
            def __init__(self, value):
                self.value = value
            def __zelph__(self):
                return self.value

        class BadText:
            def __str__(self):
                raise RuntimeError("no text")

        interp = Interpreter()
        ns = TclNamespace("::n", tcl=interp)
        ns.create()
        for value in (5, 1.5, None, [1, 2], Odd(3), Odd(Odd(4)), BadText(), "\\ud800", b"x"):
            for run in (lambda: zelph([Odd(value), "a b"]),
                        lambda: interp.yarl.list(Odd(value), "a b"),
                        lambda: interp.set_list("x", [Odd(value)]),
                        lambda: ns.eval("list", Odd(value))):
                try:
                    run()
                except (TypeError, RuntimeError, UnicodeError, ValueError):
                    pass
        print(zelph([Odd(5), "a b"]), interp.yarl.llength([Odd(5), Odd([1, 2])]), ns.eval("list", Odd(5), "c d"))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "5 {a b} 2 5 {c d}"


class Int(int):
    pass


@pytest.mark.parametrize("value,expected", [
    (None, ""), (10, 10), (True, True), (1.5, 1.5), (b"ab", b"ab"), ("s", "s"),
    (sys.maxsize, sys.maxsize), (-sys.maxsize - 1, -sys.maxsize - 1),
    (sys.maxsize + 1, str(sys.maxsize + 1)), (-sys.maxsize - 2, str(-sys.maxsize - 2)),
    (Int(3), "3"), ([1, 2, [3, 4]], (1, 2, (3, 4))),
    ({"my key": "my value", "a": "b"}, ("my key", "my value", "a", "b")),
    ({"a": [None, {"b": 1}]}, ("a", ("", ("b", 1)))),
    (Hooked(zel="Z", obj=[1]), [1]),        # __tclobj__ result unchanged
    (Hooked(zel="Z"), "Z"),                 # no __tclobj__: zelph
    (frozenset(), ()),
])
def test_tclobj_values(value, expected):
    result = tclobj(value)
    assert result == expected
    assert type(result) is type(expected)


def test_tclobj_keeps_identity_of_passthrough_values(tk):
    s = StrSub("x")
    assert tclobj(s) is s
    obj = tk.call("dict", "create", "a", "b")
    assert type(obj).__name__ == "Tcl_Obj"
    assert tclobj(obj) is obj


def test_hook_lookup_errors():
    class NoAttr:
        @property
        def __zelph__(self):
            raise AttributeError("absent")

        def __str__(self):
            return "fallback"

    class Broken:
        @property
        def __tclobj__(self):
            raise KeyError("boom")

    assert zelph(NoAttr()) == "fallback"
    with pytest.raises(KeyError):
        zelph(Broken())
    with pytest.raises(KeyError):
        tclobj([Broken()])


@pytest.mark.parametrize("convert", [zelph, tclobj, z._zelph_from_sequence,
                                     z._tclobj_from_sequence])
def test_exceptions_from_user_code_propagate(convert):
    class Bad:
        def __str__(self):
            raise ValueError("no str")

        __zelph__ = None

    class BadIter(collections.abc.Sequence):
        def __getitem__(self, i):
            raise LookupError("no item")

        def __len__(self):
            return 1

        def __iter__(self):
            raise OSError("no iter")

    with pytest.raises(ValueError, match="no str"):
        convert([Bad()])
    with pytest.raises(OSError, match="no iter"):
        convert(BadIter())
    with pytest.raises(ZeroDivisionError):
        convert([Hooked(zel=None, obj=None), type("H", (), {"__tclobj__": lambda s: 1 / 0})()])


def test_hook_that_empties_the_list_being_converted():
    items = []

    class Clear:
        def __zelph__(self):
            items.clear()
            return "c"

        def __tclobj__(self):
            items.clear()
            return "c"

    items[:] = ["a", Clear(), "b", "d"]
    assert zelph(items) == "a c"
    items[:] = ["a", Clear(), "b", "d"]
    assert tclobj(items) == ("a", "c")


def test_arguments_by_position_and_keyword():
    assert zelph(obj=[1]) == "1" and tclobj(obj=[1]) == (1,)
    assert z._Tcl_ScanElement(string="a") == (4, set())
    assert z._Tcl_ConvertElement(src="a b", flags={U}) == "{a b}"
    assert z._zelph_from_sequence(obj=[1, 2]) == z._tcl_UpdateStringOfList(listObj=[1, 2]) == "1 2"
    assert z._zelph_from_mapping(obj={1: 2}) == "1 2"
    assert z._tclobj_from_mapping(obj={1: 2}) == (1, 2)
    assert z._tclobj_from_sequence(obj="ab") == ("a", "b")


@pytest.mark.parametrize("call", [
    lambda: zelph(), lambda: zelph(1, 2), lambda: zelph(x=1), lambda: zelph(1, obj=1),
    lambda: tclobj(), lambda: z._Tcl_ConvertElement("a"), lambda: z._Tcl_ScanElement(obj=1),
    lambda: z._tcl_UpdateStringOfList(obj=[], listObj=[]),
])
def test_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_module_globals():
    names = [n for n in vars(z) if not n.startswith("__")]
    assert names == ["Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
                     "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList",
                     "_zelph_from_sequence", "_zelph_from_mapping", "zelph", "_sysmaxsize",
                     "_long_type", "_tclobj_from_sequence", "_tclobj_from_mapping", "tclobj"]
    assert z.Mapping is collections.abc.Mapping and z.Set is collections.abc.Set
    import _tkinter
    assert z._tkTcl_Obj is _tkinter.Tcl_Obj and z.sys is sys and z.unicode is str
    assert z._sysmaxsize == sys.maxsize and z._long_type is int
    assert z._zelph_from_sequence is z._tcl_UpdateStringOfList
    assert zelph.from_sequence is z._zelph_from_sequence
    assert zelph.from_mapping is z._zelph_from_mapping
    assert tclobj.from_sequence is z._tclobj_from_sequence
    assert tclobj.from_mapping is z._tclobj_from_mapping


def test_functions_take_attributes_and_pickle():
    import pickle
    zelph.custom = 1
    try:
        assert zelph.custom == 1 and "custom" in zelph.__dict__
    finally:
        del zelph.custom
    assert pickle.loads(pickle.dumps(zelph)) is zelph
    assert zelph.__name__ == "zelph" and zelph.__module__ == "korvex.tcl.zelph"


def test_docstrings():
    assert zelph.__doc__.splitlines()[0] == "zelph() Function/Class"
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner()
    for test in finder.find(zelph, "zelph", globs={"zelph": zelph}):
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
    assert runner.summarize(verbose=False).attempted == 2
    for fn, head, source in [(z._Tcl_ScanElement, "Tcl_ScanElement --", "Tcl_ScanCountedElement"),
                             (z._Tcl_ConvertElement, "Tcl_ConvertElement --",
                              "Tcl_ConvertCountedElement"),
                             (z._tcl_UpdateStringOfList, "UpdateStringOfList --",
                              "UpdateStringOfList")]:
        doc = fn.__doc__
        assert doc.startswith(head)
        for part in ("Results:", "Side effects:\n    None.", "From:", source, "8.4.19"):
            assert part in doc
