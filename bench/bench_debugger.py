"""What the Tcl debugger costs the code it is not stopping, in same-run
ratios against an interpreter without it (target: at most 1.2 times):

- debugging on (--tcl-pdb, korvex-tcl --debug): ::korvex::breakpoint there,
  errors recording their values (none raised here);
- a breakpoint on a procedure the work does not call (an enter trace on it);
- after a session of stepping or a line breakpoint has ended (the command
  trace gone, the code compiled again as before).

The work: a loop of procedure calls and inline-compiled commands, the shape
of library code.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import interleaved, report  # noqa: E402

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
    if how in ("on", "break", "ended"):
        debugger.enable(interp)
    if how == "break":
        debugger.set_break(interp, "::elsewhere")
    if how == "ended":
        debugger.set_break(interp, "nowhere.tcl:1")  # needs the command trace
        interp.eval("work 10")
        debugger.clear_breaks(interp)
    return interp


def main():
    plain = made("plain")
    cases = {name: made(name) for name in ("on", "break", "ended")}
    call = {name: interp.tk.call for name, interp in [("plain", plain), *cases.items()]}
    fns = {name: (lambda c=c: c("work", 200)) for name, c in call.items()}
    for fn in fns.values():
        fn()
    times = interleaved(fns, 200)
    failed = False
    titles = {"on": "debugging on, no breakpoint",
              "break": "a breakpoint on a procedure not called",
              "ended": "after a line breakpoint was cleared"}
    for name, title in titles.items():
        failed |= report("tcl debugger: %s" % title, times[name], times["plain"], TARGET) > TARGET
    for interp in [plain, *cases.values()]:
        interp.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
