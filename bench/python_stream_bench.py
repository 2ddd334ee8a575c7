"""Rows per second and CPU share of the Python delivery paths on the simulated radio.

    MIVOBLE_LIBRARY=build/release/libmivoble.so /usr/bin/python3 bench/python_stream_bench.py [seconds]

For each amplifier configuration and path (per-row callback, chunk callback, pull buffer)
a fresh process streams for `seconds` (default 10) and reports rows received, rows per
second, the whole process's CPU share (library, simulator and Python together) and CPU
per row. The simulator's own cost is the same on every path, so the differences between
paths are what Python delivery costs. Also prints the timestamp estimate's jitter on the
pull path: rows' timestamps against a straight line through them (the simulator emits at
a steady rate), 99th percentile after the first 10 s when the run is long enough.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

CONFIGS = [
    ("8 ch x 1 kHz", "channels=8,rate=1000,frames=4"),
    ("8 ch x 20 kHz", "channels=8,rate=20000,frames=8"),
    ("32 ch x 2 kHz", "channels=32,rate=2000,frames=2"),
]
PATHS = ("row", "chunk", "pull")

CHILD = r"""
import json, os, resource, sys, time, threading
import numpy
from mivo_ble import MivoBLEWrapper
path, seconds = sys.argv[1], float(sys.argv[2])
amp = MivoBLEWrapper("MV-2401.00.09")
count = [0]
stamps = []
if path == "row":
    def on_row(data):
        count[0] += 1
    amp.set_data_callback(on_row)
    amp.start()
elif path == "chunk":
    def on_chunk(data, timestamps):
        count[0] += len(data)
    amp.set_chunk_callback(on_chunk)
else:
    amp.start_buffer(seconds=5)
start_wall, start_cpu = time.monotonic(), time.process_time()
while time.monotonic() - start_wall < seconds:
    if path == "pull":
        timestamps, data = amp.read(timeout=0.1)
        count[0] += len(data)
        stamps.append(timestamps)
    else:
        time.sleep(0.1)
wall, cpu = time.monotonic() - start_wall, time.process_time() - start_cpu
result = {"rows": count[0], "wall": wall, "cpu": cpu, "overruns": amp.overruns if path == "pull" else 0}
if stamps:
    t = numpy.concatenate(stamps)
    k = numpy.arange(len(t))
    settle = min(len(t) // 2, int(10 * amp.sampling_rate))
    fit = numpy.polyfit(k[settle:], t[settle:], 1)
    residual = t[settle:] - numpy.polyval(fit, k[settle:])
    result["jitter_p99_ms"] = float(numpy.percentile(numpy.abs(residual), 99) * 1e3)
amp.close()
MivoBLEWrapper.shutdown()
print(json.dumps(result))
"""


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    repo = Path(__file__).resolve().parents[1]
    print(f"{'amplifier':<16}{'path':<7}{'rows/s':>10}{'CPU %':>8}{'us/row':>9}{'overruns':>10}{'ts p99 ms':>11}")
    for label, keys in CONFIGS:
        for path in PATHS:
            env = dict(os.environ, MIVOBLE_BACKEND="sim", MIVOBLE_SIM=f"MV-2401.00.09,{keys}",
                       PYTHONPATH=str(repo / "src" / "python"))
            out = subprocess.run([sys.executable, "-c", CHILD, path, str(seconds)], env=env, capture_output=True,
                                 text=True, timeout=seconds + 60)
            if out.returncode != 0:
                print(f"{label:<16}{path:<7} failed: {out.stderr.strip().splitlines()[-1:]}")
                continue
            r = json.loads(out.stdout.strip().splitlines()[-1])
            rate = r["rows"] / r["wall"]
            share = 100 * r["cpu"] / r["wall"]
            per_row = 1e6 * r["cpu"] / max(r["rows"], 1)
            jitter = f"{r['jitter_p99_ms']:.3f}" if "jitter_p99_ms" in r else "-"
            print(f"{label:<16}{path:<7}{rate:>10.0f}{share:>8.1f}{per_row:>9.2f}{r['overruns']:>10}{jitter:>11}")


if __name__ == "__main__":
    main()
