"""TclCommand calls against raw tk.call, and Tcl calling a Python callback
registered by create_callback against one registered by tk.createcommand."""

import os

from common import interleaved, report


def bench_command_call():
    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.namespace import TclCommand

    interp = Interpreter()
    tk = interp.tk
    tk.eval("proc one {x} {return $x}")
    cmd = TclCommand("one", tcl=interp)
    assert cmd("a") == tk.call("one", "a") == "a"
    t = interleaved({
        "raw": lambda: tk.call("one", "a"),
        "cmd": lambda: cmd("a"),
    }, number=20000)
    report("TclCommand('one')('a') / tk.call('one', 'a')", t["cmd"], t["raw"], 1.5)


def bench_callback():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk

    def cb(x):
        return x

    interp.create_callback(cb, "ours")
    tk.createcommand("raw", cb)
    script = "for {set i 0} {$i < 1000} {incr i} {%s $i}"
    ours, raw = script % "ours", script % "raw"
    t = interleaved({
        "raw": lambda: tk.eval(raw),
        "ours": lambda: tk.eval(ours),
    }, number=20)
    report("1000 Tcl calls of a create_callback callback / createcommand", t["ours"], t["raw"], 1.1)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_command_call()
    bench_callback()
