"""Library statuses as Python exceptions, and argument checks that keep C from misreading values."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Optional

from mivo_ble.amplifier import Amplifier
from mivo_ble.exceptions import MivoBLEError
from mivo_ble.lib.native import lib


def last_error_text() -> str:
    text = lib.MIVOBLE_GetLastErrorText()
    # The library cuts long texts at 255 bytes, possibly inside a UTF-8 sequence.
    return text.decode("utf-8", errors="replace") if text else ""


def decode_text(raw: bytes) -> str:
    # Device texts are cut at 254 bytes by the library, possibly inside a UTF-8 sequence.
    return raw.decode("utf-8", errors="replace")


def signed(status: int) -> int:
    """The library's signed 32-bit status, also when ctypes read it as unsigned."""
    status = int(status) & 0xFFFFFFFF
    return status - (1 << 32) if status & 0x80000000 else status


def check(status: int) -> None:
    """Raises MivoBLEError (a ValueError) with the code and the calling thread's last-error
    text for every status but success."""
    if status != Amplifier.Error.NONE.value:
        raise MivoBLEError(last_error_text(), signed(status))


def check_range(name: str, value: Any, low: int, high: int) -> int:
    """ctypes silently wraps integers into narrow C types; refuse instead."""
    try:
        value = operator.index(value)  # int and numpy integers; not float or str
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}.") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}.")
    return value


def check_seconds(name: str, value: Any, zero: bool) -> float:
    """A duration: any real number (numpy scalars included, bool not), finite, positive
    (or zero when `zero`)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}.")
    seconds = float(value)
    if not math.isfinite(seconds) or seconds < 0 or (seconds == 0 and not zero):
        raise ValueError(f"{name} must be a {'non-negative' if zero else 'positive'}, finite number.")
    return seconds


def check_optional_seconds(name: str, value: Any) -> Optional[float]:
    return None if value is None else check_seconds(name, value, zero=True)
