"""Variable access through the namespace views and the typed accessors,
against the raw _tkinter calls they stand for."""

import os

from common import interleaved, report


def bench_vars():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    tk.eval("set ::x 5")
    vars_ = interp.vars
    t = interleaved({
        "raw_get": lambda: tk.eval("set ::x"),
        "vars_get": lambda: vars_["::x"],
        "raw_int": lambda: tk.getint(tk.eval("set ::x")),
        "get_int": lambda: interp.get_int("::x"),
        "raw_set": lambda: tk.setvar("::x", 5),
        "set_var": lambda: interp.set_var("::x", 5),
        "raw_getvar": lambda: tk.getvar("::x"),
        "vars_get_at": lambda: interp.vars["::x"],
        "raw_setvar_x": lambda: tk.setvar("x", 5),
        "set_var_x": lambda: interp.set_var("x", 5),
    }, number=20000)
    report("interp.vars['::x'] / tk.eval('set ::x')", t["vars_get"], t["raw_get"], 1.5)
    report("interp.get_int('::x') / tk.getint(tk.eval('set ::x'))", t["get_int"], t["raw_int"], 1.5)
    report("interp.set_var('::x', 5) / tk.setvar('::x', 5)", t["set_var"], t["raw_set"], 2.0)
    report("interp.set_var('x', 5) / tk.setvar('x', 5)", t["set_var_x"], t["raw_setvar_x"], 1.3)
    report("interp.vars['::x'] / tk.getvar('::x')", t["vars_get_at"], t["raw_getvar"], 1.5)


def bench_text():
    """Text is checked before it is handed to _tkinter; only text that holds
    U+0000 is changed (so that Tcl gets it whole) and pays for that."""
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    texts = {"ASCII": "a" * 1024, "ASCII holding NUL": "a" * 1023 + "\0",
             "non-ASCII": "\u20ac" * 1024, "non-ASCII holding NUL": "\u20ac" * 1023 + "\0"}
    fns = {}
    for kind, text in texts.items():
        fns["raw " + kind] = lambda text=text: tk.setvar("::x", text)
        fns[kind] = lambda text=text: interp.set_var("::x", text)
    t = interleaved(fns, number=20000)
    for kind in texts:
        report("interp.set_var('::x', 1 KiB %s) / tk.setvar" % kind, t[kind], t["raw " + kind])


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_vars()
    bench_text()
