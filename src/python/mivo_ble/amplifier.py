"""Amplifier-level constants shared by the wrapper and applications."""

import enum


class Amplifier:
    """Result codes and state codes of the native library."""

    class Error(enum.IntEnum):
        """Result codes returned by the library's functions."""

        NONE = 0
        GENERAL = -1
        PAYLOAD = -2
        INVALID_HANDLE = 1
        ADAPTER = 2
        DEVICE = 3
        INVALID_ARGUMENT = 4

    class ConnectionState(enum.IntEnum):
        """Codes passed to a connection-state callback."""

        CONNECTED = 0
        LOST = 1
