"""One open amplifier: opening and closing it, its properties, per-row samples, link
events, command frames and the host sample layout.

Wrappers opened on one amplifier share its handle through :mod:`mivo_ble.lib.link`.

No Python lock is held while a registration function of the library runs: it may
deliver the rows of a partly filled batch to the callback it replaces, on the calling
thread, before it returns. Every callback object stays referenced until the library
can no longer call it (see :mod:`mivo_ble.lib.runtime`).
"""

from __future__ import annotations

import ctypes
import weakref
from typing import Any, Callable, List, Optional, Tuple

import numpy

from mivo_ble.callables import FailureLog, check_callable, log
from mivo_ble.layout import Layout
from mivo_ble.lib import runtime
from mivo_ble.lib.link import Departure, links_lock, open_shared, succeeds
from mivo_ble.lib.native import (
    CHANNEL_CAPACITY,
    HAS_CHANNEL_CONFIGURATION,
    HAS_CONNECTION_STATE_CB,
    HAS_QUARN,
    MIVOBLE_CHANNEL_CONFIGURATION,
    MIVOBLE_DEVICE_INFORMATION,
    MIVOBLE_HANDLE,
    NO_DATA_CALLBACK,
    STATUS_GENERAL,
    ConnectionStateCallback,
    DataAvailableCallback,
    lib,
)
from mivo_ble.lib.runtime import Runtime, in_device_callback, retire, weak_trampoline
from mivo_ble.lib.status import check, check_range, decode_text, last_error_text

_EMPTY_ROW = numpy.empty(0, dtype=numpy.float32)

CONNECTED = 0


def read_layout(handle: Any, info: MIVOBLE_DEVICE_INFORMATION) -> Layout:
    """The layout the library decodes with after an open: channel types from the record,
    scale factors from the channel table where the library offers it."""
    width = int(info.numberOfAcquiredChannels)
    types = list(info.channelTypes[: max(0, width - 2)])
    scales: List[Optional[float]] = [None] * len(types)
    if HAS_CHANNEL_CONFIGURATION:
        records = (MIVOBLE_CHANNEL_CONFIGURATION * CHANNEL_CAPACITY)()
        count = ctypes.c_uint32(CHANNEL_CAPACITY)
        if succeeds(lambda: lib.MIVOBLE_GetChannelConfiguration(handle, records, ctypes.byref(count))):
            for record in records[: min(count.value, CHANNEL_CAPACITY)]:
                if 1 <= record.id <= len(types):
                    scales[record.id - 1] = float(record.scale)
    return Layout.described(types, int(info.samplingRate), scales)


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
        self._serial = serial
        self._data_callback = None
        self._data_callback_internal = None
        self._conn_callback = None
        self._conn_callback_internal = None
        self._failures = FailureLog()
        self._connected = True
        self.__hDevice = MIVOBLE_HANDLE(0)
        self.__device_info = MIVOBLE_DEVICE_INFORMATION()
        self._layout = Layout((), 0)
        self._delivery: Optional[str] = None  # "rows" or "chunks": what start() starts
        self._delivery_registered: Optional[str] = None  # what this wrapper last registered

        link, new = open_shared(serial, self)
        self._link = link
        self.__hDevice = MIVOBLE_HANDLE(link.handle)
        self._closed = False
        runtime.live_instances.add(self)

        check(lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(self.__device_info)))
        self._layout = read_layout(self.__hDevice, self.__device_info)

        self._data_callback_internal = DataAvailableCallback(weak_trampoline(self, "_data_callback_wrapper"))
        self._opened()

        if HAS_CONNECTION_STATE_CB:
            if new:
                link.state_thunk = ConnectionStateCallback(weak_trampoline(link, "_on_state"))
                check(lib.MIVOBLE_RegisterConnectionStateCallback(self.__hDevice, link.state_thunk))
            self._conn_callback_internal = link.state_thunk

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._closed:
            return f"<{type(self).__name__} {self._serial_text()!r} closed>"
        layout = self._layout
        state = "connected" if self._connected else "link lost"
        return (f"<{type(self).__name__} {self._serial_text()!r} handle {self.handle}, {state}, "
                f"{len(layout.channel_types)} channels at {layout.sampling_rate} Hz>")

    def _serial_text(self) -> str:
        return getattr(self, "_serial", "?")

    @property
    def _device_handle(self) -> Any:
        """The library's handle as the ctypes value the exports take."""
        return self.__hDevice

    def _opened(self) -> None:
        """Hook: the device is open and described; its callbacks are not yet registered."""

    def _layout_changed(self) -> None:
        """Hook: another sample layout is in force (set by the host, or after a reconnect)."""

    def _link_lost(self) -> None:
        """Hook: the library reported the link lost (called on its reconnect thread)."""

    def _thunks(self) -> Tuple[Any, ...]:
        """The callback objects of this wrapper the library may be holding."""
        return (self._data_callback_internal,)

    def _owns_stream(self, delivery: Optional[str] = None) -> bool:
        """Whether the library delivers this device's samples to this wrapper (as `delivery`)."""
        return not self._closed and self._link.owner() is self and (
            delivery is None or self._delivery_registered == delivery)

    def _register_delivery(self, register: Callable[[], int], delivery: str) -> None:
        """Registers this wrapper's data callback with the library (no lock held: the library
        may flush a partial batch to the callback it replaces before it returns)."""
        check(register())
        with links_lock:
            self._link.stream_owner = weakref.ref(self)
            self._delivery_registered = delivery

    def start(self) -> None:
        self._require_open()
        if self._data_callback is None:
            raise ValueError("No data callback set.")
        handle, thunk = self.__hDevice, self._data_callback_internal
        self._register_delivery(lambda: lib.MIVOBLE_RegisterDataAvailableCallback(handle, thunk), "rows")

    def stop(self) -> None:
        if Runtime._shut_down or self._closed or not self._owns_stream():
            return
        handle = self.__hDevice
        try:
            status = lib.MIVOBLE_RegisterDataAvailableCallback(handle, NO_DATA_CALLBACK)
        except Exception:
            return
        if status == 0:
            with links_lock:
                if self._link.owner() is self:
                    self._link.stream_owner = None

    def close(self) -> None:
        if getattr(self, "_closed", True):
            return
        if Runtime._shut_down:
            self._release(retire_thunks=True)
            return
        departure = Departure(self._link, self)
        if in_device_callback():
            # On a library thread inside a data or connection-state callback (a close()
            # there, or the last reference dropped there). The library delivers samples
            # under a lock that unregistering takes, and closes from the reconnect thread
            # by leaking the device, so the library side of the close runs on a thread of
            # its own.
            departure.run_detached(self._thunks())
            self._release(retire_thunks=True)
            return
        ok = departure.run()
        if departure.last and not ok:
            retire(self._link.state_thunk)
        self._release(retire_thunks=not ok)

    def _release(self, retire_thunks: bool) -> None:
        if retire_thunks:
            retire(*self._thunks())
        self._released()
        self._data_callback = None
        self._data_callback_internal = None
        self._conn_callback = None
        self._conn_callback_internal = None
        self._connected = False
        self._closed = True
        self.__hDevice = MIVOBLE_HANDLE(0)
        runtime.live_instances.discard(self)

    def _released(self) -> None:
        """Hook: the wrapper lets go of the device."""

    def _runtime_shut_down(self) -> None:
        if not getattr(self, "_closed", True):
            # The library closed the device; a callback may still be returning through a thunk.
            retire(self._link.state_thunk)
            self._release(retire_thunks=True)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            # At interpreter exit module globals may already be gone.
            pass

    # ------------------------------------------------------------- callbacks

    def set_data_callback(self, callback: Optional[Callable[..., None]]) -> None:
        """callback(data=row) gets every row as a float32 array, after start()."""
        check_callable("The data callable", callback, "callback(data=row)", data=_EMPTY_ROW)
        self._failures.forget("data")
        self._data_callback = callback
        if callback is not None:
            self._delivery = "rows"

    def _data_callback_wrapper(self, hDevice: int, sample: Any, sample_size: int) -> None:
        if sample_size != self._layout.width and sample_size >= 3:
            # The library changed the layout by itself (an amplifier that restarted).
            self._follow_library_layout(sample_size)
        callback = self._data_callback
        if callback is None:
            return
        if sample_size and sample:
            # The library's row buffer is valid only during this call: copy it.
            data = numpy.ctypeslib.as_array(sample, shape=(sample_size,)).copy()
        else:
            data = _EMPTY_ROW.copy()
        try:
            callback(data=data)
        except Exception as error:
            self._failures.report("data", error)

    def set_connection_state_callback(self, callback: Optional[Callable[..., None]]) -> None:
        """callback(state=code) gets 1 when the link is lost and 0 when it is back."""
        check_callable("The connection-state callable", callback, "callback(state=code)", state=0)
        self._failures.forget("connection-state")
        self._conn_callback = callback

    def _conn_callback_wrapper(self, hDevice: int, state: int) -> None:
        self._connected = state == CONNECTED
        if self._closed:
            return
        if state != CONNECTED:
            self._link_lost()
        else:
            # The reconnect has built the stream anew: the amplifier's own layout, or the host
            # layout kept over the link loss.
            self._follow_library_layout()
        callback = self._conn_callback
        if callback is not None:
            try:
                callback(state=int(state))
            except Exception as error:
                self._failures.report("connection-state", error)

    def _require_open(self) -> None:
        Runtime._check_runtime()
        if self._closed:
            raise ValueError("The amplifier is closed.")

    # ---------------------------------------------------------------- layout

    def _refreshed_info(self) -> MIVOBLE_DEVICE_INFORMATION:
        info = MIVOBLE_DEVICE_INFORMATION()
        check(lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(info)))
        self.__device_info = info
        return info

    def _follow_library_layout(self, width: Optional[int] = None) -> None:
        """Takes the layout the library decodes with now; `width` is the row width it delivers."""
        try:
            layout = read_layout(self.__hDevice, self._refreshed_info())
        except Exception as error:
            log.warning("%s: the sample layout in force is unknown: %s", self._serial_text(), error)
            return
        if width is not None and layout.width != width:
            # Rows the records do not describe come from a host layout.
            layout = Layout.host(max(0, width - 2), layout.sampling_rate)
        self._refresh_layout(layout)

    def _refresh_layout(self, layout: Layout) -> None:
        self._layout = layout
        self._layout_changed()

    @property
    def layout(self) -> Layout:
        """The sample layout in force: channel types, units, rate and row width of the rows
        delivered now (``channel_types`` and ``no_of_acquired_channels`` describe the
        layout found at open)."""
        return self._layout

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
        self._require_open()

        response = (ctypes.c_uint8 * Device.QUARN_MAX_RESPONSE)()
        response_length = ctypes.c_uint16(Device.QUARN_MAX_RESPONSE)
        response_cmd = ctypes.c_uint8(0)
        request = (ctypes.c_uint8 * len(data)).from_buffer_copy(data) if data else None

        check(lib.MIVOBLE_SendFrame(self.__hDevice, cmd, request, len(data), ctypes.byref(response_cmd), response,
                                    ctypes.byref(response_length), timeout_ms))
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
        self._require_open()

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
        check(status)
        self._refreshed_info()
        self._refresh_layout(Layout.host(channel_count, sampling_rate))

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
