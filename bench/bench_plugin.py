"""What the installed pytest plugin adds to a pytest run that uses no Tcl:
the same run with the plugin on and with `-p no:korvex_tcl`. The other
installed plugins are turned off in both runs: they take most of a run's
time here (hypothesis alone most of a second), and their spread would bury
the few milliseconds measured."""

import os
import resource
import subprocess
import sys
import tempfile

from common import report_extra

TESTS = """
import pytest

@pytest.mark.parametrize("i", range(%d))
def test_it(i):
    assert i >= 0
"""


def other_plugins():
    from importlib.metadata import entry_points

    names = {ep.name for ep in entry_points(group="pytest11")} - {"korvex_tcl"}
    return [arg for name in sorted(names) for arg in ("-p", "no:" + name)]


def pytest_seconds(path, *options):
    """The CPU time (user and system) of a pytest run: on a machine shared with
    other work, the wall-clock time of a process start says more of the others."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *options, path],
                   check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def bench_run_without_tcl(tests, repeat):
    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "test_no_tcl.py")
        with open(path, "w") as f:
            f.write(TESTS % tests)
        others = other_plugins()
        on, off = [], []
        for _ in range(repeat):  # interleaved, so that drift hits both alike
            on.append(pytest_seconds(path, *others))
            off.append(pytest_seconds(path, *others, "-p", "no:korvex_tcl"))
    # The least of each: the work is the same each time, other processes only add to it.
    report_extra("pytest run of %d test%s without Tcl: plugin on / off" % (tests, "" if tests == 1 else "s"),
                 min(on), min(off), 0.015)


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_run_without_tcl(1, repeat=31)
    bench_run_without_tcl(500, repeat=21)
