"""The native library, loaded once, with its records, callback types and prototypes.

The bottom of the binding: every other module reaches the library through ``lib`` here,
and this module imports nothing of the package but the library's location. Groups of
functions that an older library may lack are declared inside guards; the ``HAS_*`` flags
say which are there.
"""

from __future__ import annotations

import ctypes
from typing import Any, List, Optional

from mivo_ble.lib.libpath import LIBPATH

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


class MIVOBLE_CHANNEL_CONFIGURATION(ctypes.Structure):
    """Mirror of the library's channel record (8 bytes)."""

    _fields_ = [("id", ctypes.c_uint16), ("type", ctypes.c_uint8), ("index", ctypes.c_uint8), ("scale", ctypes.c_float)]


class MIVOBLE_IMAGE_STATE(ctypes.Structure):
    """Mirror of the library's image state record (72 bytes)."""

    _fields_ = [
        ("slot", ctypes.c_uint8),
        ("flags", ctypes.c_uint8),
        ("version", ctypes.c_char * 32),
        ("hash", ctypes.c_uint8 * 32),
        ("reserved", ctypes.c_uint8 * 6),
    ]


IMAGE_FLAG_CONFIRMED = 0x01
IMAGE_FLAG_PENDING = 0x02
IMAGE_FLAG_ACTIVE = 0x04
CHANNEL_CAPACITY = 64
IMAGE_CAPACITY = 8
ECHO_CAPACITY = 256

DeviceDiscoveredCallback = ctypes.CFUNCTYPE(
    None, ctypes.POINTER(ctypes.c_char * MIVOBLE_DEVICENAME_LENGTH_MAX), ctypes.c_uint32
)
DataAvailableCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32)
DataAvailableBatchedCallback = ctypes.CFUNCTYPE(
    None, MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32, ctypes.c_uint32
)
ConnectionStateCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.c_uint32)
UploadProgressCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p)

# Null callbacks, which the registration functions take as "remove the callback".
NO_DEVICE_DISCOVERED_CALLBACK = ctypes.cast(None, DeviceDiscoveredCallback)  # type: ignore[arg-type]
NO_DATA_CALLBACK = ctypes.cast(None, DataAvailableCallback)  # type: ignore[arg-type]
NO_CONNECTION_STATE_CALLBACK = ctypes.cast(None, ConnectionStateCallback)  # type: ignore[arg-type]


def _declare(name: str, argtypes: Optional[List[Any]], restype: Any) -> None:
    function = getattr(lib, name)  # AttributeError when the library lacks it
    if argtypes is not None:
        function.argtypes = argtypes
    function.restype = restype


_declare("MIVOBLE_GetApiVersion", None, ctypes.c_char_p)
_declare("MIVOBLE_GetLastErrorText", None, ctypes.c_char_p)
_declare("MIVOBLE_StartScanning", None, ctypes.c_uint32)
_declare("MIVOBLE_StopScanning", None, ctypes.c_uint32)
_declare("MIVOBLE_RegisterDeviceDiscoveredCallback", [DeviceDiscoveredCallback], ctypes.c_int)
_declare("MIVOBLE_OpenDevice", [ctypes.c_char_p, ctypes.POINTER(MIVOBLE_HANDLE)], ctypes.c_uint32)
_declare("MIVOBLE_CloseDevice", [ctypes.POINTER(MIVOBLE_HANDLE)], ctypes.c_uint32)
_declare("MIVOBLE_Shutdown", None, ctypes.c_uint32)
_declare("MIVOBLE_RegisterDataAvailableCallback", [MIVOBLE_HANDLE, DataAvailableCallback], ctypes.c_int)
_declare("MIVOBLE_GetDeviceInformation", [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_DEVICE_INFORMATION)],
         ctypes.c_uint32)

try:
    _declare("MIVOBLE_RegisterConnectionStateCallback", [MIVOBLE_HANDLE, ConnectionStateCallback], ctypes.c_int)
    HAS_CONNECTION_STATE_CB = True
except AttributeError:
    HAS_CONNECTION_STATE_CB = False

try:
    _declare(
        "MIVOBLE_SendFrame",
        [MIVOBLE_HANDLE, ctypes.c_uint8, ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint16,
         ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_uint16),
         ctypes.c_uint32],
        ctypes.c_uint32,
    )
    _declare(
        "MIVOBLE_SetActiveLayout",
        [MIVOBLE_HANDLE, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint8, ctypes.c_bool, ctypes.c_uint16],
        ctypes.c_uint32,
    )
    HAS_QUARN = True
except AttributeError:
    HAS_QUARN = False

try:
    _declare("MIVOBLE_RegisterDataAvailableBatchedCallback", [MIVOBLE_HANDLE, DataAvailableBatchedCallback],
             ctypes.c_int32)
    _declare("MIVOBLE_SetFramesPerCallback", [MIVOBLE_HANDLE, ctypes.c_uint32], ctypes.c_int32)
    HAS_BATCHED = True
except AttributeError:
    HAS_BATCHED = False

try:
    _declare(
        "MIVOBLE_GetChannelConfiguration",
        [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_CHANNEL_CONFIGURATION), ctypes.POINTER(ctypes.c_uint32)],
        ctypes.c_int32,
    )
    HAS_CHANNEL_CONFIGURATION = True
except AttributeError:
    HAS_CHANNEL_CONFIGURATION = False

try:
    _declare("MIVOBLE_ListImages",
             [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_IMAGE_STATE), ctypes.POINTER(ctypes.c_uint32)], ctypes.c_int32)
    _declare(
        "MIVOBLE_UploadImage",
        [MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32, ctypes.c_uint32, UploadProgressCallback,
         ctypes.c_void_p],
        ctypes.c_int32,
    )
    _declare("MIVOBLE_TestImage", [MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_uint8)], ctypes.c_int32)
    _declare("MIVOBLE_ConfirmImage", [MIVOBLE_HANDLE], ctypes.c_int32)
    _declare("MIVOBLE_EraseImage", [MIVOBLE_HANDLE], ctypes.c_int32)
    _declare("MIVOBLE_ResetDevice", [MIVOBLE_HANDLE], ctypes.c_int32)
    _declare("MIVOBLE_Echo", [MIVOBLE_HANDLE, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32)],
             ctypes.c_int32)
    HAS_FIRMWARE = True
except AttributeError:
    HAS_FIRMWARE = False

# A status of -1 arrives through a c_uint32 result as this value.
STATUS_GENERAL = 0xFFFFFFFF
