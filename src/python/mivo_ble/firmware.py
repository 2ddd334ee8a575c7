"""Firmware management of an open amplifier over SMP, as Python values.

Thin layer over the library's image functions: records become :class:`ImageState`,
failures raise ``ValueError`` with the library's text (through the wrapper's error
check), and bad arguments raise before the library is called. :class:`Firmware` gives
the wrapper its firmware methods.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Callable, List, Optional

from mivo_ble.lib import native
from mivo_ble.lib.device import Device
from mivo_ble.lib.runtime import Runtime

HASH_LENGTH = 32

ProgressCallback = Callable[[int, int], None]
StatusCheck = Callable[[int], None]


@dataclass(frozen=True)
class ImageState:
    """One image slot as the amplifier reports it."""

    slot: int
    version: str
    hash: bytes
    confirmed: bool
    pending: bool
    active: bool


def _require_firmware() -> None:
    if not native.HAS_FIRMWARE:
        raise RuntimeError("this native mivoble has no firmware management functions")


def command(handle: Any, check: StatusCheck, name: str) -> None:
    """Runs one of the argument-less image or OS commands (confirm, erase, reset)."""
    _require_firmware()
    check(getattr(native.lib, name)(handle))


def list_images(handle: Any, check: StatusCheck) -> List[ImageState]:
    _require_firmware()
    records = (native.MIVOBLE_IMAGE_STATE * native.IMAGE_CAPACITY)()
    count = ctypes.c_uint32(native.IMAGE_CAPACITY)
    check(native.lib.MIVOBLE_ListImages(handle, records, ctypes.byref(count)))
    return [
        ImageState(
            slot=int(r.slot),
            version=r.version.decode("utf-8", errors="replace"),
            hash=bytes(r.hash),
            confirmed=bool(r.flags & native.IMAGE_FLAG_CONFIRMED),
            pending=bool(r.flags & native.IMAGE_FLAG_PENDING),
            active=bool(r.flags & native.IMAGE_FLAG_ACTIVE),
        )
        for r in records[: min(count.value, native.IMAGE_CAPACITY)]
    ]


def upload_image(handle: Any, check: StatusCheck, data: Any, progress: Optional[ProgressCallback] = None) -> None:
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
    errors: List[BaseException] = []

    def on_progress(_handle: int, offset: int, total: int, _user: Any) -> None:
        # Runs on the caller's thread inside the library call; an exception cannot
        # cross the C frames, so it is kept and raised once the upload returns.
        if progress is None or errors:
            return
        try:
            progress(int(offset), int(total))
        except BaseException as error:  # noqa: BLE001 - re-raised below
            errors.append(error)

    callback = native.UploadProgressCallback(on_progress)
    buffer = (ctypes.c_uint8 * len(image)).from_buffer_copy(image)
    status = native.lib.MIVOBLE_UploadImage(handle, buffer, len(image), 0, callback, None)
    if errors:
        raise errors[0]
    check(status)


def test_image(handle: Any, check: StatusCheck, image_hash: Any) -> None:
    _require_firmware()
    if not isinstance(image_hash, (bytes, bytearray, memoryview)):
        raise TypeError(f"hash must be bytes, not {type(image_hash).__name__}.")
    digest = bytes(image_hash)
    if len(digest) != HASH_LENGTH:
        raise ValueError(f"hash must be {HASH_LENGTH} bytes long, not {len(digest)}.")
    check(native.lib.MIVOBLE_TestImage(handle, (ctypes.c_uint8 * HASH_LENGTH).from_buffer_copy(digest)))


def echo(handle: Any, check: StatusCheck, text: str) -> str:
    _require_firmware()
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}.")
    if "\0" in text:
        raise ValueError("text must not contain NUL characters.")
    response = ctypes.create_string_buffer(native.ECHO_CAPACITY)
    size = ctypes.c_uint32(native.ECHO_CAPACITY)
    check(native.lib.MIVOBLE_Echo(handle, text.encode("utf-8"), response, ctypes.byref(size)))
    return response.raw[: min(size.value, native.ECHO_CAPACITY)].split(b"\0", 1)[0].decode("utf-8", errors="replace")


class Firmware(Device):
    """The firmware methods of an open amplifier."""

    def list_images(self) -> List[ImageState]:
        """The amplifier's image slots: a list of mivo_ble.firmware.ImageState."""
        self._require_open()
        return list_images(self._device_handle, Runtime.__handle_error__)

    def upload_image(self, data: bytes, progress: Optional[ProgressCallback] = None) -> None:
        """Uploads a firmware image (bytes); progress(offset, total) is called as it goes."""
        self._require_open()
        upload_image(self._device_handle, Runtime.__handle_error__, data, progress)

    def test_image(self, image_hash: bytes) -> None:
        """Marks the image with this 32-byte hash for a test boot at the next reset."""
        self._require_open()
        test_image(self._device_handle, Runtime.__handle_error__, image_hash)

    def confirm_image(self) -> None:
        """Confirms the running image."""
        self._require_open()
        command(self._device_handle, Runtime.__handle_error__, "MIVOBLE_ConfirmImage")

    def erase_image(self) -> None:
        """Erases the image in the secondary slot."""
        self._require_open()
        command(self._device_handle, Runtime.__handle_error__, "MIVOBLE_EraseImage")

    def reset(self) -> None:
        """Restarts the amplifier (the link drops and is re-established)."""
        self._require_open()
        command(self._device_handle, Runtime.__handle_error__, "MIVOBLE_ResetDevice")

    def echo(self, text: str) -> str:
        """Sends text to the amplifier's SMP echo and returns its answer."""
        self._require_open()
        return echo(self._device_handle, Runtime.__handle_error__, text)
