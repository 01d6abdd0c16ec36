"""The cost of keeping Tcl interruptible: a long Tcl loop run through
Interpreter.eval (signal and time-limit checks active) against the same loop
through tk.eval of a plain tkinter Tcl interpreter (with TclX), which checks
nothing. The loop is pure computation in one thread, so it is timed in
process CPU time and the fastest of the interleaved runs counts: other
processes on a busy machine can only make a run slower."""

import os
import time
import tkinter

from common import report

LOOP = "for {set i 0} {$i < 1000000} {incr i} {}"


def bench_loop(repeat=15):
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    plain = tkinter.Tcl()
    plain.eval("package require Tclx")
    runs = {"raw": [], "eval": []}
    fns = {"raw": lambda: plain.eval(LOOP), "eval": lambda: interp.eval(LOOP, record=False)}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.process_time()
            fn()
            runs[name].append(time.process_time() - t0)
    t = {name: min(r) for name, r in runs.items()}
    report("eval(10^6-iteration for loop) / plain tk.eval", t["eval"], t["raw"], 1.03)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_loop()
