"""scripts/conformance and scripts/conformance-pytest, run on a tiny source
tree of their shape (Tcl's headers from the system, one test file of ours),
so that the scripts cannot rot unseen between the long runs of make
conformance."""

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

pytestmark = pytest.mark.skipif(not os.path.exists(os.path.join(HEADERS, "tcl.h")),
                                reason="no Tcl headers in %s (tcl8.6-dev)" % HEADERS)


@pytest.fixture
def work(tmp_path):
    """A working directory holding Tcl "sources" with one core test file."""
    tcl = tmp_path / "src" / "tcl8.6-0"
    (tcl / "tests").mkdir(parents=True)
    (tcl / "generic").symlink_to(HEADERS)
    (tcl / "tests" / "tiny.test").write_text(TINY)
    (tmp_path / "src" / "tcllib-0" / "modules").mkdir(parents=True)
    return tmp_path


@pytest.mark.parametrize("script, args", [
    ("conformance-pytest", ["--suite", "tcl"]),
    ("conformance-pytest", ["--suite", "tcl", "--no-tclx"]),
    ("conformance", ["--no-tclx"]),
])
def test_the_script_compares_a_file(work, script, args):
    env = dict(os.environ, KX_CONFORMANCE_DIR=str(work))
    result = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", script), *args, "--only", "tcl/tiny.test"],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 files: 1 the same, 0 different as expected, 0 different unexpectedly" in result.stdout
    row = next(line for line in result.stdout.splitlines() if line.startswith("tcl/tiny.test"))
    assert row.split()[1:9] == ["3", "1", "1", "1"] * 2, row
