"""An interpreter whose last reference goes (or which is closed) in a thread
other than its own is handed back to its owner thread, which deletes it when
it next runs Tcl: at its next package call, or from its Tcl event loop. Tcl
aborts the process when an interpreter is deleted from another thread; a
handed-back interpreter whose owner has ended is never freed. Each case runs
in a subprocess."""

import subprocess
import sys
import textwrap

import pytest

SETUP = """
import gc, queue, sys, threading, time, weakref
from korvex.tcl import Interpreter

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 1e6

class Callback:
    def __call__(self):
        return "called"

def wait_for(condition, seconds=10):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
"""


def run(code, timeout=120):
    result = subprocess.run([sys.executable, "-c", SETUP + textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split()


@pytest.mark.memory
@pytest.mark.parametrize("how", ["dropped", "closed"])
@pytest.mark.parametrize("owner_runs", ["package calls", "its event loop"])
def test_memory_stays_flat_over_many_drops_while_the_owner_runs_tcl(how, owner_runs):
    out = run("""
        handed, turn = queue.Queue(), queue.Queue()
        how, owner_runs = %r, %r

        def owner():
            mine = Interpreter()
            made = []
            while True:
                # Made in batches, so the owner's own Interpreter() (itself a
                # package call) is not what deletes the dropped ones.
                if not made:
                    made = [Interpreter() for _ in range(10)]
                    for interp in made:
                        interp.create_callback(Callback(), cmd_name="cb")
                        interp.eval("cb")
                handed.put(made.pop())
                if turn.get() is None:
                    break
                if owner_runs == "package calls":
                    mine.eval("set a 1")
                else:
                    mine.tk.call("update")  # _tkinter's own: no package call
            made.clear()
            mine.close()

        t = threading.Thread(target=owner)
        t.start()
        sizes = []
        for k in range(300):
            interp = handed.get()
            if how == "closed":
                interp.close()
            del interp
            gc.collect()
            turn.put(True)
            if k in (50, 299):
                sizes.append(rss_mb())
        handed.get()
        turn.put(None)
        t.join(60)
        print(not t.is_alive(), sizes[1] - sizes[0] < 30)
    """ % (how, owner_runs))
    assert out == ["True", "True"]


def test_an_owner_waiting_in_its_event_loop_deletes_them_there():
    # The owner never makes a package call again: Tcl's event loop wakes it
    # (its callbacks, with the rest of the interpreter, go only then).
    out = run("""
        handed = queue.Queue()
        callbacks = []

        def owner():
            mine = Interpreter()
            for _ in range(5):
                interp = Interpreter()
                callback = Callback()
                callbacks.append(weakref.ref(callback))
                interp.create_callback(callback, cmd_name="cb")
                # The deletion's own Tcl work services the event loop again.
                interp.eval("trace add command cb delete {apply {args {update}}}")
                handed.put(interp)
                del interp, callback
            handed.put(None)
            mine.tk.call("vwait", "::forever")

        threading.Thread(target=owner, daemon=True).start()
        got = []
        while (interp := handed.get()) is not None:
            got.append(interp)
        got.clear()
        gc.collect()
        print(wait_for(lambda: all(ref() is None for ref in callbacks)))
    """)
    assert out == ["True"]


def test_closed_from_another_thread_while_the_owner_evaluates():
    # Closing from elsewhere stops nothing in progress; the owner's running
    # evaluation finishes, and the interpreter goes at its next call.
    out = run("""
        ready, release = threading.Event(), threading.Event()
        box, outcome = [], []

        def owner():
            interp = Interpreter()
            mine = Interpreter()
            callback = Callback()
            box.append(weakref.ref(callback))
            interp.create_callback(lambda: (ready.set(), release.wait(30), "done")[2], cmd_name="hold")
            interp.create_callback(callback, cmd_name="cb")
            del callback
            box.append(interp)
            outcome.append(interp.eval("hold"))
            del interp
            outcome.append(box[0]() is not None)  # still there: its evaluation just ended
            mine.eval("set a 1")
            outcome.append(box[0]() is None)

        t = threading.Thread(target=owner)
        t.start()
        ready.wait(30)
        box.pop().close()
        release.set()
        t.join(60)
        print(*outcome)
    """)
    assert out == ["done", "True", "True"]


def test_an_ended_owner_leaves_them_alone():
    # Nothing can delete them any more: kept for good, never an abort.
    out = run("""
        made = []
        def owner():
            for _ in range(20):
                interp = Interpreter()
                interp.create_callback(Callback(), cmd_name="cb")
                made.append(interp)
        t = threading.Thread(target=owner)
        t.start()
        t.join(60)
        for interp in made[:10]:
            interp.close()
        made.clear()
        gc.collect()
        survivor = Interpreter()
        print(survivor.eval("set a fine"))
    """)
    assert out == ["fine"]
