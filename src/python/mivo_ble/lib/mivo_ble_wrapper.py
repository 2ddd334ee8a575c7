"""ctypes binding of the mivoble library.

The library is loaded and every prototype is declared once, at import. One
:class:`MivoBLEWrapper` instance stands for one open amplifier; its static
methods cover what is process-wide (scanning, shutdown, API version).

Every library call releases the interpreter lock while it runs (ctypes.CDLL),
and the library's callbacks re-enter Python through ctypes callback objects,
which take the lock. Those objects are kept referenced for as long as the
library may call them.
"""

from __future__ import annotations

import atexit
import ctypes
import operator
import threading
import weakref
from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Tuple

import numpy

from mivo_ble.lib.libpath import LIBPATH

if TYPE_CHECKING:
    from mivo_ble.firmware import ImageState

lib = ctypes.CDLL(LIBPATH)

MIVOBLE_HANDLE = ctypes.c_uint64
MIVOBLE_STRING_LENGTH_MAX = 255
MIVOBLE_DEVICENAME_LENGTH_MAX = 15
MIVOBLE_NUMBER_OF_CHANNELS_MAX = 64


class MIVOBLE_DEVICE_INFORMATION(ctypes.Structure):
    """Mirror of the library's device information record (1344 bytes)."""

    _fields_ = [
        ("modelNumber", ctypes.c_char * MIVOBLE_STRING_LENGTH_MAX),
        ("serialNumber", ctypes.c_char * MIVOBLE_STRING_LENGTH_MAX),
        ("firmwareRevision", ctypes.c_char * MIVOBLE_STRING_LENGTH_MAX),
        ("hardwareRevision", ctypes.c_char * MIVOBLE_STRING_LENGTH_MAX),
        ("manufacturerName", ctypes.c_char * MIVOBLE_STRING_LENGTH_MAX),
        ("channelTypes", ctypes.c_uint8 * MIVOBLE_NUMBER_OF_CHANNELS_MAX),
        ("numberOfAcquiredChannels", ctypes.c_uint16),
        ("samplingRate", ctypes.c_uint16),
    ]


DeviceDiscoveredCallback = ctypes.CFUNCTYPE(
    None, ctypes.POINTER(ctypes.c_char * MIVOBLE_DEVICENAME_LENGTH_MAX), ctypes.c_uint32
)
DataAvailableCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32)
ConnectionStateCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.c_uint32)

lib.MIVOBLE_GetApiVersion.restype = ctypes.c_char_p
lib.MIVOBLE_GetLastErrorText.restype = ctypes.c_char_p
lib.MIVOBLE_StartScanning.restype = ctypes.c_uint32
lib.MIVOBLE_StopScanning.restype = ctypes.c_uint32
lib.MIVOBLE_RegisterDeviceDiscoveredCallback.argtypes = [DeviceDiscoveredCallback]
lib.MIVOBLE_RegisterDeviceDiscoveredCallback.restype = ctypes.c_int
lib.MIVOBLE_OpenDevice.argtypes = [ctypes.c_char_p, ctypes.POINTER(MIVOBLE_HANDLE)]
lib.MIVOBLE_OpenDevice.restype = ctypes.c_uint32
lib.MIVOBLE_CloseDevice.argtypes = [ctypes.POINTER(MIVOBLE_HANDLE)]
lib.MIVOBLE_CloseDevice.restype = ctypes.c_uint32
lib.MIVOBLE_Shutdown.restype = ctypes.c_uint32
lib.MIVOBLE_RegisterDataAvailableCallback.argtypes = [MIVOBLE_HANDLE, DataAvailableCallback]
lib.MIVOBLE_RegisterDataAvailableCallback.restype = ctypes.c_int
lib.MIVOBLE_GetDeviceInformation.argtypes = [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_DEVICE_INFORMATION)]
lib.MIVOBLE_GetDeviceInformation.restype = ctypes.c_uint32

try:
    lib.MIVOBLE_RegisterConnectionStateCallback.argtypes = [MIVOBLE_HANDLE, ConnectionStateCallback]
    lib.MIVOBLE_RegisterConnectionStateCallback.restype = ctypes.c_int
    _HAS_CONNECTION_STATE_CB = True
except AttributeError:
    _HAS_CONNECTION_STATE_CB = False

try:
    lib.MIVOBLE_SendFrame.argtypes = [
        MIVOBLE_HANDLE,
        ctypes.c_uint8,
        ctypes.POINTER(ctypes.c_uint8),
        ctypes.c_uint16,
        ctypes.POINTER(ctypes.c_uint8),
        ctypes.POINTER(ctypes.c_uint8),
        ctypes.POINTER(ctypes.c_uint16),
        ctypes.c_uint32,
    ]
    lib.MIVOBLE_SendFrame.restype = ctypes.c_uint32
    lib.MIVOBLE_SetActiveLayout.argtypes = [
        MIVOBLE_HANDLE,
        ctypes.c_uint8,
        ctypes.c_uint16,
        ctypes.c_uint8,
        ctypes.c_bool,
        ctypes.c_uint16,
    ]
    lib.MIVOBLE_SetActiveLayout.restype = ctypes.c_uint32
    _HAS_QUARN = True
except AttributeError:
    _HAS_QUARN = False

# A status of -1 arrives through a c_uint32 result as this value.
_STATUS_GENERAL = 0xFFFFFFFF

_EMPTY_ROW = numpy.empty(0, dtype=numpy.float32)

# Open instances, so that the interpreter's exit can unregister their callbacks
# before the library's threads could call into a finalising interpreter.
_live_instances = weakref.WeakSet()

# Depth of this package's device callbacks on the current thread (library threads only).
_callback_state = threading.local()

# Closes requested from inside a device callback run on their own threads (see
# close()); the callback objects they retire are kept for the life of the process
# because the library thread may still be returning through one of them.
_detached_closes = []
_retired_callbacks = []
_DETACHED_CLOSE_WAIT = 10.0


def _last_error_text():
    text = lib.MIVOBLE_GetLastErrorText()
    # The library cuts long texts at 255 bytes, possibly inside a UTF-8 sequence.
    return text.decode("utf-8", errors="replace") if text else ""


def _decode_text(raw):
    # Device texts are cut at 254 bytes by the library, possibly inside a UTF-8 sequence.
    return raw.decode("utf-8", errors="replace")


def _check_range(name, value, low, high):
    """ctypes silently wraps integers into narrow C types; refuse instead."""
    try:
        value = operator.index(value)  # int and numpy integers; not float or str
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}.") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}.")
    return value


def _weak_trampoline(instance, method_name):
    """A callable that forwards to instance.method_name without keeping instance alive.

    Holding the bound method in the ctypes object would make a reference cycle,
    so a wrapper dropped without close() would stay open (and keep receiving
    samples) until the cycle collector happens to run.
    """
    ref = weakref.ref(instance)

    def forward(*args):
        target = ref()
        if target is None:
            return
        _callback_state.depth = getattr(_callback_state, "depth", 0) + 1
        try:
            getattr(target, method_name)(*args)
        finally:
            # Dropped while the depth still counts this call, so that a wrapper
            # whose last reference goes here is finalised knowing where it is.
            target = None
            _callback_state.depth -= 1

    return forward


def _in_device_callback():
    return getattr(_callback_state, "depth", 0) > 0


def _close_detached(handle):
    """The library side of close(), for a wrapper closed from inside its own callback."""
    if _HAS_CONNECTION_STATE_CB:
        try:
            lib.MIVOBLE_RegisterConnectionStateCallback(handle, ctypes.cast(None, ConnectionStateCallback))
        except Exception:
            pass
    try:
        lib.MIVOBLE_RegisterDataAvailableCallback(handle, ctypes.cast(None, DataAvailableCallback))
    except Exception:
        pass
    try:
        lib.MIVOBLE_CloseDevice(ctypes.byref(handle))
    except Exception:
        pass


class MivoBLEWrapper:
    """One open amplifier; static methods for scanning, shutdown and the API version."""

    _dd_callback = None
    _dd_callback_internal = None
    _shut_down = False
    QUARN_MAX_RESPONSE = 102

    # Set once the discovery callback has been registered with the library, so
    # the exit handler knows whether there is anything to unregister.
    _dd_registered = False

    _data_callback: Optional[Callable[..., None]]
    _data_callback_internal: Optional[Callable[..., None]]
    _conn_callback: Optional[Callable[..., None]]
    _conn_callback_internal: Optional[Callable[..., None]]

    # ----------------------------------------------------------- process-wide

    @staticmethod
    def __handle_error__(errorCode):
        from mivo_ble.amplifier import Amplifier

        if errorCode != Amplifier.Error.NONE.value:
            raise ValueError(_last_error_text())

    @staticmethod
    def _check_runtime():
        if MivoBLEWrapper._shut_down:
            from mivo_ble.exceptions import RuntimeShutDown

            raise RuntimeShutDown(
                "The BLE runtime was shut down in this process and cannot be started again; "
                "scanning or opening a device needs a new process."
            )

    @staticmethod
    def get_api_version() -> str:
        version = lib.MIVOBLE_GetApiVersion()
        if version is None:
            return ""
        if isinstance(version, bytes):
            return version.decode("utf-8")
        return str(version)

    @staticmethod
    def start_scanning() -> None:
        MivoBLEWrapper._check_runtime()
        if MivoBLEWrapper._dd_callback is None:
            raise ValueError("No device discovered callback set.")
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_RegisterDeviceDiscoveredCallback(MivoBLEWrapper._dd_callback_internal)
        )
        MivoBLEWrapper._dd_registered = True
        MivoBLEWrapper.__handle_error__(lib.MIVOBLE_StartScanning())

    @staticmethod
    def stop_scanning() -> None:
        MivoBLEWrapper._check_runtime()
        MivoBLEWrapper.__handle_error__(lib.MIVOBLE_StopScanning())
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_RegisterDeviceDiscoveredCallback(ctypes.cast(None, DeviceDiscoveredCallback))
        )
        MivoBLEWrapper._dd_registered = False

    @staticmethod
    def shutdown() -> None:
        if MivoBLEWrapper._shut_down:
            return
        MivoBLEWrapper._shut_down = True
        lib.MIVOBLE_Shutdown()

    @staticmethod
    def set_device_discovered_callback(callback: Optional[Callable[[List[str]], None]]) -> None:
        MivoBLEWrapper._dd_callback = callback
        if MivoBLEWrapper._dd_callback_internal is None:
            MivoBLEWrapper._dd_callback_internal = DeviceDiscoveredCallback(MivoBLEWrapper._dd_callback_wrapper)

    @staticmethod
    def _dd_callback_wrapper(devices, num_dev):
        names = []
        if num_dev and devices:
            slot = MIVOBLE_DEVICENAME_LENGTH_MAX
            raw = ctypes.string_at(ctypes.addressof(devices.contents), slot * num_dev)
            for i in range(num_dev):
                name = raw[i * slot : (i + 1) * slot].split(b"\0", 1)[0]
                # A name cut to 14 bytes can end inside a UTF-8 sequence.
                names.append(name.decode("utf-8", errors="replace"))
        callback = MivoBLEWrapper._dd_callback
        if callback is not None:
            callback(names)

    # ------------------------------------------------------------- lifecycle

    def __init__(self, serial: str) -> None:
        self._closed = True
        MivoBLEWrapper._check_runtime()
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
        self._chunks = None
        self._chunk_callback_internal = None
        self._chunks_active = False
        self._frames_per_callback = None

        self.__hDevice = MIVOBLE_HANDLE(0)
        MivoBLEWrapper.__handle_error__(lib.MIVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(self.__hDevice)))
        _live_instances.add(self)

        self.__device_info = MIVOBLE_DEVICE_INFORMATION()
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(self.__device_info))
        )

        self._data_callback_internal = DataAvailableCallback(_weak_trampoline(self, "_data_callback_wrapper"))
        from mivo_ble.chunks import ChunkStream

        self._chunks = ChunkStream(self.__device_info.samplingRate)

        if _HAS_CONNECTION_STATE_CB:
            self._conn_callback_internal = ConnectionStateCallback(_weak_trampoline(self, "_conn_callback_wrapper"))
            MivoBLEWrapper.__handle_error__(
                lib.MIVOBLE_RegisterConnectionStateCallback(self.__hDevice, self._conn_callback_internal)
            )

    def start(self) -> None:
        MivoBLEWrapper._check_runtime()
        if self._data_callback is None:
            raise ValueError("No data callback set.")
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_RegisterDataAvailableCallback(self.__hDevice, self._data_callback_internal)
        )
        # The library delivers rows one way at a time: per row now, not in chunks.
        self._chunks_active = False

    def stop(self) -> None:
        if MivoBLEWrapper._shut_down:
            return
        try:
            lib.MIVOBLE_RegisterDataAvailableCallback(self.__hDevice, ctypes.cast(None, DataAvailableCallback))
        except Exception:
            pass
        self._chunks_active = False

    def close(self) -> None:
        if getattr(self, "_closed", True):
            return
        if MivoBLEWrapper._shut_down:
            self._release()
            return
        if _in_device_callback():
            # On a library thread inside a data or connection-state callback (a
            # close() there, or the last reference dropped there). The library
            # delivers samples under a lock that unregistering takes, and closes
            # from the reconnect thread by leaking the device, so the library
            # side of the close runs on a thread of its own.
            handle = MIVOBLE_HANDLE(self.__hDevice.value)
            _retired_callbacks.append(
                (self._data_callback_internal, self._conn_callback_internal, self._chunk_callback_internal)
            )
            self._release()
            closer = threading.Thread(target=_close_detached, args=(handle,), name="mivo_ble-close", daemon=True)
            closer.start()
            _detached_closes.append(closer)
            return
        if _HAS_CONNECTION_STATE_CB:
            try:
                lib.MIVOBLE_RegisterConnectionStateCallback(self.__hDevice, ctypes.cast(None, ConnectionStateCallback))
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

    def _release(self):
        chunks = getattr(self, "_chunks", None)
        if chunks is not None and chunks.ring is not None:
            chunks.ring.close()  # wakes readers; what is buffered stays readable
        self._chunks_active = False
        self._chunk_callback_internal = None
        self._data_callback = None
        self._data_callback_internal = None
        self._conn_callback = None
        self._conn_callback_internal = None
        self._connected = False
        self._closed = True
        self.__hDevice = MIVOBLE_HANDLE(0)
        _live_instances.discard(self)

    def __del__(self):
        try:
            self.close()
        except Exception:
            # At interpreter exit module globals may already be gone.
            pass

    # ------------------------------------------------------------- callbacks

    def set_data_callback(self, callback: Optional[Callable[..., None]]) -> None:
        self._data_callback = callback

    def _data_callback_wrapper(self, hDevice, sample, sample_size):
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

    def _conn_callback_wrapper(self, hDevice, state):
        try:
            self._connected = state == 0
            if state != 0 and self._chunks is not None:
                # Rows after the reconnect start a new time line.
                self._chunks.restart_clock()
            callback = self._conn_callback
            if callback is not None:
                callback(state=int(state))
        except Exception:
            pass

    # -------------------------------------------------------- chunks and pull

    def _require_open(self):
        MivoBLEWrapper._check_runtime()
        if self._closed:
            raise ValueError("The amplifier is closed.")

    @property
    def frames_per_callback(self) -> int:
        """Rows per chunk the library collects before calling back (1 to 64).

        Unset, chunks carry about 20 ms of rows (see mivo_ble.chunks)."""
        if self._frames_per_callback is not None:
            return self._frames_per_callback
        from mivo_ble.chunks import default_frames_per_callback

        return default_frames_per_callback(self.sampling_rate)

    @frames_per_callback.setter
    def frames_per_callback(self, frames: int) -> None:
        from mivo_ble.lib import extensions as ext

        self._require_open()
        frames = _check_range("frames_per_callback", frames, 1, 64)
        if not ext.HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        MivoBLEWrapper.__handle_error__(lib.MIVOBLE_SetFramesPerCallback(self.__hDevice, frames))
        self._frames_per_callback = frames

    def _start_chunks(self):
        """Switches the library to batched delivery into this wrapper's chunk stream."""
        from mivo_ble.lib import extensions as ext

        if self._chunks_active:
            return
        if not ext.HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        if self._chunk_callback_internal is None:
            self._chunk_callback_internal = ext.DataAvailableBatchedCallback(
                _weak_trampoline(self, "_chunk_callback_wrapper")
            )
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_SetFramesPerCallback(self.__hDevice, self.frames_per_callback)
        )
        self._chunks.restart_clock()
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_RegisterDataAvailableBatchedCallback(self.__hDevice, self._chunk_callback_internal)
        )
        self._chunks_active = True

    def _chunk_callback_wrapper(self, hDevice, rows, row_count, width):
        self._chunks.deliver(rows, row_count, width)

    def set_chunk_callback(self, callback: Optional[Callable[[numpy.ndarray, numpy.ndarray], None]]) -> None:
        """Delivers samples as chunks: callback(data, timestamps) with a float32 array of
        rows x row width and a float64 array of host times (time.monotonic() scale).

        Starts streaming; replaces per-row delivery (start()). None stops calling it."""
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable or None.")
        self._require_open()
        self._chunks.callback = callback
        if callback is not None:
            self._start_chunks()

    def start_buffer(self, seconds: float = 10.0) -> None:
        """Starts streaming into a ring buffer holding the newest `seconds` of rows, for
        read(), available() and chunks(). Rows the reader leaves behind once it is full
        are overwritten and counted in `overruns`."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
            raise TypeError(f"seconds must be a number, not {type(seconds).__name__}.")
        if not (seconds > 0 and seconds < float("inf")):
            raise ValueError("seconds must be a positive, finite number.")
        self._require_open()
        self._chunks.start_buffer(float(seconds), int(self.no_of_acquired_channels))
        self._start_chunks()

    def _ring(self):
        ring = self._chunks.ring if self._chunks is not None else None
        if ring is None:
            if self._closed:
                raise ValueError("The amplifier is closed.")
            raise ValueError("No buffer started: call start_buffer() first.")
        return ring

    def read(self, max_rows: Optional[int] = None, timeout: Optional[float] = None
             ) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """Takes the buffered rows, oldest first: (timestamps, data) with data a float32
        array of rows x row width. Waits up to `timeout` seconds for at least one row
        (None or 0: does not wait). After close(), what was buffered is still returned;
        then it raises."""
        if max_rows is not None:
            max_rows = _check_range("max_rows", max_rows, 1, 1 << 62)
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}.")
            if timeout < 0:
                raise ValueError("timeout must not be negative.")
        ring = self._ring()
        if self._closed and ring.available() == 0:
            raise ValueError("The amplifier is closed.")
        if not self._closed:
            MivoBLEWrapper._check_runtime()
        return ring.read(max_rows, timeout)

    def available(self) -> int:
        """Rows waiting in the buffer."""
        return self._ring().available()

    def chunks(self, max_rows: Optional[int] = None, timeout: float = 1.0
               ) -> Iterator[Tuple[numpy.ndarray, numpy.ndarray]]:
        """Iterates over (timestamps, data) chunks from the buffer until the amplifier is
        closed (or the runtime shut down); waits up to `timeout` seconds for each."""
        while not self._closed and not MivoBLEWrapper._shut_down:
            timestamps, data = self.read(max_rows=max_rows, timeout=timeout)
            if len(data):
                yield timestamps, data

    @property
    def overruns(self) -> int:
        """Rows overwritten in the buffer before they were read."""
        return self._chunks.overruns if self._chunks is not None else 0

    # -------------------------------------------------------------- firmware

    def list_images(self) -> List["ImageState"]:
        """The amplifier's image slots: a list of mivo_ble.firmware.ImageState."""
        from mivo_ble import firmware

        self._require_open()
        return firmware.list_images(self.__hDevice, MivoBLEWrapper.__handle_error__)

    def upload_image(self, data: bytes, progress: Optional[Callable[[int, int], None]] = None) -> None:
        """Uploads a firmware image (bytes); progress(offset, total) is called as it goes."""
        from mivo_ble import firmware

        self._require_open()
        firmware.upload_image(self.__hDevice, MivoBLEWrapper.__handle_error__, data, progress)

    def test_image(self, image_hash: bytes) -> None:
        """Marks the image with this 32-byte hash for a test boot at the next reset."""
        from mivo_ble import firmware

        self._require_open()
        firmware.test_image(self.__hDevice, MivoBLEWrapper.__handle_error__, image_hash)

    def confirm_image(self) -> None:
        """Confirms the running image."""
        from mivo_ble import firmware

        self._require_open()
        firmware.command(self.__hDevice, MivoBLEWrapper.__handle_error__, "MIVOBLE_ConfirmImage")

    def erase_image(self) -> None:
        """Erases the image in the secondary slot."""
        from mivo_ble import firmware

        self._require_open()
        firmware.command(self.__hDevice, MivoBLEWrapper.__handle_error__, "MIVOBLE_EraseImage")

    def reset(self) -> None:
        """Restarts the amplifier (the link drops and is re-established)."""
        from mivo_ble import firmware

        self._require_open()
        firmware.command(self.__hDevice, MivoBLEWrapper.__handle_error__, "MIVOBLE_ResetDevice")

    def echo(self, text: str) -> str:
        """Sends text to the amplifier's SMP echo and returns its answer."""
        from mivo_ble import firmware

        self._require_open()
        return firmware.echo(self.__hDevice, MivoBLEWrapper.__handle_error__, text)

    # ---------------------------------------------------------------- frames

    def supports_quarn(self) -> bool:
        return _HAS_QUARN

    def send_frame(self, cmd: int, payload: bytes = b"", timeout_ms: int = 5000) -> Tuple[int, bytes]:
        MivoBLEWrapper._check_runtime()
        if not _HAS_QUARN:
            raise RuntimeError("this native mivoble has no MIVOBLE_SendFrame; Quarn devices need 1.24.1.0 or newer")
        cmd = _check_range("cmd", cmd, 0, 0xFF)
        timeout_ms = _check_range("timeout_ms", timeout_ms, 0, 0xFFFFFFFF)
        if isinstance(payload, int):
            # bytes(5) would silently mean five zero bytes.
            raise TypeError("payload must be bytes or a sequence of byte values, not int.")
        data = bytes(payload)
        if len(data) > 0xFFFF:
            # Would wrap in the 16-bit length argument; the library's own limit is lower still.
            raise ValueError("SendFrame: payload too large")

        response = (ctypes.c_uint8 * MivoBLEWrapper.QUARN_MAX_RESPONSE)()
        response_length = ctypes.c_uint16(MivoBLEWrapper.QUARN_MAX_RESPONSE)
        response_cmd = ctypes.c_uint8(0)
        request = (ctypes.c_uint8 * len(data)).from_buffer_copy(data) if data else None

        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_SendFrame(
                self.__hDevice,
                cmd,
                request,
                len(data),
                ctypes.byref(response_cmd),
                response,
                ctypes.byref(response_length),
                timeout_ms,
            )
        )
        length = min(response_length.value, MivoBLEWrapper.QUARN_MAX_RESPONSE)
        return int(response_cmd.value), bytes(response[:length])

    def set_active_layout(self, channel_count: int, samples_per_payload: int, bytes_per_channel: int,
                          little_endian: bool, sampling_rate: int) -> None:
        MivoBLEWrapper._check_runtime()
        if not _HAS_QUARN:
            raise RuntimeError(
                "this native mivoble has no MIVOBLE_SetActiveLayout; Quarn devices need 1.24.1.0 or newer"
            )
        channel_count = _check_range("channel_count", channel_count, 0, 0xFF)
        samples_per_payload = _check_range("samples_per_payload", samples_per_payload, 0, 0xFFFF)
        bytes_per_channel = _check_range("bytes_per_channel", bytes_per_channel, 0, 0xFF)
        sampling_rate = _check_range("sampling_rate", sampling_rate, 0, 0xFFFF)

        # The library rejects a layout with -1 without writing a last-error
        # text; an unchanged text is then a stale one from an earlier failure.
        text_before = _last_error_text()
        status = lib.MIVOBLE_SetActiveLayout(
            self.__hDevice, channel_count, samples_per_payload, bytes_per_channel, bool(little_endian), sampling_rate
        )
        if status == _STATUS_GENERAL and _last_error_text() == text_before:
            raise ValueError(
                "The sample layout was rejected: it needs 1 to 255 channels, 1 to 64 frames per payload "
                "(more only where the device's row capacity allows) and 3 or 4 bytes per sample."
            )
        MivoBLEWrapper.__handle_error__(status)
        MivoBLEWrapper.__handle_error__(
            lib.MIVOBLE_GetDeviceInformation(self.__hDevice, ctypes.byref(self.__device_info))
        )

    # ------------------------------------------------------------ properties

    @property
    def connected(self) -> bool:
        return self._connected

    @property
    def model_number(self) -> str:
        return _decode_text(self.__device_info.modelNumber)

    @property
    def serial_number(self) -> str:
        return _decode_text(self.__device_info.serialNumber)

    @property
    def firmware_version(self) -> str:
        return _decode_text(self.__device_info.firmwareRevision)

    @property
    def hardware_version(self) -> str:
        return _decode_text(self.__device_info.hardwareRevision)

    @property
    def manufacturer_name(self) -> str:
        return _decode_text(self.__device_info.manufacturerName)

    @property
    def channel_types(self) -> List[int]:
        return [t for t in self.__device_info.channelTypes if t != 0]

    @property
    def no_of_acquired_channels(self) -> int:
        return self.__device_info.numberOfAcquiredChannels

    @property
    def sampling_rate(self) -> int:
        return self.__device_info.samplingRate

    @property
    def handle(self) -> int:
        return self.__hDevice.value


@atexit.register
def _close_at_exit():
    """Unregister every callback before the interpreter is torn down.

    A device left open would otherwise keep calling into Python from the
    library's threads while the interpreter finalises.
    """
    for instance in list(_live_instances):
        try:
            instance.close()
        except Exception:
            pass
    for closer in list(_detached_closes):
        closer.join(_DETACHED_CLOSE_WAIT)
    if MivoBLEWrapper._dd_registered and not MivoBLEWrapper._shut_down:
        try:
            lib.MIVOBLE_RegisterDeviceDiscoveredCallback(ctypes.cast(None, DeviceDiscoveredCallback))
        except Exception:
            pass
