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
    report("Interpreter.eval('set a 5') repeated, history on / tk.eval", t["eval"], t["raw"], 0.8)
    report("Interpreter.eval('set a 5', record=False) / tk.eval", t["eval_norecord"], t["raw"], 0.7)
    report("  a Tk subclass method calling self.tk.eval / tk.eval", t["floor"], t["raw"])


def bench_new_scripts():
    """Scripts never seen before, in new interpreters whose history is
    filling (every per-test interpreter's first 9,999 records)."""
    import gc
    import time

    from korvex.tcl.interpreter import Interpreter

    n = 9000
    ours, raw = [], []
    for _ in range(7):
        interp = Interpreter()
        tk = interp.tk
        for runs, evaluate in ((ours, interp.eval), (raw, tk.eval)):
            scripts = ["set a %d" % k for k in range(n)]  # (hashed by neither beforehand)
            gc.collect()
            t0 = time.perf_counter()
            for script in scripts:
                evaluate(script)
            runs.append((time.perf_counter() - t0) / n)
        interp.close()
    report("eval of a script never seen before, history filling / tk.eval",
           sorted(ours)[3], sorted(raw)[3], 1.1)


def bench_distinct_scripts_memory():
    """A million distinct scripts, each evaluated twice: the memory the
    process holds stays where it was after the first 50,000."""
    import resource

    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    interp.history.disable()

    def run(start, count):
        for k in range(start, start + count):
            interp.eval("set a %d" % k)
            interp.eval("set a %d" % k)

    run(0, 50000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(50000, 1000000)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print("%-58s %9d KiB grown after 50,000 (target <= 4096 KiB) %s"
          % ("1,000,000 distinct scripts, each evaluated twice", grown, "ok" if grown <= 4096 else "OVER TARGET"))


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
    bench_new_scripts()
    bench_distinct_scripts_memory()
    bench_import()
