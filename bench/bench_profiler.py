"""The Tcl profiler's cost on call-heavy code: tcllib's json tests (json.test
from tcllib's sources, when make conformance fetched them) and tcllib's json
parser over a document of 400 elements, each in a fresh interpreter: profiled
against unprofiled (target: at most 1.5 times as long), and what the profile
adds against what tcllib's own `profiler` package adds to the same work
(target: at most half).

tcllib comes from Debian's package (scripts/bootstrap installs it); without
it the benchmark says so and is skipped.
"""

import glob
import os
import statistics
import sys
import time

from common import report

from bench_coverage import document, tcllib_json_dir

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def json_test_dir():
    # tcllib's sources as make conformance fetches them, here or where
    # KX_TCLLIB_SOURCES says.
    roots = [os.path.join(ROOT, "build", "conformance", "src", "tcllib-*")]
    if os.environ.get("KX_TCLLIB_SOURCES"):
        roots.insert(0, os.environ["KX_TCLLIB_SOURCES"])
    for d in sorted(d for r in roots for d in glob.glob(os.path.join(r, "modules", "json"))):
        if os.path.exists(os.path.join(d, "json.test")):
            return d
    return None


def run_once(mode, setup, work):
    """Seconds `work` takes in a fresh interpreter: plain, under our profile,
    or under tcllib's profiler (set up before the code it measures is loaded,
    as it wraps `proc`)."""
    from korvex.tcl.interpreter import Interpreter

    interp = Interpreter()
    try:
        prof = None
        if mode == "ours":
            prof = interp.profile().start()
        elif mode == "tcllib":
            interp.eval("package require profiler; ::profiler::init")
        interp.eval(setup)
        t0 = time.perf_counter()
        interp.eval(work)
        elapsed = time.perf_counter() - t0
        if prof is not None:
            prof.stop()
            assert prof.rows(), "the profile counted nothing"
        return elapsed
    finally:
        interp.close()


def measure(title, setup, work, repeat=7, tcllib_repeat=3):
    # Plain and profiled runs interleaved (drift in the machine's speed hits
    # both alike); tcllib's profiler, far slower, fewer times.
    runs = {"plain": [], "ours": [], "tcllib": []}
    for k in range(repeat):
        for mode in runs:
            if mode != "tcllib" or k < tcllib_repeat:
                runs[mode].append(run_once(mode, setup, work))
    plain, ours, tcllib = (statistics.median(runs[m]) for m in ("plain", "ours", "tcllib"))
    report("%s: profiled / unprofiled" % title, ours, plain, target=1.5)
    report("%s: tcllib's profiler / unprofiled" % title, tcllib, plain)
    extra_ours, extra_tcllib = max(ours - plain, 0.0), max(tcllib - plain, 1e-9)
    ratio = extra_ours / extra_tcllib
    print("%-58s %9.1f ms vs %9.1f ms  ratio %5.2fx  (target <= 0.50x) %s"
          % ("%s: our overhead / tcllib profiler's" % title, extra_ours * 1e3, extra_tcllib * 1e3, ratio,
             "ok" if ratio <= 0.5 else "OVER TARGET"))


def main():
    json_dir = tcllib_json_dir()
    if json_dir is None:
        print("tcllib's json package not found: skipped")
        return 0
    tests = json_test_dir()
    if tests is not None:
        measure("tcllib json.test (512 tests)",
                "cd {%s}; set argv {}" % tests,
                "source json.test")
    else:
        print("tcllib's json.test not found (make conformance fetches tcllib's sources): that row skipped")
    doc = document(400)
    measure("json::json2dict, 400 elements",
            "lappend ::auto_path {%s}; package require json; set ::doc {%s}"
            % (os.path.dirname(json_dir), doc.replace("\\", "\\\\")),
            "json::json2dict $::doc", repeat=9, tcllib_repeat=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
