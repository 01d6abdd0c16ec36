"""TclCommand calls against raw tk.call, Tcl calling a Python callback
registered by create_callback against one registered by tk.createcommand, and
the same for a callback that fails and Tcl catches."""

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


def bench_failing_callback():
    import tkinter

    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()

    def fail():
        raise ValueError("bad value")

    interp.create_callback(fail, "fail")
    plain = tkinter.Tcl()
    plain.createcommand("fail", fail)
    script = "for {set i 0} {$i < 200} {incr i} {catch fail}"
    t = interleaved({
        "raw": lambda: plain.eval(script),
        "ours": lambda: interp.tk.eval(script),
    }, number=5)
    report("a failing callback caught in Tcl / tkinter's failing command", t["ours"] / 200, t["raw"] / 200, 8)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_command_call()
    bench_callback()
    bench_failing_callback()
