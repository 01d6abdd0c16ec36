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
    }, number=20000)
    report("interp.vars['::x'] / tk.eval('set ::x')", t["vars_get"], t["raw_get"], 1.5)
    report("interp.get_int('::x') / tk.getint(tk.eval('set ::x'))", t["get_int"], t["raw_int"], 1.5)
    report("interp.set_var('::x', 5) / tk.setvar('::x', 5)", t["set_var"], t["raw_set"], 2.0)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_vars()
