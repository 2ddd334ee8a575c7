"""Exceptions of the mivo_ble package."""


class RuntimeShutDown(RuntimeError):
    """The library's Bluetooth runtime was shut down in this process.

    The shutdown is final: scanning or opening a device needs a new process.
    """


class LibraryNotFound(ImportError):
    """The native mivoble library could not be located."""
