"""The cost of keeping Tcl interruptible: a long Tcl loop run through
Interpreter.eval (signal and time-limit checks active) against the same loop
through tk.eval of a plain tkinter Tcl interpreter, which checks nothing."""

import os
import tkinter

from common import interleaved, report

LOOP = "for {set i 0} {$i < 1000000} {incr i} {}"


def bench_loop():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    plain = tkinter.Tcl()
    t = interleaved({
        "raw": lambda: plain.eval(LOOP),
        "eval": lambda: interp.eval(LOOP, record=False),
    }, number=1, repeat=15)
    report("eval(10^6-iteration for loop) / plain tk.eval", t["eval"], t["raw"], 1.03)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_loop()
