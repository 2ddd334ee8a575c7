"""Samples and link events from simulated amplifiers, as a Python program receives them."""

import os
import subprocess
import sys
import textwrap

import numpy
import pytest

import fake_bluez
from forked import isolated, load_wrapper
from helpers import REAL_LIBRARY, REPO, Collector

pytestmark = pytest.mark.skipif(REAL_LIBRARY is None, reason="libmivoble not built")

SIM = "sim"
LEGACY = "MV-2401.00.01"
WIDTH = 11  # 8 signal channels, counter, battery, validity
COUNTER, BATTERY, VALID = 8, 9, 10


def _counters(rows):
    return [int(row[COUNTER]) for row in rows]


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY},battery=55,rate=500")
def test_rows_are_float32_copies_of_the_row_width_with_consecutive_counters():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    with pytest.raises(ValueError, match=r"^No data callback set\.$"):
        amp.start()
    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()
    received = rows.wait_until(lambda items: len(items) >= 200, what="200 rows")
    amp.close()

    for row in received:
        assert isinstance(row, numpy.ndarray)
        assert row.dtype == numpy.float32 and row.shape == (WIDTH,)
        assert row.flags.writeable and row.flags.owndata
    assert all(row[BATTERY] == 55.0 for row in received)
    assert all(row[VALID] == 1.0 for row in received)
    # Kept rows are independent copies: had they aliased the library's buffer,
    # they would all show the last counter.
    counters = _counters(received)
    assert counters == list(range(counters[0], counters[0] + len(counters)))
    # The signals are not constant.
    assert numpy.ptp(numpy.stack(received)[:, :8], axis=0).min() > 0


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY},drop_notify_every=4")
def test_lost_notifications_arrive_as_rows_flagged_invalid():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()
    received = rows.wait_until(
        lambda items: sum(1 for r in items if r[VALID] == 0.0) >= 3 and len(items) >= 40, what="filled rows"
    )
    amp.close()
    counters = _counters(received)
    assert counters == list(range(counters[0], counters[0] + len(counters)))
    invalid = [row for row in received if row[VALID] == 0.0]
    assert all(row[VALID] in (0.0, 1.0) for row in received)
    assert len(invalid) < len(received) / 2


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY};MV-2401.00.03")
def test_stop_ends_delivery_and_start_resumes_it_with_another_callable():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    # A second amplifier streaming at the same rate serves as the clock: once it
    # has delivered 50 more rows, a stream that was not stopped would have too.
    clock_amp = w.MivoBLEWrapper("MV-2401.00.03")
    clock = Collector()
    clock_amp.set_data_callback(clock)
    clock_amp.start()

    first, second = Collector(), Collector()
    amp.set_data_callback(first)
    amp.start()
    first.wait_until(lambda items: len(items) >= 10, what="rows before stop")
    amp.stop()
    stopped_at = len(first.snapshot())
    ticks = len(clock.snapshot())
    clock.wait_until(lambda items: len(items) >= ticks + 50, what="the reference stream")
    assert len(first.snapshot()) == stopped_at

    amp.set_data_callback(second)
    amp.start()
    second.wait_until(lambda items: len(items) >= 10, what="rows after restart")

    # Replacing the callable with None drops rows; a new callable picks up again
    # without registering anything.
    amp.set_data_callback(None)
    third = Collector()
    amp.set_data_callback(third)
    third.wait_until(lambda items: len(items) >= 5, what="rows for the replaced callable")
    amp.close()
    clock_amp.close()


@isolated(
    MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY},drop_every=700", timeout=90
)
def test_link_drop_is_reported_and_streaming_resumes():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    events = Collector()
    amp.set_connection_state_callback(lambda state: events((state, amp.connected)))
    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()

    seen = events.wait_until(lambda items: (0, True) in items, what="a lost link and its return")
    assert seen[0] == (1, False), seen
    assert seen[seen.index((0, True)) - 1] == (1, False)
    resumed_from = len(rows.snapshot())
    rows.wait_until(lambda items: len(items) >= resumed_from + 10, what="rows after the reconnect")
    amp.close()
    assert not amp.connected


@isolated(
    MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY};MV-2401.00.03,drop_every=300",
    timeout=60,
)
def test_closing_from_inside_callbacks_neither_deadlocks_nor_leaks_the_handle():
    w = load_wrapper()
    by_row = w.MivoBLEWrapper(LEGACY)
    rows = Collector()
    closed = Collector()

    def close_on_tenth(data):
        rows(data)
        if len(rows.snapshot()) == 10:
            by_row.close()
            closed("by row")

    by_row.set_data_callback(close_on_tenth)
    by_row.start()

    by_state = w.MivoBLEWrapper("MV-2401.00.03")
    events = Collector()

    def close_on_loss(state):
        events(state)
        by_state.close()
        closed("by state")

    by_state.set_connection_state_callback(close_on_loss)
    closed.wait_until(lambda items: len(items) == 2, what="both closes requested")
    assert events.snapshot() == [1]
    for closer in w._detached_closes:
        closer.join(20)
        assert not closer.is_alive(), "a close from inside a callback did not finish"
    assert by_row.handle == 0 and by_state.handle == 0
    # Both devices are really closed: opening them again issues new handles.
    assert sorted([w.MivoBLEWrapper(LEGACY).handle, w.MivoBLEWrapper("MV-2401.00.03").handle]) == [3, 4]


def test_process_exits_cleanly_while_a_device_streams_into_python():
    script = textwrap.dedent(
        f"""
        import threading
        from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper
        amp = MivoBLEWrapper({LEGACY!r})
        started = threading.Event()
        amp.set_data_callback(lambda data: started.set())
        amp.set_connection_state_callback(lambda state: None)
        amp.start()
        assert started.wait(15), "no rows"
        print("streaming", flush=True)
        """
    )
    env = dict(os.environ, PYTHONPATH=str(REPO / "src" / "python"), MIVOBLE_LIBRARY=REAL_LIBRARY,
               MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{LEGACY},rate=2000")
    fake = None
    if fake_bluez.through_bluez():
        fake = fake_bluez.FakeBluetoothd(env["MIVOBLE_SIM"])
        env.update(MIVOBLE_BACKEND="bluez", DBUS_SYSTEM_BUS_ADDRESS=fake.address)
    try:
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    finally:
        if fake:
            fake.stop()
    assert (result.returncode, result.stdout) == (0, "streaming\n"), result.stderr
    assert "Exception" not in result.stderr, result.stderr
