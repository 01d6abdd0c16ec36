"""A quick call, interp.yarl.set('a', 5), against raw tk.call('set', 'a', 5).

The last line times the quick-call layer alone: no history entry and no
result cast (those are History.append and Interpreter.cast_any, timed by
their own modules)."""

import os

from common import interleaved, report


def bench_quick_call():
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    tk = interp.tk
    interp.history.__history__.clear()
    t = interleaved({
        "raw": lambda: tk.call("set", "a", 5),
        "yarl": lambda: interp.yarl.set("a", 5),
        "yarl_nocast": lambda: interp.yarl.set("a", 5, cast_=False),
    }, number=20000)
    interp.history.disable()
    bare = interleaved({
        "raw": lambda: tk.call("set", "a", 5),
        "yarl": lambda: interp.yarl.set("a", 5, cast_=False),
    }, number=20000)
    report("interp.yarl.set('a', 5) / tk.call('set', 'a', 5)", t["yarl"], t["raw"], 1.5)
    report("interp.yarl.set('a', 5, cast_=False) / tk.call", t["yarl_nocast"], t["raw"], 2.0)
    report("  the same with the history disabled / tk.call", bare["yarl"], bare["raw"], 2.0)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_quick_call()
