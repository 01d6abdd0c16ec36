"""The Tcl that test labs run, three ways against tclsh.

Each file in tests/lab/ is a scenario written for tclsh with one of the
extensions lab libraries build on (Expect, Thread, Itcl, TclOO, tdom, sqlite,
sockets, udp, tls, vfs, tcllib). Run through the API (an Interpreter sourcing
it), through ``korvex-tcl FILE`` and inside a pytest test, it must give what
tclsh gives: the same output, the same exit status and the same error text.
Two baselines: a tclsh that loads TclX before the file, as every interpreter
of the package does by default, and plain tclsh, for interpreters made without
TclX (KORVEX_TCL_TCLX=0)."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_console import TIMEOUT, _env

pytest_plugins = ["pytester"]

LAB = Path(__file__).parent / "lab"
SCENARIOS = sorted(p.name for p in LAB.glob("*.tcl"))
TCLSH = "tclsh"

# tclsh with TclX loaded before the script; the script's error is reported as
# tclsh reports it (without the frames of this wrapper).
_TCLX_TCLSH = r"""
package require Tclx
set argv0 [lindex $argv 0]
set argv [lrange $argv 1 end]
incr argc -1
if {[catch {uplevel #0 [list source $argv0]} msg opts]} {
    regsub {\n    invoked from within\n"source .*$} [dict get $opts -errorinfo] {} info
    puts stderr $info
    exit 1
}
"""

# The API way: source the file in a new Interpreter; an error prints its
# errorinfo as tclsh would and exits 1.
_API = r"""
import re, sys
from korvex.tcl import Interpreter, TclError
interp = Interpreter()
interp.set_var("argv0", sys.argv[1])
try:
    interp.call("source", sys.argv[1])
except TclError as exc:
    sys.stderr.write(re.sub(r'\n    invoked from within\n"source .*\Z', "", exc.errorinfo, flags=re.S) + "\n")
    sys.exit(1)
finally:
    interp.call("flush", "stdout")
"""


MODES = {"tclx": {}, "plain": {"KORVEX_TCL_TCLX": "0"}}


def _run(cmd, cwd, mode="tclx"):
    # Bytes as written: a pty's \r\n must not be read as a newline.
    result = subprocess.run(cmd, cwd=cwd, capture_output=True, timeout=TIMEOUT, env=_env(cwd, **MODES[mode]))
    return result.stdout.decode(), result.stderr.decode(), result.returncode


def _copy(name, where):
    where.mkdir(parents=True, exist_ok=True)
    (where / name).write_text((LAB / name).read_text(encoding="utf-8"), encoding="utf-8")
    return where


@pytest.fixture(scope="module")
def tclsh_says(tmp_path_factory):
    """What tclsh (with TclX, or plain) gives for a scenario, run once each."""
    seen = {}
    wrapper = tmp_path_factory.mktemp("tclsh") / "tclxsh.tcl"
    wrapper.write_text(_TCLX_TCLSH)

    def says(name, mode):
        if (name, mode) not in seen:
            cwd = _copy(name, tmp_path_factory.mktemp("tclsh"))
            seen[name, mode] = _run([TCLSH, *([str(wrapper)] if mode == "tclx" else []), name], cwd)
        return seen[name, mode]

    return says


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("way", ["api", "console"])
@pytest.mark.parametrize("name", SCENARIOS)
def test_scenario_as_in_tclsh(tmp_path, tclsh_says, name, way, mode):
    cmd = [sys.executable, "-c", _API, name] if way == "api" else [sys.executable, "-m", "korvex.tcl", name]
    got = _run(cmd, _copy(name, tmp_path), mode)
    assert got == tclsh_says(name, mode)


@pytest.mark.parametrize("mode", MODES)
def test_scenarios_in_pytest(pytester, tclsh_says, mode):
    """Every scenario inside a pytest test of its own, on the ``tcl`` fixture:
    its output captured by pytest, its error raised as the TclError tclsh
    reports."""
    expected = {name: tclsh_says(name, mode) for name in SCENARIOS}
    pytester.makefile(".json", cases=json.dumps({"lab": str(LAB), "expected": expected}))
    pytester.makepyfile(test_lab=r'''
        import json, re, shutil
        from pathlib import Path
        import pytest
        from tkinter import TclError

        CASES = json.loads(Path(__file__).with_name("cases.json").read_text())

        @pytest.mark.parametrize("name", sorted(CASES["expected"]))
        def test_scenario(tcl, name, tmp_path, monkeypatch, capfd):
            shutil.copy(Path(CASES["lab"], name), tmp_path / name)
            monkeypatch.chdir(tmp_path)
            stdout, stderr, status = CASES["expected"][name]
            tcl.set_var("argv0", name)
            try:
                tcl.call("source", name)
                error = ""
            except TclError as exc:
                error = re.sub(r'\n    invoked from within\n"source .*\Z', "", exc.errorinfo, flags=re.S) + "\n"
            tcl.call("flush", "stdout")
            assert (capfd.readouterr().out, error, 1 if error else 0) == (stdout, stderr, status)
    ''')
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", f"--tcl-tclx={'no' if mode == 'plain' else 'yes'}")
    result.assert_outcomes(passed=len(SCENARIOS))
