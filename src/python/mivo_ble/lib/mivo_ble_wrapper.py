"""ctypes binding of the mivoble library: the class :class:`MivoBLEWrapper`.

One instance stands for one open amplifier; its static methods cover what is
process-wide (scanning, shutdown, API version). The class is assembled from one
module per concern, each importing only the ones below it:

* :mod:`mivo_ble.lib.native`: the library, its records, callback types and prototypes;
* :mod:`mivo_ble.lib.status` and :mod:`mivo_ble.lib.runtime`: statuses as exceptions,
  the shut-down state and the bookkeeping of callback objects;
* :mod:`mivo_ble.lib.discovery`: scanning;
* :mod:`mivo_ble.lib.link`: wrappers that share one amplifier's handle;
* :mod:`mivo_ble.lib.device`: the open amplifier, per-row samples, link events, frames;
* :mod:`mivo_ble.lib.streaming`: chunks, the ring buffer and the pull API;
* :mod:`mivo_ble.firmware`: image management.

Every library call releases the interpreter lock while it runs (ctypes.CDLL), and the
library's callbacks re-enter Python through ctypes callback objects, which take the
lock. Those objects are kept referenced for as long as the library may call them.
"""

from __future__ import annotations

import atexit
import threading
from typing import List, Optional, Sequence

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
from mivo_ble.lib.runtime import Runtime
from mivo_ble.lib.streaming import Streaming

__all__ = [
    "LIBPATH", "lib", "MIVOBLE_HANDLE", "MIVOBLE_STRING_LENGTH_MAX", "MIVOBLE_DEVICENAME_LENGTH_MAX",
    "MIVOBLE_NUMBER_OF_CHANNELS_MAX", "MIVOBLE_DEVICE_INFORMATION", "DeviceDiscoveredCallback",
    "DataAvailableCallback", "ConnectionStateCallback", "_HAS_CONNECTION_STATE_CB", "_HAS_QUARN", "MivoBLEWrapper",
    "MivoBLEError", "open_all",
]

# Shared with mivo_ble.lib.runtime, under the names earlier versions used.
_live_instances = runtime.live_instances
_detached_closes = runtime.detached_closes
_retired_callbacks = runtime.retired_callbacks


class MivoBLEWrapper(Discovery, Streaming, Firmware):
    """One open amplifier; static methods for scanning, shutdown and the API version.

    A context manager: ``with MivoBLEWrapper(serial) as amp:`` closes it at the end."""


def open_all(serials: Sequence[str]) -> List[MivoBLEWrapper]:
    """Opens several amplifiers at once, each on a thread of its own, and returns them in
    the order named.

    When one cannot be opened, the others are closed once their opens have ended, and
    that amplifier's error is raised (the first named of those that failed). An interrupt
    while waiting closes every amplifier whose open succeeds."""
    if isinstance(serials, (str, bytes)):
        raise TypeError("serials must be a sequence of names, not a single name.")
    names = list(serials)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"serial must be a str, not {type(name).__name__}.")
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ValueError(f"Each amplifier can be opened once: {', '.join(map(repr, repeated))} named more than once.")
    Runtime._check_runtime()

    opened: List[Optional[MivoBLEWrapper]] = [None] * len(names)
    errors: List[Optional[BaseException]] = [None] * len(names)
    lock = threading.Lock()
    abandoned = [False]

    def open_one(index: int) -> None:
        try:
            amp = MivoBLEWrapper(names[index])
        except BaseException as error:  # handed to the caller's thread below
            errors[index] = error
            return
        with lock:
            if not abandoned[0]:
                opened[index] = amp
                return
        amp.close()

    # Not daemon threads: the interpreter waits for an open under way instead of ending
    # its thread inside the library.
    threads = [threading.Thread(target=open_one, args=(i,), name=f"mivo_ble-open-{name}")
               for i, name in enumerate(names)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except BaseException:
        with lock:
            abandoned[0] = True
        _close_all(opened)
        raise
    failed = [i for i, error in enumerate(errors) if error is not None]
    if failed:
        _close_all(opened)
        error = errors[failed[0]]
        assert error is not None
        error.add_note(f"while opening {names[failed[0]]!r}")
        raise error
    return [amp for amp in opened if amp is not None]


def _close_all(amps: Sequence[Optional[MivoBLEWrapper]]) -> None:
    for amp in amps:
        if amp is not None:
            amp.close()


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
