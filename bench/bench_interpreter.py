"""Interpreter.eval against raw tk.eval, and the package import time against
creating a plain tkinter interpreter with TclX."""

import os
import statistics
import subprocess
import sys
import time

from common import interleaved, report


def bench_eval():
    import tkinter

    from korvex.tcl.interpreter import Interpreter

    class Floor(tkinter.Tk):
        """The least a method of a tkinter.Tk subclass can do: what eval
        costs before it adds anything of its own."""

        def eval(self, code):
            return self.tk.eval(code)

    interp = Interpreter()
    floor = Floor(useTk=0)
    tk = interp.tk
    interp.history.__history__.clear()
    t = interleaved({
        "raw": lambda: tk.eval("set a 5"),
        "floor": lambda: floor.eval("set a 5"),
        "eval": lambda: interp.eval("set a 5"),
        "eval_norecord": lambda: interp.eval("set a 5", record=False),
    }, number=20000)
    report("Interpreter.eval('set a 5') with history / tk.eval", t["eval"], t["raw"], 1.0)
    report("Interpreter.eval('set a 5', record=False) / tk.eval", t["eval_norecord"], t["raw"], 0.95)
    report("Interpreter.eval('set a 5') with history / Tk subclass", t["eval"], t["floor"], 1.10)
    report("  a Tk subclass method calling self.tk.eval / tk.eval", t["floor"], t["raw"])


def process_time(code, repeat):
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True)
        runs.append(time.perf_counter() - t0)
    return runs


def bench_import(repeat=31):
    ours, base = [], []
    for _ in range(repeat):  # interleaved, as above
        ours += process_time("import korvex.tcl", 1)
        base += process_time(
            "import tkinter; tkinter.Tk(useTk=0).tk.eval('package require Tclx')", 1)
    report("python -c 'import korvex.tcl' / tkinter.Tk + Tclx",
           statistics.median(ours), statistics.median(base), 1.2)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_eval()
    bench_import()
