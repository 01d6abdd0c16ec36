"""Loading TclX into each interpreter: the package scan of auto_path done once
per process without taking it from anything else, and a missing TclX, shown
by hiding it from a subprocess in a mount namespace of its own."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import tkinter

import pytest

from korvex.tcl.interpreter import Interpreter

# A Tcl package directory whose index records each time the package unknown
# handler reads it.
PROBE_INDEX = """\
lappend ::kx_scanned $dir
package ifneeded kxprobe 1.0 [list package provide kxprobe 1.0]
"""


@pytest.fixture
def probe(tmp_path, monkeypatch):
    """A package `kxprobe` on the auto_path of interpreters made from now on."""
    (tmp_path / "kxprobe").mkdir()
    (tmp_path / "kxprobe" / "pkgIndex.tcl").write_text(PROBE_INDEX)
    monkeypatch.setenv("TCLLIBPATH", str(tmp_path))
    return tmp_path


def test_tclx_is_loaded_without_reading_the_package_indexes(probe):
    interp = Interpreter()
    assert interp.eval("package provide Tclx") == "8.4"
    assert interp.eval("keylset k a.b 1; keylget k a.b") == "1"
    assert interp.eval("info exists ::kx_scanned") == "0"


def test_the_first_package_require_still_reads_every_index(probe):
    interp = Interpreter()
    assert interp.eval("package require kxprobe") == "1.0"
    assert interp.eval("set ::kx_scanned") == str(probe / "kxprobe")


def test_package_names_after_an_unknown_package_are_those_of_plain_tcl(probe):
    interp = Interpreter()
    with pytest.raises(tkinter.TclError, match="can't find package kx_no_such"):
        interp.eval("package require kx_no_such")
    plain = tkinter.Tcl()
    plain.eval("package require Tclx")
    plain.eval("catch {package require kx_no_such}")
    ours = set(interp.tk.splitlist(interp.eval("package names")))
    assert "kxprobe" in ours
    assert ours == set(plain.tk.splitlist(plain.eval("package names")))


def run_python(code, env=None):
    """stdout of `code` run by a new Python process (its words)."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_the_first_interpreter_of_a_process_loads_tclx_without_the_scan_too(probe):
    # It sources only the index that declares Tclx; the scan still runs at
    # the first look at the package database.
    assert run_python("""
        import korvex.tcl
        from korvex.tcl.interpreter import Interpreter
        print(korvex.tcl.eval("info exists ::kx_scanned"), Interpreter().eval("info exists ::kx_scanned"))
        print(korvex.tcl.eval("package require kxprobe"), korvex.tcl.eval("llength $::kx_scanned"))
    """) == ["0", "0", "1.0", "1"]


@pytest.mark.parametrize("version, chosen", [("8.5", "8.5"), ("8.3", "8.4")])
def test_the_first_interpreter_chooses_the_tclx_the_scan_would(tmp_path, monkeypatch, version, chosen):
    # Another index declaring Tclx, read after the installed one: the highest
    # version of all wins, as in tclsh.
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "pkgIndex.tcl").write_text(
        "package ifneeded Tclx %s [list package provide Tclx %s]\n" % (version, version))
    monkeypatch.setenv("TCLLIBPATH", str(tmp_path))
    tclsh = shutil.which("tclsh")
    if tclsh:
        expected = subprocess.run([tclsh], input="puts [package require Tclx]\n", capture_output=True, text=True,
                                  timeout=60)
        assert expected.stdout.split() == [chosen]
    assert run_python("""
        import korvex.tcl
        print(korvex.tcl.eval("package provide Tclx"), korvex.tcl.eval("lsort [package versions Tclx]"))
    """) == [chosen] + sorted([version, "8.4"])


@pytest.mark.parametrize("scanned_by", ["first", "later"])
@pytest.mark.parametrize("same_auto_path", [True, False])
def test_package_require_in_a_later_interpreter_takes_what_the_first_scan_declared(probe, tmp_path,
                                                                                   same_auto_path, scanned_by):
    # Once the package scan has run in some interpreter (the first one or a
    # later one), an interpreter started from the auto_path that scan read
    # loads a package it found without reading every index again; the scan
    # still runs at the first look at the package database. From another
    # auto_path, the require runs the scan itself.
    other = tmp_path / "other"
    other.mkdir()
    assert run_python("""
        import os, korvex.tcl
        from korvex.tcl.interpreter import Interpreter
        scanner = korvex.tcl if %r == "first" else Interpreter()
        scanner.eval("package names")
        if %r:
            os.environ["TCLLIBPATH"] += " " + %r
        interp = Interpreter()
        print(interp.eval("package require kxprobe"), interp.eval("info exists ::kx_scanned"),
              interp.eval("expr {{kxprobe} in [package names]}"), interp.eval("llength $::kx_scanned"))
    """ % (scanned_by, not same_auto_path, str(other))) == ["1.0", "0" if same_auto_path else "1", "1", "1"]


READ_AUTO_PATH = """
import sys, korvex.tcl
from korvex.tcl.interpreter import Interpreter
if sys.argv[2] == "scanned":
    korvex.tcl.eval("package names")
interp = Interpreter()
print(interp.eval("list $auto_path"))
print(interp.eval("info exists ::kx_scanned"))
interp.eval(sys.argv[1])
print(interp.eval("list $auto_path"))
print(interp.eval("lsort [package names]") == korvex.tcl.eval("lsort [package names]"))
"""


@pytest.mark.parametrize("then", ["llength [package names]", "lappend auto_path /kx/extra",
                                  "package require kxprobe", "set auto_path [linsert $auto_path 0 /kx/head]"])
def test_a_later_interpreter_reads_auto_path_without_the_scan(probe, then):
    # Once a scan has run from the same auto_path, reading auto_path (as
    # every `namespace import` does) gives what the scan would leave, without
    # the scan; what comes after gives what it gives when that read ran the
    # scan itself (the scan's directories once each).
    def run(first):
        result = subprocess.run([sys.executable, "-c", READ_AUTO_PATH, then, first], capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()

    settled, scanning = run("scanned"), run("not scanned")
    assert settled[1] == "0" and scanning[1] == "1"
    assert settled[::2] == scanning[::2]
    assert settled[3] == scanning[3] == "True"
    assert "/kx/extra" not in settled[0] and "tcllib" in settled[0]


def test_a_later_interpreter_scans_itself_while_no_scan_has_run(probe):
    assert run_python("""
        from korvex.tcl.interpreter import Interpreter
        interp = Interpreter()
        print(interp.eval("package require kxprobe"), interp.eval("llength $::kx_scanned"))
    """) == ["1.0", "1"]


def test_interpreters_made_in_many_threads_at_once_load_tclx(probe):
    failures = []

    def make():
        try:
            for _ in range(10):
                with Interpreter() as interp:
                    assert interp.eval("package provide Tclx") == "8.4"
                    assert interp.eval("package require kxprobe") == "1.0"
        except BaseException as exc:  # reported below, in the test's thread
            failures.append(exc)

    threads = [threading.Thread(target=make) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# -- without TclX ---------------------------------------------------------------

SENTENCE = ("korvex.tcl needs TclX, which this Tcl cannot load: install it (on Debian: apt-get install tclx8.4), "
            "or run plain Tcl: KORVEX_TCL_TCLX=0, Interpreter(tclx=False), korvex-tcl --no-tclx, "
            "pytest --tcl-tclx=no (ini: tcl_tclx = no)")


def tclx_directories():
    """The directories on Tcl's auto_path whose package index declares Tclx."""
    tcl = tkinter.Tcl()
    found = set()
    for base in tcl.tk.splitlist(tcl.eval("set auto_path")):
        for index in [os.path.join(base, "pkgIndex.tcl")] + glob.glob(os.path.join(base, "*", "pkgIndex.tcl")):
            try:
                with open(index, errors="replace") as f:
                    text = f.read()
            except OSError:
                continue
            if re.search(r"package\s+ifneeded\s+Tclx\b", text):
                found.add(os.path.dirname(os.path.abspath(index)))
    return sorted(found)


def _namespaces_work():
    if not shutil.which("unshare") or not shutil.which("mount"):
        return False
    with tempfile.TemporaryDirectory() as tmp:
        probe = subprocess.run(["unshare", "-rm", "mount", "--bind", tmp, tmp], capture_output=True)
    return probe.returncode == 0


needs_namespaces = pytest.mark.skipif(not _namespaces_work(),
                                      reason="no private mount namespaces here (unshare -rm)")

# A shell that bind-mounts an empty directory over each directory named after
# "--" and then runs the command after them: what the process sees of the
# file system, and only it.
HIDE = 'empty=$1; shift; while [ "$1" != -- ]; do mount --bind "$empty" "$1" || exit 97; shift; done; shift; exec "$@"'


def without_tclx(tmp_path, *command, cwd=None):
    empty = tmp_path / "empty"
    empty.mkdir(exist_ok=True)
    dirs = tclx_directories()
    assert dirs, "TclX is not installed where this Tcl looks for packages"
    return subprocess.run(["unshare", "-rm", "sh", "-c", HIDE, "hide", str(empty), *dirs, "--", *command],
                          capture_output=True, text=True, timeout=180, cwd=cwd)


@needs_namespaces
def test_hiding_leaves_tcl_without_tclx(tmp_path):
    result = without_tclx(tmp_path, sys.executable, "-c",
                          "import tkinter; print(tkinter.Tcl().eval('catch {package require Tclx} m; set m'))")
    assert result.stdout.strip() == "can't find package Tclx", result.stderr


@needs_namespaces
def test_importing_the_package_without_tclx_is_one_clear_import_error(tmp_path):
    code = """
        import tkinter
        for attempt in (1, 2):
            try:
                import korvex.tcl
            except ImportError as exc:
                print(type(exc).__name__, isinstance(exc, tkinter.TclError), sep="|")
                print(exc)
                cause = exc.__cause__
                print(type(cause).__module__, type(cause).__name__, cause, exc.__context__ is cause, sep="|")
            else:
                print("imported")
    """
    result = without_tclx(tmp_path, sys.executable, "-c", textwrap.dedent(code))
    assert result.returncode == 0, result.stderr
    report = ["TclxLoadError|True", SENTENCE, "_tkinter|TclError|can't find package Tclx|True"]
    assert result.stdout.splitlines() == report * 2

    result = without_tclx(tmp_path, sys.executable, "-c", "import korvex.tcl")
    assert result.returncode == 1
    lines = result.stderr.strip().splitlines()
    assert lines[0] == "_tkinter.TclError: can't find package Tclx"
    assert "The above exception was the direct cause of the following exception:" in lines
    assert lines[-1] == "korvex.tcl.interpreter.TclxLoadError: " + SENTENCE


@needs_namespaces
def test_an_interpreter_made_after_tclx_went_fails_the_same_way(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    code = """
        import subprocess, sys
        from korvex.tcl.interpreter import Interpreter, TclxLoadError
        for d in sys.argv[2:]:
            subprocess.run(["mount", "--bind", sys.argv[1], d], check=True)
        try:
            Interpreter()
        except TclxLoadError as exc:
            print(exc)
            print(type(exc.__cause__).__name__, "tclx.tcl" in str(exc.__cause__))
    """
    result = subprocess.run(["unshare", "-rm", sys.executable, "-c", textwrap.dedent(code), str(empty),
                             *tclx_directories()], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [SENTENCE, "TclError True"]


PLAIN_TESTS = """
import sys

def test_plain():
    assert "korvex.tcl_testing.pytest_plugin" in sys.modules  # the plugin is on
    assert "korvex.tcl" not in sys.modules and "_tkinter" not in sys.modules

def test_fails_without_tcl():
    assert 0
"""

FIXTURE_TESTS = """
def test_new(tcl):
    pass

def test_shared(tcl_shared):
    pass

def test_session(tcl_session):
    pass
"""


@needs_namespaces
def test_pytest_without_tclx_passes_tests_without_tcl_and_errors_those_with_fixtures(tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    (project / "test_plain.py").write_text(PLAIN_TESTS)
    command = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "no:hypothesispytest", "-q", "-rA"]

    result = without_tclx(tmp_path, *command, "test_plain.py::test_plain", cwd=project)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 passed" in result.stdout

    result = without_tclx(tmp_path, *command, "test_plain.py", cwd=project)
    assert result.returncode == 1
    assert "1 failed, 1 passed" in result.stdout
    assert "Tcl history" not in result.stdout

    (project / "test_with_fixtures.py").write_text(FIXTURE_TESTS)
    result = without_tclx(tmp_path, *command, cwd=project)
    assert result.returncode == 1
    assert "1 failed, 1 passed, 3 errors" in result.stdout
    for name in ("test_new", "test_shared", "test_session"):
        assert "ERROR test_with_fixtures.py::%s - korvex.tcl.interpreter.Tclx" % name in result.stdout
    assert result.stdout.count("E   korvex.tcl.interpreter.TclxLoadError: " + SENTENCE) == 3, result.stdout


# The package database and auto_path as tclsh+TclX has them once started
# (the package scan has run), and how later changes interact with it.
PACKAGE_SCRIPTS = {
    "names": "puts [lsort [package names]]",
    "versions": "puts [package versions Thread]; puts [package ifneeded Thread [package versions Thread]]",
    "auto_path tail": "puts [lrange $auto_path end-2 end]",
    "lappend then names": "lappend auto_path {DIR}; puts [expr {{kxprobe} in [package names]}]; "
                          "puts [package require kxprobe]",
    "override before use": "package ifneeded Thread [package versions Thread] {package provide Thread 0}; "
                           "puts [package ifneeded Thread [package versions Thread]]",
    "own unknown handler": "package unknown {apply {args {puts called}}}; puts [package require Thread]",
    "present only": "puts [package present Tclx]; puts [package require Tcl 8.6]; puts [info exists ::kx_scanned]",
}


FIRST_INTERPRETER = r"""
import sys
from korvex.tcl.interpreter import _global_interpreter as interp
interp.eval("rename puts kx_puts; proc puts {s} {append ::kx_out $s \\n}")
interp.eval(sys.argv[1])
sys.stdout.write(interp.eval("set ::kx_out"))
"""


@pytest.mark.parametrize("interpreter", ["first", "later"])
@pytest.mark.parametrize("case", sorted(PACKAGE_SCRIPTS))
def test_package_database_is_that_of_tclsh_with_tclx(tmp_path, case, interpreter):
    (tmp_path / "kxprobe").mkdir()
    (tmp_path / "kxprobe" / "pkgIndex.tcl").write_text(PROBE_INDEX)
    script = PACKAGE_SCRIPTS[case].replace("{DIR}", str(tmp_path))
    tclsh = shutil.which("tclsh")
    if not tclsh:
        pytest.skip("no tclsh")
    expected = subprocess.run([tclsh], input="package require Tclx\n" + script + "\n", capture_output=True,
                              text=True, timeout=60)
    assert expected.returncode == 0, expected.stderr
    if interpreter == "first":
        result = subprocess.run([sys.executable, "-c", FIRST_INTERPRETER, script], capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout == expected.stdout
        return
    interp = Interpreter()
    try:
        interp.eval("rename puts kx_puts; proc puts {s} {append ::kx_out $s \\n}")
        interp.eval(script)
        assert interp.eval("set ::kx_out") == expected.stdout
    finally:
        interp.close()


# -- the plain-Tcl switches on a machine without TclX ------------------------------

# The console's script binary beside this Python (pip's script for korvex-tcl).
KORVEX_TCL = os.path.join(os.path.dirname(sys.executable), "korvex-tcl")
SHOW = ("puts [list [package provide Tclx] [llength [info commands keylset]] $argv]\n"
        "puts [exec [info nameofexecutable] << {puts [list child [package provide Tclx]]}]\n")


@needs_namespaces
@pytest.mark.parametrize("console", [[KORVEX_TCL], [sys.executable, "-m", "korvex.tcl"],
                                     [sys.executable, "-mkorvex.tcl"]])
@pytest.mark.parametrize("how", ["file", "-c", "--python"])
def test_the_console_without_tclx_runs_plain_tcl_with_no_tclx(tmp_path, console, how):
    (tmp_path / "show.tcl").write_text(SHOW)
    env_free = ["env", "-u", "KORVEX_TCL_TCLX", "HOME=%s" % tmp_path]
    if how == "--python":
        args = ["--no-tclx", "--python"]
        (tmp_path / "in").write_text(
            "print(interp.eval('package provide Tclx') == '', korvex.tcl.eval('package provide Tclx') == '')\n")
        result = without_tclx(tmp_path, *env_free, "sh", "-c", 'exec "$@" < in', "console", *console, *args,
                              cwd=tmp_path)
        assert "True True" in result.stdout + result.stderr, result.stderr
        return
    args = ["--no-tclx", "show.tcl", "a"] if how == "file" else ["--no-tclx", "-c", SHOW, "a"]
    result = without_tclx(tmp_path, *env_free, *console, *args, cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == ("{} 0 a\nchild {}\n", "", 0)


@needs_namespaces
@pytest.mark.parametrize("console", [[KORVEX_TCL], [sys.executable, "-m", "korvex.tcl"]])
def test_the_console_without_tclx_says_so_in_one_line_naming_every_switch(tmp_path, console):
    (tmp_path / "show.tcl").write_text(SHOW)
    result = without_tclx(tmp_path, "env", "-u", "KORVEX_TCL_TCLX", *console, "show.tcl", cwd=tmp_path)
    assert (result.stdout, result.returncode) == ("", 1)
    assert result.stderr == "korvex-tcl: %s\n" % SENTENCE
    for switch in ("--tcl-tclx=no", "tcl_tclx", "korvex-tcl --no-tclx", "KORVEX_TCL_TCLX=0"):
        assert switch in SENTENCE
    # Help and a command line the console refuses need no TclX.
    assert without_tclx(tmp_path, *console, "--help", cwd=tmp_path).stdout.startswith("usage:")
    refused = without_tclx(tmp_path, *console, "--bogus", cwd=tmp_path)
    assert refused.returncode == 2 and refused.stderr.endswith("error: unrecognized option: --bogus\n")


COVERED_TESTS = """
import os

def test_lib(tcl, tcl_shared):
    tcl.eval("source " + os.path.join(os.path.dirname(__file__), "lib", "double.tcl"))
    assert tcl.eval("double 4") == "8"
    assert tcl_shared.eval("info commands keylset") == ""
    assert tcl_shared.eval("package provide Tclx") == tcl.eval("package provide Tclx") == ""
"""
DOUBLE = "proc double {x} {\n    if {$x > 10} {\n        return big\n    }\n    expr {$x * 2}\n}\n"


def _covered_project(root):
    root.mkdir()
    (root / "lib").mkdir()
    (root / "lib" / "double.tcl").write_text(DOUBLE)
    (root / "test_lib.py").write_text(COVERED_TESTS)
    (root / ".coveragerc").write_text("[run]\nplugins = korvex.tcl.coverage_plugin\n")
    return root


@pytest.mark.parametrize("hidden", [False, pytest.param(True, marks=needs_namespaces)])
@pytest.mark.parametrize("setting", [["--tcl-tclx=no"], ["-o", "tcl_tclx=no"], ["--tcl-tclx=no", "-n", "2"]])
def test_pytest_cov_with_the_coverage_plugin_keeps_plain_tcl_everywhere(tmp_path, hidden, setting):
    pytest.importorskip("pytest_cov")
    if "-n" in setting:
        pytest.importorskip("xdist")
    project = _covered_project(tmp_path / "project")
    command = ["env", "-u", "KORVEX_TCL_TCLX", sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q",
               *setting, "--cov=lib", "--cov-report=term-missing"]
    if hidden:
        result = without_tclx(tmp_path, *command, cwd=project)
    else:
        result = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=project)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"lib/double\.tcl\s+4\s+1\s+75%\s+3$", result.stdout, re.M), result.stdout
    assert "1 passed" in result.stdout and "TclxLoadError" not in result.stdout + result.stderr


def test_a_shared_interpreter_made_before_pytest_read_the_setting_is_said(tmp_path):
    pytest.importorskip("pytest_cov")
    project = _covered_project(tmp_path / "project")
    # coverage.py started before pytest imports korvex.tcl to load its plugin.
    result = subprocess.run(["env", "-u", "KORVEX_TCL_TCLX", sys.executable, "-m", "coverage", "run", "-m",
                             "pytest", "-p", "no:cacheprovider", "-q", "--tcl-tclx=no"],
                            capture_output=True, text=True, timeout=300, cwd=project)
    assert "1 failed" in result.stdout  # the shared interpreter has TclX
    assert ("--tcl-tclx=no does not reach the shared interpreter (korvex.tcl.eval, tcl_shared): korvex.tcl was "
            "imported before pytest read its options, and made it with TclX; set KORVEX_TCL_TCLX=0 in the "
            "environment of the run instead") in result.stdout
