"""Tcl coverage on real library code: tcllib's json parser over a document of
300 elements, in an interpreter measuring the coverage of tcllib's json
directory against one that does not (target: at most twice as long).

tcllib comes from Debian's package (scripts/bootstrap installs it), else from
the sources make conformance fetched; without either the benchmark says so
and is skipped.
"""

import glob
import os
import sys

from common import interleaved, report

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def tcllib_json_dir():
    found = sorted(glob.glob("/usr/share/tcltk/tcllib*/json")) + sorted(
        glob.glob(os.path.join(ROOT, "build", "conformance", "src", "tcllib-*", "modules", "json")))
    for d in found:
        if os.path.exists(os.path.join(d, "json.tcl")) and os.path.exists(os.path.join(d, "pkgIndex.tcl")):
            return d
    return None


def document(n=300):
    items = ['{"id": %d, "name": "item %d", "tags": ["a", "b", "c"], "price": %d.5, "ok": %s, '
             '"nested": {"x": %d, "y": null}}' % (i, i, i, "true" if i % 2 else "false", i) for i in range(n)]
    return "[" + ",\n".join(items) + "]"


FIB = """proc fib {n} {
    if {$n < 2} {
        return $n
    }
    return [expr {[fib [expr {$n - 1}]] + [fib [expr {$n - 2}]]}]
}
"""
# The same with the counter Tcl itself offers, one before each command.
FIB_INCR = """array set ::c {}
proc fib {n} {
    incr ::c(1);if {$n < 2} {
        incr ::c(2);return $n
    }
    incr ::c(3);return [expr {[fib [expr {$n - 1}]] + [fib [expr {$n - 2}]]}]
}
"""


def worst_case():
    """fib: nothing but tiny commands, each line counted (for reference)."""
    import tempfile

    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.tclcoverage import Coverage, install

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fib.tcl")
        with open(path, "w") as f:
            f.write(FIB)
        plain, measured, incr = Interpreter(), Interpreter(), Interpreter()
        install(measured)
        with Coverage([tmp]):
            plain.eval("source " + path)
            measured.eval("source " + path)
            incr.eval(FIB_INCR)
            times = interleaved({name: (lambda i=i: i.eval("fib 18", record=False))
                                 for name, i in (("plain", plain), ("measured", measured), ("incr", incr))},
                                number=3, repeat=7)
    report("fib 18 (tiny commands only), coverage", times["measured"], times["plain"])
    report("fib 18, the counter command against incr ::c(N)", times["measured"], times["incr"])


def main():
    worst_case()
    directory = tcllib_json_dir()
    if directory is None:
        print("bench_coverage: skipped: tcllib's json is not here (install Debian's tcllib, "
              "or run make conformance)")
        return 0
    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.tclcoverage import Coverage, install

    plain, measured = Interpreter(), Interpreter()
    install(measured)
    load = "lappend ::auto_path %s; package require json" % os.path.dirname(directory)
    with Coverage([directory]) as cov:
        plain.eval(load)
        measured.eval(load)
        plain.set_var("doc", document())
        measured.set_var("doc", document())
        script = "llength [json::json2dict $doc]"
        assert plain.eval(script) == measured.eval(script) == "300"
        times = interleaved({"plain": lambda: plain.eval(script, record=False),
                             "measured": lambda: measured.eval(script, record=False)}, number=3, repeat=7)
    data = cov.data()
    lines = sum(len(f.lines) for f in data.values())
    run = sum(len(f.run) for f in data.values())
    report("json::json2dict, 300 elements, coverage of tcllib json", times["measured"], times["plain"], 2.0)
    print("  (%d files measured, %d of %d lines run)" % (len(data), run, lines))
    return 0 if times["measured"] <= 2.0 * times["plain"] else 1


if __name__ == "__main__":
    sys.exit(main())
