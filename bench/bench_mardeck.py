"""Keyed-list parsing and the result casts: time per item, with Tcl's own
work on the same data as the baseline (TclX parsing the keyed list, and
_tkinter's own conversion of the same results)."""

import os

from common import interleaved, report


def keyed_list_text(interp, groups=100, fields=100):
    """A keyed list of groups * fields leaves, two levels deep, built by TclX."""
    interp.tk.eval("unset -nocomplain K")
    for g in range(groups):
        for f in range(fields):
            interp.tk.call("keylset", "K", "g%d.f%d" % (g, f), "value %d" % f)
    return interp.tk.eval("set K")


def bench_from_tcl():
    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.mardeck import Mardeck

    interp = Interpreter()
    text = keyed_list_text(interp)
    leaves = 100 * 100
    interp.tk.setvar("T", text)
    t = interleaved({
        "ours": lambda: Mardeck.from_tcl(text),
        # TclX reads the same text into its keyed-list form (and walks every leaf)
        "tclx": lambda: interp.tk.eval("set T2 [string range $T 0 end]; "
                                       "foreach g [keylkeys T2] {keylkeys T2 $g}"),
    }, number=3, repeat=5)
    print("Mardeck.from_tcl, %d fields in two levels: %.3f us per field" % (leaves, t["ours"] / leaves * 1e6))
    report("Mardeck.from_tcl / TclX reading the same keyed list", t["ours"], t["tclx"])


def bench_cast_any():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    cases = {"integer": "12345", "double": "3.25", "word": "hello", "list text": "a b {c d} e"}
    for name, value in cases.items():
        t = interleaved({
            "ours": lambda: interp.cast_any(value),
            "getint": lambda: tk.getint("12345"),
        }, number=20000, repeat=5)
        print("cast_any(%-13r) %-9s: %.3f us per item (tk.getint of an integer: %.3f us)"
              % (value, name, t["ours"] * 1e6, t["getint"] * 1e6))


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_from_tcl()
    bench_cast_any()
