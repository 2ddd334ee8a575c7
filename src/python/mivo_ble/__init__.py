"""Python access to mivoble, the host library for Bluetooth LE EEG amplifiers.

The wrapper lives in :mod:`mivo_ble.lib.mivo_ble_wrapper`. Importing this package
does not load the native library; ``mivo_ble.MivoBLEWrapper`` does, on first use.
"""

__version__ = "1.24.2"

__all__ = ["MivoBLEWrapper", "Amplifier", "RuntimeShutDown", "__version__"]


def __getattr__(name):
    # Loading the native library is deferred so that `import mivo_ble` works
    # (for example to read __version__) even where the library is missing.
    if name == "MivoBLEWrapper":
        from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper

        return MivoBLEWrapper
    if name == "Amplifier":
        from mivo_ble.amplifier import Amplifier

        return Amplifier
    if name == "RuntimeShutDown":
        from mivo_ble.exceptions import RuntimeShutDown

        return RuntimeShutDown
    raise AttributeError(f"module 'mivo_ble' has no attribute {name!r}")
