"""Discovery events and command frames against the simulated radio's amplifiers."""

import struct

import pytest

from forked import isolated, load_wrapper
from helpers import REAL_LIBRARY, Collector

pytestmark = pytest.mark.skipif(REAL_LIBRARY is None, reason="libmivoble not built")

SIM = "sim"
LEGACY = "MV-2401.00.01"
NUS = "MV-2401.00.02"
NUS_TX = "6E400003-B5A3-F393-E0A9-E50E24DCCA9E"


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=None)
def test_discovery_reports_the_simulated_amplifiers_until_stopped():
    w = load_wrapper()
    lists = Collector()
    w.MivoBLEWrapper.set_device_discovered_callback(lists)
    w.MivoBLEWrapper.start_scanning()
    seen = lists.wait_until(lambda items: any({LEGACY, NUS} <= set(names) for names in items),
                            what="both default amplifiers")
    w.MivoBLEWrapper.stop_scanning()
    assert all(isinstance(name, str) for names in seen for name in names)
    assert all(len(names) == len(set(names)) for names in seen)

    # Scanning can start again with the callback kept on the class.
    again = Collector()
    w.MivoBLEWrapper.set_device_discovered_callback(again)
    w.MivoBLEWrapper.start_scanning()
    again.wait_until(lambda items: any(LEGACY in names for names in items), what="a fresh list")
    w.MivoBLEWrapper.stop_scanning()


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{NUS},gen=nus")
def test_send_frame_exchanges_frames_with_the_amplifier():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(NUS)
    assert amp.supports_quarn()
    assert amp.send_frame(0x01, b"\x01\x02\x03") == (0, b"\x01\x02\x03")
    assert amp.send_frame(0x10) == (0, b"\x2a")
    assert amp.send_frame(0x01, list(range(102))) == (0, bytes(range(102)))
    # Unknown commands get status 0xFF: a status the caller judges, not an error.
    assert amp.send_frame(0x55, timeout_ms=2000) == (0xFF, b"")
    with pytest.raises(ValueError, match=r"^SendFrame: payload too large$"):
        amp.send_frame(0x01, bytes(513))
    amp.close()


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=LEGACY)
def test_send_frame_on_a_legacy_amplifier_names_the_missing_characteristic():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    with pytest.raises(ValueError) as raised:
        amp.send_frame(0x01)
    assert str(raised.value) == f"Could not find characteristic '{NUS_TX}'."
    amp.close()


def _layout_request(channels, frames, width, little_endian, rate):
    return struct.pack(">BHBBH", channels, frames, width, int(little_endian), rate)


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{NUS},gen=nus,battery=42")
def test_layout_set_on_both_sides_gives_rows_of_the_new_width():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(NUS)
    assert amp.send_frame(0x20, _layout_request(4, 2, 4, True, 500)) == (0, b"")
    amp.set_active_layout(4, 2, 4, True, 500)
    assert amp.sampling_rate == 500
    # The record's channel fields keep describing the layout found at open.
    assert amp.no_of_acquired_channels == 3

    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()
    received = rows.wait_until(lambda items: len(items) >= 20, what="rows in the new layout")
    amp.close()
    assert all(row.shape == (6,) for row in received)
    assert all(row[4] == 42.0 and row[5] == 1.0 for row in received)


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=f"{NUS},gen=nus")
def test_rejected_layout_raises_and_keeps_the_previous_one():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(NUS)
    # Leave an unrelated failure text on this thread first.
    with pytest.raises(ValueError, match="payload too large"):
        amp.send_frame(0x01, bytes(600))
    for bad in ((4, 2, 2, False, 500), (0, 1, 3, False, 500), (4, 0, 3, False, 500), (4, 65, 3, False, 500)):
        with pytest.raises(ValueError, match=r"^The sample layout was rejected"):
            amp.set_active_layout(*bad)
    assert amp.sampling_rate == 256

    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()
    received = rows.wait_until(lambda items: len(items) >= 5, what="rows in the default layout")
    amp.close()
    assert all(row.shape == (3,) for row in received)
