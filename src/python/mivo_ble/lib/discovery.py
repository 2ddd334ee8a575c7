"""Scanning for amplifiers and the process-wide discovered callback."""

from __future__ import annotations

import ctypes
from typing import Any, Callable, List, Optional

from mivo_ble.callables import FailureLog, check_callable
from mivo_ble.lib.native import (
    MIVOBLE_DEVICENAME_LENGTH_MAX,
    NO_DEVICE_DISCOVERED_CALLBACK,
    DeviceDiscoveredCallback,
    lib,
)
from mivo_ble.lib.runtime import Runtime


class Discovery(Runtime):
    """Static members of the wrapper that cover the scanner."""

    _dd_callback: Optional[Callable[[List[str]], None]] = None
    _dd_callback_internal: Any = None
    # Set once the discovery callback has been registered with the library, so
    # the exit handler knows whether there is anything to unregister.
    _dd_registered = False
    _dd_failures = FailureLog()

    @staticmethod
    def start_scanning() -> None:
        Runtime._check_runtime()
        if Discovery._dd_callback is None:
            raise ValueError("No device discovered callback set.")
        Runtime.__handle_error__(lib.MIVOBLE_RegisterDeviceDiscoveredCallback(Discovery._dd_callback_internal))
        Discovery._dd_registered = True
        Runtime.__handle_error__(lib.MIVOBLE_StartScanning())

    @staticmethod
    def stop_scanning() -> None:
        Runtime._check_runtime()
        Runtime.__handle_error__(lib.MIVOBLE_StopScanning())
        Runtime.__handle_error__(
            lib.MIVOBLE_RegisterDeviceDiscoveredCallback(NO_DEVICE_DISCOVERED_CALLBACK)
        )
        Discovery._dd_registered = False

    @staticmethod
    def set_device_discovered_callback(callback: Optional[Callable[[List[str]], None]]) -> None:
        """callback(names) gets the whole current list of amplifier names at every change."""
        check_callable("The discovery callable", callback, "callback(names)", [])
        Discovery._dd_failures.forget("discovery")
        Discovery._dd_callback = callback
        if Discovery._dd_callback_internal is None:
            Discovery._dd_callback_internal = DeviceDiscoveredCallback(Discovery._dd_callback_wrapper)

    @staticmethod
    def _dd_callback_wrapper(devices: Any, num_dev: int) -> None:
        names = []
        if num_dev and devices:
            slot = MIVOBLE_DEVICENAME_LENGTH_MAX
            raw = ctypes.string_at(ctypes.addressof(devices.contents), slot * num_dev)
            for i in range(num_dev):
                name = raw[i * slot : (i + 1) * slot].split(b"\0", 1)[0]
                # A name cut to 14 bytes can end inside a UTF-8 sequence.
                names.append(name.decode("utf-8", errors="replace"))
        callback = Discovery._dd_callback
        if callback is not None:
            try:
                callback(names)
            except Exception as error:
                Discovery._dd_failures.report("discovery", error)

    @staticmethod
    def _unregister_at_exit() -> None:
        if Discovery._dd_registered and not Runtime._shut_down:
            try:
                lib.MIVOBLE_RegisterDeviceDiscoveredCallback(NO_DEVICE_DISCOVERED_CALLBACK)
            except Exception:
                pass
