"""Console start-up: `korvex-tcl FILE` running a one-line script (`puts hi`)
against tclsh running the same file, and against a tclsh that loads TclX
first (what the console's interpreter does). Suites that `exec [interpreter]`
pay this per sub-process. The target is an absolute time (30 ms); the ratios
are printed for reference, all measured in the same interleaved rounds."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TARGET_MS = 30.0


def run_time(argv):
    t0 = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0


def console_command():
    """The installed `korvex-tcl` script beside this Python, else `python -m korvex.tcl`."""
    script = os.path.join(os.path.dirname(sys.executable), "korvex-tcl")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "korvex.tcl"]


def bench_console_start(repeat=21):
    tclsh = shutil.which("tclsh")
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "hi.tcl")
        with open(script, "w") as f:
            f.write("puts hi\n")
        tclx_script = os.path.join(tmp, "hi_tclx.tcl")
        with open(tclx_script, "w") as f:
            f.write("package require Tclx\nputs hi\n")
        ours, plain, with_tclx = [], [], []
        for _ in range(repeat):  # interleaved: drift in the machine's speed hits all alike
            ours.append(run_time(console_command() + [script]))
            if tclsh:
                plain.append(run_time([tclsh, script]))
                with_tclx.append(run_time([tclsh, tclx_script]))
    ours_t = statistics.median(ours)
    verdict = "ok" if ours_t * 1e3 <= TARGET_MS else "OVER TARGET"
    print("%-58s %9.1f ms  (target <= %.0f ms) %s" % ("korvex-tcl FILE (puts hi)", ours_t * 1e3, TARGET_MS, verdict))
    if tclsh:
        for title, base in (("korvex-tcl FILE / tclsh FILE", plain),
                            ("korvex-tcl FILE / tclsh FILE loading TclX first", with_tclx)):
            base_t = statistics.median(base)
            print("%-58s %9.1f ms vs %9.1f ms  ratio %5.2fx  (for reference)"
                  % (title, ours_t * 1e3, base_t * 1e3, ours_t / base_t))


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    bench_console_start()
