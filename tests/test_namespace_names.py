import pytest
from hypothesis import given, settings, strategies as st

from korvex.tcl.namespace import TclNamespace, TclVariable

J = TclNamespace.join


@pytest.mark.parametrize("name, parts", [
    ("::a::b", ["", "a", "b"]), ("a::b", ["a", "b"]), ("::", [""]), ("", []),
    ("a::::b", ["a", "b"]), ("::::a", ["", "a"]), ("a::", ["a"]), ("é::ü", ["é", "ü"]),
])
def test_split(name, parts):
    assert TclNamespace.split(name) == parts


@pytest.mark.parametrize("name", ["a:::b", "a:b", ":a", "a:", ":::a", "a:::::b", "::a:::"])
def test_odd_colon_runs_are_invalid(name):
    with pytest.raises(ValueError) as e:
        TclNamespace.split(name)
    assert str(e.value) == "Invalid Tcl namespace '%s'" % name
    with pytest.raises(ValueError):
        TclNamespace.normalize(name)


@pytest.mark.parametrize("name, normal", [
    ("::", ""), ("::a::", "::a"), ("a::::b::", "a::b"), ("::a", "::a"), ("", ""), ("::::", ""),
])
def test_normalize(name, normal):
    assert TclNamespace.normalize(name) == normal
    assert type(TclNamespace.normalize(name)) is str


@pytest.mark.parametrize("args, joined", [
    (("::", "a"), "::a"), (("::a", "b", "c"), "::a::b::c"), (("::a", "::x", "y"), "::x::y"),
    (("", "a"), "a"), (("a", ""), "a"), (("a",), "a"), ((None, "x"), "x"), (("a::", "::"), ""),
])
def test_join(args, joined):
    assert J(*args) == joined


def test_join_error_shows_concatenation():
    with pytest.raises(ValueError, match=r"Invalid Tcl namespace 'a::b:c'"):
        J("a", "b:c")


def test_join_accepts_objects():
    assert J(TclNamespace("::a"), TclVariable("x")) == "::a::x"
    assert J("::a", 1) == "::a::1"


@pytest.mark.parametrize("name, tail, quals", [
    ("::a::b", "b", "::a"), ("a", "a", ""), ("::", "", ""), ("a:::b", "b", "a"),
    ("a::b", "b", "a"), ("::a", "a", ""), ("a::::b", "b", "a"), ("", "", ""),
])
def test_tail_and_qualifiers(name, tail, quals):
    assert TclNamespace.tail(name) == tail
    assert TclNamespace.qualifiers(name) == quals


def test_wrong_argument_counts():
    with pytest.raises(TypeError):
        TclNamespace.split()
    with pytest.raises(TypeError):
        TclNamespace.join()


# Tcl as the oracle: components drawn from letters and digits, separated by
# runs of an even number of colons.
component = st.text("abcxyz019_", min_size=1, max_size=4)
sep = st.sampled_from(["::", "::::", "::::::"])


@st.composite
def names(draw):
    parts = draw(st.lists(component, min_size=1, max_size=4))
    text = "".join(p + draw(sep) for p in parts[:-1]) + parts[-1]
    if draw(st.booleans()):
        text = draw(sep) + text
    if draw(st.booleans()):
        text += draw(sep)
    return text


@settings(max_examples=200, deadline=None)
@given(names())
def test_against_tcl(tk, name):
    n = TclNamespace.normalize(name)
    assert TclNamespace.qualifiers(n) == tk.call("namespace", "qualifiers", n)
    assert TclNamespace.tail(n) == tk.call("namespace", "tail", n)
    # Tcl reads the name the same way: creating it makes the normalized name exist
    if n.startswith("::"):
        tk.call("namespace", "eval", name, "")
        assert tk.call("namespace", "exists", n)
        assert tk.call("namespace", "eval", name, "namespace current") == n


@settings(max_examples=200, deadline=None)
@given(st.lists(names(), min_size=1, max_size=4))
def test_join_is_normal_and_absolute_resets(parts):
    joined = J(*parts)
    assert TclNamespace.normalize(joined) == joined
    last_abs = max([i for i, p in enumerate(parts) if p.startswith("::")], default=0)
    tail = [TclNamespace.normalize(p).lstrip(":") for p in parts[last_abs:]]
    assert joined.lstrip(":") == "::".join(t for t in tail if t)
