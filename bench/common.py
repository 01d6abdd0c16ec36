"""Timing helpers shared by the benchmarks: medians of repeated runs, and
ratios against a baseline measured in the same run."""

import statistics
import time


def per_call(fn, number, repeat=7):
    """Median seconds per call of fn() over `repeat` runs of `number` calls."""
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        runs.append((time.perf_counter() - t0) / number)
    return statistics.median(runs)


def interleaved(fns, number, repeat=9):
    """Median seconds per call of each fn, runs interleaved so that drift in
    the machine's speed hits all of them alike."""
    runs = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            runs[name].append((time.perf_counter() - t0) / number)
    return {name: statistics.median(r) for name, r in runs.items()}


def report(title, ours, base, target=None):
    ratio = ours / base
    if target is None:
        goal = "(for reference)"
    else:
        goal = "(target <= %.2fx) %s" % (target, "ok" if ratio <= target else "OVER TARGET")
    print("%-58s %9.3f us vs %9.3f us  ratio %5.2fx  %s" % (title, ours * 1e6, base * 1e6, ratio, goal))
    return ratio


def report_extra(title, ours, base, limit):
    """Prints what `ours` adds to `base` (seconds), against `limit` seconds."""
    extra = ours - base
    goal = "(target <= %.0f ms) %s" % (limit * 1e3, "ok" if extra <= limit else "OVER TARGET")
    print("%-58s %9.1f ms vs %9.1f ms  extra %5.1f ms  ratio %5.2fx  %s"
          % (title, ours * 1e3, base * 1e3, extra * 1e3, ours / base, goal))
    return extra
