"""Exceptions of the mivo_ble package."""

from __future__ import annotations

from typing import Optional

from mivo_ble.amplifier import Amplifier


class RuntimeShutDown(RuntimeError):
    """The library's Bluetooth runtime was shut down in this process.

    The shutdown is final: scanning or opening a device needs a new process.
    """


class LibraryNotFound(ImportError):
    """The native mivoble library could not be located."""


class MivoBLEError(ValueError):
    """A failure the library reported: its result code and its text.

    A ``ValueError``, so code written against earlier versions, which raised plain
    ``ValueError``, keeps working; ``str(error)`` is the library's text.
    """

    def __init__(self, text: str, code: int) -> None:
        super().__init__(text)
        self.text = text
        self.code = code

    @property
    def error(self) -> Optional[Amplifier.Error]:
        """The result code as ``Amplifier.Error``, or None for a code the package does not know."""
        try:
            return Amplifier.Error(self.code)
        except ValueError:
            return None
