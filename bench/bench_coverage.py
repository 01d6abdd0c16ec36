"""Tcl coverage on real library code: tcllib's json parser over a document of
300 elements, in an interpreter measuring the coverage of tcllib's json
directory against one that does not (target: at most 1.3 times as long;
with the arms of branches counted too, 1.6 times);
what coverage.py's plugin adds at each context switch (pytest-cov's
--cov-context=test makes three a test); the reading of files nobody sourced
(tcllib's struct) to list them at 0 %.

tcllib comes from Debian's package (scripts/bootstrap installs it), else from
the sources make conformance fetched; without either the benchmark says so
and is skipped.
"""

import glob
import os
import statistics
import sys
import time

from common import interleaved, per_call, report, report_extra

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
    report("json::json2dict, 300 elements, coverage of tcllib json", times["measured"], times["plain"], 1.3)
    print("  (%d files measured, %d of %d lines run)" % (len(data), run, lines))
    branch_ratio = with_branches(directory, load)
    context_switches(directory, load)
    never_sourced(os.path.join(os.path.dirname(directory), "struct"))
    return 0 if times["measured"] <= 1.3 * times["plain"] and branch_ratio <= 1.6 else 1


def with_branches(directory, load):
    """The same with the arms of if and switch counted too (coverage.py's --cov-branch)."""
    from korvex.tcl.interpreter import Interpreter
    from korvex.tcl.tclcoverage import Coverage, install

    plain, measured = Interpreter(), Interpreter()
    install(measured)
    with Coverage([directory], branch=True):
        plain.eval(load)
        measured.eval(load)
        plain.set_var("doc", document())
        measured.set_var("doc", document())
        script = "llength [json::json2dict $doc]"
        assert plain.eval(script) == measured.eval(script) == "300"
        times = interleaved({"plain": lambda: plain.eval(script, record=False),
                             "measured": lambda: measured.eval(script, record=False)}, number=3, repeat=7)
    return report("json::json2dict, 300 elements, lines and branches", times["measured"], times["plain"], 1.6)


def context_switches(directory, load):
    """coverage.py's switch_context with and without the Tcl plugin taking
    the counters (tcllib json sourced and run in between)."""
    try:
        import coverage
    except ImportError:
        print("bench_coverage: context switches skipped: coverage.py is not installed")
        return
    from korvex.tcl.interpreter import Interpreter

    results = {}
    for name, plugins in (("plain", []), ("plugin", ["korvex.tcl.coverage_plugin"])):
        cov = coverage.Coverage(data_file=None, config_file=False, source=[directory])
        cov.set_option("run:plugins", plugins)
        cov.start()
        try:
            with Interpreter() as interp:
                interp.eval(load)
                interp.set_var("doc", document(20))
                interp.eval("json::json2dict $doc")
                spent = []
                for i in range(60):  # each switch after a run that moved the counters
                    interp.eval("json::json2dict $doc", record=False)
                    t0 = time.perf_counter()
                    cov.switch_context("test %d" % i)
                    spent.append(time.perf_counter() - t0)
                results[name] = statistics.median(spent)
        finally:
            cov.stop()
    report_extra("coverage.py switch_context, Tcl plugin taking json's lines", results["plugin"], results["plain"],
                 0.001)


def never_sourced(directory):
    """Listing a directory nobody sourced at 0 %: every file parsed as it would be instrumented."""
    if not os.path.isdir(directory):
        return
    from korvex.tcl.tclcoverage import executable_files, file_layout

    def analyse():
        for path in executable_files([directory]):
            file_layout(path)

    files = len(executable_files([directory]))
    seconds = per_call(analyse, 1, repeat=3)
    print("%-58s %9.1f ms for %d files (for reference)" % ("never-sourced files: tcllib struct at 0 %", seconds * 1e3,
                                                          files))


if __name__ == "__main__":
    sys.exit(main())
