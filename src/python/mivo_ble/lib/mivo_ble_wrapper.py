"""ctypes binding of the mivoble library: the class :class:`MivoBLEWrapper`.

One instance stands for one open amplifier; its static methods cover what is
process-wide (scanning, shutdown, API version). The class is assembled from one
module per concern, each importing only the ones below it:

* :mod:`mivo_ble.lib.native`: the library, its records, callback types and prototypes;
* :mod:`mivo_ble.lib.status` and :mod:`mivo_ble.lib.runtime`: statuses as exceptions,
  the shut-down state and the bookkeeping of callback objects;
* :mod:`mivo_ble.lib.discovery`: scanning;
* :mod:`mivo_ble.lib.device`: the open amplifier, per-row samples, link events, frames;
* :mod:`mivo_ble.lib.streaming`: chunks, the ring buffer and the pull API;
* :mod:`mivo_ble.firmware`: image management.

Every library call releases the interpreter lock while it runs (ctypes.CDLL), and the
library's callbacks re-enter Python through ctypes callback objects, which take the
lock. Those objects are kept referenced for as long as the library may call them.
"""

from __future__ import annotations

import atexit

from mivo_ble.exceptions import MivoBLEError
from mivo_ble.firmware import Firmware
from mivo_ble.lib import runtime
from mivo_ble.lib.discovery import Discovery
from mivo_ble.lib.libpath import LIBPATH
from mivo_ble.lib.native import (
    HAS_CONNECTION_STATE_CB as _HAS_CONNECTION_STATE_CB,
    HAS_QUARN as _HAS_QUARN,
    MIVOBLE_DEVICE_INFORMATION,
    MIVOBLE_DEVICENAME_LENGTH_MAX,
    MIVOBLE_HANDLE,
    MIVOBLE_NUMBER_OF_CHANNELS_MAX,
    MIVOBLE_STRING_LENGTH_MAX,
    ConnectionStateCallback,
    DataAvailableCallback,
    DeviceDiscoveredCallback,
    lib,
)
from mivo_ble.lib.streaming import Streaming

__all__ = [
    "LIBPATH", "lib", "MIVOBLE_HANDLE", "MIVOBLE_STRING_LENGTH_MAX", "MIVOBLE_DEVICENAME_LENGTH_MAX",
    "MIVOBLE_NUMBER_OF_CHANNELS_MAX", "MIVOBLE_DEVICE_INFORMATION", "DeviceDiscoveredCallback",
    "DataAvailableCallback", "ConnectionStateCallback", "_HAS_CONNECTION_STATE_CB", "_HAS_QUARN", "MivoBLEWrapper",
    "MivoBLEError",
]

# Shared with mivo_ble.lib.runtime, under the names earlier versions used.
_live_instances = runtime.live_instances
_detached_closes = runtime.detached_closes
_retired_callbacks = runtime.retired_callbacks


class MivoBLEWrapper(Discovery, Streaming, Firmware):
    """One open amplifier; static methods for scanning, shutdown and the API version.

    A context manager: ``with MivoBLEWrapper(serial) as amp:`` closes it at the end."""


@atexit.register
def _close_at_exit() -> None:
    """Unregister every callback before the interpreter is torn down.

    A device left open would otherwise keep calling into Python from the
    library's threads while the interpreter finalises.
    """
    for instance in list(runtime.live_instances):
        try:
            instance.close()
        except Exception:
            pass
    for closer in list(runtime.detached_closes):
        closer.join(runtime.DETACHED_CLOSE_WAIT)
    Discovery._unregister_at_exit()
