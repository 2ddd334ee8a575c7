"""One open amplifier: opening and closing it, its properties, per-row samples, link
events, command frames and the host sample layout."""

from __future__ import annotations

import ctypes
import threading
from typing import Any, Callable, List, Optional, Tuple

import numpy

from mivo_ble.lib import runtime
from mivo_ble.lib.native import (
    HAS_CONNECTION_STATE_CB,
    HAS_QUARN,
    MIVOBLE_DEVICE_INFORMATION,
    MIVOBLE_HANDLE,
    NO_CONNECTION_STATE_CALLBACK,
    NO_DATA_CALLBACK,
    STATUS_GENERAL,
    ConnectionStateCallback,
    DataAvailableCallback,
    lib,
)
from mivo_ble.lib.runtime import Runtime, in_device_callback, weak_trampoline
from mivo_ble.lib.status import check_range, decode_text, last_error_text

_EMPTY_ROW = numpy.empty(0, dtype=numpy.float32)


def _close_detached(handle: Any) -> None:
    """The library side of close(), for a wrapper closed from inside its own callback."""
    if HAS_CONNECTION_STATE_CB:
        try:
            lib.MIVOBLE_RegisterConnectionStateCallback(handle, NO_CONNECTION_STATE_CALLBACK)
        except Exception:
            pass
    try:
        lib.MIVOBLE_RegisterDataAvailableCallback(handle, NO_DATA_CALLBACK)
    except Exception:
        pass
    try:
        lib.MIVOBLE_CloseDevice(ctypes.byref(handle))
    except Exception:
        pass


class Device(Runtime):
    """An open amplifier with per-row delivery; subclasses add chunks and firmware."""

    QUARN_MAX_RESPONSE = 102

    _data_callback: Optional[Callable[..., None]]
    _data_callback_internal: Optional[Callable[..., None]]
    _conn_callback: Optional[Callable[..., None]]
    _conn_callback_internal: Optional[Callable[..., None]]

    # ------------------------------------------------------------- lifecycle

    def __init__(self, serial: str) -> None:
        self._closed = True
        Runtime._check_runtime()
        if not isinstance(serial, str):
            raise TypeError(f"serial must be a str, not {type(serial).__name__}.")
        if "\0" in serial:
            # C would see only the text before the NUL and open another device.
            raise ValueError("serial must not contain NUL characters.")
        self._data_callback = None
        self._conn_callback = None
        self._conn_callback_internal = None
        self._connected = True
        self._closed = False

        self.__hDevice = MIVOBLE_HANDLE(0)
        Runtime.__handle_error__(lib.MIVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(self.__hDevice)))
        runtime.live_instances.add(self)

        self.__device_info = MIVOBLE_DEVICE_INFORMATION()
        Runtime.__handle_error__(lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(self.__device_info)))

        self._data_callback_internal = DataAvailableCallback(weak_trampoline(self, "_data_callback_wrapper"))
        self._opened()

        if HAS_CONNECTION_STATE_CB:
            self._conn_callback_internal = ConnectionStateCallback(weak_trampoline(self, "_conn_callback_wrapper"))
            Runtime.__handle_error__(
                lib.MIVOBLE_RegisterConnectionStateCallback(self.__hDevice, self._conn_callback_internal)
            )

    @property
    def _device_handle(self) -> Any:
        """The library's handle as the ctypes value the exports take."""
        return self.__hDevice

    def _opened(self) -> None:
        """Hook: the device is open and described; its callbacks are not yet registered."""

    def _rows_started(self) -> None:
        """Hook: per-row delivery has just been registered."""

    def _delivery_stopped(self) -> None:
        """Hook: no data callback is registered any more."""

    def _link_lost(self) -> None:
        """Hook: the library reported the link lost (called on its reconnect thread)."""

    def _released_thunks(self) -> Tuple[Any, ...]:
        """Hook: thunks of subclasses that the library may still be calling."""
        return ()

    def _released(self) -> None:
        """Hook: the wrapper lets go of the device."""

    def start(self) -> None:
        Runtime._check_runtime()
        if self._data_callback is None:
            raise ValueError("No data callback set.")
        Runtime.__handle_error__(lib.MIVOBLE_RegisterDataAvailableCallback(self.__hDevice, self._data_callback_internal))
        self._rows_started()

    def stop(self) -> None:
        if Runtime._shut_down:
            return
        try:
            lib.MIVOBLE_RegisterDataAvailableCallback(self.__hDevice, NO_DATA_CALLBACK)
        except Exception:
            pass
        self._delivery_stopped()

    def close(self) -> None:
        if getattr(self, "_closed", True):
            return
        if Runtime._shut_down:
            self._release()
            return
        if in_device_callback():
            # On a library thread inside a data or connection-state callback (a
            # close() there, or the last reference dropped there). The library
            # delivers samples under a lock that unregistering takes, and closes
            # from the reconnect thread by leaking the device, so the library
            # side of the close runs on a thread of its own.
            handle = MIVOBLE_HANDLE(self.__hDevice.value)
            runtime.retired_callbacks.append(
                (self._data_callback_internal, self._conn_callback_internal) + self._released_thunks()
            )
            self._release()
            closer = threading.Thread(target=_close_detached, args=(handle,), name="mivo_ble-close", daemon=True)
            closer.start()
            runtime.detached_closes.append(closer)
            return
        if HAS_CONNECTION_STATE_CB:
            try:
                lib.MIVOBLE_RegisterConnectionStateCallback(self.__hDevice, NO_CONNECTION_STATE_CALLBACK)
            except Exception:
                pass
        try:
            self.stop()
        except Exception:
            pass
        try:
            lib.MIVOBLE_CloseDevice(ctypes.byref(self.__hDevice))
        except Exception:
            pass
        self._release()

    def _release(self) -> None:
        self._released()
        self._data_callback = None
        self._data_callback_internal = None
        self._conn_callback = None
        self._conn_callback_internal = None
        self._connected = False
        self._closed = True
        self.__hDevice = MIVOBLE_HANDLE(0)
        runtime.live_instances.discard(self)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            # At interpreter exit module globals may already be gone.
            pass

    # ------------------------------------------------------------- callbacks

    def set_data_callback(self, callback: Optional[Callable[..., None]]) -> None:
        self._data_callback = callback

    def _data_callback_wrapper(self, hDevice: int, sample: Any, sample_size: int) -> None:
        callback = self._data_callback
        if callback is None:
            return
        if sample_size and sample:
            # The library's row buffer is valid only during this call: copy it.
            data = numpy.ctypeslib.as_array(sample, shape=(sample_size,)).copy()
        else:
            data = _EMPTY_ROW.copy()
        callback(data=data)

    def set_connection_state_callback(self, callback: Optional[Callable[..., None]]) -> None:
        self._conn_callback = callback

    def _conn_callback_wrapper(self, hDevice: int, state: int) -> None:
        try:
            self._connected = state == 0
            if state != 0:
                self._link_lost()
            callback = self._conn_callback
            if callback is not None:
                callback(state=int(state))
        except Exception:
            pass

    def _require_open(self) -> None:
        Runtime._check_runtime()
        if self._closed:
            raise ValueError("The amplifier is closed.")

    # ---------------------------------------------------------------- frames

    def supports_quarn(self) -> bool:
        return HAS_QUARN

    def send_frame(self, cmd: int, payload: Any = b"", timeout_ms: int = 5000) -> Tuple[int, bytes]:
        Runtime._check_runtime()
        if not HAS_QUARN:
            raise RuntimeError("this native mivoble has no MIVOBLE_SendFrame; Quarn devices need 1.24.1.0 or newer")
        cmd = check_range("cmd", cmd, 0, 0xFF)
        timeout_ms = check_range("timeout_ms", timeout_ms, 0, 0xFFFFFFFF)
        if isinstance(payload, int):
            # bytes(5) would silently mean five zero bytes.
            raise TypeError("payload must be bytes or a sequence of byte values, not int.")
        data = bytes(payload)
        if len(data) > 0xFFFF:
            # Would wrap in the 16-bit length argument; the library's own limit is lower still.
            raise ValueError("SendFrame: payload too large")

        response = (ctypes.c_uint8 * Device.QUARN_MAX_RESPONSE)()
        response_length = ctypes.c_uint16(Device.QUARN_MAX_RESPONSE)
        response_cmd = ctypes.c_uint8(0)
        request = (ctypes.c_uint8 * len(data)).from_buffer_copy(data) if data else None

        Runtime.__handle_error__(
            lib.MIVOBLE_SendFrame(self.__hDevice, cmd, request, len(data), ctypes.byref(response_cmd), response,
                                  ctypes.byref(response_length), timeout_ms)
        )
        length = min(response_length.value, Device.QUARN_MAX_RESPONSE)
        return int(response_cmd.value), bytes(response[:length])

    def set_active_layout(self, channel_count: int, samples_per_payload: int, bytes_per_channel: int,
                          little_endian: bool, sampling_rate: int) -> None:
        Runtime._check_runtime()
        if not HAS_QUARN:
            raise RuntimeError(
                "this native mivoble has no MIVOBLE_SetActiveLayout; Quarn devices need 1.24.1.0 or newer"
            )
        channel_count = check_range("channel_count", channel_count, 0, 0xFF)
        samples_per_payload = check_range("samples_per_payload", samples_per_payload, 0, 0xFFFF)
        bytes_per_channel = check_range("bytes_per_channel", bytes_per_channel, 0, 0xFF)
        sampling_rate = check_range("sampling_rate", sampling_rate, 0, 0xFFFF)

        # The library rejects a layout with -1 without writing a last-error
        # text; an unchanged text is then a stale one from an earlier failure.
        text_before = last_error_text()
        status = lib.MIVOBLE_SetActiveLayout(
            self.__hDevice, channel_count, samples_per_payload, bytes_per_channel, bool(little_endian), sampling_rate
        )
        if status == STATUS_GENERAL and last_error_text() == text_before:
            raise ValueError(
                "The sample layout was rejected: it needs 1 to 255 channels, 1 to 64 frames per payload "
                "(more only where the device's row capacity allows) and 3 or 4 bytes per sample."
            )
        Runtime.__handle_error__(status)
        Runtime.__handle_error__(lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(self.__device_info)))

    # ------------------------------------------------------------ properties

    @property
    def connected(self) -> bool:
        return self._connected

    @property
    def model_number(self) -> str:
        return decode_text(self.__device_info.modelNumber)

    @property
    def serial_number(self) -> str:
        return decode_text(self.__device_info.serialNumber)

    @property
    def firmware_version(self) -> str:
        return decode_text(self.__device_info.firmwareRevision)

    @property
    def hardware_version(self) -> str:
        return decode_text(self.__device_info.hardwareRevision)

    @property
    def manufacturer_name(self) -> str:
        return decode_text(self.__device_info.manufacturerName)

    @property
    def channel_types(self) -> List[int]:
        return [t for t in self.__device_info.channelTypes if t != 0]

    @property
    def no_of_acquired_channels(self) -> int:
        return int(self.__device_info.numberOfAcquiredChannels)

    @property
    def sampling_rate(self) -> int:
        return int(self.__device_info.samplingRate)

    @property
    def handle(self) -> int:
        return int(self.__hDevice.value)
