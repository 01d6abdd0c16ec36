"""close() ends what Expect spawned from the interpreter as the end of a
script does: the pty is closed, so a spawned process sees end of file and a
hangup, and Tcl reaps it."""

import time

import pytest

from korvex.tcl import Interpreter


def state(pid):
    """The process's state letter, or None once it is gone (reaped)."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0]
    except FileNotFoundError:
        return None


@pytest.mark.parametrize("command", ["sleep 30", "cat", "bash --norc --noprofile -i"])
def test_close_ends_spawned_processes(command):
    interp = Interpreter()
    try:
        interp.eval("package require Expect")
    except Exception as exc:  # pragma: no cover - the suite installs Expect
        pytest.skip("Expect does not load: %s" % exc)
    pid = interp.eval("spawn -noecho %s" % command)
    interp.eval("set kept [spawn -noecho sleep 30]; exp_close; exp_wait")  # already closed and reaped
    assert state(pid) not in (None, "Z")
    interp.close()
    deadline = time.monotonic() + 5
    while state(pid) not in (None, "Z") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert state(pid) in (None, "Z")
    Interpreter().eval("exec true")  # Tcl reaps what it was handed at its next exec
    assert state(pid) is None
