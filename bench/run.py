"""Runs every benchmark; each prints our time, the baseline measured in the
same run, and their ratio against the target."""

import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

for name in sorted(os.listdir(HERE)):
    if name.startswith("bench_") and name.endswith(".py"):
        print("==", name)
        runpy.run_path(os.path.join(HERE, name), run_name="__main__")
