#!/usr/bin/env python3
"""Prints how fast the watcher starts and ends: the time from starting the process to its first
event line, and from closing its standard input to its exit, as medians over repeated runs.

Usage: bench/lifecycle_figures.py [EXECUTABLE] [RUNS]
EXECUTABLE defaults to the release build of the simulated-desktop watcher; any watcher works (the
real one needs a desktop with accessibility on)."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    root, "build/release/tests/selection-watcher-sim")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50

scenario = tempfile.NamedTemporaryFile("w", suffix=".scenario", delete=False)
scenario.write("app 1 org.mozilla.firefox\nfront 1\ntext 1 word\nbounds 1 1 2 3 4\n")
scenario.close()
env = dict(os.environ, SELECTION_WATCHER_SCENARIO=scenario.name)

to_first, to_exit = [], []
for _ in range(runs):
    start = time.perf_counter()
    child = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    line = child.stdout.readline()
    first = time.perf_counter()
    if not line:
        sys.exit(f"no first line from {exe}")
    closed = time.perf_counter()
    child.stdin.close()
    status = child.wait()
    ended = time.perf_counter()
    if status != 0:
        sys.exit(f"exit status {status}")
    to_first.append((first - start) * 1000)
    to_exit.append((ended - closed) * 1000)
os.unlink(scenario.name)

def describe(name, values):
    print(f"{name:28s} median {statistics.median(values):7.2f} ms   "
          f"min {min(values):7.2f}   max {max(values):7.2f}   ({len(values)} runs)")

print(f"executable: {exe}")
describe("start -> first event line", to_first)
describe("stdin closed -> exit", to_exit)
