#!/usr/bin/python3
"""Figures of `mivoble view` with one page open in headless Chromium (a benchmark, not a test):
CPU of the server thread and of the whole tool, bytes per second sent to the page, and the
page's frame rate, for a few amplifier set-ups on the simulated radio.

    /usr/bin/python3 bench/view_bench.py [--cli build/release/mivoble] [--seconds 10]
"""
import argparse
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/cli"))

SETUPS = [
    ("8 ch x 250 Hz", "MV-2401.00.01,channels=8,rate=250", ["MV-2401.00.01"]),
    ("32 ch x 2 kHz", "MV-2401.00.05,channels=32,rate=2000,frames=5,mtu=517", ["MV-2401.00.05"]),
    ("4 x 8 ch x 1 kHz", ";".join(f"MV-2401.00.1{i},channels=8,rate=1000,frames=4" for i in range(1, 5)),
     [f"MV-2401.00.1{i}" for i in range(1, 5)]),
]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, thread_name=None):
    """CPU time (user + system) of a process, or of its threads with the given name."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            if thread_name and (task / "comm").read_text().strip() != thread_name:
                continue
            fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        total += int(fields[11]) + int(fields[12])
    return total / TICKS


def measure(label, sim, names, seconds, width, height):
    from viewer import Browser, Viewer, wait_for
    viewer = Viewer(names, sim=sim)
    browser = Browser(width, height)
    try:
        browser.navigate(viewer.url)
        wait_for(lambda: browser.state() == "streaming", 60, "streaming")
        time.sleep(3)  # let the first window and the auto scales settle before measuring
        stats = lambda: browser.evaluate("JSON.stringify(window.viewStats)")  # noqa: E731
        import json
        drawn = lambda: [int(browser.text(f"rows-{n}")) for n in names]  # noqa: E731
        before, drawn0, cpu0, server0, t0 = json.loads(stats()), drawn(), cpu_seconds(viewer.process.pid), \
            cpu_seconds(viewer.process.pid, "view-server"), time.monotonic()
        fps, frame_rate, draw_ms = [], [], []
        while time.monotonic() - t0 < seconds:
            time.sleep(1)
            s = json.loads(stats())
            fps.append(s["fps"])
            frame_rate.append(s["frameRate"])
            draw_ms.append(s["drawMs"])
        after, drawn1, cpu1, server1, t1 = json.loads(stats()), drawn(), cpu_seconds(viewer.process.pid), \
            cpu_seconds(viewer.process.pid, "view-server"), time.monotonic()
        elapsed = t1 - t0
        rates = [f"{(b - a) / elapsed:.0f}" for a, b in zip(drawn0, drawn1)]
        return {
            "setup": label,
            "server_cpu": 100 * (server1 - server0) / elapsed,
            "tool_cpu": 100 * (cpu1 - cpu0) / elapsed,
            "bytes_per_s": (after["bytes"] - before["bytes"]) / elapsed,
            "messages_per_s": (after["messages"] - before["messages"]) / elapsed,
            "draws_per_s": sum(fps) / len(fps),
            "frames_per_s": sum(frame_rate) / len(frame_rate),
            "draw_ms": sum(draw_ms) / len(draw_ms),
            "rows_per_s": ", ".join(rates),
        }
    finally:
        browser.close()
        viewer.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", default=str(Path(__file__).resolve().parents[1] / "build/release/mivoble"))
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--width", type=int, default=1600)
    parser.add_argument("--height", type=int, default=900)
    args = parser.parse_args()
    os.environ["MIVOBLE_CLI"] = args.cli
    os.environ.setdefault("MIVOBLE_BACKEND", "sim")
    print(f"one page, {args.width} x {args.height} px, 10 s window, measured over {args.seconds:g} s")
    print(f"{'set-up':<18} {'server thread':>13} {'whole tool':>10} {'to the page':>12} {'messages':>9} "
          f"{'draws':>7} {'frames':>7} {'per draw':>9}  rows drawn/s per amplifier")
    for label, sim, names in SETUPS:
        r = measure(label, sim, names, args.seconds, args.width, args.height)
        print(f"{r['setup']:<18} {r['server_cpu']:>11.2f} % {r['tool_cpu']:>8.1f} % {r['bytes_per_s'] / 1000:>7.1f} kB/s "
              f"{r['messages_per_s']:>7.1f}/s {r['draws_per_s']:>5.1f}/s {r['frames_per_s']:>5.1f}/s "
              f"{r['draw_ms']:>6.1f} ms  {r['rows_per_s']}", flush=True)


if __name__ == "__main__":
    main()
