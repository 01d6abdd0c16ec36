"""What pytest adds to tcltest files, in same-run ratios:

- per item: one pytest over 2,000 trivial tcltest tests in 20 files against
  one over 2,000 trivial Python tests (the plugin off), processor time
  (target: at most 1.25 times);
- on 40 of Tcl 8.6's own test files (when make conformance has fetched
  them): pytest over them against the files run one by one by a tclsh that
  loads TclX, plus pytest's own cost for as many trivial Python items; the
  target is pytest <= tclsh + 1.15 x that cost, printed as the ratio of
  pytest's extra time to that cost (at most 1.15);
- for reference, pytest against tclsh on 40 files of quick tests.

The tclsh is make conformance's (build/conformance/tclsh-tclx), else the
system's tclsh with TclX required before the file. Runs are interleaved;
each figure is the median (wall) or least (processor time) of three. The
pytest runs write bytecode as users' do, whatever PYTHONDONTWRITEBYTECODE
says here.
"""

import glob
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TCLSH_TCLX = os.path.join(ROOT, "build", "conformance", "tclsh-tclx")
CORE = glob.glob(os.path.join(ROOT, "build", "conformance", "src", "tcl8.6-*", "tests"))
# Quick core files that pass alike through both (a spread of kinds).
CORE_FILES = ["append.test", "apply.test", "binary.test", "case.test", "cmdIL.test", "compExpr.test",
              "concat.test", "dict.test", "error.test", "eval.test", "expr-old.test", "for.test",
              "foreach.test", "format.test", "if.test", "incr.test", "info.test", "join.test",
              "lindex.test", "linsert.test", "list.test", "lmap.test", "lrange.test", "lreplace.test",
              "lsearch.test", "lset.test", "namespace.test", "parse.test", "proc.test", "regexp.test",
              "rename.test", "scan.test", "split.test", "string.test", "subst.test", "switch.test",
              "upvar.test", "var.test", "while.test", "llength.test"]
REPEAT = 3
CORE_TARGET = 1.15
ITEM_TARGET = 1.25
# pytest as users run it: writing bytecode.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}

SYNTHETIC = r"""package require tcltest
namespace import ::tcltest::*
testConstraint never 0
proc fib {n} {expr {$n < 2 ? $n : [fib [expr {$n - 1}]] + [fib [expr {$n - 2}]]}}
foreach n {0 1 2 3 4 5 6 7 8 9} {
    test fib-$n {a computed name} {fib $n} [lindex {0 1 1 2 3 5 8 13 21 34} $n]
}
for {set i 0} {$i < 80} {incr i} {
    test plain-$i {a quick test} -body {string repeat x [expr {$i % 7}]} -result [string repeat x [expr {$i % 7}]]
}
for {set i 0} {$i < 10} {incr i} {
    test skipped-$i {skipped for a constraint} never {set a 1} 1
}
cleanupTests
"""

TRIVIAL = r"""package require tcltest
namespace import ::tcltest::*
for {set i 0} {$i < 100} {incr i} {
    test trivial-$i {a trivial test} {expr 1} 1
}
cleanupTests
"""


def tclsh_command():
    if os.access(TCLSH_TCLX, os.X_OK):
        return [TCLSH_TCLX], None
    prelude = "package require Tclx\nset argv0 [lindex $argv 0]\nset argv {}\nset argc 0\nsource $argv0\n"
    return [shutil.which("tclsh8.6") or "tclsh"], prelude


def timed(command, cwd):
    started = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(ENV, HOME=cwd))
    return time.perf_counter() - started


def measure(title, directory, files, items=0, target=CORE_TARGET):
    """pytest over the files against tclsh running them one by one; with
    `items`, also pytest's extra time against its own cost for as many
    trivial Python tests."""
    tclsh, prelude = tclsh_command()
    if prelude is not None:
        with open(os.path.join(directory, "prelude.tcl"), "w") as f:
            f.write(prelude)
        tclsh = tclsh + [os.path.join(directory, "prelude.tcl")]
    _ini(directory)
    pytest = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c",
              os.path.join(directory, "pytest.ini"), "--rootdir", directory] + files
    ours, base, trivial = [], [], []
    for _ in range(REPEAT):
        base.append(sum(timed(tclsh + [name], directory) for name in files))
        ours.append(timed(pytest, directory))
        if items:
            trivial.append(timed(_trivial_pytest(directory, items), directory))
    ours, base = statistics.median(ours), statistics.median(base)
    ratio = ours / base
    print("%-58s %7.2f s vs %7.2f s  ratio %5.2fx  (for reference)" % (title, ours, base, ratio), flush=True)
    if not items:
        return 0.0
    cost = statistics.median(trivial)
    extra = (ours - base) / cost
    print("%-58s %7.2f s vs %7.2f s  ratio %5.2fx  (target <= %.2fx) %s"
          % ("  pytest - tclsh / pytest on %d trivial Python tests" % items, ours - base, cost, extra, target,
             "ok" if extra <= target else "OVER TARGET"), flush=True)
    return extra


def _trivial_pytest(directory, items):
    path = os.path.join(directory, "test_trivial_%d.py" % items)
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.write(PYTHON_TESTS % items)
    return [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:korvex_tcl", "-c",
            os.path.join(directory, "pytest.ini"), "--rootdir", directory, path]


PYTHON_TESTS = """
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_it(i):
    assert i >= 0
"""


def cpu_seconds(command, cwd):
    """The processor time (user and system) of a run: pytest's thread and a
    tcltest file's thread take turns, so it is the work done, whatever else
    the machine runs meanwhile."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(ENV, HOME=cwd))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def measure_per_item(directory, files, items, target=ITEM_TARGET):
    """One pytest over the tcltest files (`items` items, collection included)
    against one pytest over as many trivial Python tests with the plugin off."""
    _ini(directory)
    with open(os.path.join(directory, "test_trivial.py"), "w") as f:
        f.write(PYTHON_TESTS % items)
    common = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c",
              os.path.join(directory, "pytest.ini"), "--rootdir", directory]
    ours, base = [], []
    for _ in range(REPEAT):  # interleaved; the least of each (others only add to it)
        ours.append(cpu_seconds(common + files, directory))
        base.append(cpu_seconds(common + ["-p", "no:korvex_tcl", "test_trivial.py"], directory))
    os.unlink(os.path.join(directory, "test_trivial.py"))
    for name in glob.glob(os.path.join(directory, "__pycache__")):
        shutil.rmtree(name)
    ours, base = min(ours), min(base)
    ratio = ours / base
    print("%-58s %7.2f s vs %7.2f s  ratio %5.2fx  (target <= %.2fx) %s"
          % ("pytest: %d tcltest items / %d Python tests (CPU)" % (items, items), ours, base, ratio, target,
             "ok" if ratio <= target else "OVER TARGET"), flush=True)
    return ratio <= target


def main():
    print("(pytest writes bytecode, as users run it; PYTHONDONTWRITEBYTECODE is %s here)"
          % ("set" if os.environ.get("PYTHONDONTWRITEBYTECODE") else "not set"))
    with tempfile.TemporaryDirectory(prefix="bench-tcltest-") as directory:
        files = []
        for n in range(20):
            name = "trivial%02d.test" % n
            with open(os.path.join(directory, name), "w") as f:
                f.write(TRIVIAL)
            files.append(name)
        ok = measure_per_item(directory, files, 100 * len(files))
    with tempfile.TemporaryDirectory(prefix="bench-tcltest-") as directory:
        files = []
        for n in range(40):
            name = "synthetic%02d.test" % n
            with open(os.path.join(directory, name), "w") as f:
                f.write(SYNTHETIC)
            files.append(name)
        # pytest's own cost per test (about a millisecond) against tests that
        # take microseconds: a bound of what the plugin adds, not a target.
        measure("pytest vs tclsh: 40 files of 100 quick tests", directory, files)
    if CORE:
        with tempfile.TemporaryDirectory(prefix="bench-tcltest-core-") as directory:
            tests = os.path.join(directory, "tests")
            shutil.copytree(CORE[0], tests)
            files = [name for name in CORE_FILES if os.path.exists(os.path.join(tests, name))]
            items = _count_items(tests, files)
            extra = measure("pytest vs tclsh: %d of Tcl 8.6's own files" % len(files), tests, files, items=items)
            ok = ok and extra <= CORE_TARGET
    else:
        print("(Tcl 8.6's own test files not fetched: make conformance fetches them)")
    return 0 if ok else 1


def _ini(directory):
    with open(os.path.join(directory, "pytest.ini"), "w") as f:
        f.write("[pytest]\ntcltest_files = *.test\n")


def _count_items(directory, files):
    """How many items pytest collects from the files."""
    _ini(directory)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "--collect-only", "-p", "no:cacheprovider",
                             "-c", os.path.join(directory, "pytest.ini"), "--rootdir", directory] + files,
                            cwd=directory, capture_output=True, text=True, env=dict(ENV, HOME=directory))
    return sum(1 for line in result.stdout.splitlines() if "::" in line)


if __name__ == "__main__":
    sys.exit(main())
