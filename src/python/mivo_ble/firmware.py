"""Firmware management of an open amplifier over SMP, as Python values.

Thin layer over the library's image functions: records become :class:`ImageState`,
failures raise ``ValueError`` with the library's text (through the wrapper's error
check), and bad arguments raise before the library is called.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Callable, List, Optional

from mivo_ble.lib import extensions as ext
from mivo_ble.lib.mivo_ble_wrapper import lib

HASH_LENGTH = 32

ProgressCallback = Callable[[int, int], None]


@dataclass(frozen=True)
class ImageState:
    """One image slot as the amplifier reports it."""

    slot: int
    version: str
    hash: bytes
    confirmed: bool
    pending: bool
    active: bool


def _require_firmware():
    if not ext.HAS_FIRMWARE:
        raise RuntimeError("this native mivoble has no firmware management functions")


def command(handle, check, name: str) -> None:
    """Runs one of the argument-less image or OS commands (confirm, erase, reset)."""
    _require_firmware()
    check(getattr(lib, name)(handle))


def list_images(handle, check) -> List[ImageState]:
    _require_firmware()
    records = (ext.MIVOBLE_IMAGE_STATE * ext.IMAGE_CAPACITY)()
    count = ctypes.c_uint32(ext.IMAGE_CAPACITY)
    check(lib.MIVOBLE_ListImages(handle, records, ctypes.byref(count)))
    return [
        ImageState(
            slot=int(r.slot),
            version=r.version.decode("utf-8", errors="replace"),
            hash=bytes(r.hash),
            confirmed=bool(r.flags & ext.IMAGE_FLAG_CONFIRMED),
            pending=bool(r.flags & ext.IMAGE_FLAG_PENDING),
            active=bool(r.flags & ext.IMAGE_FLAG_ACTIVE),
        )
        for r in records[: min(count.value, ext.IMAGE_CAPACITY)]
    ]


def upload_image(handle, check, data, progress: Optional[ProgressCallback] = None) -> None:
    _require_firmware()
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data must be bytes, not {type(data).__name__}.")
    image = bytes(data)
    if not image:
        raise ValueError("The image is empty.")
    if len(image) > 0xFFFFFFFF:
        raise ValueError("The image is larger than 4 GiB.")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable.")
    errors = []

    def on_progress(_handle, offset, total, _user):
        # Runs on the caller's thread inside the library call; an exception cannot
        # cross the C frames, so it is kept and raised once the upload returns.
        if progress is None or errors:
            return
        try:
            progress(int(offset), int(total))
        except BaseException as error:  # noqa: BLE001 - re-raised below
            errors.append(error)

    callback = ext.UploadProgressCallback(on_progress)
    buffer = (ctypes.c_uint8 * len(image)).from_buffer_copy(image)
    status = lib.MIVOBLE_UploadImage(handle, buffer, len(image), 0, callback, None)
    if errors:
        raise errors[0]
    check(status)


def test_image(handle, check, image_hash) -> None:
    _require_firmware()
    if not isinstance(image_hash, (bytes, bytearray, memoryview)):
        raise TypeError(f"hash must be bytes, not {type(image_hash).__name__}.")
    digest = bytes(image_hash)
    if len(digest) != HASH_LENGTH:
        raise ValueError(f"hash must be {HASH_LENGTH} bytes long, not {len(digest)}.")
    check(lib.MIVOBLE_TestImage(handle, (ctypes.c_uint8 * HASH_LENGTH).from_buffer_copy(digest)))


def echo(handle, check, text: str) -> str:
    _require_firmware()
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}.")
    if "\0" in text:
        raise ValueError("text must not contain NUL characters.")
    response = ctypes.create_string_buffer(ext.ECHO_CAPACITY)
    size = ctypes.c_uint32(ext.ECHO_CAPACITY)
    check(lib.MIVOBLE_Echo(handle, text.encode("utf-8"), response, ctypes.byref(size)))
    return response.raw[: min(size.value, ext.ECHO_CAPACITY)].split(b"\0", 1)[0].decode("utf-8", errors="replace")
