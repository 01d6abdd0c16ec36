"""zelph of many short strings, special characters among them, against Tcl's
own list formatting of the same tuple (tk.setvar, then the variable's text)."""

import os
import random
import tkinter

from common import interleaved, report


def items(n=100000, seed=1):
    rnd = random.Random(seed)
    pool = "abcdefghij xyz{}[]$;\\\"#\t\n\u00e9\u3000"
    words = ["plain", "two words", "{braced}", "$var", "a\\b", "x{", "\u00e9t\u00e9", "",
             "#c", "[cmd]", "10", "3.5"]
    out = []
    for _ in range(n):
        if rnd.random() < 0.5:
            out.append(rnd.choice(words))
        else:
            out.append("".join(rnd.choice(pool) for _ in range(rnd.randint(1, 10))))
    return tuple(out)


def bench_zelph():
    from korvex.tcl.zelph import zelph

    tk = tkinter.Tcl().tk
    data = items()
    assert tk.splitlist(zelph(data)) == data

    def tcl_format():
        tk.setvar("L", data)
        return tk.eval("set L")

    t = interleaved({"zelph": lambda: zelph(data), "tcl": tcl_format}, number=5)
    report("zelph(100000 short strings) / Tcl list formatting", t["zelph"], t["tcl"], 0.5)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_zelph()
