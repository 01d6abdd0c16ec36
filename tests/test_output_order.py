"""Tcl's and Python's standard output and error reach a pipe in the order
written: each case runs in a Python of its own whose stdout and stderr are
pipes (so both sides buffer as in `python t.py | tee log` or a CI log)."""

import os
import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["pytester"]

PRELUDE = """\
import io, sys, threading
from korvex.tcl import Interpreter
i = Interpreter()
def say(text, stream="stdout", end="\\n"):
    print(text, end=end, file=getattr(sys, stream))
i.createcommand("say", say)
"""

# (script, expected stdout, expected stderr)
CASES = {
    "print-puts": ("""
        print("p1"); i.eval("puts t1"); print("p2"); i.eval("puts t2"); print("p3")
        """, "p1 t1 p2 t2 p3", ""),
    "stderr": ("""
        say("p1", "stderr", end=""); i.eval("puts stderr t1"); say("p2", "stderr", end="")
        i.eval("puts -nonewline stderr t2"); say("p3", "stderr")
        """, "", "p1t1 p2t2p3"),
    "callback between puts": ("""
        i.eval("puts t1; say p1; puts t2; say p2 stderr; puts stderr t3; say p3")
        """, "t1 p1 t2 p3", "p2 t3"),
    "line without its end": ("""
        i.eval("puts -nonewline t1"); print("p1"); i.eval("puts -nonewline t2; say p2; puts t3")
        """, "t1p1 t2p2 t3", ""),
    "fully buffered channel": ("""
        i.eval("fconfigure stdout -buffering full"); print("p1"); i.eval("puts t1")
        print("p2"); i.eval("puts t2; say p3; puts t3")
        """, "p1 t1 p2 t2 p3 t3", ""),
    "stdout replaced": ("""
        print("p1"); real = sys.stdout; sys.stdout = io.StringIO(); print("hidden")
        i.eval("puts t1"); kept = sys.stdout.getvalue(); sys.stdout = real; print(kept.strip())
        """, "p1 t1 hidden", ""),
    "tkinter's own calls": ("""
        print("p1"); i.tk.eval("puts t1"); print("p2"); i.tk.call("puts", "t2"); print("p3")
        """, "p1 t1 p2 t2 p3", ""),
    "interpreter in a thread": ("""
        def work():
            j = Interpreter(); print("p1"); j.eval("puts t1"); print("p2"); j.eval("puts t2")
        th = threading.Thread(target=work); th.start(); th.join(); print("p3")
        """, "p1 t1 p2 t2 p3", ""),
}


def run(script, **kw):
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)  # Python's stdout fully buffered to the pipe
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                          timeout=120, **kw)


def words(text):
    return " ".join(text.split())


@pytest.mark.parametrize("script, out, err", CASES.values(), ids=list(CASES))
def test_order_written(script, out, err):
    r = run(PRELUDE + textwrap.dedent(script))
    assert r.returncode == 0, r.stderr
    assert (words(r.stdout), words(r.stderr)) == (out, err)


def test_channels_look_as_in_tkinter(tmp_path):
    # The transform is invisible to scripts: options, position, exec's
    # redirection to stdout, closing.
    target = tmp_path / "out.txt"
    script = textwrap.dedent("""
        import sys, tkinter
        if sys.argv[1] == "ours":
            from korvex.tcl import Interpreter
            tk = Interpreter().tk
        else:
            tk = tkinter.Tcl().tk
        tk.eval("puts abc")
        opts = tk.eval("list [fconfigure stdout] [fconfigure stderr] [tell stdout]")
        tk.eval("exec echo from-exec >@ stdout")
        tk.eval("close stdout")
        print(opts, file=sys.stderr)
        """)
    results = []
    for which in ("ours", "plain"):
        with open(target, "w") as f:
            env = dict(os.environ)
            env.pop("PYTHONUNBUFFERED", None)
            r = subprocess.run([sys.executable, "-c", script, which], stdout=f, stderr=subprocess.PIPE,
                               text=True, env=env, timeout=120)
        assert r.returncode == 0, r.stderr
        results.append((target.read_text(), r.stderr))
    assert results[0] == results[1]
    assert results[0][0] == "abc\nfrom-exec\n"


def test_pytest_s_to_a_pipe(pytester, monkeypatch):
    pytester.makepyfile(textwrap.dedent("""
        from korvex.tcl import Interpreter

        def test_it():
            i = Interpreter()
            print("p1")
            i.eval("puts t1")
            print("p2")
            i.eval("puts t2")
        """))
    monkeypatch.delenv("PYTHONUNBUFFERED", raising=False)
    result = pytester.runpytest_subprocess("-s", "-q", "-p", "no:cacheprovider")
    lines = [line for line in result.outlines if line.strip() in ("p1", "p2", "t1", "t2")]
    assert [line.strip() for line in lines] == ["p1", "t1", "p2", "t2"]
