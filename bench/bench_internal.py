"""GetListFromAny against tk.splitlist, and sorting with DictionaryCompare
against Tcl's own "lsort -dictionary"."""

import functools
import os
import random
import tkinter

from common import interleaved, report

SPECIALS = ["a b", "{x}", "c\\d", '"q"', "$v", "[cmd]", "tab\there", "semi;", "#h", "n\nl",
            "\u00e9t\u00e9", "{", "}", ""]


def short_items(n, seed=1):
    rnd = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123456789_-."
    items = []
    for _ in range(n):
        if rnd.random() < 0.25:
            items.append(rnd.choice(SPECIALS) + rnd.choice(letters))
        else:
            items.append("".join(rnd.choice(letters) for _ in range(rnd.randint(1, 10))))
    return items


def words(n, seed=2):
    rnd = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    out = []
    for _ in range(n):
        w = "".join(rnd.choice(letters) for _ in range(rnd.randint(2, 8)))
        if rnd.random() < 0.5:
            w += str(rnd.randint(0, 5000))
        if rnd.random() < 0.3:
            w += rnd.choice(letters) + str(rnd.randint(0, 99)).zfill(rnd.randint(1, 3))
        out.append(w)
    return out


def digit_words(n, seed=3):
    """Words in which most comparisons run through digit runs: a shared
    letter, a number, a letter, another number (x123456yB42, x98yD7)."""
    rnd = random.Random(seed)
    return ["x%dy%s%d" % (rnd.randint(0, 10 ** rnd.randint(1, 6)), rnd.choice("BD"), rnd.randint(0, 99))
            for _ in range(n)]


def bench_split(tk):
    from korvex.tcl.internal import GetListFromAny

    # A list text as Tcl writes it, held as a plain str.
    text = tk.call("format", "%s", tk.call("list", *short_items(100000)))
    assert isinstance(text, str)
    assert GetListFromAny(text) == tk.splitlist(text)
    t = interleaved({
        "ours": lambda: GetListFromAny(text),
        "tk": lambda: tk.splitlist(text),
    }, number=3)
    report("GetListFromAny(100,000-element list text) / tk.splitlist", t["ours"], t["tk"], 1.0)


def bench_sort(tk, title, data):
    from korvex.tcl.internal import DictionaryCompare

    key = functools.cmp_to_key(DictionaryCompare)
    ours = sorted(data, key=key)
    assert ours == list(tk.call("lsort", "-dictionary", data))
    t = interleaved({
        "ours": lambda: sorted(data, key=key),
        "tk": lambda: tk.call("lsort", "-dictionary", data),
    }, number=1)
    report("sorted(%s, cmp_to_key(DictionaryCompare)) / lsort" % title, t["ours"], t["tk"], 1.2)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    tk = tkinter.Tcl().tk
    bench_split(tk)
    bench_sort(tk, "100,000 words", words(100000))
    bench_sort(tk, "100,000 digit-heavy words", digit_words(100000))
