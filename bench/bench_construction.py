"""What a fresh interpreter costs: Interpreter() + close() against a plain
tkinter interpreter that loads TclX straight from its library, with the Tcl
packages installed here on auto_path and with 500 more; and the `tcl`
fixture's cost per test against tests that make such a plain interpreter
themselves."""

import os
import tempfile
import textwrap
import tkinter

from common import interleaved, report

SYNTHETIC_PACKAGES = 500


def tclx_load_script():
    """TclX's load script (`load <library> Tclx`), as Tcl's package index gives it."""
    tcl = tkinter.Tcl()
    version = tcl.eval("package require Tclx")
    return tcl.eval("package ifneeded Tclx %s" % version)


def has_tcllib():
    return tkinter.Tcl().eval("expr {![catch {package require struct::set}]}") == "1"


def synthetic_library(root, n):
    """`n` package directories, each with the pkgIndex.tcl of a package."""
    for i in range(n):
        d = os.path.join(root, "kxsyn%d" % i)
        os.mkdir(d)
        with open(os.path.join(d, "pkgIndex.tcl"), "w") as f:
            f.write("package ifneeded kxsyn%d 1.0 [list package provide kxsyn%d 1.0]\n" % (i, i))
    return root


def bench_new_interpreter(library):
    from korvex.tcl.interpreter import Interpreter

    load = tclx_load_script()

    def plain():
        tkinter.Tcl().tk.eval(load)

    def scanning():  # what `package require Tclx` costs a plain interpreter
        tkinter.Tcl().tk.eval("package require Tclx")

    def ours():
        Interpreter().close()

    def with_library(fn):
        def run():
            os.environ["TCLLIBPATH"] = library
            try:
                fn()
            finally:
                del os.environ["TCLLIBPATH"]
        return run

    with_library(lambda: Interpreter().eval("package require kxsyn%d" % (SYNTHETIC_PACKAGES - 1)))()
    t = interleaved({
        "plain": plain, "ours": ours, "scanning": scanning,
        "plain+": with_library(plain), "ours+": with_library(ours), "scanning+": with_library(scanning),
    }, number=30, repeat=11)
    where = "tcllib installed" if has_tcllib() else "tcllib absent"
    report("Interpreter() + close() / Tcl() + load TclX (%s)" % where, t["ours"], t["plain"], 1.25)
    report("  the same with %d more packages on auto_path" % SYNTHETIC_PACKAGES, t["ours+"], t["plain+"], 1.25)
    report("  Interpreter(): %d more packages / without" % SYNTHETIC_PACKAGES, t["ours+"], t["ours"], 1.10)
    report("  Tcl() + package require Tclx / + load TclX (%s)" % where, t["scanning"], t["plain"])
    report("  the same with %d more packages on auto_path" % SYNTHETIC_PACKAGES, t["scanning+"], t["plain+"])


TESTS = 500

FIXTURE_TESTS = """
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_it(tcl, i):
    pass
""" % TESTS

PLAIN_TESTS = """
import tkinter
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_it(i):
    tkinter.Tcl().tk.eval(%%r)
""" % TESTS

EMPTY_TESTS = """
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_it(i):
    pass
""" % TESTS


def pytest_seconds(path):
    """The CPU time of a pytest run (other installed plugins off: they only add
    to both sides, and their spread would hide the difference)."""
    from bench_plugin import other_plugins, pytest_seconds as cpu_seconds

    return cpu_seconds(path, *other_plugins())


def bench_fixture(repeat=3):
    with tempfile.TemporaryDirectory() as root:
        files = {}
        for name, text in (("fixture", FIXTURE_TESTS), ("plain", PLAIN_TESTS % tclx_load_script()),
                           ("empty", EMPTY_TESTS)):
            files[name] = os.path.join(root, "test_%s.py" % name)
            with open(files[name], "w") as f:
                f.write(textwrap.dedent(text))
        runs = {name: [] for name in files}
        for _ in range(repeat):
            for name, path in files.items():
                runs[name].append(pytest_seconds(path))
    t = {name: min(r) for name, r in runs.items()}
    per_test = {name: (t[name] - t["empty"]) / TESTS for name in ("fixture", "plain")}
    report("tcl fixture per test / Tcl() + load TclX in the test (%d tests)" % TESTS,
           per_test["fixture"], per_test["plain"], 1.30)
    report("  whole pytest run: %d tests with the fixture / making their own" % TESTS,
           t["fixture"], t["plain"])


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    with tempfile.TemporaryDirectory() as library:
        bench_new_interpreter(synthetic_library(library, SYNTHETIC_PACKAGES))
    bench_fixture()
