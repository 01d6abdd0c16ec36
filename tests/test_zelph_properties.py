"""Property tests with real Tcl as the oracle: whatever zelph writes, Tcl
reads back as the very values it was made from, and never substitutes."""

import sys

from hypothesis import given, settings, strategies as st

from korvex.tcl.zelph import tclobj, zelph

# The package publishes the function `zelph` under the module's own name.
z = sys.modules["korvex.tcl.zelph"]

SPECIALS = " \t\n\r\v\f{}[]$;\\\"#"
OTHERS = "ax\u00e9\u00a0\u3000\u2028\U0001f600\U0010fffd\x00"
PAYLOADS = ["[set pwned 1]", "$pwned", "\\[set pwned 1\\]", "{*}[set pwned 1]",
            "}; set pwned 1; {", "\"; set pwned 1; \"", "\\\n[set pwned 1]"]

chars = st.sampled_from(SPECIALS + OTHERS)
texts = st.one_of(st.text(chars, max_size=12), st.sampled_from(PAYLOADS),
                  st.lists(st.sampled_from(PAYLOADS + list(SPECIALS)), max_size=4).map("".join))
nested = st.recursive(texts, lambda inner: st.lists(inner, max_size=4), max_leaves=20)


def elements(tk, text):
    """The elements of a Tcl list, as Tcl's own lindex gives them."""
    return [tk.call("lindex", text, i) for i in range(int(tk.call("llength", text)))]


def tcl_eval(tk, script):
    # tk.eval refuses NUL; the script as an object goes through untouched
    return tk.call("eval", script) if "\x00" in script else tk.eval(script)


def classic(element):
    """Tcl's classic list formatter, rule for rule (the reference for what
    zelph writes wherever that formatter's braces read back)."""
    level, flags = 0, set()
    if not element or element[0] in '{"':
        flags.add("U")
    for p, c in enumerate(element):
        if c == "{":
            level += 1
        elif c == "}":
            level -= 1
            if level < 0:
                flags |= {"D", "M"}
        elif c in "[$; \f\n\r\t\v":
            flags.add("U")
        elif c == "\\":
            if p + 1 == len(element) or element[p + 1] == "\n":
                flags = {"D", "M"}
            else:
                flags.add("U")
    if level:
        flags = {"D", "M"}
    if not element:
        return "{}"
    if "U" in flags and "D" not in flags:
        return "{%s}" % element
    out = []
    if element[0] == "{":
        out.append("\\{")
        flags.add("M")
        element = element[1:]
    esc = {"\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}
    for c in element:
        if c in '][$; \\"':
            out.append("\\" + c)
        elif c in "{}" and "M" in flags:
            out.append("\\" + c)
        else:
            out.append(esc.get(c, c))
    return "".join(out)


@settings(max_examples=600)
@given(st.lists(texts, max_size=6))
def test_list_reads_back(tk, items):
    text = zelph(items)
    assert elements(tk, text) == items
    if "\x00" not in text:
        assert tk.splitlist(text) == tuple(items)


@settings(max_examples=400)
@given(nested)
def test_nested_lists_read_back_through_lindex(tk, value):
    def same(text, value):
        if isinstance(value, str):
            assert text == value
        else:
            assert int(tk.call("llength", text)) == len(value)
            for i, item in enumerate(value):
                same(tk.call("lindex", text, i), item)

    same(zelph(value), value)


@settings(max_examples=600)
@given(texts)
def test_quoted_words_are_never_substituted(tk, s):
    tk.call("unset", "-nocomplain", "x", "pwned")
    assert tcl_eval(tk, zelph(["set", "x", s])) == s
    assert tk.call("set", "x") == s
    assert tk.call("info", "exists", "pwned") == 0
    # the same as two words of a longer command
    assert elements(tk, tcl_eval(tk, zelph(["list", s, s]))) == [s, s]


@settings(max_examples=600)
@given(texts)
def test_classic_form_kept_wherever_it_reads_back(tk, s):
    ours, theirs = z._Tcl_ConvertElement(s, z._Tcl_ScanElement(s)[1]), classic(s)
    assert ours == z._tcl_UpdateStringOfList([s])
    try:
        back = elements(tk, theirs)
    except Exception:
        back = None
    if back == [s]:
        assert ours == theirs
    else:
        assert ours != theirs


@given(st.lists(texts, max_size=6))
def test_tclobj_list_is_the_same_tcl_list(tk, items):
    value = tclobj(items)
    assert value == tuple(items)
    assert [tk.call("lindex", value, i) for i in range(len(items))] == items
