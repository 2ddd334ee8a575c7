"""The binding's contract with the library, checked against a recording stand-in.

The stand-in records every call and lets the test fire the callbacks with
exactly the data a case needs (names without a NUL, empty rows, chosen
statuses), which the real library cannot be made to produce on demand.
"""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap

import numpy
import pytest

from forked import isolated, load_wrapper
from helpers import REPO, STANDIN, StandIn

pytestmark = pytest.mark.skipif(STANDIN is None, reason="stand-in library not built")

SHUT_DOWN_TEXT = (
    "The BLE runtime was shut down in this process and cannot be started again; "
    "scanning or opening a device needs a new process."
)


def _open(w, stand_in, serial="MV-2401.00.01"):
    stand_in.fill_device_information("M1", serial, "F1", "H1", "Maker", [1, 1, 2, 4, 9], 5, 500)
    return w.MivoBLEWrapper(serial)


# --------------------------------------------------------------- record layout


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_device_information_record_is_read_through_the_c_layout():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    assert ctypes.sizeof(w.MIVOBLE_DEVICE_INFORMATION) == 1344
    stand_in.fill_device_information(
        "Model ü", "MV-2401.00.07", "fw 2.0", "rev B", "Mivo GmbH", [1, 1, 2, 0, 0, 4, 9], 5, 1000
    )
    amp = w.MivoBLEWrapper("MV-2401.00.07")
    assert amp.model_number == "Model ü"
    assert amp.serial_number == "MV-2401.00.07"
    assert amp.firmware_version == "fw 2.0"
    assert amp.hardware_version == "rev B"
    assert amp.manufacturer_name == "Mivo GmbH"
    # Zero entries are dropped wherever they are.
    assert amp.channel_types == [1, 1, 2, 4, 9]
    assert amp.no_of_acquired_channels == 5
    assert amp.sampling_rate == 1000
    assert amp.handle == 1
    assert amp.connected


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_text_cut_inside_a_utf8_sequence_decodes_with_a_replacement_character():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    # 255 bytes; the record keeps 254 of them, ending with the first byte of the last "ä".
    stand_in.fill_device_information("a" + "ä" * 127, "S", "F", "H", "M", [1], 3, 250)
    amp = w.MivoBLEWrapper("S")
    assert amp.model_number == "a" + "ä" * 126 + "\ufffd"


# ------------------------------------------------------------------- lifecycle


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_close_twice_closes_once_and_releases_everything():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    assert stand_in.calls("RegisterConnectionStateCallback") == 1
    amp.set_data_callback(lambda data: None)
    amp.close()
    amp.close()
    assert stand_in.calls("CloseDevice") == 1
    assert stand_in.last_handle() == 1
    # The connection-state callback is unregistered before the close.
    assert stand_in.calls("RegisterConnectionStateCallback") == 2
    assert stand_in.emit_state(1, 0) == -1
    assert amp.handle == 0
    assert not amp.connected
    assert amp._data_callback is None and amp._data_callback_internal is None
    assert amp._conn_callback_internal is None


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_dropped_instance_is_closed_at_once_without_the_cycle_collector():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    gc.disable()
    amp = _open(w, stand_in)
    amp.set_data_callback(lambda data: None)
    amp.start()
    del amp
    assert stand_in.calls("CloseDevice") == 1
    assert stand_in.emit_row(1, [1.0])[0] == -1, "the data callback is still registered"


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_close_from_inside_a_callback_completes_on_another_thread():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    gc.disable()
    holder = [_open(w, stand_in)]
    first = holder[0]
    first.set_data_callback(lambda data: first.close())
    first.start()
    stand_in.emit_row(1, [1.0])
    assert first.handle == 0 and not first.connected

    # A wrapper whose last reference is dropped inside its own callback.
    holder.append(_open(w, stand_in))
    holder[1].set_connection_state_callback(lambda state: holder.pop())
    stand_in.emit_state(2, 1)
    assert len(holder) == 1

    for closer in w._detached_closes:
        closer.join(10)
        assert not closer.is_alive()
    assert stand_in.calls("CloseDevice") == 2
    assert stand_in.emit_row(1, [1.0])[0] == -1
    assert stand_in.emit_state(2, 0) == -1


def test_device_left_open_is_closed_when_the_interpreter_exits(tmp_path):
    # The probe's own exit handler is registered before the wrapper's, so it
    # runs after it and sees what the wrapper's handler did.
    script = textwrap.dedent(
        f"""
        import atexit, ctypes, os
        os.environ["MIVOBLE_LIBRARY"] = {STANDIN!r}
        probe = ctypes.CDLL({STANDIN!r})
        probe.standin_calls.argtypes = [ctypes.c_char_p]
        probe.standin_emit_row.argtypes = [ctypes.c_uint64, ctypes.c_void_p, ctypes.c_uint32]
        atexit.register(lambda: print("closes", probe.standin_calls(b"CloseDevice"),
                                      "data-unregistered", probe.standin_emit_row(1, None, 0) == -1))
        from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper
        amp = MivoBLEWrapper("MV-2401.00.01")
        amp.set_data_callback(lambda data: None)
        amp.start()
        """
    )
    env = dict(os.environ, PYTHONPATH=str(REPO / "src" / "python"))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    assert "closes 1 data-unregistered True" in result.stdout


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_failed_open_raises_the_library_text_and_registers_nothing():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    stand_in.fail_next("OpenDevice", 3, "Could not find device with the specified serial number.")
    with pytest.raises(ValueError, match=r"^Could not find device with the specified serial number\.$"):
        w.MivoBLEWrapper("MV-2401.00.99")
    assert stand_in.calls("GetDeviceInformation") == 0
    assert stand_in.emit_state(1, 1) == -1, "no connection-state callback may stay registered"


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_minus_one_through_an_unsigned_result_is_a_failure():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    stand_in.fail_next("OpenDevice", -1, "Bluetooth runtime has been shut down.")
    with pytest.raises(ValueError, match=r"^Bluetooth runtime has been shut down\.$"):
        w.MivoBLEWrapper("MV-2401.00.01")


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_serial_that_c_would_misread_is_refused_before_the_library():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    with pytest.raises(ValueError, match="NUL"):
        w.MivoBLEWrapper("MV-2401.00.01\0junk")
    with pytest.raises(TypeError):
        w.MivoBLEWrapper(b"MV-2401.00.01")
    assert stand_in.calls("OpenDevice") == 0
    assert stand_in.calls("CloseDevice") == 0


# -------------------------------------------------------------------- shutdown


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_after_shutdown_nothing_reaches_the_library():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    from mivo_ble.exceptions import RuntimeShutDown

    amp = _open(w, stand_in)
    amp.set_data_callback(lambda data: None)
    w.MivoBLEWrapper.shutdown()
    w.MivoBLEWrapper.shutdown()
    assert stand_in.calls("Shutdown") == 1

    with pytest.raises(RuntimeShutDown) as raised:
        w.MivoBLEWrapper("MV-2401.00.02")
    assert str(raised.value) == SHUT_DOWN_TEXT
    assert stand_in.calls("OpenDevice") == 1

    for call in (amp.start, w.MivoBLEWrapper.start_scanning, w.MivoBLEWrapper.stop_scanning,
                 lambda: amp.send_frame(1), lambda: amp.set_active_layout(1, 1, 3, False, 250)):
        with pytest.raises(RuntimeShutDown):
            call()
    amp.stop()
    amp.close()
    assert stand_in.calls("RegisterDataAvailableCallback") == 0
    assert stand_in.calls("CloseDevice") == 0
    assert stand_in.calls("RegisterConnectionStateCallback") == 1
    assert amp.handle == 0 and not amp.connected


# ------------------------------------------------------------------- discovery


def _slots(*names):
    return b"".join(n + b"\0" * (15 - len(n)) for n in names)


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_discovery_names_are_cut_at_their_nul_and_a_full_slot_is_kept_whole():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    received = []
    w.MivoBLEWrapper.set_device_discovered_callback(received.append)
    w.MivoBLEWrapper.start_scanning()
    assert stand_in.calls("StartScanning") == 1

    assert stand_in.emit_discovered(_slots(b"ab", b"abc", b"MV-2401.00.011"), 3) == 0
    # A full slot without NUL is kept whole; bytes after a NUL are not part of the name.
    assert stand_in.emit_discovered(b"ABCDEFGHIJKLMNO" + b"x\0leftover\0\0\0\0\0", 2) == 0
    # The 14-byte cut goes through "é" (2 bytes) and leaves half a character.
    assert stand_in.emit_discovered(_slots("MV-2401.00.01é".encode()[:14]), 1) == 0
    assert stand_in.emit_discovered(None, 0) == 0
    assert received == [["ab", "abc", "MV-2401.00.011"], ["ABCDEFGHIJKLMNO", "x"], ["MV-2401.00.01\ufffd"], []]

    # The user callable is looked up at every event.
    replaced = []
    w.MivoBLEWrapper.set_device_discovered_callback(replaced.append)
    stand_in.emit_discovered(_slots(b"n1"), 1)
    assert replaced == [["n1"]] and len(received) == 4

    w.MivoBLEWrapper.stop_scanning()
    assert stand_in.calls("StopScanning") == 1
    assert stand_in.emit_discovered(_slots(b"n2"), 1) == -1, "stop_scanning must unregister the callback"


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_start_scanning_needs_a_callback_and_reports_library_failures():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    with pytest.raises(ValueError, match=r"^No device discovered callback set\.$"):
        w.MivoBLEWrapper.start_scanning()
    assert stand_in.calls("RegisterDeviceDiscoveredCallback") == 0
    w.MivoBLEWrapper.set_device_discovered_callback(lambda names: None)
    stand_in.fail_next("StartScanning", 2, "No Bluetooth adapter found.")
    with pytest.raises(ValueError, match=r"^No Bluetooth adapter found\.$"):
        w.MivoBLEWrapper.start_scanning()


# ------------------------------------------------------------------------ data


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_rows_arrive_as_float32_copies_and_an_empty_row_as_an_empty_array():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    with pytest.raises(ValueError, match=r"^No data callback set\.$"):
        amp.start()
    rows = []
    amp.set_data_callback(lambda data: rows.append(data))
    amp.start()
    assert stand_in.last_handle() == 1

    status, buffer = stand_in.emit_row(1, [1.5, -2.25, 87.0, 1.0])
    buffer[0] = 99.0  # the library reuses its buffer after the call
    stand_in.emit_row(1, [])
    assert rows[0].dtype == numpy.float32 and rows[0].ndim == 1
    assert rows[0].tolist() == [1.5, -2.25, 87.0, 1.0]
    assert rows[1].dtype == numpy.float32 and rows[1].shape == (0,)

    # Replacing the callable with None drops rows quietly; the registration stays.
    amp.set_data_callback(None)
    assert stand_in.emit_row(1, [3.0])[0] == 0
    assert len(rows) == 2

    amp.stop()
    assert stand_in.emit_row(1, [3.0])[0] == -1, "stop() must register a null callback"


# ------------------------------------------------------------ connection state


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_connection_state_events_set_connected_and_reach_the_callable():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    stand_in.emit_state(1, 1)
    assert not amp.connected  # no callable set: the flag still follows
    stand_in.emit_state(1, 0)
    assert amp.connected

    states = []
    amp.set_connection_state_callback(lambda state: states.append(state))
    stand_in.emit_state(1, 1)
    stand_in.emit_state(1, 7)
    assert states == [1, 7] and all(type(s) is int for s in states)
    assert not amp.connected

    def failing(state):
        raise RuntimeError("user code failed")

    amp.set_connection_state_callback(failing)
    stand_in.emit_state(1, 0)  # swallowed, not reported by ctypes
    assert amp.connected


# ---------------------------------------------------------------------- frames


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_send_frame_passes_the_request_and_returns_the_response():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    assert amp.supports_quarn()

    stand_in.set_frame_reply(0x00, b"\x2a\x2b\x2c")
    assert amp.send_frame(5) == (0, b"\x2a\x2b\x2c")
    assert stand_in.last_frame() == {"command": 5, "payload_null": True, "length": 0, "payload": b"",
                                     "timeout": 5000, "capacity": 102}

    stand_in.set_frame_reply(0x07, b"")
    assert amp.send_frame(0x10, b"\x01\x02", timeout_ms=250) == (7, b"")
    frame = stand_in.last_frame()
    assert (frame["command"], frame["payload_null"], frame["length"], frame["payload"], frame["timeout"]) == (
        0x10, False, 2, b"\x01\x02", 250)

    amp.send_frame(1, [1, 2, 255])
    assert stand_in.last_frame()["payload"] == b"\x01\x02\xff"
    amp.send_frame(1, bytearray(b"\x09"))
    assert stand_in.last_frame()["payload"] == b"\x09"

    stand_in.set_frame_reply(0, bytes(range(200)))
    assert amp.send_frame(1) == (0, bytes(range(102)))


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_send_frame_refuses_values_that_c_would_wrap():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    bad_calls = [
        (ValueError, lambda: amp.send_frame(256)),
        (ValueError, lambda: amp.send_frame(-1)),
        (ValueError, lambda: amp.send_frame(1, [256])),
        (ValueError, lambda: amp.send_frame(1, timeout_ms=-1)),
        (ValueError, lambda: amp.send_frame(1, bytes(65536 + 3))),
        (TypeError, lambda: amp.send_frame(1, 5)),
        (TypeError, lambda: amp.send_frame(1, "text")),
        (TypeError, lambda: amp.send_frame(1.0)),
    ]
    for error, call in bad_calls:
        with pytest.raises(error):
            call()
    with pytest.raises(ValueError, match=r"^SendFrame: payload too large$"):
        amp.send_frame(1, bytes(70000))
    assert stand_in.calls("SendFrame") == 0


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_send_frame_failure_carries_the_library_text():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    stand_in.fail_next("SendFrame", 3, "SendFrame: malformed response frame")
    with pytest.raises(ValueError, match=r"^SendFrame: malformed response frame$"):
        amp.send_frame(1)


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_set_active_layout_forwards_arguments_and_refreshes_the_record():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    reads = stand_in.calls("GetDeviceInformation")
    amp.set_active_layout(8, numpy.uint16(10), 4, True, 1000)
    assert stand_in.last_layout() == [8, 10, 4, 1, 1000]
    assert stand_in.calls("GetDeviceInformation") == reads + 1
    assert amp.sampling_rate == 1000

    with pytest.raises(ValueError, match="channel_count"):
        amp.set_active_layout(256, 1, 3, False, 250)
    with pytest.raises(ValueError, match="sampling_rate"):
        amp.set_active_layout(1, 1, 3, False, 70000)
    assert stand_in.calls("SetActiveLayout") == 1


@isolated(MIVOBLE_LIBRARY=STANDIN)
def test_rejected_layout_is_not_reported_with_a_stale_error_text():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    amp = _open(w, stand_in)
    stand_in.set_last_error("Invalid device handle.")  # an earlier, unrelated failure
    stand_in.fail_next("SetActiveLayout", -1)  # rejected without a text of its own
    with pytest.raises(ValueError, match=r"^The sample layout was rejected"):
        amp.set_active_layout(1, 1, 2, False, 250)
    stand_in.fail_next("SetActiveLayout", 1, "Invalid device handle.")
    with pytest.raises(ValueError, match=r"^Invalid device handle\.$"):
        amp.set_active_layout(1, 1, 3, False, 250)
    assert amp.sampling_rate == 500
