"""Property tests with real Tcl as the oracle: list splitting against Tcl's own
split, and DictionaryCompare against "lsort -dictionary"."""

import functools
import tkinter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvex.tcl.internal import DictionaryCompare, GetListFromAny

INTERP = tkinter.Tcl()
TK = INTERP.tk

SPECIAL = " \t\n\r\v\f{}[]$;\\\"#"
chars = st.one_of(
    st.sampled_from(SPECIAL),
    st.sampled_from("ab0\u00e9\u0130\u4e2d\U0001F600\U00010348\0"),
    st.characters(blacklist_categories=("Cs",)),
)
texts = st.text(chars, max_size=30)
items = st.lists(texts, max_size=8)
# Backslash sequences Tcl knows, so that substitution gets exercised.
escapes = st.sampled_from([r"\n", r"\t", r"\x41", r"\u00e9", r"\u0000", r"\U0001F600", r"\101",
                           r"\uD83D\uDE00", "\\\n  ", r"\{", r"\\", "\\"])
list_texts = st.lists(st.one_of(texts, escapes), max_size=12).map("".join)

SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def tcl_split(text):
    """Tcl's own split of `text` as held in the interpreter, or the TclError."""
    try:
        result = TK.call("lrange", text, 0, "end")
    except tkinter.TclError as e:
        return e
    return TK.splitlist(result) if result != "" else ()


def our_split(text, interp=None):
    try:
        return GetListFromAny(text, interp)
    except tkinter.TclError as e:
        return e


def same(ours, theirs):
    if isinstance(theirs, Exception):
        return isinstance(ours, tkinter.TclError) and ours.args == theirs.args
    return ours == tuple(theirs)


@SETTINGS
@given(items)
def test_lists_written_by_tcl_split_back(elements):
    text = TK.call("format", "%s", TK.call("list", *elements))
    assert GetListFromAny(text) == tuple(elements)


@SETTINGS
@given(list_texts)
def test_arbitrary_text_splits_as_tcl_splits(text):
    ours = our_split(text, INTERP)
    theirs = tcl_split(text)
    assert same(ours, theirs), (text, ours, theirs)
    if isinstance(ours, tkinter.TclError):
        assert our_split(text).args == ("invalid list element",)


@SETTINGS
@given(list_texts.filter(lambda t: "\0" not in t))
def test_arbitrary_text_splits_as_splitlist(text):
    # tk.splitlist hands the text to Tcl_SplitList as plain UTF-8.
    try:
        theirs = TK.splitlist(text)
    except tkinter.TclError:
        with pytest.raises(tkinter.TclError):
            GetListFromAny(text)
    else:
        assert GetListFromAny(text) == theirs


@SETTINGS
@given(items)
def test_tcl_obj_input(elements):
    obj = TK.call("dict", "create", *[x for e in elements for x in (e, e)])
    assert GetListFromAny(obj) == tcl_split(TK.call("format", "%s", obj))


# Tcl's own sort counts only ASCII digits as digits, where ours counts every
# character str.isdigit() accepts (superscripts too; see test_internal.py): the
# oracle is asked only about words on which the two definitions agree.
words = st.text(st.one_of(st.sampled_from("aAbBzZ0019_ \u00e9\u00c9\u0130"),
                          st.characters(max_codepoint=0x2FF, blacklist_categories=("Cs",))),
                max_size=8).filter(lambda w: "\0" not in w and
                                   not any(c.isdigit() and not c.isascii() for c in w))


@settings(max_examples=300, deadline=None)
@given(st.lists(words, min_size=2, max_size=30))
def test_sort_agrees_with_lsort_dictionary(ws):
    ours = sorted(ws, key=functools.cmp_to_key(DictionaryCompare))
    assert ours == list(TK.call("lsort", "-dictionary", ws))


@settings(max_examples=300, deadline=None)
@given(words, words)
def test_compare_sign_agrees_with_lsort(a, b):
    c = DictionaryCompare(a, b)
    assert (c > 0) - (c < 0) == -((DictionaryCompare(b, a) > 0) - (DictionaryCompare(b, a) < 0))
    if a == b:
        assert c == 0
    elif c != 0:
        first = TK.call("lsort", "-dictionary", (a, b))[0]
        assert first == (a if c < 0 else b)
