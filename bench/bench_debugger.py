"""What the Tcl debugger costs the code it is not stopping, in same-run
ratios against an interpreter without it (target: at most 1.2 times):

- debugging on (--tcl-pdb, korvex-tcl --debug): ::korvex::breakpoint there,
  errors recording their values (none raised here);
- a breakpoint on a procedure the work does not call (an enter trace on it);
- after a session of stepping or a line breakpoint has ended (the command
  trace gone, the code compiled again as before);
- for reference, while a line breakpoint is set (the command trace calls the
  debugger before every command).

The work: a loop of procedure calls and inline-compiled commands, the shape
of library code. Each figure is the least processor time of 15 interleaved
runs (the machine is shared: wall time swings with its load); a second
interpreter without the debugger is measured too, for the noise.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import report  # noqa: E402

from korvex.tcl import Interpreter, debugger  # noqa: E402

WORK = """
proc add {a b} {expr {$a + $b}}
proc work {n} {
    set s 0
    for {set i 0} {$i < $n} {incr i} {set s [add $s $i]}
    return $s
}
proc elsewhere {} {return}
"""
TARGET = 1.2


def made(how):
    interp = Interpreter()
    interp.eval(WORK)
    if how in ("on", "break", "ended", "traced"):
        debugger.enable(interp)
    if how == "break":
        debugger.set_break(interp, "::elsewhere")
    if how == "traced":
        debugger.set_break(interp, "nowhere.tcl:1")  # the command trace on, never stopping
    if how == "ended":
        debugger.set_break(interp, "nowhere.tcl:1")  # needs the command trace
        interp.eval("work 10")
        debugger.clear_breaks(interp)
    return interp


def least_cpu(fns, number, repeat=15):
    """The least processor seconds per call of each fn, runs interleaved."""
    best = {name: float("inf") for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.process_time()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (time.process_time() - t0) / number)
    return best


def main():
    plain = made("plain")
    cases = {name: made(name) for name in ("on", "break", "ended", "again", "traced")}
    call = {name: interp.tk.call for name, interp in [("plain", plain), *cases.items()]}
    fns = {name: (lambda c=c: c("work", 200)) for name, c in call.items()}
    for fn in fns.values():
        fn()
    times = least_cpu(fns, 200)
    failed = False
    report("tcl debugger: none (another plain interpreter)", times["again"], times["plain"])
    titles = {"on": "debugging on, no breakpoint",
              "break": "a breakpoint on a procedure not called",
              "ended": "after a line breakpoint was cleared"}
    for name, title in titles.items():
        failed |= report("tcl debugger: %s" % title, times[name], times["plain"], TARGET) > TARGET
    report("tcl debugger: while a line breakpoint is set (every command checked)", times["traced"],
           times["plain"])
    for interp in [plain, *cases.values()]:
        interp.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
