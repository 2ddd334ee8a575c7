"""Calls refused inside callbacks, shared handles, checked callables, parallel opens and the
wrapper's small manners, through the real library on the simulated radio."""

import logging
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

LEGACY, OTHER, FAULTY = "MV-2401.00.01", "MV-2401.00.03", "MV-2401.00.04"
NO_DATA_SERVICE = f"{FAULTY},gen=neither"  # found, but its open fails at once
SIM_ENV = dict(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND="sim")
INVALID_ARGUMENT = 4


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY};{OTHER}")
def test_calls_refused_inside_a_callback_raise_and_leave_the_wrapper_as_it_was():
    w = load_wrapper()
    W = w.MivoBLEWrapper
    amp, other = W(LEGACY), W(OTHER)
    W.set_device_discovered_callback(lambda names: None)
    layout_before = other.layout
    live_before = len(w._live_instances)
    # (what, call inside the chunk callable, the wrapper state that must not have changed)
    cases = [
        ("shutdown", W.shutdown, lambda: not W._shut_down),
        ("start_scanning", W.start_scanning, lambda: not W._dd_registered),
        ("open", lambda: W(OTHER), lambda: len(w._live_instances) == live_before),
        ("send_frame", lambda: amp.send_frame(1), lambda: not amp._closed),
        ("list_images", amp.list_images, lambda: not amp._closed),
        ("another's layout", lambda: other.set_active_layout(2, 1, 3, False, 500),
         lambda: other.layout == layout_before),
        ("another's start", other.start_buffer,
         lambda: not other._owns_stream() and other._chunks.buffer is None and other._delivery is None),
    ]
    outcomes = Collector()

    def try_all_once(data, timestamps):
        if outcomes.snapshot():
            return
        for what, call, unchanged in cases:
            try:
                call()
                outcomes((what, None, unchanged()))
            except w.MivoBLEError as error:
                outcomes((what, (error.code, str(error)), unchanged()))

    amp.set_chunk_callback(try_all_once)
    seen = outcomes.wait_until(lambda items: len(items) == len(cases), what="every refused call")
    for what, error, unchanged in seen:
        assert error is not None, f"{what} was not refused"
        assert error[0] == INVALID_ARGUMENT and "cannot be called from a data callback" in error[1], (what, error)
        assert unchanged, f"{what} changed the wrapper's state"
    # Nothing was freed under the library: the wrappers still stream and close normally.
    rows = Collector()
    amp.set_chunk_callback(lambda data, timestamps: rows(len(data)))
    rows.wait_until(lambda items: len(items) >= 3, what="chunks after the refused calls")
    amp.close()
    other.close()
    W.shutdown()
    assert W._shut_down


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},drop_once=2000")
def test_an_amplifier_opened_twice_stays_open_until_both_are_closed():
    w = load_wrapper()
    first = w.MivoBLEWrapper(LEGACY)
    handle = first.handle
    states_first, states_second = Collector(), Collector()
    first.set_connection_state_callback(states_first)
    amp = w.MivoBLEWrapper(LEGACY)  # a notebook cell run again
    amp.set_connection_state_callback(states_second)
    assert amp.handle == handle
    for states in (states_first, states_second):  # link events reach both
        states.wait_until(lambda items: items == [1, 0], what="the link lost and back")
    del first  # closes the first wrapper, not the device
    amp.start_buffer(5)
    _, data = amp.read(timeout=10)
    assert len(data) and data.shape[1] == 11
    amp.close()
    assert w.MivoBLEWrapper(LEGACY).handle != handle, "the last close closes the device"


def _needs_one(x):
    return x


def _state_positional(s):
    return s


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},drop_once=800")
def test_callables_are_checked_when_registered_and_their_failures_logged_once():
    w = load_wrapper()
    W = w.MivoBLEWrapper
    amp = W(LEGACY)
    cases = [  # (setter, callable, refused)
        (amp.set_data_callback, lambda row: None, True),
        (amp.set_data_callback, 42, True),
        (amp.set_data_callback, lambda: None, True),
        (amp.set_data_callback, lambda data: None, False),
        (amp.set_data_callback, lambda **values: None, False),
        (amp.set_data_callback, None, False),
        (amp.set_connection_state_callback, _state_positional, True),
        (amp.set_connection_state_callback, lambda state, extra=0: None, False),
        (amp.set_chunk_callback, _needs_one, True),
        (amp.set_chunk_callback, None, False),
        (W.set_device_discovered_callback, lambda: None, True),
        (W.set_device_discovered_callback, _needs_one, False),
    ]
    for setter, callback, refused in cases:
        if refused:
            with pytest.raises(TypeError):
                setter(callback)
        else:
            setter(callback)

    records = Collector()
    handler = logging.Handler()
    handler.emit = lambda record: records((record.getMessage(), record.exc_info is not None))
    logging.getLogger("mivo_ble").addHandler(handler)
    calls = Collector()

    def failing_row(data):
        calls(1)
        raise RuntimeError("row callable broke")

    def failing_state(state):
        calls(state)
        raise RuntimeError("state callable broke")

    amp.set_data_callback(failing_row)
    amp.set_connection_state_callback(failing_state)
    amp.start()
    calls.wait_until(lambda items: 0 in items and len(items) >= 300, what="rows and the reconnect")
    amp.close()
    logged = records.snapshot()
    assert [("row callable broke" in m, "state callable broke" in m) for m, _ in logged] == [
        (True, False), (False, True)], logged
    assert all(traceback for _, traceback in logged)


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY};{NO_DATA_SERVICE}")
def test_small_manners_context_repr_errors_closed_and_numbers():
    w = load_wrapper()
    from mivo_ble.amplifier import Amplifier
    W = w.MivoBLEWrapper
    with W(LEGACY) as amp:
        handle = amp.handle
        assert repr(amp) == f"<MivoBLEWrapper '{LEGACY}' handle {handle}, connected, 9 channels at 250 Hz>"
        amp.start_buffer(numpy.float32(2))
        _, data = amp.read(timeout=numpy.float64(5), max_rows=numpy.int64(3))
        assert len(data) == 3
        assert next(amp.chunks(timeout=numpy.float32(5)))[1].shape[1] == 11
    assert amp.handle == 0 and repr(amp) == f"<MivoBLEWrapper '{LEGACY}' closed>"

    with pytest.raises(w.MivoBLEError) as raised:
        W(FAULTY)
    assert isinstance(raised.value, ValueError) and raised.value.code == 3
    assert raised.value.error == Amplifier.Error.DEVICE
    assert str(raised.value).startswith("Device exposes neither the NUS nor the mivo data service")

    amp.set_data_callback(lambda data: None)
    for call in (amp.start, lambda: amp.send_frame(1), lambda: amp.set_active_layout(1, 1, 3, False, 250),
                 lambda: amp.start_buffer(1), lambda: amp.set_chunk_callback(lambda d, t: None), amp.list_images):
        with pytest.raises(ValueError, match=r"^The amplifier is closed\.$"):
            call()
    amp.stop()
    amp.close()


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY};{OTHER};{NO_DATA_SERVICE}")
def test_open_all_opens_together_and_closes_the_others_when_one_fails():
    w = load_wrapper()
    import mivo_ble

    assert mivo_ble.open_all([]) == []
    with pytest.raises(ValueError, match="more than once"):
        mivo_ble.open_all([LEGACY, LEGACY])
    with pytest.raises(TypeError):
        mivo_ble.open_all(LEGACY)

    with pytest.raises(w.MivoBLEError) as raised:
        mivo_ble.open_all([LEGACY, FAULTY, OTHER])
    assert raised.value.code == 3 and f"while opening '{FAULTY}'" in raised.value.__notes__
    assert len(w._live_instances) == 0

    amps = mivo_ble.open_all([OTHER, LEGACY])
    assert [a.serial_number for a in amps] == [OTHER, LEGACY]
    # Handles are never reused: those opened by the failed call were closed.
    assert min(a.handle for a in amps) >= 3
    for amp in amps:
        amp.start_buffer(2)
        assert len(amp.read(timeout=10)[1])
        amp.close()


@isolated(**SIM_ENV, MIVOBLE_SIM=LEGACY)
def test_buffered_rows_stay_readable_after_shutdown():
    w = load_wrapper()
    from mivo_ble.exceptions import RuntimeShutDown
    amp = w.MivoBLEWrapper(LEGACY)
    rows = Collector()
    amp.set_chunk_callback(lambda data, timestamps: rows(len(data)))
    amp.start_buffer(10)
    rows.wait_until(lambda items: sum(items) >= 20, what="rows in the buffer")
    w.MivoBLEWrapper.shutdown()
    assert amp.handle == 0 and not amp.connected
    buffered = amp.available()
    assert buffered >= 20
    assert sum(len(d) for _, d in amp.chunks(timeout=0)) == buffered
    with pytest.raises(RuntimeShutDown):
        amp.read()


def test_a_reader_thread_does_not_hold_up_the_interpreter_at_exit():
    # The amplifier is never closed and the reader is not a daemon thread.
    script = textwrap.dedent(
        f"""
        import threading
        from mivo_ble import MivoBLEWrapper
        amp = MivoBLEWrapper({LEGACY!r})
        amp.start_buffer(5)
        first = threading.Event()
        def reader():
            for timestamps, data in amp.chunks(timeout=30):
                first.set()
        threading.Thread(target=reader).start()
        assert first.wait(15), "no rows"
        print("reading", flush=True)
        """
    )
    env = dict(os.environ, PYTHONPATH=str(REPO / "src" / "python"), MIVOBLE_LIBRARY=REAL_LIBRARY,
               MIVOBLE_BACKEND="sim", MIVOBLE_SIM=LEGACY)
    fake = None
    if fake_bluez.through_bluez():
        fake = fake_bluez.FakeBluetoothd(env["MIVOBLE_SIM"])
        env.update(MIVOBLE_BACKEND="bluez", DBUS_SYSTEM_BUS_ADDRESS=fake.address)
    try:
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=25, env=env)
    finally:
        if fake:
            fake.stop()
    assert (result.returncode, result.stdout) == (0, "reading\n"), result.stderr
