"""The console as tclsh: a script file evaluated as tclsh evaluates it, commands
piped in run by tclsh's own loop, and info nameofexecutable naming a program
that runs Tcl as the console does. The expected texts are what tclsh 8.6
prints for the same input."""

import os
import subprocess
import sys

import pytest

from korvex.tcl import Interpreter
from korvex.tcl.console import main

from test_console import CONSOLE, TIMEOUT, _env

# name: (script, stdout, stderr, status); the file is case.tcl, run with the
# arguments "a b" in the directory {dir}.
FILES = {
    "frames": (
        "puts [info frame]\nputs [info level]\nputs [info frame 0]\n"
        "proc p {} {puts [info frame 0]; puts [info frame -1]; puts [info level 0]}\np\n"
        "puts [info script]\nputs [list $argv0 $argc $argv $tcl_interactive]\n",
        "1\n0\ntype source line 3 file {dir}/case.tcl cmd {{info frame 0}} level 0\n"
        "type source line 4 file {dir}/case.tcl cmd {{info frame 0}} proc ::p level 0\n"
        "type source line 5 file {dir}/case.tcl cmd p level 1\np\ncase.tcl\ncase.tcl 2 {{a b}} 0\n", "", 0),
    "error in a procedure": (
        "puts before\nproc f {} {\n    error boom\n}\nf\nputs after\n",
        "before\n", 'boom\n    while executing\n"error boom"\n    (procedure "f" line 2)\n'
        '    invoked from within\n"f"\n    (file "case.tcl" line 5)\n', 1),
    "return -code error": (
        "puts a\nreturn -code error xyz\nputs b\n",
        "a\n", 'xyz\n    while executing\n"return -code error xyz"\n    (file "case.tcl" line 2)\n', 1),
    "bad code": (
        "return -code 5 xyz\n",
        "", 'command returned bad code: 5\n    while executing\n"return -code 5 xyz"\n'
        '    (file "case.tcl" line 1)\n', 1),
    "break": (
        "puts a\nbreak\n",
        "a\n", 'invoked "break" outside of a loop\n    while executing\n"break"\n    (file "case.tcl" line 2)\n', 1),
    "return": ("puts a\nreturn\nputs b\n", "a\n", "", 0),
    "closed stderr": ("close stderr\nerror ERROR\n", "", "", 1),
    "exit redefined": (
        'rename exit _exit\nproc exit {args} {puts "exit $args"; _exit {*}$args}\nputs hi\n',
        "hi\nexit 0\n", "", 0),
    "exit redefined, error": (
        'rename exit _exit\nproc exit {args} {puts "exit $args"; _exit {*}$args}\nerror boom\n',
        "exit 1\n", 'boom\n    while executing\n"error boom"\n    (file "case.tcl" line 3)\n', 1),
    "byte order mark and ^Z": ("\ufeffputs a\n\x1aputs b\n", "a\n", "", 0),
    "nested source": (
        "set f [open inner.tcl w]\n"
        "puts $f {puts [info frame]; puts [info script]; puts [dict get [info frame 0] line]}\n"
        "close $f\nsource inner.tcl\nputs [info script]\n",
        "2\ninner.tcl\n1\ncase.tcl\n", "", 0),
    "recursion depth": ("set d 0\nproc r {} {incr ::d; r}\ncatch r\nputs $d\n", "999\n", "", 0),
    "uplevel": (
        "proc p {} {uplevel 1 {set x [info level]}; return [info level]}\nputs [p]\nputs $x\n",
        "1\n0\n", "", 0),
}


def run_console(cwd, *args, input=None, merged=False, env=None):
    return subprocess.run([*CONSOLE, *args], input=input, cwd=cwd, text=True, timeout=TIMEOUT,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else subprocess.PIPE,
                          env=env or _env(cwd))


@pytest.mark.parametrize("name", FILES)
def test_file_runs_as_in_tclsh(tmp_path, name):
    script, stdout, stderr, status = FILES[name]
    (tmp_path / "case.tcl").write_text(script, encoding="utf-8")
    result = run_console(tmp_path, "case.tcl", "a", "b")
    assert (result.stdout, result.stderr, result.returncode) == (stdout.format(dir=tmp_path), stderr, status)


def test_file_with_a_nul_character(tmp_path):
    # _tkinter cannot evaluate a NUL: such a file is sourced instead.
    (tmp_path / "nul.tcl").write_bytes(b'puts [string length "a\0b"]\nputs [info script]\n')
    result = run_console(tmp_path, "nul.tcl")
    assert (result.stdout, result.stderr, result.returncode) == ("3\nnul.tcl\n", "", 0)


def test_encoding_option(tmp_path):
    (tmp_path / "latin.tcl").write_bytes('puts [string length "\u00e9t\u00e9"]\n'.encode("iso8859-1"))
    result = run_console(tmp_path, "-encoding", "iso8859-1", "latin.tcl")
    assert (result.stdout, result.returncode) == ("3\n", 0)


# name: (input, stdout and stderr together, status), as tclsh 8.6 gives them.
PIPED = {
    "prompts": (
        'set tcl_prompt1 {puts -nonewline stdout "one "}\nset tcl_prompt2 {puts -nonewline stdout "two "}\n'
        "set tcl_interactive 1\nputs {This is\n a test}\n",
        "1\none two This is\n a test\none ", 0),
    "tcl_interactive is a boolean": (
        "set tcl_interactive foo\nputs $tcl_interactive\nset tcl_interactive yes\nputs $tcl_interactive\n",
        'can\'t set "tcl_interactive": variable must have boolean value\n0\nyes\n% yes\n% ', 0),
    "non-blocking stdin": ("chan configure stdin -blocking 0\nputs SUCCESS\n", "SUCCESS\n", 0),
    "closed stdin": ("set tcl_interactive 1\nclose stdin\nputs never\n", "1\n% ", 0),
    "prompt error": (
        "set tcl_prompt1 {error foo}\nset tcl_interactive 1\nset errorInfo\n",
        '1\nfoo\n% foo\n    while executing\n"error foo"\n    (script that generates prompt)\nfoo\n% ', 0),
    "errors": (
        "puts a\nerror boom\nproc p {} {error inner}\np\nputs [lindex $errorInfo 0]\nputs b\nproc q {\n",
        "a\nboom\ninner\ninner\nb\n", 0),
    "history": ("set a 1\nset b 2\nputs [history event -1]\n", "set b 2\n", 0),
    "compiled as a whole": (
        "interp recursionlimit {} 200\n"
        "proc a {max} {if {[info level] < $max} {set ::depth [info level]; a $max} else {regexp {^ ?} x}}\n"
        "catch {a 201}\nset depth2 $depth\nputs [list [a $depth] [expr {$depth2 - $depth}]]\n"
        "puts [info frame]\nerror foo\nputs $errorInfo\nbreak\nputs $errorInfo\n",
        '1 1\n1\nfoo\nfoo\n    while executing\n"error foo"\ninvoked "break" outside of a loop\n'
        'invoked "break" outside of a loop\n    while executing\n"break"\n', 0),
    "results when interactive": (
        "expr {1+1}\nset tcl_interactive 1\nexpr {2+2}\nset e {}\nerror x\n", "1\n% 4\n% % x\n% ", 0),
}


@pytest.mark.parametrize("name", PIPED)
def test_piped_commands_run_as_in_tclsh(tmp_path, name):
    commands, output, status = PIPED[name]
    result = run_console(tmp_path, input=commands, merged=True)
    assert (result.stdout, result.returncode) == (output, status)


# --- info nameofexecutable --------------------------------------------------------

PARENT = r"""
set f [open child.tcl w]
puts $f {puts "child [lindex $argv 0] [info nameofexecutable] [info frame]"}
close $f
puts [exec [info nameofexecutable] child.tcl x]
puts [list [catch {exec [info nameofexecutable] << {puts "piped $argv0"; error oops}} m] $m]
package require tcltest
puts [expr {[tcltest::interpreter] eq [info nameofexecutable]}]
"""


def test_nameofexecutable_runs_files_and_piped_commands(tmp_path):
    (tmp_path / "parent.tcl").write_text(PARENT)
    result = run_console(tmp_path, "parent.tcl")
    assert result.returncode == 0, result.stderr
    child, piped, same = result.stdout.replace("\noops", "\\noops").splitlines()
    program = child.split()[2]
    assert program != sys.executable and os.access(program, os.X_OK)
    assert child == "child x %s 1" % program
    assert piped == "1 {piped korvex-tcl\\noops}"  # the error's message on stderr, as from tclsh
    assert same == "1"


@pytest.mark.skipif(bool(os.environ.get("KX_SANITIZED")),
                    reason="env -i drops the preloaded sanitizer runtimes the modules need")
def test_nameofexecutable_passes_the_environment_unchanged(tmp_path):
    # Nothing of the launcher or of Python shows in the child's environment,
    # and with no locale set Tcl's system encoding is tclsh's.
    script = ('puts [exec env -i [info nameofexecutable] << '
              '{puts [list [array get env] [encoding system] [chan configure stdout -encoding]]}]\n')
    (tmp_path / "env.tcl").write_text(script)
    result = run_console(tmp_path, "env.tcl")
    assert (result.stdout, result.returncode) == ("{} iso8859-1 iso8859-1\n", 0)


def test_no_locale_is_tclsh_s(tmp_path):
    # Python puts LC_CTYPE into the environment for a C locale; tclsh sees none.
    env = {k: v for k, v in _env(tmp_path).items() if not k.startswith(("LC_", "LANG"))}
    result = run_console(tmp_path, "-c", "puts [list [info exists env(LC_CTYPE)] [encoding system]]", env=env)
    assert (result.stdout, result.returncode) == ("0 iso8859-1\n", 0)


def test_main_in_process_puts_the_executable_back(capfd):
    before = Interpreter().eval("info nameofexecutable")
    encoding = Interpreter().eval("encoding system")
    assert main(["-c", "puts [file tail [info nameofexecutable]]"]) == 0
    assert capfd.readouterr().out == "korvex-tcl\n"
    assert Interpreter().eval("info nameofexecutable") == before
    assert Interpreter().eval("encoding system") == encoding


@pytest.mark.parametrize("shebang_max", [127, 0], ids=["python", "sh"])
def test_launcher(tmp_path, monkeypatch, shebang_max):
    # Python itself where the "#!" line can name it, else a shell script.
    from korvex.tcl_testing import tclsh as _tclsh

    monkeypatch.setattr(_tclsh, "_SHEBANG_MAX", shebang_max)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    path = _tclsh.launcher()
    assert path.startswith(str(tmp_path / "cache" / "korvex-tcl")) and path.endswith("/korvex-tcl")
    with open(path) as f:
        assert f.readline() == ("#!/bin/sh\n" if shebang_max == 0 else "#!%s\n" % sys.executable)
    assert os.stat(os.path.dirname(path)).st_mode & 0o077 == 0
    assert _tclsh.launcher() == path  # found again, not written again
    (tmp_path / "f.tcl").write_text("puts [list $argv0 $argv]\n")
    result = subprocess.run([path, "f.tcl", "x y"], cwd=tmp_path, capture_output=True, text=True, timeout=TIMEOUT)
    assert (result.stdout, result.returncode) == ("f.tcl {{x y}}\n", 0)
    result = subprocess.run([path], input="puts $argv0\n", cwd=tmp_path, capture_output=True, text=True,
                            timeout=TIMEOUT)
    assert (result.stdout, result.returncode) == ("korvex-tcl\n", 0)


# Launchers left in the cache: (python, package root, with TclX, age in days,
# another file beside it) and whether a new launcher's writing removes them.
OLD_LAUNCHERS = {
    "deleted venv's python": ("{tmp}/gone-venv/bin/python", "{root}", True, 0, False, True),
    "removed package": ("{python}", "{tmp}/gone-root", False, 0, False, True),
    "replaced long ago": ("{python}", "{root}", True, 2, False, True),
    "replaced just now": ("{python}", "{root}", True, 0, False, False),
    "the other mode": ("{python}", "{root}", False, 2, False, False),
    "another live python": ("/bin/sh", "{root}", True, 2, False, False),
    "not ours alone": ("{tmp}/gone-venv/bin/python", "{root}", True, 0, True, False),
}


@pytest.mark.parametrize("shebang_max", [127, 0], ids=["python", "sh"])
def test_writing_a_launcher_prunes_those_nothing_runs_any_more(tmp_path, monkeypatch, shebang_max):
    import time

    from korvex.tcl_testing import tclsh as _tclsh

    monkeypatch.setattr(_tclsh, "_SHEBANG_MAX", shebang_max)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    base = tmp_path / "cache" / "korvex-tcl"
    base.mkdir(parents=True, mode=0o700)
    names = {}
    for n, (case, (python, root, tclx, days, other, _)) in enumerate(sorted(OLD_LAUNCHERS.items())):
        fill = dict(tmp=tmp_path, root=_tclsh._ROOT, python=sys.executable)
        text = _tclsh._launcher_text(python.format(**fill), root.format(**fill), tclx)
        if case.startswith("replaced"):  # an older package's text for the same Python and root
            text = text.replace("sys.exit(main())", "main(); sys.exit(0)")
        names[case] = directory = base / ("%016x" % (n + 1))
        directory.mkdir(mode=0o700)
        (directory / "korvex-tcl").write_text(text)
        if other:
            (directory / "notes.txt").write_text("mine")
        then = time.time() - days * 86400
        os.utime(directory / "korvex-tcl", (then, then))
    (base / "ffffffffffffffff").mkdir()  # no launcher in it
    path = _tclsh.launcher()
    left = {case for case, directory in names.items() if directory.exists()}
    assert left == {case for case, spec in OLD_LAUNCHERS.items() if not spec[-1]}
    assert os.path.exists(path) and (base / "ffffffffffffffff").exists()
    # Only writing a launcher looks: finding it again costs no listing.
    monkeypatch.setattr(_tclsh, "_prune", lambda *args: pytest.fail("pruned again"))
    assert _tclsh.launcher() == path


def test_launcher_without_a_writable_cache(tmp_path, monkeypatch):
    import tempfile

    from korvex.tcl_testing import tclsh as _tclsh

    (tmp_path / "file").write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "file"))  # not a directory
    monkeypatch.setattr(tempfile, "gettempdir", lambda: str(tmp_path / "tmp"))
    os.mkdir(tmp_path / "tmp")
    assert _tclsh.launcher() == str(tmp_path / "tmp" / ("korvex-tcl-%d" % os.getuid())) + \
        "/" + os.path.basename(os.path.dirname(_tclsh.launcher())) + "/korvex-tcl"
