"""Libraries without the connection-state or the frame exports still import and work."""

import pytest

from forked import isolated, load_wrapper
from helpers import STANDIN_NO_FRAMES, STANDIN_NO_STATE, StandIn


@pytest.mark.skipif(STANDIN_NO_STATE is None, reason="stand-in library not built")
@isolated(MIVOBLE_LIBRARY=STANDIN_NO_STATE)
def test_without_connection_state_export_the_device_stays_connected_until_closed():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    assert w._HAS_CONNECTION_STATE_CB is False
    assert w._HAS_QUARN is True
    stand_in.fill_device_information("M", "MV-2401.00.01", "F", "H", "X", [1, 4, 9], 3, 250)
    amp = w.MivoBLEWrapper("MV-2401.00.01")
    states = []
    amp.set_connection_state_callback(lambda state: states.append(state))
    assert amp._conn_callback_internal is None
    assert amp.connected
    amp.close()
    assert stand_in.calls("CloseDevice") == 1
    assert not amp.connected and states == []


@pytest.mark.skipif(STANDIN_NO_FRAMES is None, reason="stand-in library not built")
@isolated(MIVOBLE_LIBRARY=STANDIN_NO_FRAMES)
def test_without_frame_exports_frames_and_layouts_fail_before_any_call():
    w = load_wrapper()
    stand_in = StandIn(w.lib)
    assert w._HAS_QUARN is False
    assert w._HAS_CONNECTION_STATE_CB is True
    stand_in.fill_device_information("M", "MV-2401.00.02", "F", "H", "X", [1, 4, 9], 3, 256)
    amp = w.MivoBLEWrapper("MV-2401.00.02")
    assert amp.supports_quarn() is False
    reads = stand_in.calls("GetDeviceInformation")
    with pytest.raises(RuntimeError) as raised:
        amp.send_frame(5)
    assert str(raised.value) == (
        "this native mivoble has no MIVOBLE_SendFrame; Quarn devices need 1.24.1.0 or newer"
    )
    with pytest.raises(RuntimeError) as raised:
        amp.set_active_layout(1, 1, 3, False, 250)
    assert str(raised.value) == (
        "this native mivoble has no MIVOBLE_SetActiveLayout; Quarn devices need 1.24.1.0 or newer"
    )
    assert stand_in.calls("GetDeviceInformation") == reads
