#!/usr/bin/env python3
"""Where the start-up time goes: runs the program's probe and the minimal window's probe in
"stages" mode, alternately, and prints the median time of each step from the moment the process
was started. Needs an X display and the Release build that scripts/bench makes.

Usage: bench/startup/stages.py [RUNS]   (from the top of the tree)
"""

import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = "build/release/bench"
SERVER = "build/release/server/vantro-server"


def run(command):
    start = time.monotonic_ns()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    stages = {}
    for line in child.stdout:
        parts = line.split()
        if parts[:1] == ["stage"]:
            stages[parts[1] if len(parts) == 3 else " ".join(parts[1:-1])] = (int(parts[-1]) - start) / 1e6
        elif line.split("\t")[0].strip() == "painted":
            stages["first paint"] = (time.monotonic_ns() - start) / 1e6
            break
    child.kill()
    child.wait()
    return stages


def main(runs):
    with tempfile.TemporaryDirectory() as work:
        server = subprocess.Popen([SERVER, "--port", "0", "--db", os.path.join(work, "store.db")],
                                  stdout=subprocess.PIPE, text=True)
        url = re.search(r"http://[0-9.:]+", server.stdout.readline()).group(0)
        try:
            program, minimal = [], []
            for _ in range(runs):
                program.append(run([f"{BENCH}/vantro-startup-probe", url, "stages"]))
                minimal.append(run([f"{BENCH}/minimal-window-probe", "stages"]))
        finally:
            server.terminate()
            server.wait()
    for name, results in (("program", program), ("minimal window", minimal)):
        print(f"{name}, median of {runs} runs, ms from the start of the process:")
        previous = 0.0
        for stage in results[0]:
            at = statistics.median(r[stage] for r in results if stage in r)
            print(f"  {stage:<20} {at:7.1f}   (+{at - previous:5.1f})")
            previous = at
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 11))
