"""Opening, describing, closing and shutting down amplifiers of the simulated radio."""

import pytest

from forked import isolated, load_wrapper
from helpers import REAL_LIBRARY, Collector

pytestmark = pytest.mark.skipif(REAL_LIBRARY is None, reason="libmivoble not built")

SIM = "sim"
LEGACY = "MV-2401.00.01"
DESCRIBED = f"{LEGACY},model=EEG-8 Mobile,fw=3.1.4,hw=rev C,maker=Mivo Test Works,rate=500,battery=64"


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=DESCRIBED)
def test_open_describes_the_amplifier_and_close_twice_is_harmless():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    assert amp.handle == 1
    assert amp.connected
    assert amp.serial_number == LEGACY
    assert amp.model_number == "EEG-8 Mobile"
    assert amp.firmware_version == "3.1.4"
    assert amp.hardware_version == "rev C"
    assert amp.manufacturer_name == "Mivo Test Works"
    # Eight signal channels, the counter, then the battery and validity columns.
    assert amp.channel_types == [1] * 8 + [5, 4, 9]
    assert amp.no_of_acquired_channels == 11
    assert amp.sampling_rate == 500

    amp.close()
    assert amp.handle == 0 and not amp.connected
    amp.close()

    # The first close really closed the device: opening again gives a new handle.
    again = w.MivoBLEWrapper(LEGACY)
    assert again.handle == 2
    again.close()


# ---------------------------------------------------------- errors as ValueError


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND="bluez",
          DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/mivoble-test/system_bus_socket")
def test_no_adapter_on_the_bluez_backend():
    w = load_wrapper()
    w.MivoBLEWrapper.set_device_discovered_callback(lambda names: None)
    with pytest.raises(ValueError, match=r"^No Bluetooth adapter found\.$"):
        w.MivoBLEWrapper.start_scanning()
    with pytest.raises(ValueError, match=r"^No Bluetooth adapter found\.$"):
        w.MivoBLEWrapper(LEGACY)


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM="adapter=none")
def test_no_adapter_on_the_simulated_radio():
    w = load_wrapper()
    with pytest.raises(ValueError, match=r"^No Bluetooth adapter found\.$"):
        w.MivoBLEWrapper(LEGACY)


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM="MV-2401.00.09,connectable=0",
          sim_only="BlueZ does not expose whether an advertisement is connectable")
def test_unconnectable_amplifier_is_refused_with_its_name():
    w = load_wrapper()
    with pytest.raises(ValueError, match=r"^'MV-2401\.00\.09' is not connectable\.$"):
        w.MivoBLEWrapper("MV-2401.00.09")


# -------------------------------------------------------------------- shutdown


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=LEGACY)
def test_shutdown_is_final_for_the_process():
    w = load_wrapper()
    from mivo_ble.exceptions import RuntimeShutDown

    amp = w.MivoBLEWrapper(LEGACY)
    rows = Collector()
    amp.set_data_callback(rows)
    amp.start()
    rows.wait_until(lambda items: len(items) >= 5, what="rows before the shutdown")

    w.MivoBLEWrapper.shutdown()
    w.MivoBLEWrapper.shutdown()

    # The library itself now refuses: -1 arrives through the unsigned result.
    with pytest.raises(ValueError, match=r"^Bluetooth runtime has been shut down\.$"):
        w.MivoBLEWrapper.__handle_error__(w.lib.MIVOBLE_StartScanning())

    # The wrapper refuses before reaching the library.
    with pytest.raises(RuntimeShutDown, match="cannot be started again"):
        w.MivoBLEWrapper(LEGACY)
    with pytest.raises(RuntimeShutDown):
        w.MivoBLEWrapper.start_scanning()
    with pytest.raises(RuntimeShutDown):
        amp.start()
    amp.stop()
    amp.close()
    assert amp.handle == 0 and not amp.connected


@isolated(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND=SIM, MIVOBLE_SIM=LEGACY)
def test_library_shut_down_behind_the_wrappers_back_reports_its_text():
    w = load_wrapper()
    w.lib.MIVOBLE_Shutdown()
    with pytest.raises(ValueError, match=r"^Bluetooth runtime has been shut down\.$"):
        w.MivoBLEWrapper(LEGACY)
