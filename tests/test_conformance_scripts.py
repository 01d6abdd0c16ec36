"""scripts/conformance and scripts/conformance-pytest, run on tiny source
trees of their shape (Tcl's headers from the system, one test file of ours in
each suite, Itcl's and Expect's written as theirs are, for the installed
packages), so that the scripts cannot rot unseen between the long runs of
make conformance."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADERS = "/usr/include/tcl8.6"

TINY = r"""package require tcltest
namespace import ::tcltest::*
proc max {a b} {expr {$a > $b ? $a : $b}}
test tiny-1 {a proc named as a TclX command} {max 2 3} 3
test tiny-2 {a failure} {list a} b
test tiny-3 {skipped} -constraints knownBug -body {} -result {}
cleanupTests
"""

# As Itcl's own files start: the package comes from the harness's -load script.
TINY_ITCL = r"""package require tcltest 2.2
namespace import ::tcltest::test
::tcltest::loadTestedCommands
test tiny-1 {itcl loaded by loadTestedCommands, the tests' directory known} {
    list [llength [info commands ::itcl::class]] [file exists [file join [::tcltest::testsDirectory] tiny.test]]
} {1 1}
test tiny-2 {a failure} {list a} b
test tiny-3 {skipped} -constraints knownBug -body {} -result {}
::tcltest::cleanupTests
"""

# As Expect's own files start: the library loaded from the build directory
# (loading it a second time under another name would fail).
TINY_EXPECT = r"""if {[lsearch [namespace children] ::tcltest] == -1} {
    package require tcltest
    namespace import ::tcltest::test ::tcltest::cleanupTests
}
load [lindex [glob libexpect*.so] 0]
test tiny-1 {Expect's commands} {llength [info commands exp_spawn]} 1
test tiny-2 {a failure} {list a} b
test tiny-3 {skipped} -constraints knownBug -body {} -result {}
cleanupTests
"""

# The tree each suite's file goes in under src/, the file, and the package
# its harness needs installed.
SUITES = {
    "tcl": ("tcl8.6-0/tests", TINY, None),
    "itcl": ("itcl4-0/tests", TINY_ITCL, "itcl"),
    "expect": ("expect-0/tests", TINY_EXPECT, "Expect"),
}

pytestmark = pytest.mark.skipif(not os.path.exists(os.path.join(HEADERS, "tcl.h")),
                                reason="no Tcl headers in %s (tcl8.6-dev)" % HEADERS)


def installed(package):
    """Whether a package index of the Tcl that korvex.tcl uses declares the
    package (asked in a process of its own, whatever loading it does: a plain
    tkinter cannot load Expect, whose library takes Tcl's symbols from the
    process)."""
    code = ("import tkinter; t = tkinter.Tcl(); t.eval('catch {package require %s}'); "
            "print(t.eval('package versions %s'))" % (package, package))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return bool(result.stdout.strip())


@pytest.fixture
def work(tmp_path):
    """A working directory holding Tcl "sources", one test file in each
    suite's tree."""
    (tmp_path / "src" / "tcl8.6-0").mkdir(parents=True)
    (tmp_path / "src" / "tcl8.6-0" / "generic").symlink_to(HEADERS)
    (tmp_path / "src" / "tcllib-0" / "modules").mkdir(parents=True)
    for directory, text, _ in SUITES.values():
        (tmp_path / "src" / directory).mkdir(parents=True)
        (tmp_path / "src" / directory / "tiny.test").write_text(text)
    return tmp_path


@pytest.mark.parametrize("suite", list(SUITES))
@pytest.mark.parametrize("script, args", [
    pytest.param("conformance-pytest", ["--suite", "{suite}"], marks=pytest.mark.tcltest_items),
    pytest.param("conformance-pytest", ["--suite", "{suite}", "--no-tclx"], marks=pytest.mark.tcltest_items),
    ("conformance", ["--no-tclx"]),
])
def test_the_script_compares_a_file(work, suite, script, args):
    package = SUITES[suite][2]
    if package is not None and not installed(package):
        pytest.skip("%s's harness needs the package %s installed" % (suite, package))
    env = dict(os.environ, KX_CONFORMANCE_DIR=str(work))
    name = suite + "/tiny.test"
    result = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", script),
                             *[arg.format(suite=suite) for arg in args], "--only", name],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 files: 1 the same, 0 different as expected, 0 different unexpectedly" in result.stdout
    row = next(line for line in result.stdout.splitlines() if line.startswith(name))
    assert row.split()[1:9] == ["3", "1", "1", "1"] * 2, row
