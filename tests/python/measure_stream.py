"""Measures the per-row path into Python on the simulated radio.

    MIVOBLE_BACKEND=sim MIVOBLE_SIM="MV-2401.00.01,channels=8,rate=1000" \
        /usr/bin/python3 tests/python/measure_stream.py [seconds]

Prints the rows per second that reached the Python callable, the share of one
CPU the whole process used meanwhile (library threads included), and any gap
in the sample counter. Not part of the test suite: figures depend on the host.
"""

import os
import resource
import sys
import threading
import time

from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    name = os.environ.get("MIVOBLE_SIM", "MV-2401.00.01").split(";")[0].split(",")[0]
    amp = MivoBLEWrapper(name)
    counter_column = amp.channel_types.index(5) if 5 in amp.channel_types else None
    lock = threading.Condition()
    state = {"rows": 0, "invalid": 0, "last": None, "jumps": 0}

    def on_row(data):
        with lock:
            state["rows"] += 1
            if data[-1] == 0.0:
                state["invalid"] += 1
            if counter_column is not None:
                counter = int(data[counter_column])
                if state["last"] is not None and counter != state["last"] + 1:
                    state["jumps"] += 1
                state["last"] = counter
            if state["rows"] == 100:
                lock.notify_all()

    amp.set_data_callback(on_row)
    amp.start()
    with lock:  # let the stream settle before measuring
        if not lock.wait_for(lambda: state["rows"] >= 100, timeout=30):
            sys.exit("no rows arrived within 30 s")
        rows0 = state["rows"]
    wall0, cpu0 = time.monotonic(), cpu_seconds()
    time.sleep(seconds)  # measuring over a fixed wall-clock span
    with lock:
        rows1 = state["rows"]
    wall1, cpu1 = time.monotonic(), cpu_seconds()
    amp.close()
    MivoBLEWrapper.shutdown()

    span = wall1 - wall0
    print(f"device {name}: {amp.no_of_acquired_channels} values per row, {amp.sampling_rate} Hz")
    print(f"rows/s into Python: {(rows1 - rows0) / span:.0f}")
    print(f"process CPU: {100.0 * (cpu1 - cpu0) / span:.1f} % of one core")
    print(f"rows flagged invalid: {state['invalid']}, counter jumps: {state['jumps']}")


if __name__ == "__main__":
    main()
