"""Prototypes of the library functions beyond the wrapper's core set.

Batched sample delivery, the channel table and firmware management. Each group is
declared only when the loaded library exports it, so an older library still loads;
the ``HAS_*`` flags say what is there.
"""

from __future__ import annotations

import ctypes

from mivo_ble.lib.mivo_ble_wrapper import MIVOBLE_HANDLE, lib

DataAvailableBatchedCallback = ctypes.CFUNCTYPE(
    None, MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_float), ctypes.c_uint32, ctypes.c_uint32
)
UploadProgressCallback = ctypes.CFUNCTYPE(None, MIVOBLE_HANDLE, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p)


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


def _declare(name, argtypes, restype=ctypes.c_int32):
    function = getattr(lib, name)
    function.argtypes = argtypes
    function.restype = restype


try:
    _declare("MIVOBLE_RegisterDataAvailableBatchedCallback", [MIVOBLE_HANDLE, DataAvailableBatchedCallback])
    _declare("MIVOBLE_SetFramesPerCallback", [MIVOBLE_HANDLE, ctypes.c_uint32])
    HAS_BATCHED = True
except AttributeError:
    HAS_BATCHED = False

try:
    _declare(
        "MIVOBLE_GetChannelConfiguration",
        [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_CHANNEL_CONFIGURATION), ctypes.POINTER(ctypes.c_uint32)],
    )
    HAS_CHANNEL_CONFIGURATION = True
except AttributeError:
    HAS_CHANNEL_CONFIGURATION = False

try:
    _declare("MIVOBLE_ListImages", [MIVOBLE_HANDLE, ctypes.POINTER(MIVOBLE_IMAGE_STATE), ctypes.POINTER(ctypes.c_uint32)])
    _declare(
        "MIVOBLE_UploadImage",
        [MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32, ctypes.c_uint32, UploadProgressCallback,
         ctypes.c_void_p],
    )
    _declare("MIVOBLE_TestImage", [MIVOBLE_HANDLE, ctypes.POINTER(ctypes.c_uint8)])
    _declare("MIVOBLE_ConfirmImage", [MIVOBLE_HANDLE])
    _declare("MIVOBLE_EraseImage", [MIVOBLE_HANDLE])
    _declare("MIVOBLE_ResetDevice", [MIVOBLE_HANDLE])
    _declare(
        "MIVOBLE_Echo", [MIVOBLE_HANDLE, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32)]
    )
    HAS_FIRMWARE = True
except AttributeError:
    HAS_FIRMWARE = False
