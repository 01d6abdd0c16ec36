"""Console start-up: `korvex-tcl FILE` running a one-line script (`puts hi`)
against the same Python making a plain Tcl interpreter (`python -c 'import
tkinter; tkinter.Tcl()'`), as a ratio measured in the same interleaved
rounds; also against tclsh running the same file and a tclsh that loads TclX
first (what the console's interpreter does). Suites that `exec [interpreter]`
pay this per sub-process.

Python runs as a user's does: with bytecode writing on (the environment's
PYTHONDONTWRITEBYTECODE is dropped for the runs; after the first run every
module loads from its cached bytecode). The bench says which it measured.

The phases below the rows are processes that stop earlier on the same way
(medians, same rounds): each one's time less the one before is what that
phase adds."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TARGET_RATIO = 1.6  # korvex-tcl FILE / python -c 'import tkinter; tkinter.Tcl()'
TARGET_MS = 30.0  # the earlier absolute target, shown for reference

PYTHON = sys.executable


def environment():
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # as users run it
    return env


def run_time(argv, env):
    t0 = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, env=env)
    return time.perf_counter() - t0


def console_command():
    """The installed `korvex-tcl` script beside this Python, else `python -m korvex.tcl`."""
    script = os.path.join(os.path.dirname(PYTHON), "korvex-tcl")
    return [script] if os.access(script, os.X_OK) else [PYTHON, "-m", "korvex.tcl"]


def interleaved(commands, env, repeat):
    times = {name: [] for name in commands}
    for argv in commands.values():  # once first: bytecode written, caches warm
        run_time(argv, env)
    for _ in range(repeat):  # interleaved: drift in the machine's speed hits all alike
        for name, argv in commands.items():
            times[name].append(run_time(argv, env))
    return {name: statistics.median(t) for name, t in times.items()}


def bench_console_start(repeat=31):
    env = environment()
    tclsh = shutil.which("tclsh")
    print("bytecode writing: %s (PYTHONDONTWRITEBYTECODE %s here, dropped for these runs)"
          % ("on" if "PYTHONDONTWRITEBYTECODE" not in env else "off",
             "set" if os.environ.get("PYTHONDONTWRITEBYTECODE") else "not set"))
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "hi.tcl")
        with open(script, "w") as f:
            f.write("puts hi\n")
        tclx_script = os.path.join(tmp, "hi_tclx.tcl")
        with open(tclx_script, "w") as f:
            f.write("package require Tclx\nputs hi\n")
        commands = {
            "console": console_command() + [script],
            "tkinter": [PYTHON, "-c", "import tkinter; tkinter.Tcl()"],
            # The phases, each process stopping later on the console's way.
            "python": [PYTHON, "-c", "pass"],
            "plain": [PYTHON, "-c", "import os; os.environ['KORVEX_TCL_TCLX'] = '0'; import korvex.tcl"],
            "tclx": [PYTHON, "-c", "import korvex.tcl"],
            "imported": [PYTHON, "-c", "import korvex.tcl.console"],
        }
        if tclsh:
            commands["tclsh"] = [tclsh, script]
            commands["tclsh_tclx"] = [tclsh, tclx_script]
        t = interleaved(commands, env, repeat)
    ours, base = t["console"], t["tkinter"]
    ratio = ours / base
    print("%-58s %9.1f ms vs %9.1f ms  ratio %5.2fx  (target <= %.2fx) %s"
          % ("korvex-tcl FILE / python -c 'import tkinter; tkinter.Tcl()'", ours * 1e3, base * 1e3, ratio,
             TARGET_RATIO, "ok" if ratio <= TARGET_RATIO else "OVER TARGET"))
    print("%-58s %9.1f ms  (earlier target <= %.0f ms, for reference)"
          % ("korvex-tcl FILE (puts hi)", ours * 1e3, TARGET_MS))
    if tclsh:
        for title, name in (("korvex-tcl FILE / tclsh FILE", "tclsh"),
                            ("korvex-tcl FILE / tclsh FILE loading TclX first", "tclsh_tclx")):
            print("%-58s %9.1f ms vs %9.1f ms  ratio %5.2fx  (for reference)"
                  % (title, ours * 1e3, t[name] * 1e3, ours / t[name]))
    print("phases of korvex-tcl FILE (medians of whole processes; each less the one before):")
    steps = (("python start (python -c pass)", "python"),
             ("imports, Tcl_CreateInterp and Tcl_Init (KORVEX_TCL_TCLX=0)", "plain"),
             ("TclX: declared, loaded, its library read", "tclx"),
             ("the console's imports", "imported"),
             ("the run: launcher, argv, the file, exit", "console"))
    before = 0.0
    for title, name in steps:
        print("  %-56s %9.1f ms  +%5.1f ms" % (title, t[name] * 1e3, (t[name] - before) * 1e3))
        before = t[name]


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_console_start()
