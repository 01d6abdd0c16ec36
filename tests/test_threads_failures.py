"""Threads and failures together: nothing the bridge makes on first use may
freeze the process, and interpreters made and closed in several threads at
once never take the process down."""

import os
import subprocess
import sys
import textwrap

import pytest


def run(code, timeout=120):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split()


@pytest.mark.parametrize("attempt", range(3))
def test_first_failing_callbacks_in_two_threads_at_once(attempt):
    # The first failure of a process formats a traceback and asks about signal
    # handlers: whatever that makes on first use must not hold a lock of its
    # own while it gives up the GIL.
    out = run("""
        import threading
        from korvex.tcl import Interpreter
        start = threading.Barrier(2)
        results = []

        def work():
            interp = Interpreter()
            def fail():
                raise ValueError("bad")
            interp.create_callback(fail, cmd_name="fail")
            start.wait()
            results.append(interp.eval("catch fail msg; set msg"))
            interp.close()

        threads = [threading.Thread(target=work) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        print(len(results), all(r == "ValueError: bad" for r in results))
    """, timeout=30)
    assert out == ["2", "True"]


CHURN = """
    import sys, threading, time
    from korvex.tcl import Interpreter
    seconds = float(sys.argv[1])
    counts = []

    def churn():
        made = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            interp = Interpreter()
            interp.eval("signal trap SIGUSR1 {set a 1}")
            interp.close()
            made += 1
        counts.append(made)

    threads = [threading.Thread(target=churn) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(len(counts), min(counts) > 0)
"""


def test_interpreters_made_and_closed_in_four_threads():
    # TclX's table of interpreters for its signal support has no lock of its
    # own. Every start-up succeeds too (scripts/churn runs this for longer).
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(CHURN), "4"], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["4", "True"]


FUZZ_THREADS = os.path.join(os.path.dirname(__file__), "fuzz_threads.py")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_threads_failing_in_every_way(seed):
    """The threads generator of `make fuzz` with fixed seeds (see tests/fuzz_threads.py)."""
    result = subprocess.run([sys.executable, FUZZ_THREADS, str(seed), "200"], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-2000:])
    assert result.stdout.strip() == "survived"
