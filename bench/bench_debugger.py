"""What the Tcl debugger costs the code it is not stopping, in same-run
ratios against an interpreter without it (target: at most 1.2 times):

- debugging on (--tcl-pdb, korvex-tcl --debug): ::korvex::breakpoint there,
  errors recording their values (none raised here);
- a breakpoint on a procedure the work does not call (traces on it);
- a breakpoint on a line of a procedure the work does not call, in the
  file the work was sourced from (a step trace on that procedure, and
  `proc` and `source` watched for those defined later);
- a breakpoint on a line of a file not loaded (`proc` and `source` watched);
- a breakpoint on a method the work does not call (traces on the objects
  of its class and on the commands that make them);
- a breakpoint on a line of a method's body (step traces on the objects of
  the classes defining it);
- after a session of stepping or a line breakpoint has ended (the command
  trace gone, the code compiled again as before).

The work: a loop of procedure calls and inline-compiled commands, the shape
of library code, sourced from a file. Each figure is the least processor
time of 15 interleaved runs (the machine is shared: wall time swings with
its load); a second interpreter without the debugger is measured too, for
the noise.
"""

import os
import sys
import tempfile
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
proc elsewhere {} {
    set x 1
    return $x
}
oo::class create Shape {
    method area {} {return 1}
}
"""
ELSEWHERE_LINE = 9  # set x 1
AREA_LINE = 13  # method area
TARGET = 1.2


def made(how, path):
    interp = Interpreter()
    interp.tk.call("source", path)
    if how != "plain" and how != "again":
        debugger.enable(interp)
    if how == "break":
        debugger.set_break(interp, "::elsewhere")
    if how == "line":
        debugger.set_break(interp, "%s:%d" % (os.path.basename(path), ELSEWHERE_LINE))
    if how == "unloaded":
        debugger.set_break(interp, "nowhere.tcl:1")
    if how == "method":
        debugger.set_break(interp, "::Shape area")
    if how == "in_method":
        debugger.set_break(interp, "%s:%d" % (os.path.basename(path), AREA_LINE))
    if how == "ended":
        debugger.set_break(interp, "%s:%d" % (os.path.basename(path), AREA_LINE))  # the command trace on
        debugger.set_break(interp, "%s:%d" % (os.path.basename(path), ELSEWHERE_LINE))
        interp.eval("work 10; elsewhere; [Shape new] area")
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
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "work.tcl")
        with open(path, "w") as f:
            f.write(WORK)
        return measure(path)


def measure(path):
    plain = made("plain", path)
    cases = {name: made(name, path) for name in ("on", "break", "line", "unloaded", "method", "in_method", "ended",
                                                 "again")}
    call = {name: interp.tk.call for name, interp in [("plain", plain), *cases.items()]}
    fns = {name: (lambda c=c: c("work", 200)) for name, c in call.items()}
    for fn in fns.values():
        fn()
    times = least_cpu(fns, 200)
    failed = False
    report("tcl debugger: none (another plain interpreter)", times["again"], times["plain"])
    titles = {"on": "debugging on, no breakpoint",
              "break": "a breakpoint on a procedure not called",
              "line": "a line breakpoint in a procedure not called",
              "unloaded": "a line breakpoint in a file not loaded",
              "method": "a method breakpoint, the method not called",
              "in_method": "a line breakpoint in a method not called",
              "ended": "after line and method breakpoints were cleared"}
    for name, title in titles.items():
        failed |= report("tcl debugger: %s" % title, times[name], times["plain"], TARGET) > TARGET
    for interp in [plain, *cases.values()]:
        interp.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
