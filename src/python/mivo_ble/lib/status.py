"""Library statuses as Python exceptions, and argument checks that keep C from misreading values."""

from __future__ import annotations

import operator
from typing import Any

from mivo_ble.amplifier import Amplifier
from mivo_ble.lib.native import lib


def last_error_text() -> str:
    text = lib.MIVOBLE_GetLastErrorText()
    # The library cuts long texts at 255 bytes, possibly inside a UTF-8 sequence.
    return text.decode("utf-8", errors="replace") if text else ""


def decode_text(raw: bytes) -> str:
    # Device texts are cut at 254 bytes by the library, possibly inside a UTF-8 sequence.
    return raw.decode("utf-8", errors="replace")


def check(status: int) -> None:
    """Raises for every status but success, with the calling thread's last-error text."""
    if status != Amplifier.Error.NONE.value:
        raise ValueError(last_error_text())


def check_range(name: str, value: Any, low: int, high: int) -> int:
    """ctypes silently wraps integers into narrow C types; refuse instead."""
    try:
        value = operator.index(value)  # int and numpy integers; not float or str
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}.") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}.")
    return value
