"""Runs every benchmark, each in a process of its own (so that one's memory
and allocator state cannot sway another's figures). Each prints our time, the
baseline measured in the same run, and their ratio against the target."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

failed = 0
for name in sorted(os.listdir(HERE)):
    if name.startswith("bench_") and name.endswith(".py"):
        print("==", name, flush=True)
        failed |= subprocess.run([sys.executable, os.path.join(HERE, name)], cwd=HERE).returncode
sys.exit(1 if failed else 0)
